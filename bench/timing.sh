# Timing helpers shared by the benchmark scripts; source it.
#
# This machine's disk and its neighbours make single runs noisy: every timed run
# starts with the outputs of the last one removed and the page cache's dirty data
# written back, outputs go to memory (/dev/shm) where there is room, and the best
# of several runs counts.

# The directory for the outputs of timed runs; emptied before each run.
bench_output_dir() {
  local dir=/dev/shm/vidsalvage-bench-out
  if ! mkdir -p "$dir" 2>/dev/null; then dir=$PWD/bench-out; mkdir -p "$dir"; fi
  echo "$dir"
}
BENCH_OUT=${BENCH_OUT:-$(bench_output_dir)}

# Seconds of wall time, best of $VIDSALVAGE_BENCH_RUNS (default 5) runs of a
# command; its standard output is discarded.
best_of() {
  local best=0 start end t
  for _ in $(seq "${VIDSALVAGE_BENCH_RUNS:-5}"); do
    rm -f "$BENCH_OUT"/*
    sync
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    t=$((end - start))
    if [ "$best" -eq 0 ] || [ "$t" -lt "$best" ]; then best=$t; fi
  done
  rm -f "$BENCH_OUT"/*
  awk -v ns="$best" 'BEGIN { printf "%.3f", ns / 1e9 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
