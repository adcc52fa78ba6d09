#!/usr/bin/env bash
# The recovery with a learned model through damage: a camera-layout recording of
# MEBIBYTES (default 2048) made as bench/model_recovery.sh makes it, then ten
# stretches of 1 to 64 MB overwritten by random bytes, zeros and a second copy of
# its own start, and the recovery timed, with the page cache warm, against cp of
# the same file, mapped and windowed. Prints the walk's closing line on damage.
#   bench/model_damage.sh [WORK_DIR] [MEBIBYTES]   (default /tmp/vidsalvage-bench)
# VIDSALVAGE_BUILD_DIR chooses the build directory (default build/).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/bench/timing.sh"
work=${1:-/tmp/vidsalvage-bench}
mebibytes=${2:-2048}

build=${VIDSALVAGE_BUILD_DIR:-$repo/build}
cmake -S "$repo" -B "$build" -DVIDSALVAGE_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target vidsalvage make_camera_recording >/dev/null
tool=$build/src/vidsalvage

mkdir -p "$work"
cd "$work"
intact=damage_intact_$mebibytes.mp4
damaged=damage_damaged_$mebibytes.mp4
if [ ! -f "$damaged" ]; then
  echo "Preparing a camera recording of $mebibytes MiB with ten damaged stretches in $work ..."
  [ -f camera_clip.mp4 ] || ffmpeg -nostdin -y -hide_banner -loglevel error \
    -f lavfi -i testsrc2=size=1920x1080:rate=30 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -t 20 -c:v libx264 -preset veryfast -b:v 20M -g 60 -bf 2 -x264-params aud=1 \
    -bsf:v filter_units=remove_types=6 -c:a aac -b:a 192k camera_clip.mp4
  "$build/bench/make_camera_recording" camera_clip.mp4 "$intact" "$damaged" "$mebibytes"
  size=$(stat -c %s "$damaged")
  # Ten stretches, MiB each, spread over the file: random, zeros, and the file's
  # own first bytes (another recording of the same camera on a reused card).
  sizes=(1 64 2 32 4 16 8 48 3 24)
  for k in "${!sizes[@]}"; do
    mib=${sizes[$k]}
    offset=$(( size / 11 * (k + 1) / 4096 * 4096 + 1234 ))
    case $((k % 3)) in
      0) source_file=/dev/urandom ;;
      1) source_file=/dev/zero ;;
      2) source_file=$damaged ;;
    esac
    dd if="$source_file" of="$damaged" bs=1M count="$mib" iflag=fullblock \
      seek="$offset" oflag=seek_bytes conv=notrunc status=none
  done
fi
echo "$damaged: $(stat -c %s "$damaged") bytes"

cat "$damaged" "$intact" >/dev/null  # warm the page cache
"$tool" "$intact" --model >/dev/null

cp_damaged=$(best_of cp "$damaged" "$BENCH_OUT/copy.bin")
mapped=$(best_of "$tool" "$damaged" "$BENCH_OUT/out.h264" "$BENCH_OUT/out.aac" --model)
windowed=$(VIDSALVAGE_FORCE_WINDOW=1 best_of "$tool" "$damaged" "$BENCH_OUT/out.h264" \
  "$BENCH_OUT/out.aac" --model)
"$tool" "$damaged" "$BENCH_OUT/out.h264" "$BENCH_OUT/out.aac" --model | tr '\r' '\n' |
  grep -E '^Skipped [0-9]+ damaged' || echo "no damage reported"
rm -f "$BENCH_OUT"/*

printf '%-40s %9s %9s\n' "run (best of ${VIDSALVAGE_BENCH_RUNS:-5})" "seconds" "x cp"
printf '%-40s %9s %9s\n' "cp $damaged" "$cp_damaged" "1.00"
printf '%-40s %9s %9s\n' "recovery --model, mapped" "$mapped" "$(ratio "$mapped" "$cp_damaged")"
printf '%-40s %9s %9s\n' "recovery --model, windowed" "$windowed" "$(ratio "$windowed" "$cp_damaged")"
