#include "recovery/model_walk.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "recovery/model_fixture.h"
#include "recovery/walk_harness.h"
#include "support/cli.h"
#include "support/environment.h"

namespace vidsalvage {
namespace {
using test::append;
using test::Bytes;
using test::concat;

struct WalkRun {
  WalkOutcome outcome = WalkOutcome::Finished;
  std::string output;  // as a terminal shows it: progress lines overwritten
  Bytes video;
  Bytes audio;
};

struct WalkSetup {
  bool windowed = false;
};

WalkRun walk(const Bytes& media, const StreamModel& model, const WalkSetup& setup = {},
             std::int64_t media_end = -2) {  // -2: where the media ends
  test::OpenInput in(media, setup.windowed);
  AudioOutput audio;
  audio.mode = model.audio.role == TrackRole::Pcm ? AudioMode::Pcm : AudioMode::Aac;
  audio.adts = test::kLcStereo48k;
  OutputFile video;
  EXPECT_TRUE(video.open(in.dir.path("video.out").c_str()));
  EXPECT_TRUE(audio.file.open(in.dir.path("audio.out").c_str()));
  WalkRun run;
  testing::internal::CaptureStdout();
  run.outcome =
      walk_with_model(in.input, 0, model, audio, video,
                      media_end == -2 ? static_cast<std::int64_t>(media.size()) : media_end);
  run.output = test::terminal_view(testing::internal::GetCapturedStdout());
  (void)video.close();
  (void)audio.file.close();
  run.video = in.dir.read("video.out");
  run.audio = in.dir.read("audio.out");
  return run;
}

const Bytes kStartCode = {0, 0, 0, 1};

Bytes annex_b(const Bytes& prefixed_units) {
  Bytes out;
  for (std::size_t at = 0; at + 4 <= prefixed_units.size();) {
    const std::size_t length = std::size_t{prefixed_units[at + 2]} << 8 | prefixed_units[at + 3];
    append(out, kStartCode);
    out.insert(out.end(), prefixed_units.begin() + static_cast<std::ptrdiff_t>(at + 4),
               prefixed_units.begin() + static_cast<std::ptrdiff_t>(at + 4 + length));
    at += 4 + length;
  }
  return out;
}

Bytes adts(const Bytes& frame) {
  const std::size_t length = frame.size() + 7;
  Bytes h = {0xFF,
             0xF1,
             0x4C,
             static_cast<std::uint8_t>(0x80 | (length >> 11)),
             static_cast<std::uint8_t>(length >> 3),
             static_cast<std::uint8_t>(0x1F | ((length & 7) << 5)),
             0xFC};
  append(h, frame);
  return h;
}

class ModelWalkTest : public testing::Test {
 protected:
  StreamModel model_ = test::camera_model();
};

TEST_F(ModelWalkTest, FollowsAnnouncementsAndSkipsOtherTracks) {
  const Bytes first = concat({test::delimiter(), test::idr_slice(20)});
  const Bytes second = concat({test::delimiter(), test::p_slice(10)});
  const Bytes audio = test::aac_frame(100);
  const Bytes media =
      concat({test::descriptor(1, first.size()), first, test::descriptor(2, audio.size(), 1), audio,
              test::descriptor(5, 128, 2), test::telemetry_sample(120),
              test::descriptor(1, second.size(), 3), second});
  const WalkRun run = walk(media, model_);
  EXPECT_EQ(run.outcome, WalkOutcome::Finished);
  EXPECT_EQ(run.video, concat({annex_b(first), annex_b(second)}));
  EXPECT_EQ(run.audio, adts(audio));
  EXPECT_EQ(run.output,
            "H264: 0x00000010 [0x       6] -> [0x       0]\n"
            "H264: 0x00000016 [0x      1B] -> [0x       6]\n"
            " AAC: 0x00000041 [0x      64]\n"
            "H264: 0x00000145 [0x       6] -> [0x      21]\n"
            "H264: 0x0000014B [0x      10] -> [0x      27]\n"
            "Skipped 2 samples of track 3 beginning 47 50 01 00, 32 bytes\n"
            "Skipped 1 samples of track 3 beginning 47 50 02 00, 16 bytes\n"
            "Skipped 1 samples of track 3 beginning 47 50 05 00, 16 bytes\n"
            "Skipped 1 samples of track 5 beginning 44 45 56 43, 128 bytes\n");
}

TEST_F(ModelWalkTest, ChecksAnAnnouncedVideoSampleUnitByUnit) {
  // The descriptor announces one byte too many: the units do not fill the sample,
  // and the walk takes them as a chain instead.
  const Bytes sample = concat({test::delimiter(), test::p_slice(10)});
  const Bytes audio = test::aac_frame(100);
  const Bytes media = concat({test::descriptor(1, sample.size() + 1), sample,
                              test::descriptor(2, audio.size(), 1), audio});
  const WalkRun run = walk(media, model_);
  EXPECT_EQ(run.video, annex_b(sample));
  EXPECT_EQ(run.audio, adts(audio));
}

TEST_F(ModelWalkTest, LeavesOutWhatOnlyDamageCanBe) {
  // Audio always came behind an announcement: unannounced bytes are not audio.
  // The damage may have begun inside the unit before it, which goes with it.
  const Bytes sample = concat({test::delimiter(), test::p_slice(10)});
  const Bytes media = concat({test::descriptor(1, sample.size()), sample, Bytes(300, 0),
                              test::descriptor(1, sample.size(), 1), sample});
  const WalkRun run = walk(media, model_);
  EXPECT_EQ(run.video, concat({annex_b(test::delimiter()), annex_b(sample)}));
  EXPECT_EQ(run.audio, Bytes{});
  EXPECT_NE(run.output.find("skip: 0x00000016 [0x     13C]\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Skipped 1 damaged stretches, 316 bytes\n"), std::string::npos);
}

TEST_F(ModelWalkTest, CutsUnannouncedAudioIntoFrames) {
  // A recorder without descriptors: video samples and frames back to back.
  model_.audio.announced = 0;
  const Bytes sample = concat({test::delimiter(), test::p_slice(50)});
  const Bytes frames =
      concat({test::aac_frame(110, 0x11), test::aac_frame(100, 0x12), test::aac_frame(120, 0x13)});
  const WalkRun run = walk(concat({sample, frames, sample, frames}), model_);
  EXPECT_EQ(run.video, concat({annex_b(sample), annex_b(sample)}));
  const Bytes audio = concat({adts(test::aac_frame(110, 0x11)), adts(test::aac_frame(100, 0x12)),
                              adts(test::aac_frame(120, 0x13))});
  // The last stretch runs to the end of the input, which ends it.
  EXPECT_EQ(run.audio, concat({audio, audio}));
}

TEST_F(ModelWalkTest, TurnsBigEndianPcmAround) {
  model_.audio.role = TrackRole::Pcm;
  model_.tracks[1].role = TrackRole::Pcm;
  model_.audio.bits = 16;
  model_.audio.channels = 2;
  model_.audio.little_endian = false;
  const Bytes sample = concat({test::delimiter(), test::p_slice(10)});
  const Bytes pcm = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  const Bytes media =
      concat({test::descriptor(1, sample.size()), sample, test::descriptor(2, pcm.size(), 1), pcm});
  WalkRun run = walk(media, model_);
  EXPECT_EQ(run.audio, (Bytes{0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x08, 0x07}));
  EXPECT_NE(run.output.find(" PCM: 0x00000036 [0x       8] -> [0x       0]\n"), std::string::npos)
      << run.output;
  model_.audio.little_endian = true;
  run = walk(media, model_);
  EXPECT_EQ(run.audio, pcm);
}

TEST_F(ModelWalkTest, WritesTheSameThroughTheWindow) {
  const Bytes sample = concat({test::delimiter(), test::p_slice(300)});
  Bytes media;
  for (std::uint8_t k = 0; k < 20; ++k) {
    append(media, concat({test::descriptor(1, sample.size(), k), sample,
                          test::descriptor(2, 110, k), test::aac_frame(110, k)}));
    if (k == 9) append(media, test::pseudo_random_bytes(5000, 9));
  }
  const WalkRun mapped = walk(media, model_);
  const WalkRun windowed = walk(media, model_, {.windowed = true});
  EXPECT_EQ(mapped.video.size(), 20 * (6 + 306));
  EXPECT_EQ(windowed.video, mapped.video);
  EXPECT_EQ(windowed.audio, mapped.audio);
  EXPECT_EQ(windowed.output, mapped.output);
}

// Where the media data ends the walk ends: a vendor's trailer after it is never
// audio, though it looks like frames. Where the recording was cut, the last
// frame of a stretch that runs to the end was cut too.
TEST_F(ModelWalkTest, EndsWhereTheMediaDataEnds) {
  model_.audio.announced = 0;
  const Bytes sample = concat({test::delimiter(), test::p_slice(50)});
  const Bytes frames = concat({test::aac_frame(110, 0x11), test::aac_frame(100, 0x12)});
  const Bytes media = concat({sample, frames, sample, frames});
  const Bytes trailer = concat({test::aac_frame(120, 0x21), test::aac_frame(110, 0x22)});
  const WalkRun whole = walk(media, model_);
  const WalkRun with_trailer =
      walk(concat({media, trailer}), model_, {}, static_cast<std::int64_t>(media.size()));
  EXPECT_EQ(with_trailer.video, whole.video);
  EXPECT_EQ(with_trailer.audio, whole.audio);
  EXPECT_EQ(with_trailer.output, whole.output);
  const WalkRun cut = walk(media, model_, {}, kNotFound);
  const Bytes last = adts(test::aac_frame(100, 0x12));
  ASSERT_GT(whole.audio.size(), last.size());
  EXPECT_EQ(cut.audio, Bytes(whole.audio.begin(),
                             whole.audio.end() - static_cast<std::ptrdiff_t>(last.size())));
}

// A recording cut inside a video sample: the audio before the sample ends where
// the sample begins, its last frame whole, and no frame is cut from the sample.
TEST_F(ModelWalkTest, EndsTheAudioWhereAVideoSampleCutByTheEndBegins) {
  model_.audio.announced = 0;
  const Bytes sample = concat({test::delimiter(), test::p_slice(50)});
  const Bytes frames =
      concat({test::aac_frame(110, 0x11), test::aac_frame(100, 0x12), test::aac_frame(120, 0x13)});
  const Bytes cut_sample(sample.begin(), sample.begin() + 30);  // the slice's first 20 bytes
  for (const bool windowed : {false, true}) {
    SCOPED_TRACE(windowed ? "windowed" : "mapped");
    const WalkRun run =
        walk(concat({sample, frames, sample, frames, cut_sample}), model_, {windowed}, kNotFound);
    const Bytes audio = concat({adts(test::aac_frame(110, 0x11)), adts(test::aac_frame(100, 0x12)),
                                adts(test::aac_frame(120, 0x13))});
    EXPECT_EQ(run.audio, concat({audio, audio}));
    // The cut sample's delimiter, no picture without its slice, goes with it.
    EXPECT_EQ(run.video, concat({annex_b(sample), annex_b(sample)}));
    EXPECT_NE(run.output.find("skip: 0x00000310 [0x      1E]\n"), std::string::npos) << run.output;
  }
}

// Four bytes inside an audio frame can read as the length of a video unit that
// runs past the end of the input, as the sample a cut ends would: the walk takes
// the samples that hold behind them, and the frame whole.
TEST_F(ModelWalkTest, TakesTheSamplesBehindAFalseStartThatClaimsTheRestOfTheInput) {
  // A recorder without delimiters: a slice opens each sample.
  model_.audio.announced = 0;
  model_.video.first_units = {{0x41, 0x9A, 0}};
  const Bytes sample = test::p_slice(50);
  Bytes claiming = test::aac_frame(120, 0x13);
  const Bytes claim = {0x00, 0x00, 0x03, 0x80, 0x41, 0x9A};  // a slice of 896 bytes
  std::copy(claim.begin(), claim.end(), claiming.begin() + 40);
  const Bytes frames = concat({test::aac_frame(110, 0x11), test::aac_frame(100, 0x12), claiming});
  const Bytes audio =
      concat({adts(test::aac_frame(110, 0x11)), adts(test::aac_frame(100, 0x12)), adts(claiming)});
  for (const bool windowed : {false, true}) {
    SCOPED_TRACE(windowed ? "windowed" : "mapped");
    const WalkRun run =
        walk(concat({sample, frames, sample, frames, sample}), model_, {windowed}, kNotFound);
    EXPECT_EQ(run.video, concat({annex_b(sample), annex_b(sample), annex_b(sample)}));
    EXPECT_EQ(run.audio, concat({audio, audio}));
    EXPECT_EQ(run.output.find("skip:"), std::string::npos) << run.output;
  }
}

// A second AAC track whose frames begin otherwise: each frame of a stretch goes
// to its own track's file, the first track's trace lines as with one track.
TEST_F(ModelWalkTest, WritesEachAudioTrackToItsOwnFile) {
  model_.audio.announced = 0;
  ModelTrack mono = model_.tracks[1];
  mono.id = 4;
  model_.tracks.push_back(mono);
  AudioModel second = model_.audio;
  second.track = 4;
  second.starts2 = {{0x00E8, 100}};
  second.starts3 = {};
  second.sizes = {{60, 50}, {70, 50}};
  model_.more_audio = {second};
  const auto mono_frame = [](std::size_t size, std::uint8_t fill) {
    Bytes f = {0x00, 0xE8};
    append(f, Bytes(size - 2, fill));
    return f;
  };
  const Bytes sample = concat({test::delimiter(), test::p_slice(50)});
  const Bytes stretch = concat({test::aac_frame(110, 0x11), mono_frame(60, 0x21),
                                test::aac_frame(100, 0x12), mono_frame(70, 0x22)});
  const Bytes media = concat({sample, stretch, sample, stretch, sample});
  test::OpenInput in(media, false);
  AudioOutput first;
  first.adts = test::kLcStereo48k;
  std::array<AudioOutput, 1> more;
  more[0].adts = test::kLcStereo48k;
  OutputFile video;
  ASSERT_TRUE(video.open(in.dir.path("video.out").c_str()));
  ASSERT_TRUE(first.file.open(in.dir.path("first.out").c_str()));
  ASSERT_TRUE(more[0].file.open(in.dir.path("second.out").c_str()));
  testing::internal::CaptureStdout();
  const WalkOutcome outcome = walk_with_model(in.input, 0, model_, first, video,
                                              static_cast<std::int64_t>(media.size()), more);
  const std::string output = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(video.close() && first.file.close() && more[0].file.close());
  EXPECT_EQ(outcome, WalkOutcome::Finished);
  const Bytes firsts = concat({adts(test::aac_frame(110, 0x11)), adts(test::aac_frame(100, 0x12))});
  const Bytes seconds = concat({adts(mono_frame(60, 0x21)), adts(mono_frame(70, 0x22))});
  EXPECT_EQ(in.dir.read("first.out"), concat({firsts, firsts}));
  EXPECT_EQ(in.dir.read("second.out"), concat({seconds, seconds}));
  EXPECT_NE(
      output.find(" AAC: 0x0000003E [0x      6E]\n AAC of track 4: 0x000000AC [0x      3C]\n"),
      std::string::npos)
      << output;
}

// A read that fails ends the walk with its own outcome; what was written stays.
TEST_F(ModelWalkTest, StopsWhenTheInputCannotBeRead) {
  const Bytes sample = concat({test::delimiter(), test::p_slice(300)});
  Bytes media;
  for (std::uint8_t k = 0; k < 40; ++k) {
    append(media, concat({test::descriptor(1, sample.size(), k), sample}));
  }
  test::TempDir dir;
  dir.write("input.bin", media);
  // A small window makes many reads; the third one fails, as a failing disk would.
  const test::ScopedVariable failing("VIDSALVAGE_TEST_FAIL_READ", "3");
  InputWindow input;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(open_input(input, dir.path("input.bin").c_str(),
                         {.allow_mapping = false, .window_bytes = 4096}));
  AudioOutput audio;
  OutputFile video;
  EXPECT_TRUE(video.open(dir.path("video.out").c_str()));
  const WalkOutcome outcome = walk_with_model(input, 0, model_, audio, video);
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(video.close());
  EXPECT_EQ(outcome, WalkOutcome::ReadFailed);
  EXPECT_TRUE(input_failed(input));
  // What came before the failure, each unit as it was, and not all of it.
  const Bytes written = dir.read("video.out");
  Bytes all;
  for (int k = 0; k < 40; ++k) append(all, annex_b(sample));
  EXPECT_GE(written.size(), annex_b(sample).size());
  ASSERT_LT(written.size(), all.size());
  EXPECT_TRUE(std::equal(written.begin(), written.end(), all.begin()));
}

// A model that parses but says extreme things leaves the walk standing on any
// bytes: huge sizes, one- and two-byte lengths, long KLV chains, links at the end.
TEST_F(ModelWalkTest, SurvivesExtremeModelsOnAnyBytes) {
  std::vector<StreamModel> models;
  for (std::uint32_t length_size : {1u, 2u, 4u}) {
    StreamModel m = test::camera_model();
    m.video.nal_length_size = length_size;
    m.video.max_sample = 0xFFFFFFFF;
    m.video.max_gap = ~std::uint64_t{0};
    m.video.first_units.push_back({0x41, -1, 0});
    PrefixClass& devc = m.tracks[3].classes[0];
    devc.size_rule = SizeRule::Klv;
    devc.klv_items = kMaxKlvItems;
    devc.max_size = 0xFFFFFFFF;
    m.tracks[2].link = {28, 4, true, -5};
    m.audio.announced = length_size == 2 ? 0 : m.audio.samples;
    models.push_back(m);
  }
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    Bytes media = test::pseudo_random_bytes(20000, seed);
    for (std::size_t at = 0; at + 40 < media.size(); at += 311 * seed % 900 + 64) {
      const Bytes plant = seed % 3 == 0 ? test::telemetry_sample(0)
                          : seed % 3 == 1
                              ? test::descriptor(static_cast<std::uint8_t>(seed), seed * 77)
                              : concat({test::delimiter(), test::p_slice(seed)});
      std::copy(plant.begin(), plant.end(), media.begin() + static_cast<std::ptrdiff_t>(at));
    }
    for (const StreamModel& m : models) {
      const WalkRun run = walk(media, m);
      EXPECT_EQ(run.outcome, WalkOutcome::Finished);
    }
  }
}

TEST(ModelWalkHevc, WritesTheBaseLayerAndSkipsHigherLayers) {
  const StreamModel model = test::hevc_model();
  const Bytes aud = test::length_prefixed({0x46, 0x01, 0x50});
  const Bytes idr = test::length_prefixed(test::hevc_slice(test::kIdrWRadl, 2));
  const Bytes trail = test::length_prefixed(test::hevc_slice(test::kTrailR, 1));
  const Bytes layer1 = test::length_prefixed(test::hevc_slice(test::kTrailR, 1, 5, true, 1, 1));
  const WalkRun run = walk(concat({aud, idr, layer1, aud, trail, layer1, aud, trail}), model);
  EXPECT_EQ(run.video, annex_b(concat({aud, idr, aud, trail, aud, trail})));
  EXPECT_NE(run.output.find("Skipped 2 units of higher layers, 98 bytes\n"), std::string::npos)
      << run.output;
  // The trace names the coding of each unit written.
  std::size_t traced = 0;
  for (std::size_t at = run.output.find("H265: 0x"); at != std::string::npos;
       at = run.output.find("H265: 0x", at + 1)) {
    ++traced;
  }
  EXPECT_EQ(traced, 6u) << run.output;
  EXPECT_EQ(run.output.find("H264:"), std::string::npos) << run.output;
}

// x265 in MP4 writes each picture as one unit, behind the audio of the chunk
// before: a cut inside that unit leaves no unit whole behind the audio.
TEST(ModelWalkHevc, EndsAtTheOneUnitSampleTheRecordingWasCutIn) {
  StreamModel model = test::hevc_model();
  const StreamModel camera = test::camera_model();
  model.tracks.push_back(camera.tracks[1]);
  model.audio = camera.audio;
  model.audio.announced = 0;
  model.video.first_units = {{0x26, 0x01, 0}, {0x02, 0x01, 0}};
  const Bytes idr = test::length_prefixed(test::hevc_slice(test::kIdrWRadl, 2));
  const Bytes trail = test::length_prefixed(test::hevc_slice(test::kTrailR, 1));
  const Bytes audio = test::aac_frame(110);
  const Bytes cut = test::slice(trail, 0, static_cast<std::int64_t>(trail.size()) / 2);
  const Bytes media = concat({idr, trail, audio, cut});
  const WalkRun run = walk(media, model, {}, kNotFound);
  EXPECT_EQ(run.outcome, WalkOutcome::Finished);
  EXPECT_EQ(run.video, annex_b(concat({idr, trail})));
  EXPECT_EQ(run.audio, adts(audio));
  char skip[64];
  std::snprintf(skip, sizeof skip, "skip: 0x%08zX [0x%8zX]\n", media.size() - cut.size(),
                cut.size());
  EXPECT_NE(run.output.find(skip), std::string::npos) << run.output;
}

}  // namespace
}  // namespace vidsalvage
