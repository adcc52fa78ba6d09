#!/usr/bin/env bash
# The salvage straight to a playable MP4 at scale: a 20 s clip (1080p H.264 at
# 20 Mbit/s with B-frames, AAC) encoded once and repeated by ffmpeg without
# re-encoding to at least 2 GiB, cut at its moov, salvaged with --model to an .mp4
# and timed against cp of the same file with the page cache warm; also the
# raw-stream recovery for comparison and the peak resident memory of the MP4 salvage.
#   bench/playable_recovery.sh [WORK_DIR]     (default /tmp/vidsalvage-playable-bench)
#   VIDSALVAGE_BENCH_MIB=512 bench/playable_recovery.sh    (a smaller recording)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/bench/timing.sh"
work=${1:-/tmp/vidsalvage-playable-bench}
mebibytes=${VIDSALVAGE_BENCH_MIB:-2048}

command -v /usr/bin/time >/dev/null || apt-get install -y -qq time </dev/null
cmake -S "$repo" -B "$repo/build" >/dev/null
cmake --build "$repo/build" -j"$(nproc)" --target vidsalvage >/dev/null
tool=$repo/build/src/vidsalvage

mkdir -p "$work"
cd "$work"
# The offset of the top-level moov box, from a walk of the top-level boxes.
moov_offset() {
  local file=$1 size offset=0 header box_size type
  size=$(stat -c %s "$file")
  while [ $((offset + 8)) -le "$size" ]; do
    header=$(od -An -tx1 -v -j "$offset" -N 16 "$file" | tr -d ' \n')
    box_size=$((16#${header:0:8}))
    type=$(printf "\\x${header:8:2}\\x${header:10:2}\\x${header:12:2}\\x${header:14:2}")
    if [ "$box_size" -eq 1 ]; then box_size=$((16#${header:16:16})); fi
    if [ "$type" = moov ]; then echo "$offset"; return 0; fi
    if [ "$box_size" -lt 8 ]; then break; fi
    offset=$((offset + box_size))
  done
  return 1
}

if [ ! -f damaged.mp4 ]; then
  echo "Preparing a recording of at least $mebibytes MiB in $work ..."
  [ -f clip.mp4 ] || ffmpeg -nostdin -y -hide_banner -loglevel error \
    -f lavfi -i testsrc2=size=1920x1080:rate=30 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -t 20 -c:v libx264 -preset veryfast -b:v 20M -g 60 -bf 2 -c:a aac -b:a 192k clip.mp4
  loops=$(( (mebibytes * 1024 * 1024) / $(stat -c %s clip.mp4) ))
  ffmpeg -nostdin -y -hide_banner -loglevel error -stream_loop "$loops" -i clip.mp4 -c copy \
    intact.mp4
  head -c "$(moov_offset intact.mp4)" intact.mp4 >damaged.mp4
fi
echo "damaged.mp4: $(stat -c %s damaged.mp4) bytes"

cat damaged.mp4 intact.mp4 >/dev/null  # warm the page cache
"$tool" intact.mp4 --model >/dev/null

copy=$(best_of cp damaged.mp4 "$BENCH_OUT/copy.bin")
movie=$(best_of "$tool" damaged.mp4 "$BENCH_OUT/out.mp4" --model)
raw=$(best_of "$tool" damaged.mp4 "$BENCH_OUT/out.h264" "$BENCH_OUT/out.aac" --model)
peak_kb=$( { /usr/bin/time -v "$tool" damaged.mp4 "$BENCH_OUT/out.mp4" --model >/dev/null; } \
  2>&1 | awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}')
rm -f "$BENCH_OUT"/*

printf '%-40s %9s %9s\n' "run (best of ${VIDSALVAGE_BENCH_RUNS:-5})" "seconds" "x cp"
printf '%-40s %9s %9s\n' "cp damaged.mp4" "$copy" "1.00"
printf '%-40s %9s %9s\n' "salvage to out.mp4 (--model)" "$movie" "$(ratio "$movie" "$copy")"
printf '%-40s %9s %9s\n' "salvage to raw streams (--model)" "$raw" "$(ratio "$raw" "$copy")"
echo "peak resident memory, salvage to MP4: $((peak_kb / 1024)) MB"
