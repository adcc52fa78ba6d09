#!/usr/bin/env bash
# The main job on a demo recording: makes an intact recording and a damaged copy
# of it (its index, the moov box, cut off, as when a camera dies mid-recording),
# salvages the copy with vidsalvage, rebuilds a playable MP4 from the salvaged
# streams with ffmpeg, and compares what came back with what the intact file holds.
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

echo "== 3. vidsalvage takes the stream description from the intact recording"
show_run intact.mp4 --avcc

echo "== 4. vidsalvage salvages the damaged recording (trace in out/demo/run-salvaged.h264.log)"
show_run damaged.mp4 salvaged.h264 salvaged.aac

echo "== 5. ffmpeg puts the salvaged streams back into an MP4"
fps=$(ffprobe -v error -select_streams v:0 -show_entries stream=avg_frame_rate -of csv=p=0 intact.mp4)
ffmpeg_quiet -framerate "$fps" -i salvaged.h264 -i salvaged.aac -c copy salvaged.mp4

count() {  # frames of one stream kind, as a decoder counts them
  ffprobe -v error -count_frames -select_streams "$2" -show_entries stream=nb_read_frames \
    -of csv=p=0 "$1" | head -n 1
}
duration() { ffprobe -v error -show_entries format=duration -of csv=p=0 "$1"; }

echo "== 6. What came back (frames as a decoder counts them)"
printf '   %-30s %12s %12s %12s\n' "" "video frames" "audio frames" "duration s"
printf '   %-30s %12s %12s %12.2f\n' intact.mp4 "$(count intact.mp4 v:0)" "$(count intact.mp4 a:0)" \
  "$(duration intact.mp4)"
printf '   %-30s %12s %12s %12.2f\n' "salvaged.h264 + salvaged.aac" "$(count salvaged.h264 v:0)" \
  "$(count salvaged.aac a:0)" "$(duration salvaged.mp4)"
echo "   Play it: out/demo/salvaged.mp4"
