#!/usr/bin/env bash
# The recovery on a real encoder's output at scale: encodes a 20 s clip once with
# ffmpeg (H.264 with access unit delimiters, AAC), repeats its media data to at
# least 2 GiB, and times, with the page cache warm, against cp of the same file:
#   - the recovery (default recorder, AAC), mapped and windowed;
#   - --avcc and --stco on the intact file (the same data with its moov at the end);
# and reports the peak resident memory of the windowed run.
#   bench/real_recording.sh [WORK_DIR]     (default /tmp/vidsalvage-bench; ~9 GB free needed)
#   VIDSALVAGE_BENCH_MIB=512 bench/real_recording.sh    (a smaller recording)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/bench/timing.sh"
work=${1:-/tmp/vidsalvage-bench}
# VIDSALVAGE_BENCH_MIB scales the recording down on a busy machine.
target_bytes=$((${VIDSALVAGE_BENCH_MIB:-2048} * 1024 * 1024))

command -v /usr/bin/time >/dev/null || apt-get install -y -qq time </dev/null
cmake -S "$repo" -B "$repo/build" >/dev/null
cmake --build "$repo/build" -j"$(nproc)" --target vidsalvage >/dev/null
tool=$repo/build/src/vidsalvage

mkdir -p "$work"
cd "$work"

# One top-level box: prints "offset size header_size" for the first box of TYPE.
find_box() {
  local file=$1 want=$2 size offset=0 header box_size type hs
  size=$(stat -c %s "$file")
  while [ $((offset + 8)) -le "$size" ]; do
    header=$(od -An -tx1 -v -j "$offset" -N 16 "$file" | tr -d ' \n')
    box_size=$((16#${header:0:8})); hs=8
    type=$(printf "\\x${header:8:2}\\x${header:10:2}\\x${header:12:2}\\x${header:14:2}")
    if [ "$box_size" -eq 1 ]; then box_size=$((16#${header:16:16})); hs=16; fi
    if [ "$type" = "$want" ]; then echo "$offset $box_size $hs"; return 0; fi
    [ "$box_size" -ge 8 ] || return 1
    offset=$((offset + box_size))
  done
  return 1
}

if [ ! -f damaged.mp4 ] || [ "$(stat -c %s damaged.mp4)" -lt "$target_bytes" ]; then
  echo "Preparing a recording of at least 2 GiB in $work ..."
  ffmpeg -nostdin -y -hide_banner -loglevel error -f lavfi -i testsrc2=size=1920x1080:rate=30 \
    -f lavfi -i sine=frequency=440:sample_rate=48000 -t 20 -c:v libx264 -preset veryfast -b:v 20M \
    -g 60 -bf 2 -x264-params aud=1 -bsf:v filter_units=remove_types=6 -c:a aac -b:a 192k clip.mp4
  read -r mdat_at mdat_size mdat_header < <(find_box clip.mp4 mdat)
  read -r moov_at moov_size _ < <(find_box clip.mp4 moov)
  body_at=$((mdat_at + mdat_header))
  slice_of() { dd if="$1" of="$4" bs=4M iflag=skip_bytes,count_bytes skip="$2" count="$3" status=none; }
  slice_of clip.mp4 "$body_at" $((mdat_size - mdat_header)) body.bin
  # Every copy of the clip's media data starts with a video sample led by its
  # delimiter and ends with audio, so the repeated layout stays consistent.
  repeats=$(( (target_bytes + mdat_size - 1) / (mdat_size - mdat_header) ))
  slice_of clip.mp4 0 "$mdat_at" damaged.mp4
  total=$(( repeats * (mdat_size - mdat_header) + 16 ))
  printf '\x00\x00\x00\x01mdat' >>damaged.mp4
  printf "$(printf '%016x' "$total" | sed 's/../\\x&/g')" >>damaged.mp4
  for _ in $(seq "$repeats"); do cat body.bin; done >>damaged.mp4
  cp damaged.mp4 intact.mp4
  slice_of clip.mp4 "$moov_at" "$moov_size" moov.bin
  cat moov.bin >>intact.mp4
  rm -f body.bin moov.bin
fi
size=$(stat -c %s damaged.mp4)
echo "damaged.mp4: $size bytes; intact.mp4: $(stat -c %s intact.mp4) bytes"

cat damaged.mp4 intact.mp4 >/dev/null  # warm the page cache
"$tool" intact.mp4 --avcc >/dev/null

cp_damaged=$(best_of cp damaged.mp4 "$BENCH_OUT/copy.bin")
cp_intact=$(best_of cp intact.mp4 "$BENCH_OUT/copy.bin")
mapped=$(best_of "$tool" damaged.mp4 "$BENCH_OUT/out.h264" "$BENCH_OUT/out.aac")
windowed=$(VIDSALVAGE_FORCE_WINDOW=1 best_of "$tool" damaged.mp4 "$BENCH_OUT/out.h264" "$BENCH_OUT/out.aac")
avcc=$(best_of "$tool" intact.mp4 --avcc)
stco=$(best_of "$tool" intact.mp4 --stco)
peak_kb=$( { VIDSALVAGE_FORCE_WINDOW=1 /usr/bin/time -v "$tool" damaged.mp4 "$BENCH_OUT/out.h264" "$BENCH_OUT/out.aac" >/dev/null; } 2>&1 |
  awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}')
rm -f "$BENCH_OUT"/*

printf '%-36s %9s %9s\n' "run (best of ${VIDSALVAGE_BENCH_RUNS:-5})" "seconds" "x cp"
printf '%-36s %9s %9s\n' "cp damaged.mp4" "$cp_damaged" "1.00"
printf '%-36s %9s %9s\n' "recovery, mapped" "$mapped" "$(ratio "$mapped" "$cp_damaged")"
printf '%-36s %9s %9s\n' "recovery, windowed" "$windowed" "$(ratio "$windowed" "$cp_damaged")"
printf '%-36s %9s %9s\n' "cp intact.mp4" "$cp_intact" "1.00"
printf '%-36s %9s %9s\n' "--avcc" "$avcc" "$(ratio "$avcc" "$cp_intact")"
printf '%-36s %9s %9s\n' "--stco" "$stco" "$(ratio "$stco" "$cp_intact")"
echo "peak resident memory, windowed recovery: $((peak_kb / 1024)) MB"
