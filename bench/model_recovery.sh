#!/usr/bin/env bash
# The recovery with a learned model at scale: encodes a 20 s clip once with ffmpeg
# (1080p H.264 at 20 Mbit/s with delimiters, AAC), lays it out as an action camera
# does (descriptors, timecode, telemetry between the samples) repeated to at least
# 2 GiB, and times, with the page cache warm, against cp of the same file:
#   - --model on the intact file (the learning, which reads the reference once);
#   - the recovery with --model, mapped and windowed;
#   - the recovery with the signature tables on the same file, for comparison;
# and reports the bytes the windowed learning reads and the peak resident memory
# of the windowed model recovery.
#   bench/model_recovery.sh [WORK_DIR]     (default /tmp/vidsalvage-bench; ~11 GB free needed)
#   VIDSALVAGE_BENCH_MIB=512 bench/model_recovery.sh    (a smaller recording)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/bench/timing.sh"
work=${1:-/tmp/vidsalvage-bench}
# VIDSALVAGE_BENCH_MIB scales the recording down on a busy machine.
mebibytes=${VIDSALVAGE_BENCH_MIB:-2048}

command -v /usr/bin/time >/dev/null || apt-get install -y -qq time </dev/null
command -v strace >/dev/null || apt-get install -y -qq strace </dev/null
cmake -S "$repo" -B "$repo/build" >/dev/null
cmake --build "$repo/build" -j"$(nproc)" --target vidsalvage make_camera_recording >/dev/null
tool=$repo/build/src/vidsalvage

mkdir -p "$work"
cd "$work"
if [ ! -f camera_damaged.mp4 ]; then
  echo "Preparing a camera recording of at least 2 GiB in $work ..."
  [ -f camera_clip.mp4 ] || ffmpeg -nostdin -y -hide_banner -loglevel error \
    -f lavfi -i testsrc2=size=1920x1080:rate=30 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -t 20 -c:v libx264 -preset veryfast -b:v 20M -g 60 -bf 2 -x264-params aud=1 \
    -bsf:v filter_units=remove_types=6 -c:a aac -b:a 192k camera_clip.mp4
  "$repo/build/bench/make_camera_recording" camera_clip.mp4 camera_intact.mp4 camera_damaged.mp4 \
    "$mebibytes"
fi
echo "camera_damaged.mp4: $(stat -c %s camera_damaged.mp4) bytes;" \
  "camera_intact.mp4: $(stat -c %s camera_intact.mp4) bytes"

cat camera_damaged.mp4 camera_intact.mp4 >/dev/null  # warm the page cache
"$tool" camera_intact.mp4 --avcc >/dev/null

cp_damaged=$(best_of cp camera_damaged.mp4 "$BENCH_OUT/copy.bin")
cp_intact=$(best_of cp camera_intact.mp4 "$BENCH_OUT/copy.bin")
learn=$(best_of "$tool" camera_intact.mp4 --model)
learn_windowed=$(VIDSALVAGE_FORCE_WINDOW=1 best_of "$tool" camera_intact.mp4 --model)
mapped=$(best_of "$tool" camera_damaged.mp4 "$BENCH_OUT/out.h264" "$BENCH_OUT/out.aac" --model)
windowed=$(VIDSALVAGE_FORCE_WINDOW=1 best_of "$tool" camera_damaged.mp4 "$BENCH_OUT/out.h264" "$BENCH_OUT/out.aac" --model)
tables=$(best_of "$tool" camera_damaged.mp4 "$BENCH_OUT/out.h264" "$BENCH_OUT/out.aac")
# The window's reads of the input, from the moment it is opened.
VIDSALVAGE_FORCE_WINDOW=1 strace -f -e trace=openat,read,pread64 -o read.trace "$tool" \
  camera_intact.mp4 --model >/dev/null
read_bytes=$(awk '/"camera_intact.mp4"/ { open = 1 } open && /read(64)?\(3,/ {
  split($0, part, "= "); n += part[2]; count++ } END { printf "%.0f in %d reads", n, count }' read.trace)
rm -f read.trace
peak_kb=$( { VIDSALVAGE_FORCE_WINDOW=1 /usr/bin/time -v "$tool" camera_damaged.mp4 "$BENCH_OUT/out.h264" "$BENCH_OUT/out.aac" \
  --model >/dev/null; } 2>&1 | awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}')
rm -f "$BENCH_OUT"/*

printf '%-40s %9s %9s\n' "run (best of ${VIDSALVAGE_BENCH_RUNS:-5})" "seconds" "x cp"
printf '%-40s %9s %9s\n' "cp camera_damaged.mp4" "$cp_damaged" "1.00"
printf '%-40s %9s %9s\n' "recovery --model, mapped" "$mapped" "$(ratio "$mapped" "$cp_damaged")"
printf '%-40s %9s %9s\n' "recovery --model, windowed" "$windowed" "$(ratio "$windowed" "$cp_damaged")"
printf '%-40s %9s %9s\n' "recovery with signature tables" "$tables" "$(ratio "$tables" "$cp_damaged")"
printf '%-40s %9s %9s\n' "cp camera_intact.mp4" "$cp_intact" "1.00"
printf '%-40s %9s %9s\n' "--model (learning), mapped" "$learn" "$(ratio "$learn" "$cp_intact")"
printf '%-40s %9s %9s\n' "--model (learning), windowed" "$learn_windowed" \
  "$(ratio "$learn_windowed" "$cp_intact")"
echo "input read by the windowed learning: $read_bytes; the file has $(stat -c %s camera_intact.mp4) bytes"
echo "peak resident memory, windowed model recovery: $((peak_kb / 1024)) MB"
