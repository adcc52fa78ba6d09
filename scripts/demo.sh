#!/usr/bin/env bash
# The main job on a demo recording: makes an intact recording and a damaged copy
# of it (its index, the moov box, cut off, as when a camera dies mid-recording),
# salvages the copy with vidsalvage straight to a playable MP4, and compares its
# frames (framemd5) with those of the intact file.
# Everything lands in out/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target vidsalvage >/dev/null
tool=$PWD/build/src/vidsalvage

work=$PWD/out/demo
rm -rf "$work"
mkdir -p "$work"
cd "$work"

# The offset of the top-level moov box of a file, from a walk of its top-level boxes.
moov_offset() {
  local file=$1 size offset=0 header box_size type
  size=$(stat -c %s "$file")
  while [ $((offset + 8)) -le "$size" ]; do
    header=$(od -An -tx1 -v -j "$offset" -N 16 "$file" | tr -d ' \n')
    box_size=$((16#${header:0:8}))
    type=$(printf "\\x${header:8:2}\\x${header:10:2}\\x${header:12:2}\\x${header:14:2}")
    if [ "$box_size" -eq 1 ]; then box_size=$((16#${header:16:16})); fi
    if [ "$box_size" -eq 0 ]; then box_size=$((size - offset)); fi
    if [ "$type" = moov ]; then echo "$offset"; return 0; fi
    if [ "$box_size" -lt 8 ]; then break; fi
    offset=$((offset + box_size))
  done
  return 1
}

ffmpeg_quiet() { ffmpeg -nostdin -y -hide_banner -loglevel error "$@"; }

echo "== 1. An intact recording: 20 s of H.264 (each sample led by an access unit"
echo "      delimiter, as an action camera writes it) and AAC stereo at 48 kHz"
ffmpeg_quiet -f lavfi -i testsrc2=size=1280x720:rate=30 \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:beep_factor=4" -t 20 \
  -c:v libx264 -g 60 -bf 2 -x264-params aud=1 -bsf:v filter_units=remove_types=6 \
  -c:a aac -ac 2 -ar 48000 intact.mp4

echo "== 2. The damaged copy: everything in front of the moov box"
cut_at=$(moov_offset intact.mp4)
head -c "$cut_at" intact.mp4 >damaged.mp4
echo "   intact.mp4  $(stat -c %s intact.mp4) bytes"
echo "   damaged.mp4 $(stat -c %s damaged.mp4) bytes (no index: players cannot open it)"

# Trace lines (one per salvaged piece) and the progress figure go to the log.
show_run() {
  "$tool" "$@" >"run-$2.log" || { cat "run-$2.log"; return 1; }
  tr '\r' '\n' <"run-$2.log" | grep -v -E '^ *((H264|AAC|PCM|MP3|skip):|[0-9.]+%$)' | grep -v '^$' | sed 's/^/   /'
}

echo "== 3. vidsalvage learns the intact recording and salvages the damaged one into a"
echo "      playable MP4, in one command (trace in out/demo/run-salvaged.mp4.log)"
show_run damaged.mp4 salvaged.mp4 --reference intact.mp4

# framemd5 of one stream as "seconds hash" lines: decoded pictures, or packets with -c copy.
frame_hashes() {
  ffmpeg -nostdin -v error -i "$1" -map "$2" ${3:+-c copy} -f framemd5 - |
    awk -F', *' '/^#tb/ { split($0, tb, ": "); split(tb[2], q, "/"); next }
                 /^#/ || NF < 6 { next }
                 { printf "%.6f %s\n", $3 * q[1] / q[2], $6 }'
}

# Matches the salvaged frames against the intact ones in order, by their hash, and
# prints "matched in_time total": in time when shifted like the first match, within 1 ms.
match_frames() {
  awk 'NR == FNR { hash[NR] = $2; time[NR] = $1; n = NR; next }
       { for (i = next_i + 1; i <= n; i++) if (hash[i] == $2) break
         if (i > n) next
         next_i = i; matched++
         shift = $1 - time[i]
         if (matched == 1) first = shift
         d = shift - first; if (d < 0) d = -d
         if (d <= 0.001) in_time++ }
       END { printf "%d %d %d\n", matched, in_time, n }' "$1" "$2"
}

echo "== 4. What came back: frames compared with the intact recording (framemd5)"
for kind in video audio; do
  if [ "$kind" = video ]; then stream=0:v:0; copy=; else stream=0:a:0; copy=1; fi
  frame_hashes intact.mp4 "$stream" "$copy" >"intact.$kind.md5"
  frame_hashes salvaged.mp4 "$stream" "$copy" >"salvaged.$kind.md5"
  read -r matched in_time total < <(match_frames "intact.$kind.md5" "salvaged.$kind.md5")
  printf '   %-6s %5d of %5d %s identical, %5d of them at the intact time\n' "$kind" \
    "$matched" "$total" "$([ "$kind" = video ] && echo pictures || echo packets)" "$in_time"
done
echo "   decoder messages: $(ffmpeg -nostdin -v error -i salvaged.mp4 -f null - 2>&1 | wc -l)"
echo "   Play it: out/demo/salvaged.mp4"
