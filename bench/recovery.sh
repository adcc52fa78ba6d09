#!/usr/bin/env bash
# Times the recovery of synthetic damaged recordings of 1 GiB against cp of the
# same file, page cache warm, best of five runs each (bench/timing.sh):
#   bench/recovery.sh [BUILD_DIR]      (default: build)
# The recordings are made once by make_recording in $VIDSALVAGE_BENCH_DIR
# (default /tmp/vidsalvage-bench) and kept; delete that directory afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/timing.sh
build=$(realpath "${1:-build}")
dir=${VIDSALVAGE_BENCH_DIR:-/tmp/vidsalvage-bench}
mebibytes=${VIDSALVAGE_BENCH_MIB:-1024}
mkdir -p "$dir"
cd "$dir"

[ -f default.mp4 ] || "$build/bench/make_recording" default.mp4 "$mebibytes"
[ -f aac-heavy.mp4 ] || "$build/bench/make_recording" aac-heavy.mp4 "$mebibytes" --aac-heavy
# version 1, no SPS, no PPS: the prologue writes nothing.
printf '\001\144\000\037\377\340\000' > avcc.hdr

report() {  # name seconds cp-seconds
  awk -v n="$1" -v t="$2" -v c="$3" 'BEGIN { printf "%-34s %7.3f s  %5.2f x cp\n", n, t, t / c }'
}

for input in default.mp4 aac-heavy.mp4; do
  cat "$input" > /dev/null  # warm the page cache
  cp_time=$(best_of cp "$input" "$BENCH_OUT/copy.mp4")
  report "cp $input" "$cp_time" "$cp_time"
  report "recovery $input" "$(best_of "$build/src/vidsalvage" "$input" "$BENCH_OUT/out.h264" "$BENCH_OUT/out.aac")" "$cp_time"
  report "recovery $input --samsung" \
    "$(best_of "$build/src/vidsalvage" "$input" "$BENCH_OUT/out.h264" "$BENCH_OUT/out.aac" --samsung)" "$cp_time"
done
