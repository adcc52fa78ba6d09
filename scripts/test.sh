#!/usr/bin/env bash
# Builds vidsalvage and runs every test three times: in the normal build, in a
# build with AddressSanitizer and UndefinedBehaviorSanitizer, and on the Windows
# build under Wine (scripts/test-windows.sh); then every fuzz target for a short
# while (VIDSALVAGE_FUZZ_SECONDS each, 30 by default; scripts/fuzz.sh).
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
bash scripts/test-windows.sh
bash scripts/fuzz.sh "${VIDSALVAGE_FUZZ_SECONDS:-30}"
echo "All tests passed (normal, sanitizer and Windows builds, and a short fuzz run)."
