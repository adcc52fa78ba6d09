// The movie writer against real decoders and demuxers: an intact recording is
// read through the box tree, every sample goes through the writer with its
// timing from the recording's tables, and ffmpeg, GStreamer and mkvmerge must
// find the same frames, times and tracks in the copy as in the original.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "io/input_window.h"
#include "io/output_file.h"
#include "mp4/access_unit_assembler.h"
#include "mp4/box_tree.h"
#include "mp4/movie_writer.h"
#include "support/bytes.h"
#include "support/media.h"
#include "support/temp_dir.h"

namespace vidsalvage::test {
namespace {

const char kRecordings[] = VIDSALVAGE_RECORDINGS_DIR;

const std::string kVideoInput =
    "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi "
    "-i anoisesrc=color=pink:amplitude=0.2:sample_rate=48000:seed=7 -t 4 -c:v libx264 "
    "-preset veryfast ";
const std::string kBFramesMp4 =
    kVideoInput + "-bf 3 -g 50 -x264-params open_gop=1 -c:a aac -ac 2 src.mp4";
const std::string kPcmMov = kVideoInput + "-bf 3 -g 25 -c:a pcm_s16le -ac 2 src.mov";

// The per-sample values of a track's ctts and stss, read from the file with the
// test's own box walk.
struct ExtraTables {
  std::vector<std::int32_t> composition_offsets;  // empty: none
  std::vector<bool> sync;                         // empty: every sample is a key
};

ExtraTables extra_tables(const Bytes& file, const BoxRef& trak) {
  const Bytes bytes = slice(file, trak.offset, trak.size);
  ExtraTables t;
  for (const BoxRef& ctts : find_boxes(bytes, "ctts")) {
    const auto count = read_be(bytes, ctts.body_offset() + 4, 4);
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::int64_t at = ctts.body_offset() + 8 + static_cast<std::int64_t>(i) * 8;
      const auto run = read_be(bytes, at, 4);
      const auto offset = static_cast<std::int32_t>(read_be(bytes, at + 4, 4));
      t.composition_offsets.insert(t.composition_offsets.end(), run, offset);
    }
  }
  for (const BoxRef& stss : find_boxes(bytes, "stss")) {
    const auto count = read_be(bytes, stss.body_offset() + 4, 4);
    for (std::uint64_t i = 0; i < count; ++i) {
      const auto n = read_be(bytes, stss.body_offset() + 8 + static_cast<std::int64_t>(i) * 4, 4);
      if (t.sync.size() < n) t.sync.resize(n, false);
      t.sync[n - 1] = true;
    }
  }
  return t;
}

// One sample, or with PCM one chunk of frames, in the order of the file.
struct Piece {
  std::int64_t offset = 0;
  std::uint32_t size = 0;
  std::size_t track = 0;
  SampleTiming timing;
  std::uint32_t frame_bytes = 0;  // PCM: the chunk holds frames of this size
};

std::vector<std::uint32_t> expand_durations(const TrackTables& t) {
  std::vector<std::uint32_t> d;
  for (const DurationRun& run : t.durations) d.insert(d.end(), run.count, run.delta);
  return d;
}

std::vector<Piece> pieces_of(const Bytes& file, const std::vector<TrackTables>& tracks) {
  const std::vector<BoxRef> traks = find_boxes(file, "trak");
  std::vector<Piece> pieces;
  for (std::size_t k = 0; k < tracks.size(); ++k) {
    const TrackTables& t = tracks[k];
    const bool frames = t.handler == "soun" && t.uniform_size != 0;
    std::vector<SampleRef> samples;
    EXPECT_EQ(list_samples(t, static_cast<std::int64_t>(file.size()), frames, samples),
              SampleListStatus::Ok);
    const std::vector<std::uint32_t> durations = expand_durations(t);
    const ExtraTables extra = extra_tables(file, traks.at(k));
    for (std::size_t i = 0; i < samples.size(); ++i) {
      Piece p{samples[i].offset, samples[i].size, k, {}, frames ? t.uniform_size : 0};
      p.timing.duration = frames ? durations.at(0) : durations.at(i);
      if (!extra.composition_offsets.empty()) {
        p.timing.composition_offset = extra.composition_offsets.at(i);
      }
      p.timing.sync = extra.sync.empty() || (i < extra.sync.size() && extra.sync[i]);
      pieces.push_back(p);
    }
  }
  std::stable_sort(pieces.begin(), pieces.end(),
                   [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
  return pieces;
}

// Writes every sample of `source` to `target` with the writer.
void remux(const TempDir& dir, const std::string& source, const std::string& target) {
  const Bytes file = dir.read(source);
  InputWindow input;
  ASSERT_TRUE(open_input(input, dir.path(source).c_str()));
  std::vector<TrackTables> tracks;
  MovieTemplate movie;
  BoxTreeError error;
  ASSERT_TRUE(read_movie(input, tracks, error)) << error.box;
  ASSERT_TRUE(read_movie_template(input, movie, error)) << error.box;
  ASSERT_EQ(movie.tracks.size(), tracks.size());
  OutputFile out;
  ASSERT_TRUE(out.open(dir.path(target).c_str()));
  MovieWriter writer;
  ASSERT_TRUE(writer.start(out, movie));
  for (const Piece& p : pieces_of(file, tracks)) {
    const SampleWrite done =
        p.frame_bytes != 0 ? writer.add_input_frames(p.track, input, p.offset, p.size,
                                                     p.frame_bytes, p.timing.duration)
                           : writer.add_input_sample(p.track, p.timing, input, p.offset, p.size);
    ASSERT_EQ(done, SampleWrite::Done);
  }
  ASSERT_TRUE(writer.finish());
  ASSERT_TRUE(out.close());
}

std::string shell(const TempDir& dir, const std::string& command) {
  return run_and_capture(dir, command + " 2>&1");
}

std::string decode_errors(const TempDir& dir, const std::string& name) {
  return shell(dir, "ffmpeg -nostdin -v error -i " + name + " -f null -");
}

std::string frame_md5(const TempDir& dir, const std::string& name, const std::string& map) {
  return shell(dir, "ffmpeg -nostdin -v error -i " + name + " -map " + map + " -f framemd5 -");
}

std::string packet_md5(const TempDir& dir, const std::string& name, const std::string& map) {
  return shell(dir,
               "ffmpeg -nostdin -v error -i " + name + " -map " + map + " -c copy -f framemd5 -");
}

std::string stream_list(const TempDir& dir, const std::string& name) {
  return shell(dir,
               "ffprobe -v error -show_entries stream=index,codec_type,codec_tag_string,"
               "width,height,sample_rate,channels,time_base,nb_frames -of csv " +
                   name);
}

// What mediainfo reads of the tracks: counts, codecs, picture size, rate, rotation.
std::string media_info(const TempDir& dir, const std::string& name) {
  std::string info;
  for (const char* fields :
       {"General;%VideoCount% %AudioCount% %OtherCount% %Format%|",
        "Video;%Format% %Width%x%Height% %FrameRate% %FrameRate_Mode% %Rotation%|",
        "Audio;%Format% %Channels% %SamplingRate%|"}) {
    info += shell(dir, std::string("mediainfo '--Output=") + fields + "' " + name);
  }
  return info;
}

int exit_status(const TempDir& dir, const std::string& command) {
  const std::string out = run_and_capture(dir, command + " >/dev/null 2>&1; echo $?");
  return std::atoi(out.c_str());
}

std::size_t count_lines_with(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The checks every remux must pass, against the source.
void expect_same_media(const TempDir& dir, const std::string& source, const std::string& copy) {
  EXPECT_EQ(decode_errors(dir, copy), decode_errors(dir, source));
  EXPECT_EQ(stream_list(dir, copy), stream_list(dir, source));
  const std::string info = media_info(dir, source);
  EXPECT_NE(info.find("AVC"), std::string::npos) << info;
  EXPECT_EQ(media_info(dir, copy), info);
  const std::string video = frame_md5(dir, source, "0:v");
  EXPECT_NE(count_lines_with(video, "\n0,"), 0u);
  EXPECT_EQ(frame_md5(dir, copy, "0:v"), video);
  EXPECT_EQ(packet_md5(dir, copy, "0:a"), packet_md5(dir, source, "0:a"));
  EXPECT_EQ(frame_md5(dir, copy, "0:a"), frame_md5(dir, source, "0:a"));
  const std::string tracks = shell(dir, "mkvmerge -i " + copy);
  EXPECT_GE(count_lines_with(tracks, "Track ID"), 2u) << tracks;
  EXPECT_EQ(count_lines_with(tracks, "Track ID"),
            count_lines_with(shell(dir, "mkvmerge -i " + source), "Track ID"))
      << tracks;
}

void expect_gstreamer_plays(const TempDir& dir, const std::string& name) {
  EXPECT_EQ(exit_status(dir, "gst-launch-1.0 -q filesrc location=" + name +
                                 " ! qtdemux name=d d.video_0 ! queue ! fakesink d.audio_0 ! "
                                 "queue ! fakesink"),
            0);
}

TEST(MovieWriterRemux, KeepsFramesTimesAndPacketsOfBFramesWithAac) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir, kBFramesMp4));
  remux(dir, "src.mp4", "out.mp4");
  expect_same_media(dir, "src.mp4", "out.mp4");
  expect_gstreamer_plays(dir, "out.mp4");
  // The B-frames need their composition offsets and an edit to start at 0.
  const Bytes out = dir.read("out.mp4");
  EXPECT_EQ(find_boxes(out, "ctts").size(), 1u);
  EXPECT_EQ(find_boxes(out, "elst").size(), 2u);
}

TEST(MovieWriterRemux, KeepsFramesAndPcmOfQuickTime) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir, kPcmMov));
  remux(dir, "src.mov", "out.mov");
  expect_same_media(dir, "src.mov", "out.mov");
  expect_gstreamer_plays(dir, "out.mov");
  const Bytes out = dir.read("out.mov");
  const Bytes source = dir.read("src.mov");
  EXPECT_EQ(slice(out, 8, 4), bytes_of("qt  "));
  // The PCM track's sizes stay one uniform frame size, not an entry per frame.
  const std::vector<BoxRef> sizes = find_boxes(out, "stsz");
  ASSERT_EQ(sizes.size(), 2u);
  EXPECT_EQ(sizes[1].size, 20);
  EXPECT_EQ(box_body(out, "stsd").value_or(Bytes{}), box_body(source, "stsd").value_or(Bytes{1}));
}

// The track header after its duration: volume, matrix (a phone's rotation), size.
Bytes track_header_tail(const Bytes& file, const BoxRef& tkhd) {
  const std::int64_t duration_end = read_be(file, tkhd.body_offset(), 1) == 1 ? 36 : 24;
  return slice(file, tkhd.body_offset() + duration_end, tkhd.body_size() - duration_end);
}

TEST(MovieWriterRemux, KeepsEveryTrackOfRealRecordings) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  const char* const recordings[] = {"gopro-hero7.mp4", "samsung-android12-4k60.mp4",
                                    "android601-moovfront.mp4"};
  for (const char* name : recordings) {
    SCOPED_TRACE(name);
    const std::string path = std::string(kRecordings) + name;
    std::FILE* probe = std::fopen(path.c_str(), "rb");
    if (probe == nullptr) continue;  // not on this machine
    std::fclose(probe);
    TempDir dir;
    ASSERT_EQ(exit_status(dir, "cp " + path + " src.mp4"), 0);
    remux(dir, "src.mp4", "out.mp4");
    expect_same_media(dir, "src.mp4", "out.mp4");
    expect_gstreamer_plays(dir, "out.mp4");
    if (stream_list(dir, "src.mp4").find(",data,") != std::string::npos) {
      EXPECT_EQ(packet_md5(dir, "out.mp4", "0:d"), packet_md5(dir, "src.mp4", "0:d"));
    }
    const Bytes out = dir.read("out.mp4");
    const Bytes source = dir.read("src.mp4");
    EXPECT_EQ(find_boxes(out, "ftyp").at(0).size, find_boxes(source, "ftyp").at(0).size);
    for (const char* type : {"stsd", "gmhd", "vmhd", "smhd"}) {
      SCOPED_TRACE(type);
      const std::vector<BoxRef> a = find_boxes(out, type);
      const std::vector<BoxRef> b = find_boxes(source, type);
      ASSERT_EQ(a.size(), b.size());
      for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(slice(out, a[i].offset, a[i].size), slice(source, b[i].offset, b[i].size));
      }
    }
    const std::vector<BoxRef> a = find_boxes(out, "tkhd");
    const std::vector<BoxRef> b = find_boxes(source, "tkhd");
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(track_header_tail(out, a[i]), track_header_tail(source, b[i]));
    }
  }
}

// A video-only recording rebuilt from its NAL units alone: the assembler must
// find the recording's own samples and keys, and the writer make a file whose
// frames and times are the original's.
void remux_by_units(const TempDir& dir, const std::string& source, const std::string& target,
                    AccessUnitOptions options) {
  const Bytes file = dir.read(source);
  InputWindow input;
  ASSERT_TRUE(open_input(input, dir.path(source).c_str()));
  std::vector<TrackTables> tracks;
  MovieTemplate movie;
  BoxTreeError error;
  ASSERT_TRUE(read_movie(input, tracks, error) && read_movie_template(input, movie, error));
  ASSERT_EQ(tracks.size(), 1u);
  const std::vector<Piece> samples = pieces_of(file, tracks);
  OutputFile out;
  ASSERT_TRUE(out.open(dir.path(target).c_str()));
  MovieWriter writer;
  ASSERT_TRUE(writer.start(out, movie));
  AccessUnitAssembler assembler(options);
  AccessUnit done;
  std::size_t next = 0;  // the sample the next access unit must match
  const auto write = [&] {
    ASSERT_LT(next, samples.size());
    const Piece& expected = samples[next++];
    EXPECT_EQ(done.units.front().offset, expected.offset + 4);
    EXPECT_EQ(done.sync, expected.timing.sync) << "sample " << next;
    ASSERT_EQ(writer.begin_sample(0, expected.timing), SampleWrite::Done);
    ASSERT_EQ(writer.append_units(input, done.units), SampleWrite::Done);
    ASSERT_EQ(writer.end_sample(), SampleWrite::Done);
  };
  for (const Piece& sample : samples) {
    for (std::int64_t at = sample.offset; at < sample.offset + sample.size;) {
      const auto length = static_cast<std::uint32_t>(read_be(file, at, 4));
      const std::int64_t head = std::min<std::int64_t>(length, kAccessUnitHeadBytes);
      if (assembler.add({at + 4, length}, slice(file, at + 4, head), done)) write();
      at += 4 + length;
    }
  }
  if (assembler.flush(done)) write();
  EXPECT_EQ(next, samples.size());
  ASSERT_TRUE(writer.finish());
  ASSERT_TRUE(out.close());
}

TEST(AccessUnitAssemblerRemux, FindsTheSamplesOfARealStream) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  const std::string video_only =
      "-f lavfi -i testsrc2=size=320x240:rate=25 -t 3 -c:v libx264 -preset veryfast -bf 3 "
      "-g 30 ";
  struct Case {
    const char* params;
    bool recovery_point_is_sync;  // open GOPs mark their keys with recovery points
  };
  const Case cases[] = {{"-x264-params slices=4", false}, {"-x264-params aud=1:open_gop=1", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    TempDir dir;
    ASSERT_TRUE(run_ffmpeg(dir, video_only + c.params + " src.mp4"));
    remux_by_units(dir, "src.mp4", "out.mp4", {.recovery_point_is_sync = c.recovery_point_is_sync});
    EXPECT_EQ(decode_errors(dir, "out.mp4"), "");
    EXPECT_EQ(frame_md5(dir, "out.mp4", "0:v"), frame_md5(dir, "src.mp4", "0:v"));
  }
}

}  // namespace
}  // namespace vidsalvage::test
