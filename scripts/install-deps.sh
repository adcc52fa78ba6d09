#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the demo
# need and the machine lacks. Does nothing when all is there.
set -euo pipefail

packages=(cmake make g++ libgtest-dev googletest libbenchmark-dev ffmpeg)
# The fuzz build (scripts/fuzz.sh): clang, and libFuzzer with the sanitizer
# runtimes, which Debian 12 ships in libclang-rt-14-dev.
packages+=(clang libclang-rt-14-dev)
# The Windows build: MinGW-w64 with the posix thread model, and Wine to run the
# tests; without their recommendations (fonts, X libraries, 32-bit Wine).
windows_packages=(g++-mingw-w64-x86-64-posix wine64)

missing() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}
mapfile -t missing_packages < <(missing "${packages[@]}")
mapfile -t missing_windows < <(missing "${windows_packages[@]}")
[ ${#missing_packages[@]} -eq 0 ] && [ ${#missing_windows[@]} -eq 0 ] && exit 0

echo "Installing: ${missing_packages[*]} ${missing_windows[*]}"
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
if [ ${#missing_packages[@]} -gt 0 ]; then
  "${sudo[@]}" apt-get install -y -qq "${missing_packages[@]}" </dev/null
fi
if [ ${#missing_windows[@]} -gt 0 ]; then
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing_windows[@]}" </dev/null
fi
