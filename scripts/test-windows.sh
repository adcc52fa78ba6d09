#!/usr/bin/env bash
# Builds vidsalvage.exe with MinGW-w64 and tests it under Wine: the unit tests,
# cross-built, and the command-line and end-to-end tests of the native build in
# build/ (made here when missing) run against the .exe instead of the native
# program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
dir=build-windows
toolchain=()
[ -f "$dir/CMakeCache.txt" ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
cmake -S . -B "$dir" "${toolchain[@]}" -DVIDSALVAGE_WERROR=ON -DVIDSALVAGE_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$jobs"
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DVIDSALVAGE_WERROR=ON >/dev/null
cmake --build build -j"$jobs" --target vidsalvage_cli_tests vidsalvage_e2e_tests

# Wine quiet and fast: no debug channels, no .NET or HTML engine to install, no
# display, and one persistent wineserver for the prefix in the build tree. Every
# Wine process started without it would start its own server, whose helper
# processes keep ctest's pipes open (each test then takes seconds, or ctest waits
# forever). The same settings are in the toolchain file's emulator command.
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX="$PWD/$dir/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
mkdir -p "$WINEPREFIX"
trap '"$wineserver" -k </dev/null >/dev/null 2>&1 || true' EXIT
# Status 2: a server already runs for this prefix, which serves as well.
"$wineserver" -p </dev/null >/dev/null 2>&1 || [ $? -eq 2 ]
"$wine" wineboot </dev/null >/dev/null 2>&1

# A Wine process now and then fails to start under load, before the test runs: a
# test that fails is run again, and fails the run only when it fails three times.
retry=(--repeat until-pass:3)
ctest --test-dir "$dir" -j"$jobs" --output-on-failure "${retry[@]}" </dev/null
VIDSALVAGE_CLI_BINARY="$PWD/$dir/src/vidsalvage.exe" VIDSALVAGE_CLI_EMULATOR="$wine" \
  ctest --test-dir build -L "^(cli|e2e)$" -j"$jobs" --output-on-failure "${retry[@]}" </dev/null
echo "All tests passed on the Windows build (under Wine)."
