#!/usr/bin/env bash
# Builds vidsalvage and runs every test twice: in the normal build, and in a
# build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DVIDSALVAGE_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure
}

run_suite build
run_suite build-sanitize -DVIDSALVAGE_SANITIZE=ON -DVIDSALVAGE_BENCH=OFF
echo "All tests passed (normal and sanitizer builds)."
