# Timing helpers shared by the benchmark scripts; source it.

# Seconds of wall time, best of three runs of a command; output discarded.
best_of_3() {
  local best=0 start end t
  for _ in 1 2 3; do
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    t=$((end - start))
    if [ "$best" -eq 0 ] || [ "$t" -lt "$best" ]; then best=$t; fi
  done
  awk -v ns="$best" 'BEGIN { printf "%.3f", ns / 1e9 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
