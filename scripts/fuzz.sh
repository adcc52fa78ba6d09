#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/ and runs every target for SECONDS
# (default 60), FUZZ_JOBS targets at a time (default: one per core), or only the
# TARGETs named after SECONDS. Fails when
# any target finds something; its input is then in build-fuzz/findings/<target>/
# and its log in build-fuzz/logs/<target>.log. What a run learns stays in
# build-fuzz/corpus/<target>/ for the next run.
#
# FUZZ_SEED (default 1) fixes libFuzzer's random seed, so that a run repeats the
# path of an earlier run of the same length on the same code.
#
# A finding becomes a regression input of the normal suite once fixed: minimise
# it (build-fuzz/fuzz/fuzz_<target> -minimize_crash=1 -runs=10000 FILE) and copy
# the result to fuzz/regressions/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
jobs=${FUZZ_JOBS:-$(nproc)}
seed=${FUZZ_SEED:-1}
dir=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$dir" -DVIDSALVAGE_FUZZ=ON -DVIDSALVAGE_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target vidsalvage_fuzzers
rm -rf "$dir/seeds" "$dir/findings" "$dir/logs"
"$dir/fuzz/vidsalvage_fuzz_seeds" "$dir/seeds"
mkdir -p "$dir/logs"

# The largest input each target makes: recordings need room for a few samples
# and their tables; a parameter set or descriptor does not.
max_len() {
  case $1 in
    box_tree | learning | chunk_offsets | signature_walk | model_walk | movie_walk | inference)
      echo 65536 ;;
    model_file | model_file_walk) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

run_target() {
  local target=$1 dict=fuzz/vidsalvage.dict
  case $target in model_file*) dict=fuzz/model_file.dict ;; esac
  local inputs=("$dir/corpus/$target" "$dir/seeds/$target")
  for extra in "fuzz/corpus/$target" "fuzz/regressions/$target"; do
    [ -d "$extra" ] && inputs+=("$extra")
  done
  mkdir -p "$dir/corpus/$target" "$dir/findings/$target"
  # New inputs go to the first folder only, so the checked-in ones stay as they are.
  "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -seed="$seed" -timeout=25 -rss_limit_mb=2560 \
    -max_len="$(max_len "$target")" -dict="$dict" -print_final_stats=1 \
    -artifact_prefix="$dir/findings/$target/" "${inputs[@]}" >"$dir/logs/$target.log" 2>&1
}

if [ $# -gt 1 ]; then
  targets=("${@:2}")
else
  mapfile -t targets < <(find "$dir/fuzz" -maxdepth 1 -type f -name 'fuzz_*' -printf '%f\n' |
    sed 's/^fuzz_//' | sort)
fi
echo "Fuzzing ${#targets[@]} targets for ${seconds} s each, $jobs at a time..."
for target in "${targets[@]}"; do
  (run_target "$target" && echo 0 || echo 1) >"$dir/logs/$target.status" &
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
done
wait

failed=0
for target in "${targets[@]}"; do
  log=$dir/logs/$target.log
  result=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 |
    sed -E 's/^#[0-9]+[[:space:]]+DONE +//' || true)
  runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}' || true)
  if [ "$(cat "$dir/logs/$target.status")" != 0 ]; then
    failed=1
    printf '%-16s FAILED: see %s\n' "$target" "$log"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|Fuzz target|artifact_prefix|Test unit written)' "$log" |
      head -n 5 | sed 's/^/    /' || true
  else
    printf '%-16s %s runs, %s\n' "$target" "${runs:-?}" "${result:-?}"
  fi
done
[ "$failed" -eq 0 ] || exit 1
echo "No findings."
