// Salvages straight to a playable file, judged by real decoders and demuxers:
// ffmpeg decodes it without a message, the frames (framemd5) come back with the
// intact file's pictures at the intact file's times, the audio packets likewise,
// GStreamer's demuxer and mkvmerge take it. Damaged copies must keep audio and
// video in step across the damage.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/camera_layout.h"
#include "support/cli.h"
#include "support/media.h"
#include "support/salvage_check.h"
#include "support/tracks.h"

namespace vidsalvage::test {
namespace {

constexpr std::size_t kDamageBytes = 256 * 1024;
constexpr double kSameTime = 0.001;  // seconds
constexpr double kInStep = 0.050;    // seconds between the audio's and the video's shift

const std::string kSource =
    "-f lavfi -i testsrc2=size=640x360:rate=30 -f lavfi "
    "-i anoisesrc=color=pink:amplitude=0.2:sample_rate=48000:seed=7 -t 12 -c:v libx264 "
    "-preset veryfast -b:v 3M -bsf:v filter_units=remove_types=6 ";
const std::string kBFrames = kSource + "-g 60 -bf 3 -x264-params open-gop=1 -c:a aac -ac 2 src.mp4";
const std::string kIntraPcm = kSource + "-x264-params aud=1 -g 1 -c:a pcm_s16le -ac 2 src.mov";
const std::string kPlain = kSource + "-g 60 -bf 2 -c:a aac -ac 2 src.mp4";
// Delimiters in front of every picture, as cameras write them: the walk finds its
// way back into the video after damage by them.
const std::string kDelimited = kSource + "-x264-params aud=1 -g 60 -bf 2 -c:a aac -ac 2 src.mp4";

struct Frame {
  double time = 0;  // seconds
  std::string hash;
};

// `ffmpeg -f framemd5` of one stream: decoded pictures, or with `copy` the packets.
std::vector<Frame> frame_hashes(const TempDir& dir, const std::string& file,
                                const std::string& stream, bool copy) {
  const std::string text =
      run_and_capture(dir, "ffmpeg -nostdin -v error -i '" + file + "' -map " + stream +
                               (copy ? " -c copy" : "") + " -f framemd5 - 2>/dev/null");
  std::vector<Frame> frames;
  std::istringstream lines(text);
  std::string line;
  double num = 1;
  double den = 1;
  while (std::getline(lines, line)) {
    if (line.rfind("#tb", 0) == 0) {
      const std::size_t colon = line.find(':');
      const std::size_t slash = line.find('/', colon);
      num = std::stod(line.substr(colon + 1, slash - colon - 1));
      den = std::stod(line.substr(slash + 1));
      continue;
    }
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::istringstream row(line);
    for (std::string f; std::getline(row, f, ',');) {
      f.erase(0, f.find_first_not_of(' '));
      fields.push_back(f);
    }
    if (fields.size() < 6) continue;
    frames.push_back({std::stod(fields[2]) * num / den, fields[5]});
  }
  return frames;
}

struct Matched {
  std::size_t intact = 0;
  std::size_t salvaged = 0;
  std::vector<std::pair<double, double>> times;  // (intact, salvaged) of each match
  // How many matches sit at the first match's shift, within kSameTime.
  std::size_t in_time() const {
    if (times.empty()) return 0;
    const double shift = times.front().second - times.front().first;
    return static_cast<std::size_t>(std::count_if(times.begin(), times.end(), [&](const auto& t) {
      return std::abs(t.second - t.first - shift) <= kSameTime;
    }));
  }
  // The shift of the match nearest to intact time `at`.
  double shift_near(double at) const {
    double best = 1e9;
    double shift = 0;
    for (const auto& [a, s] : times) {
      if (std::abs(a - at) < best) {
        best = std::abs(a - at);
        shift = s - a;
      }
    }
    return shift;
  }
};

// The salvaged frames matched in order against the intact ones by their hash.
Matched match_in_order(const std::vector<Frame>& intact, const std::vector<Frame>& salvaged) {
  std::map<std::string, std::vector<std::size_t>> where;
  for (std::size_t i = 0; i < intact.size(); ++i) where[intact[i].hash].push_back(i);
  Matched m{intact.size(), salvaged.size(), {}};
  std::size_t next = 0;
  for (const Frame& f : salvaged) {
    const auto it = where.find(f.hash);
    if (it == where.end()) continue;
    const auto at = std::lower_bound(it->second.begin(), it->second.end(), next);
    if (at == it->second.end()) continue;
    m.times.emplace_back(intact[*at].time, f.time);
    next = *at + 1;
  }
  return m;
}

int exit_status_of(const TempDir& dir, const std::string& command) {
  const std::string out = run_and_capture(dir, command + " >/dev/null 2>&1; echo $?");
  return std::atoi(out.c_str());
}

std::string decode_errors(const TempDir& dir, const std::string& file) {
  return run_and_capture(dir, "ffmpeg -nostdin -v error -i '" + file + "' -f null - 2>&1");
}

// What mediainfo reads of the tracks: their counts, the codecs, the picture size
// and, `with_rate`, the frame rate, the audio channels and rate.
std::string media_info(const TempDir& dir, const std::string& file, bool with_rate) {
  std::string info;
  for (const char* fields : {"General;%VideoCount% %AudioCount% %OtherCount%|",
                             with_rate ? "Video;%Format% %Width%x%Height% %FrameRate%|"
                                       : "Video;%Format% %Width%x%Height%|",
                             "Audio;%Format% %Channels% %SamplingRate%|"}) {
    info += run_and_capture(dir, std::string("mediainfo '--Output=") + fields + "' '" + file + "'");
  }
  return info;
}

int mkvmerge_tracks(const TempDir& dir, const std::string& file) {
  const std::string out = run_and_capture(dir, "mkvmerge -i '" + file + "' 2>&1");
  int tracks = 0;
  for (std::size_t at = out.find("Track ID"); at != std::string::npos;
       at = out.find("Track ID", at + 1)) {
    ++tracks;
  }
  return tracks;
}

Bytes cut_at_movie(const Bytes& file) {
  const std::vector<BoxRef> moov = find_boxes(file, "moov");
  if (moov.empty()) return {};
  return Bytes(file.begin(), file.begin() + moov.front().offset);
}

// The cut copy with `count` bytes two fifths into it overwritten.
Bytes damaged(Bytes file, bool random) {
  const std::size_t at = file.size() * 2 / 5;
  std::uint32_t state = 12345;
  for (std::size_t i = at; i < at + kDamageBytes && i < file.size(); ++i) {
    state = state * 1103515245u + 12345u;
    file[i] = random ? static_cast<std::uint8_t>(state >> 16) : 0;
  }
  return file;
}

class PlayableTest : public testing::Test {
 protected:
  // Salvages `damaged_name` to `out` in one run with --reference.
  void salvage(const std::string& reference, const std::string& damaged_name,
               const std::string& out) {
    const CliResult run = run_cli(dir_, {damaged_name, out, "--reference", reference});
    ASSERT_EQ(run.status, 0) << run.output;
    ASSERT_TRUE(dir_.exists("reference.model"));
  }

  // Every frame and audio packet back, at the intact file's times.
  void expect_whole(const std::string& intact, const std::string& out, bool audio_packets) {
    EXPECT_EQ(decode_errors(dir_, out), "");
    const Matched v = match_in_order(frame_hashes(dir_, intact, "0:v:0", false),
                                     frame_hashes(dir_, out, "0:v:0", false));
    EXPECT_EQ(v.times.size(), v.intact);
    EXPECT_EQ(v.in_time(), v.intact);
    ASSERT_FALSE(v.times.empty());
    EXPECT_LE(std::abs(v.times.front().second - v.times.front().first), kSameTime);
    // PCM packets are cut where chunks end, which a salvage need not repeat:
    // its decoded samples are compared instead.
    if (audio_packets) {
      const Matched a = match_in_order(frame_hashes(dir_, intact, "0:a:0", true),
                                       frame_hashes(dir_, out, "0:a:0", true));
      EXPECT_GE(a.times.size() * 100, a.intact * 99);
      EXPECT_GE(a.in_time() * 100, a.intact * 95);
    } else {
      const std::string cmd = " -map 0:a:0 -f s16le - 2>/dev/null | md5sum";
      EXPECT_EQ(run_and_capture(dir_, "ffmpeg -nostdin -v error -i " + intact + cmd),
                run_and_capture(dir_, "ffmpeg -nostdin -v error -i " + out + cmd));
    }
  }

  // As many tracks as mkvmerge lists in the intact file (it leaves out kinds it
  // does not carry, such as timecode), and what mediainfo reads of them. Where
  // damage took pictures, their time stays as one long frame, and the average
  // rate mediainfo reads drops with them.
  void expect_readers_take(const std::string& out, const std::string& intact,
                           bool pictures_lost = false) {
    EXPECT_EQ(exit_status_of(dir_, "gst-launch-1.0 -q filesrc location=" + out +
                                       " ! qtdemux name=d d.video_0 ! queue ! fakesink "
                                       "d.audio_0 ! queue ! fakesink"),
              0);
    EXPECT_EQ(mkvmerge_tracks(dir_, out), mkvmerge_tracks(dir_, intact));
    EXPECT_EQ(media_info(dir_, out, !pictures_lost), media_info(dir_, intact, !pictures_lost));
  }

  TempDir dir_;
};

TEST_F(PlayableTest, BFramesInAnOpenGopComeBackInDisplayOrderAndTime) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  ASSERT_TRUE(run_ffmpeg(dir_, kBFrames));
  dir_.write("damaged.mp4", cut_at_movie(dir_.read("src.mp4")));
  salvage("src.mp4", "damaged.mp4", "out.mp4");
  expect_whole("src.mp4", "out.mp4", true);
  expect_readers_take("out.mp4", "src.mp4");
}

TEST_F(PlayableTest, IntraOnlyMovWithPcmStaysQuickTime) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  ASSERT_TRUE(run_ffmpeg(dir_, kIntraPcm));
  dir_.write("damaged.mov", cut_at_movie(dir_.read("src.mov")));
  salvage("src.mov", "damaged.mov", "out.MOV");
  expect_whole("src.mov", "out.MOV", false);
  expect_readers_take("out.MOV", "src.mov");
  const Bytes out = dir_.read("out.MOV");
  ASSERT_GE(out.size(), 12u);
  EXPECT_EQ(std::string(out.begin() + 8, out.begin() + 12), "qt  ");
}

// A phone's recording shows upright by its track header's matrix.
TEST_F(PlayableTest, KeepsTheRotationOfAPhoneRecording) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  ASSERT_TRUE(run_ffmpeg(dir_, kPlain));
  Bytes src = dir_.read("src.mp4");
  const std::vector<BoxRef> tkhd = find_boxes(src, "tkhd");
  ASSERT_FALSE(tkhd.empty());
  // Version 0: the matrix starts 40 bytes into the body; 90 degrees is {0 1 -1 0}.
  const std::size_t matrix = static_cast<std::size_t>(tkhd.front().body_offset()) + 40;
  const std::uint8_t rotated[16] = {0, 0, 0, 0, 0, 1, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0};
  std::copy(std::begin(rotated), std::end(rotated), src.begin() + static_cast<long>(matrix));
  dir_.write("phone.mp4", src);
  dir_.write("damaged.mp4", cut_at_movie(src));
  salvage("phone.mp4", "damaged.mp4", "out.m4v");
  const std::string probe =
      "ffprobe -v error -select_streams v -show_entries "
      "stream_side_data=rotation -of csv=p=0 ";
  const std::string rotation = run_and_capture(dir_, probe + "phone.mp4");
  EXPECT_NE(rotation, "");
  EXPECT_EQ(run_and_capture(dir_, probe + "out.m4v"), rotation);
  expect_whole("phone.mp4", "out.m4v", true);
}

TEST_F(PlayableTest, KeepsTheTelemetryAndDescriptorTracksOfACamera) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  ASSERT_TRUE(run_ffmpeg(dir_, kPlain));
  const CameraRecording rec = build_camera_recording(dir_.read("src.mp4"));
  dir_.write("intact.mp4", rec.file);
  dir_.write("damaged.mp4", cut_movie(rec));
  salvage("intact.mp4", "damaged.mp4", "out.mp4");
  expect_whole("intact.mp4", "out.mp4", true);
  const std::string count = "ffprobe -v error -show_entries stream=index -of csv=p=0 ";
  EXPECT_EQ(run_and_capture(dir_, count + "out.mp4"), run_and_capture(dir_, count + "intact.mp4"));
  expect_readers_take("out.mp4", "intact.mp4");
}

TEST_F(PlayableTest, ARecordingCutInsideASampleEndsPlayable) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  ASSERT_TRUE(run_ffmpeg(dir_, kBFrames));
  Bytes cut = cut_at_movie(dir_.read("src.mp4"));
  cut.resize(cut.size() * 3 / 4);
  dir_.write("damaged.mp4", cut);
  salvage("src.mp4", "damaged.mp4", "out.mp4");
  EXPECT_EQ(decode_errors(dir_, "out.mp4"), "");
  const Matched v = match_in_order(frame_hashes(dir_, "src.mp4", "0:v:0", false),
                                   frame_hashes(dir_, "out.mp4", "0:v:0", false));
  EXPECT_GE(v.times.size() * 100, v.intact * 70);
  EXPECT_EQ(v.in_time(), v.times.size());
  expect_readers_take("out.mp4", "src.mp4");
}

// After 256 KB written over, audio and video resume in step with each other:
// an encode of ffmpeg's and a camera's own recording, whose chunks lie
// differently against each other.
TEST_F(PlayableTest, DamageLeavesAudioAndVideoInStep) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  ASSERT_TRUE(run_ffmpeg(dir_, kDelimited));
  const std::string camera = std::string(VIDSALVAGE_RECORDINGS_DIR) + "gopro-hero7.mp4";
  std::vector<std::string> sources = {"src.mp4"};
  if (std::filesystem::exists(camera)) {
    run_and_capture(dir_, "cp '" + camera + "' camera.mp4");
    sources.push_back("camera.mp4");
  }
  for (const std::string& source : sources) {
    const Bytes cut = cut_at_movie(dir_.read(source));
    for (const bool random : {false, true}) {
      SCOPED_TRACE(source + (random ? ", random bytes" : ", zeros"));
      dir_.write("damaged.mp4", damaged(cut, random));
      salvage(source, "damaged.mp4", "out.mp4");
      const Matched v = match_in_order(frame_hashes(dir_, source, "0:v:0", false),
                                       frame_hashes(dir_, "out.mp4", "0:v:0", false));
      const Matched a = match_in_order(frame_hashes(dir_, source, "0:a:0", true),
                                       frame_hashes(dir_, "out.mp4", "0:a:0", true));
      ASSERT_FALSE(v.times.empty());
      ASSERT_FALSE(a.times.empty());
      EXPECT_GE(v.times.size() * 100, v.intact * 80);
      // Before the damage, and at the end, long after it.
      const double end = v.times.back().first;
      for (const double at : {1.0, end - 0.5}) {
        SCOPED_TRACE(at);
        EXPECT_LT(std::abs(v.shift_near(at) - a.shift_near(at)), kInStep);
        std::printf("%s, %s: at %.1f s, video %+.3f s, audio %+.3f s\n", source.c_str(),
                    random ? "random bytes" : "zeros", at, v.shift_near(at), a.shift_near(at));
      }
      EXPECT_LE(std::abs(v.shift_near(1.0)), kSameTime);
      expect_readers_take("out.mp4", source, true);
    }
  }
}

// Real devices' recordings cut at their movie box (the reserved layout's box
// becomes the free space a dead phone leaves): every frame and every audio
// packet back, with 0 decoder messages. A phone that writes all its audio behind
// the video and pads its slices with zeros is among them.
TEST_F(PlayableTest, RealRecordingsComeBackWhole) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  for (const char* name :
       {"gopro-hero7.mp4", "samsung-android12-4k60.mp4", "android601-moovfront.mp4"}) {
    SCOPED_TRACE(name);
    const std::string path = std::string(VIDSALVAGE_RECORDINGS_DIR) + name;
    if (!std::filesystem::exists(path)) continue;  // not on this machine
    run_and_capture(dir_, "cp '" + path + "' intact.mp4");
    const Bytes intact = dir_.read("intact.mp4");
    const std::vector<BoxRef> moov = find_boxes(intact, "moov");
    const std::vector<BoxRef> mdat = find_boxes(intact, "mdat");
    ASSERT_FALSE(moov.empty());
    ASSERT_FALSE(mdat.empty());
    Bytes cut = intact;
    if (moov.front().offset > mdat.front().offset) {
      cut.resize(static_cast<std::size_t>(moov.front().offset));
    } else {
      const char free_type[] = "free";
      std::copy(free_type, free_type + 4, cut.begin() + moov.front().offset + 4);
    }
    dir_.write("damaged.mp4", cut);
    salvage("intact.mp4", "damaged.mp4", "out.mp4");
    EXPECT_EQ(decode_errors(dir_, "out.mp4"), "");
    for (const char* stream : {"0:v:0", "0:a:0"}) {
      SCOPED_TRACE(stream);
      const bool packets = std::string(stream) == "0:a:0";
      const Matched m = match_in_order(frame_hashes(dir_, "intact.mp4", stream, packets),
                                       frame_hashes(dir_, "out.mp4", stream, packets));
      EXPECT_EQ(m.times.size(), m.intact);
    }
  }
}

// ---- HEVC

// libx265 with B-frames and open GOPs: every 24th picture a CRA whose RASL
// pictures refer to the GOP before.
std::string hevc_source(const std::string& size, int seconds) {
  return "-f lavfi -i testsrc2=size=" + size +
         ":rate=30 -f lavfi -i anoisesrc=color=pink:amplitude=0.2:sample_rate=48000:seed=7 -t " +
         std::to_string(seconds) +
         " -c:v libx265 -preset ultrafast -x265-params "
         "bframes=3:open-gop=1:keyint=24:min-keyint=24:scenecut=0:log-level=error ";
}

// The recording cut at its moov, and also in the middle of the first video
// sample three quarters into it.
std::vector<std::pair<const char*, Bytes>> hevc_cuts(const Bytes& intact) {
  const Bytes at_moov = cut_at_movie(intact);
  std::vector<std::pair<const char*, Bytes>> cuts = {{"cut at the moov", at_moov}};
  const auto target = static_cast<std::int64_t>(at_moov.size()) * 3 / 4;
  for (const Track& t : read_tracks(intact)) {
    if (t.handler != "vide") continue;
    for (const Sample& s : t.samples) {
      if (s.offset < target) continue;
      cuts.push_back({"cut inside a sample", slice(at_moov, 0, s.offset + s.size / 2)});
      break;
    }
  }
  return cuts;
}

// The NAL units of the video samples that lie whole before `end`.
std::vector<Bytes> video_units_before(const Bytes& file, std::int64_t end) {
  for (const Track& t : read_tracks(file)) {
    if (t.handler != "vide") continue;
    std::vector<Sample> whole;
    for (const Sample& s : t.samples) {
      if (s.offset + s.size <= end) whole.push_back(s);
    }
    return length_prefixed_units(file, whole);
  }
  return {};
}

class PlayableHevcTest : public PlayableTest {
 protected:
  void SetUp() override {
    if (!have_ffmpeg_encoder("libx265")) {
      GTEST_SKIP() << "ffmpeg with libx265 is not available; skipping a real-file test";
    }
  }

  // Salvages each cut of the recording `args` make to a playable file and judges it
  // against the intact one: every whole picture back at its time, no decoder
  // message, the reference's sample entry, codec and size, readers that take it.
  void check(const std::string& name, const std::string& args, const std::string& ext,
             bool audio_packets) {
    const std::string intact = "src" + ext;
    const std::string out = "out" + ext;
    ASSERT_TRUE(run_ffmpeg(dir_, args + " " + intact));
    const Bytes src = dir_.read(intact);
    const std::vector<Frame> pictures = frame_hashes(dir_, intact, "0:v:0", false);
    const std::string probe =
        "ffprobe -v error -select_streams v:0 -show_entries "
        "stream=codec_name,codec_tag_string,width,height,pix_fmt -of csv=p=0 ";
    for (const auto& [cut, damaged_bytes] : hevc_cuts(src)) {
      SCOPED_TRACE(name + ", " + cut);
      const bool whole = damaged_bytes.size() == cut_at_movie(src).size();
      dir_.write("damaged" + ext, damaged_bytes);
      salvage(intact, "damaged" + ext, out);
      const std::string errors = decode_errors(dir_, out);
      EXPECT_EQ(errors, "");
      const Matched v = match_in_order(pictures, frame_hashes(dir_, out, "0:v:0", false));
      const std::vector<Bytes> expected =
          video_units_before(src, static_cast<std::int64_t>(damaged_bytes.size()));
      const Bytes salvaged = dir_.read(out);
      const std::size_t units = matched_in_order(
          expected, video_units_before(salvaged, static_cast<std::int64_t>(salvaged.size())));
      std::printf(
          "[ figures  ] HEVC to %s, %s, %s: %zu of %zu pictures identical, %zu in time, "
          "%zu decoder messages, %zu of %zu units byte-exact\n",
          out.c_str(), name.c_str(), cut, v.times.size(), v.intact, v.in_time(),
          static_cast<std::size_t>(std::count(errors.begin(), errors.end(), '\n')), units,
          expected.size());
      // Each whole sample is a picture: decoding order puts its references before it.
      EXPECT_EQ(v.times.size(), whole ? v.intact : expected.size());
      EXPECT_EQ(v.in_time(), v.times.size());
      ASSERT_FALSE(v.times.empty());
      EXPECT_LE(std::abs(v.times.front().second - v.times.front().first), kSameTime);
      EXPECT_EQ(units, expected.size());
      EXPECT_EQ(run_and_capture(dir_, probe + out), run_and_capture(dir_, probe + intact));
      const std::vector<BoxRef> stsd_in = find_boxes(src, "stsd");
      const std::vector<BoxRef> stsd_out = find_boxes(salvaged, "stsd");
      ASSERT_FALSE(stsd_in.empty());
      ASSERT_FALSE(stsd_out.empty());
      EXPECT_EQ(slice(salvaged, stsd_out[0].offset, stsd_out[0].size),
                slice(src, stsd_in[0].offset, stsd_in[0].size));
      expect_readers_take(out, intact);
      if (whole) expect_whole(intact, out, audio_packets);
    }
  }
};

TEST_F(PlayableHevcTest, Hvc1WithAacInMp4) {
  check("720p hvc1, AAC", hevc_source("1280x720", 3) + "-tag:v hvc1 -c:a aac -ac 2", ".mp4", true);
}

TEST_F(PlayableHevcTest, Hev1TenBitWithPcmInMov) {
  check("720p hev1 10-bit, PCM",
        hevc_source("1280x720", 3) + "-tag:v hev1 -pix_fmt yuv420p10le -c:a pcm_s16le -ac 2",
        ".mov", false);
}

TEST_F(PlayableHevcTest, FullHdHvc1WithPcmInMov) {
  check("1080p hvc1, PCM", hevc_source("1920x1080", 2) + "-tag:v hvc1 -c:a pcm_s16le -ac 2", ".mov",
        false);
}

}  // namespace
}  // namespace vidsalvage::test
