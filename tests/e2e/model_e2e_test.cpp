// Recoveries with a learned model, on recordings a real encoder made: laid out as
// ffmpeg writes them, and as action cameras write them (descriptors, timecode and
// telemetry between the samples), intact but for the moov, cut inside a sample, and
// with 64 KB of zeros or random bytes written into the middle. The recovery with
// the recorders' signature tables runs on the same files as the baseline.

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "support/camera_layout.h"
#include "support/cli.h"
#include "support/media.h"
#include "support/salvage_check.h"
#include "support/tracks.h"

namespace vidsalvage::test {
namespace {

constexpr std::size_t kDamageBytes = 64 * 1024;

// Twenty seconds of 640x360 video at 4 Mbit/s (so that 64 KB of damage is a small
// share of it), and pink noise as audio, which gives AAC frames of many sizes.
const std::string kVideoInput =
    "-f lavfi -i testsrc2=size=640x360:rate=30 -f lavfi "
    "-i anoisesrc=color=pink:amplitude=0.2:sample_rate=48000:seed=7 -t 20 -c:v libx264 -preset "
    "veryfast "
    "-b:v 4M -bsf:v filter_units=remove_types=6 ";
const std::string kAacMp4 = kVideoInput + "-x264-params aud=1 -g 60 -bf 2 -c:a aac -ac 2 src.mp4";
const std::string kPcmMov = kVideoInput + "-x264-params aud=1 -g 1 -c:a pcm_s16le -ac 2 src.mov";
const std::string kPlainMp4 = kVideoInput + "-g 60 -bf 0 -c:a aac -ac 2 src.mp4";

struct Share {
  std::size_t matched = 0;
  std::size_t expected = 0;
  double percent() const {
    return expected == 0 ? 100.0
                         : 100.0 * static_cast<double>(matched) / static_cast<double>(expected);
  }
};

struct Salvage {
  int status = 0;
  Share video;
  Share audio;
  std::string output;
};

// The expected units and frames: those the damaged file still holds whole.
struct Expected {
  std::vector<Bytes> units;
  std::vector<Bytes> frames;
  bool pcm = false;
};

Expected whole_before(const CameraRecording& rec, std::int64_t end) {
  Expected e;
  for (const CameraSample& s : rec.samples) {
    if (s.offset + s.size > end) break;
    const Bytes sample(rec.file.begin() + s.offset, rec.file.begin() + s.offset + s.size);
    if (s.track == CameraTrack::Video) {
      for (std::size_t at = 0; at + 4 <= sample.size();) {
        const std::size_t length = std::size_t{sample[at]} << 24 |
                                   std::size_t{sample[at + 1]} << 16 |
                                   std::size_t{sample[at + 2]} << 8 | sample[at + 3];
        e.units.emplace_back(sample.begin() + static_cast<std::ptrdiff_t>(at + 4),
                             sample.begin() + static_cast<std::ptrdiff_t>(at + 4 + length));
        at += 4 + length;
      }
    } else if (s.track == CameraTrack::Audio) {
      e.frames.push_back(sample);
    }
  }
  return e;
}

// The units and frames of an ffmpeg recording; PCM samples, single audio frames,
// go together in the runs they form in the file.
Expected expected_of(const Bytes& intact, bool pcm) {
  Expected e;
  e.pcm = pcm;
  for (const Track& t : read_tracks(intact)) {
    if (t.handler == "vide") e.units = length_prefixed_units(intact, t.samples);
    if (t.handler != "soun") continue;
    std::vector<Sample> runs;
    for (const Sample& s : t.samples) {
      if (pcm && !runs.empty() && runs.back().offset + runs.back().size == s.offset) {
        runs.back().size += s.size;
      } else {
        runs.push_back(s);
      }
    }
    for (const Sample& r : runs) e.frames.push_back(sample_bytes(intact, {r}));
  }
  return e;
}

// Video units after the parameter sets the output opens with.
std::vector<Bytes> units_after_prologue(const Bytes& video) {
  std::vector<Bytes> units = annexb_units(video);
  std::size_t skip = 0;
  while (skip < units.size() && !units[skip].empty() &&
         ((units[skip][0] & 0x1F) == 7 || (units[skip][0] & 0x1F) == 8)) {
    ++skip;
  }
  units.erase(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(skip));
  return units;
}

Share audio_share(const Expected& e, const Bytes& audio) {
  if (e.pcm) {
    const Bytes data = audio.size() > 44 ? Bytes(audio.begin() + 44, audio.end()) : Bytes{};
    return {chunks_in_order(e.frames, data), e.frames.size()};
  }
  return {matched_in_order(e.frames, adts_payloads(audio)), e.frames.size()};
}

Salvage judge(const TempDir& dir, const CliResult& r, const Expected& e, const std::string& video,
              const std::string& audio) {
  Salvage s;
  s.status = r.status;
  s.output = r.output;
  if (r.status != 0) return s;
  s.video = {matched_in_order(e.units, units_after_prologue(dir.read(video))), e.units.size()};
  s.audio = audio_share(e, dir.read(audio));
  return s;
}

// The recovery with a model learned from the intact twin.
Salvage recover_with_model(const TempDir& dir, const std::string& intact,
                           const std::string& damaged, const Expected& e) {
  const CliResult learned = run_cli(dir, {intact, "--model"});
  EXPECT_EQ(learned.status, 0) << learned.output;
  const std::string audio = e.pcm ? "model.wav" : "model.aac";
  const CliResult r = run_cli(dir, {damaged, "model.h264", audio, "--model"});
  return judge(dir, r, e, "model.h264", audio);
}

// The recovery with avcc.hdr, mp4a.hdr and a recorder profile: the baseline.
Salvage recover_with_tables(const TempDir& dir, const std::string& intact,
                            const std::string& damaged, const Expected& e,
                            const std::vector<std::string>& options) {
  run_cli(dir, {intact, "--avcc"});
  const std::string audio = e.pcm ? "base.wav" : "base.aac";
  std::vector<std::string> args = {damaged, "base.h264", audio};
  args.insert(args.end(), options.begin(), options.end());
  const CliResult r = run_cli(dir, args);
  Salvage s;
  s.status = r.status;
  if (r.status != 0) return s;
  s.video = {matched_in_order(e.units, units_after_prologue(dir.read("base.h264"))),
             e.units.size()};
  // A baseline whose audio is no valid stream counts as none recovered.
  try {
    s.audio = audio_share(e, dir.read(audio));
  } catch (const std::exception&) {
    s.audio = {0, e.frames.size()};
  }
  return s;
}

void print_figures(const std::string& name, const Salvage& model, const Salvage& base) {
  std::printf(
      "[ figures  ] %s: model video %.2f%% audio %.2f%%; signature tables video %.2f%% "
      "audio %.2f%%\n",
      name.c_str(), model.video.percent(), model.audio.percent(), base.video.percent(),
      base.audio.percent());
}

// The errors ffmpeg reports while decoding `name`.
std::string decode_errors(const TempDir& dir, const std::string& name) {
  return run_and_capture(dir, "ffmpeg -nostdin -v error -i " + name + " -f null - 2>&1");
}

// Writes the output's video from the first IDR picture at or after `from` (an
// index among its units), behind its parameter sets, and its audio frames from
// `audio_from`, so that what follows a damaged stretch can be decoded alone.
void write_tail(const TempDir& dir, const Bytes& video, std::size_t from, const Bytes& audio,
                std::size_t audio_from) {
  const std::vector<Bytes> all = annexb_units(video);
  const std::vector<Bytes> units = units_after_prologue(video);
  Bytes tail;
  const Bytes start_code = {0, 0, 0, 1};
  for (std::size_t k = 0; k < all.size() - units.size(); ++k)
    append(tail, concat({start_code, all[k]}));
  std::size_t k = from;
  while (k < units.size() && (units[k][0] & 0x1F) != 5) ++k;
  for (; k < units.size(); ++k) append(tail, concat({start_code, units[k]}));
  dir.write("tail.h264", tail);
  Bytes frames;
  std::size_t at = 0;
  for (std::size_t f = 0; at + 7 <= audio.size(); ++f) {
    const std::size_t length = (std::size_t{audio[at + 3]} & 3) << 11 |
                               std::size_t{audio[at + 4]} << 3 | audio[at + 5] >> 5;
    if (f >= audio_from)
      frames.insert(frames.end(), audio.begin() + static_cast<std::ptrdiff_t>(at),
                    audio.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
  }
  dir.write("tail.aac", frames);
}

// The index in `found` of the first item equal to one of `expected` from `first`
// on; items of a few bytes (delimiters) stand everywhere and are passed over.
std::size_t first_found(const std::vector<Bytes>& found, const std::vector<Bytes>& expected,
                        std::size_t first) {
  constexpr std::size_t kDistinctBytes = 16;
  for (std::size_t e = first; e < expected.size() && e < first + 8; ++e) {
    if (expected[e].size() < kDistinctBytes) continue;
    for (std::size_t k = 0; k < found.size(); ++k) {
      if (found[k] == expected[e]) return k;
    }
  }
  return found.size();
}

class CameraLayoutTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed; skipping a real-file test";
  }

  void make(const std::string& ffmpeg_args, const std::string& source) {
    ASSERT_TRUE(run_ffmpeg(dir_, ffmpeg_args));
    rec_ = build_camera_recording(dir_.read(source));
    dir_.write("intact.mp4", rec_.file);
  }

  TempDir dir_;
  CameraRecording rec_;
};

TEST_F(CameraLayoutTest, RecoversEverySampleOfARecordingCutAtItsMoov) {
  make(kAacMp4, "src.mp4");
  dir_.write("damaged.mp4", cut_movie(rec_));
  const Expected e = whole_before(rec_, rec_.movie_offset);
  const Salvage model = recover_with_model(dir_, "intact.mp4", "damaged.mp4", e);
  const Salvage base = recover_with_tables(dir_, "intact.mp4", "damaged.mp4", e, {});
  print_figures("camera layout, AAC", model, base);
  ASSERT_EQ(model.status, 0) << model.output;
  EXPECT_GE(model.video.percent(), 99.9);
  EXPECT_GE(model.audio.percent(), 99.0);
  EXPECT_EQ(decode_errors(dir_, "model.h264"), "");
  EXPECT_EQ(decode_errors(dir_, "model.aac"), "");
  // The descriptors, the timecode and the telemetry are counted, never written.
  EXPECT_NE(model.output.find("Skipped 1 samples of track 4 beginning 00 01 5F 90, 4 bytes\n"),
            std::string::npos)
      << model.output;
}

TEST_F(CameraLayoutTest, RecoversUpToACutInsideASample) {
  make(kAacMp4, "src.mp4");
  const Bytes damaged = cut_inside_sample(rec_);
  dir_.write("damaged.mp4", damaged);
  const Expected e = whole_before(rec_, static_cast<std::int64_t>(damaged.size()));
  const Salvage model = recover_with_model(dir_, "intact.mp4", "damaged.mp4", e);
  const Salvage base = recover_with_tables(dir_, "intact.mp4", "damaged.mp4", e, {});
  print_figures("camera layout, cut inside a sample", model, base);
  ASSERT_EQ(model.status, 0) << model.output;
  EXPECT_GE(model.video.percent(), 99.9);
  EXPECT_GE(model.audio.percent(), 99.0);
  EXPECT_EQ(decode_errors(dir_, "model.aac"), "");
}

class DamagedMiddleTest : public CameraLayoutTest, public testing::WithParamInterface<bool> {};

TEST_P(DamagedMiddleTest, RecoversAroundSixtyFourKilobytesOfDamage) {
  const bool random = GetParam();
  make(kAacMp4, "src.mp4");
  dir_.write("damaged.mp4", overwrite_middle(rec_, kDamageBytes, random));
  const Expected e = whole_before(rec_, rec_.movie_offset);
  const Salvage model = recover_with_model(dir_, "intact.mp4", "damaged.mp4", e);
  const Salvage base = recover_with_tables(dir_, "intact.mp4", "damaged.mp4", e, {});
  print_figures(random ? "camera layout, 64 KB random" : "camera layout, 64 KB zeros", model, base);
  ASSERT_EQ(model.status, 0) << model.output;
  EXPECT_GE(model.video.percent(), 98.0);
  EXPECT_GE(model.audio.percent(), 98.0);
  // What follows the damaged stretch decodes without an error.
  const std::int64_t after = middle_of_media(rec_) + static_cast<std::int64_t>(kDamageBytes);
  const Expected before = whole_before(rec_, after);
  const Bytes video = dir_.read("model.h264");
  const Bytes audio = dir_.read("model.aac");
  const std::size_t unit = first_found(units_after_prologue(video), e.units, before.units.size());
  const std::size_t frame = first_found(adts_payloads(audio), e.frames, before.frames.size());
  write_tail(dir_, video, unit, audio, frame);
  EXPECT_EQ(decode_errors(dir_, "tail.h264"), "");
  EXPECT_EQ(decode_errors(dir_, "tail.aac"), "");
}

std::string damage_name(const testing::TestParamInfo<bool>& param) {
  return param.param ? "Random" : "Zeros";
}

INSTANTIATE_TEST_SUITE_P(ZerosAndRandomBytes, DamagedMiddleTest, testing::Values(false, true),
                         damage_name);

TEST_F(CameraLayoutTest, RecoversPcmAudioIntoAWavFile) {
  make(kPcmMov, "src.mov");
  dir_.write("damaged.mov", cut_movie(rec_));
  Expected e = whole_before(rec_, rec_.movie_offset);
  e.pcm = true;
  const Salvage model = recover_with_model(dir_, "intact.mp4", "damaged.mov", e);
  const Salvage base = recover_with_tables(dir_, "intact.mp4", "damaged.mov", e, {"--eos"});
  print_figures("camera layout, PCM", model, base);
  ASSERT_EQ(model.status, 0) << model.output;
  EXPECT_GE(model.video.percent(), 99.9);
  EXPECT_GE(model.audio.percent(), 99.0);
  EXPECT_EQ(decode_errors(dir_, "model.h264"), "");
  EXPECT_EQ(decode_errors(dir_, "model.wav"), "");
}

TEST_F(CameraLayoutTest, GivesTheSameFilesMappedAndWindowedBeyondTheWindow) {
  ASSERT_TRUE(run_ffmpeg(dir_, kAacMp4));
  CameraLayoutOptions options;
  options.repeats = 8;  // about 80 MB: reloads fall inside samples and searches
  options.keep_media = false;
  rec_ = build_camera_recording(dir_.read("src.mp4"), options);
  ASSERT_GT(rec_.movie_offset, 64 * 1024 * 1024);
  dir_.write("intact.mp4", rec_.file);
  dir_.write("damaged.mp4", overwrite_middle(rec_, kDamageBytes, true));
  ASSERT_EQ(run_cli(dir_, {"intact.mp4", "--model"}).status, 0);
  const CliResult windowed =
      run_cli(dir_, {"damaged.mp4", "w.h264", "w.aac", "--model"}, {.force_window = true});
  const CliResult mapped = run_cli(dir_, {"damaged.mp4", "m.h264", "m.aac", "--model"});
  ASSERT_EQ(mapped.status, 0) << mapped.output;
  ASSERT_EQ(windowed.status, 0) << windowed.output;
  EXPECT_TRUE(dir_.read("w.h264") == dir_.read("m.h264"));
  EXPECT_TRUE(dir_.read("w.aac") == dir_.read("m.aac"));
  // The windowed run prints its warning after the banner; the names differ; nothing else.
  std::string expected = mapped.raw_output;
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"m.h264", "w.h264"},
                                 std::pair<std::string, std::string>{"m.aac", "w.aac"}}) {
    for (std::size_t at = expected.find(from); at != std::string::npos;
         at = expected.find(from, at)) {
      expected.replace(at, from.size(), to);
    }
  }
  const std::string warning = "WARNING: Used slow file read method\n";
  expected.insert(banner().size(), warning);
  EXPECT_TRUE(windowed.raw_output == expected);
}

struct PlainCase {
  const char* name;
  const std::string* ffmpeg_args;
  const char* source;
  bool large_size;  // the mdat in its 64-bit size form
  std::vector<std::string> profile;
};

void PrintTo(const PlainCase& c, std::ostream* os) { *os << c.name; }

class PlainLayoutTest : public testing::TestWithParam<PlainCase> {};

// Recordings as ffmpeg lays them out: chunks of video samples, then of audio.
TEST_P(PlainLayoutTest, RecoversARecordingCutAtItsMoov) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  const PlainCase& c = GetParam();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir, *c.ffmpeg_args));
  Bytes intact = dir.read(c.source);
  if (c.large_size) intact = with_large_media_size(intact);
  dir.write("intact.mp4", intact);
  dir.write("damaged.mp4", cut_moov(intact));
  const bool pcm = std::string(c.source) == "src.mov";
  const Expected e = expected_of(intact, pcm);
  const Salvage model = recover_with_model(dir, "intact.mp4", "damaged.mp4", e);
  const Salvage base = recover_with_tables(dir, "intact.mp4", "damaged.mp4", e, c.profile);
  print_figures(c.name, model, base);
  ASSERT_EQ(model.status, 0) << model.output;
  EXPECT_GE(model.video.percent(), 99.9);
  EXPECT_GE(model.audio.percent(), 99.0);
  EXPECT_EQ(decode_errors(dir, "model.h264"), "");
  EXPECT_EQ(decode_errors(dir, e.pcm ? "model.wav" : "model.aac"), "");
}

const PlainCase kPlainCases[] = {
    {"plain MP4 with delimiters and B-frames", &kAacMp4, "src.mp4", false, {}},
    {"plain MOV, intra-only, PCM", &kPcmMov, "src.mov", false, {"--eos"}},
    {"plain MP4 without delimiters, 64-bit mdat size", &kPlainMp4, "src.mp4", true, {"--android"}},
};

std::string plain_name(const testing::TestParamInfo<PlainCase>& param) {
  constexpr const char* kNames[] = {"Delimiters", "IntraPcm", "NoDelimitersLargeSize"};
  return kNames[param.index];
}

INSTANTIATE_TEST_SUITE_P(FfmpegRecordings, PlainLayoutTest, testing::ValuesIn(kPlainCases),
                         plain_name);

}  // namespace
}  // namespace vidsalvage::test
