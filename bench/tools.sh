#!/usr/bin/env bash
# Times --avcc and --stco on a recording of at least 1 GiB whose moov box is at
# its end, next to `cat FILE > /dev/null`. Run by hand after building `build`:
#   bash bench/tools.sh [build/src/vidsalvage]
# The recording is made in $VIDSALVAGE_BENCH_DIR (default /tmp) and deleted at the end.
set -euo pipefail
binary=$(realpath "${1:-build/src/vidsalvage}")
work=$(mktemp -d "${VIDSALVAGE_BENCH_DIR:-/tmp}/vidsalvage-tools-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# A short ffmpeg recording: ftyp, mdat, then moov, as ffmpeg writes by default.
ffmpeg -nostdin -y -hide_banner -loglevel error -f lavfi -i testsrc2=size=1280x720:rate=30 \
  -f lavfi -i sine=frequency=440:sample_rate=48000 -t 10 -c:v libx264 -b:v 8M -c:a aac small.mp4

# Repeat the media data until the file passes 1 GiB. The body keeps its offset,
# so the chunk offsets of moov still point into the first copy.
python3 - <<'EOF'
import struct
data = open("small.mp4", "rb").read()
at = 0
boxes = {}
while at + 8 <= len(data):
    size, kind = struct.unpack(">I4s", data[at:at + 8])
    boxes[kind] = (at, size)
    at += size
mdat_at, mdat_size = boxes[b"mdat"]
moov_at, _ = boxes[b"moov"]
assert mdat_at < moov_at, "moov must follow mdat"
body = data[mdat_at + 8:mdat_at + mdat_size]
copies = (1 << 30) // len(body) + 1
assert 8 + len(body) * copies < 1 << 32, "mdat needs a 64-bit size"
with open("big.mp4", "wb") as out:
    out.write(data[:mdat_at])
    out.write(struct.pack(">I4s", 8 + len(body) * copies, b"mdat"))
    for _ in range(copies):
        out.write(body)
    out.write(data[mdat_at + mdat_size:])
EOF
ls -l big.mp4

seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null || true
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}

cat big.mp4 >/dev/null  # warm the page cache, so every run below reads memory
echo "chunks listed by --stco:       $("$binary" big.mp4 --stco | grep -c H264)"
echo "cat big.mp4 > /dev/null:       $(seconds cat big.mp4) s"
echo "--avcc, mapped:                $(seconds "$binary" big.mp4 --avcc) s"
echo "--stco, mapped:                $(seconds "$binary" big.mp4 --stco) s"
echo "--stco 2, mapped:              $(seconds "$binary" big.mp4 --stco 2) s"
export VIDSALVAGE_FORCE_WINDOW=1
echo "--avcc, windowed:              $(seconds "$binary" big.mp4 --avcc) s"
echo "--stco, windowed:              $(seconds "$binary" big.mp4 --stco) s"
