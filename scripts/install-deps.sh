#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the demo
# need and the machine lacks. Does nothing when all is there.
set -euo pipefail

packages=(cmake make g++ libgtest-dev libbenchmark-dev ffmpeg)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq "${missing[@]}" </dev/null
