#!/usr/bin/env bash
# Two builds of the program timed turn about on one recording, mapped and
# windowed, next to cp of the same file: on a busy machine the runs of one round
# share its load, and the best of the rounds counts.
#   bench/compare_builds.sh OLD_BINARY NEW_BINARY WORK_DIR FILE [ARGS...]
# runs, in WORK_DIR (which holds what the run needs: avcc.hdr, reference.model),
#   BINARY FILE out.h264 out.aac ARGS...   with outputs in memory (bench/timing.sh).
#   VIDSALVAGE_BENCH_RUNS (default 5) rounds.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/bench/timing.sh"
old=$1 new=$2 work=$3 file=$4
shift 4
cd "$work"

# Nanoseconds of one run of a command, its outputs removed and synced first.
once() {
  local start end
  rm -f "$BENCH_OUT"/*
  sync
  start=$(date +%s%N)
  "$@" >/dev/null
  end=$(date +%s%N)
  echo $((end - start))
}

names=(cp old_mapped new_mapped old_windowed new_windowed)
declare -A best
for _ in $(seq "${VIDSALVAGE_BENCH_RUNS:-5}"); do
  for name in "${names[@]}"; do
    case $name in
      cp) t=$(once cp "$file" "$BENCH_OUT/copy.bin") ;;
      old_mapped) t=$(once "$old" "$file" "$BENCH_OUT/out.h264" "$BENCH_OUT/out.aac" "$@") ;;
      new_mapped) t=$(once "$new" "$file" "$BENCH_OUT/out.h264" "$BENCH_OUT/out.aac" "$@") ;;
      old_windowed) t=$(VIDSALVAGE_FORCE_WINDOW=1 once "$old" "$file" "$BENCH_OUT/out.h264" "$BENCH_OUT/out.aac" "$@") ;;
      new_windowed) t=$(VIDSALVAGE_FORCE_WINDOW=1 once "$new" "$file" "$BENCH_OUT/out.h264" "$BENCH_OUT/out.aac" "$@") ;;
    esac
    if [ -z "${best[$name]:-}" ] || [ "$t" -lt "${best[$name]}" ]; then best[$name]=$t; fi
  done
done
rm -f "$BENCH_OUT"/*
printf '%-14s %9s %9s\n' "run (best of ${VIDSALVAGE_BENCH_RUNS:-5})" "seconds" "x cp"
for name in "${names[@]}"; do
  awk -v n="$name" -v t="${best[$name]}" -v c="${best[cp]}" \
    'BEGIN { printf "%-14s %9.3f %9.2f\n", n, t / 1e9, t / c }'
done
