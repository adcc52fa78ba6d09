#include <gtest/gtest.h>

#include <string>

#include "support/camera_bytes.h"
#include "support/cli.h"
#include "support/movie_boxes.h"
#include "support/tracks.h"

namespace vidsalvage::test {
namespace {

// A model as --model writes it: a 320x240 camera with AAC audio.
const std::string kModel =
    "vidsalvage-model 2\n"
    "reference 1000 cam.mp4\n"
    "track 1 vide avc1 video timescale 90000 samples 2 sizes 30 40 name\n"
    "track 2 soun mp4a aac timescale 48000 samples 2 sizes 100 110 name\n"
    "video 1 codec avc nal-length 4 max-unit 36 max-sample 40 max-gap 200\n"
    "video-config "
    "0164000dffe100196764000dacd94141fb0110000003001000000303c0f142996001000668ebe3cb22c0\n"
    "nal-headers 09 41\n"
    "first-units 09:10:2\n"
    "bigrams 9-1 1-9\n"
    "aac 2 config 1190 samples 2 back-to-back 0 announced 0\n"
    "aac-sizes 2 100:1 110:1\n"
    "aac-starts 2 2110:2\n"
    "end\n";

const std::string kPrologue =
    "AVC SPS count: 1\n"
    "AVC SPS[0] len: 25\n"
    "Assuming AVC video 320x240, High Profile, Level 1.3\n"
    "AVC PPS count: 1\n"
    "AVC PPS[0] len: 6\n";

struct ModelFileCase {
  const char* name;
  std::string model;  // empty: no file
  std::string message;
};

TEST(CliModelRecovery, RefusesAModelItCannotRead) {
  std::string bad_track = kModel;
  bad_track.replace(bad_track.find("sizes 30 40"), 11, "sizes 40 30");
  const ModelFileCase cases[] = {
      {"no model file", "", "Cannot open 'reference.model'\n"},
      {"another file", "ftypisom",
       "Reading 'reference.model'...\n'reference.model' is not a vidsalvage model\n"},
      {"the version before", "vidsalvage-model 1\n",
       "Reading 'reference.model'...\n'reference.model' is a model of version 1; this program "
       "reads version 2. Learn the intact recording again: vidsalvage INTACT.MP4 --model\n"},
      {"a record that does not read", bad_track,
       "Reading 'reference.model'...\nInvalid model 'reference.model', line 3: a bad track "
       "record\n"},
      {"a model cut short", kModel.substr(0, kModel.size() / 2),
       "Reading 'reference.model'...\nInvalid model 'reference.model', line 6: a second video "
       "record\n"},
  };
  for (const ModelFileCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.write("damaged.mp4", Bytes(100, 0x55));
    if (!c.model.empty()) dir.write("reference.model", bytes_of(c.model));
    const CliResult r = run_cli(dir, {"damaged.mp4", "v.h264", "a.aac", "--model"});
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.output, banner() + c.message);
    EXPECT_FALSE(dir.exists("v.h264"));
    EXPECT_FALSE(dir.exists("a.aac"));
  }
}

TEST(CliModelRecovery, TakesTheKeywordFromArgumentThreeOn) {
  struct ArgsCase {
    std::vector<std::string> args;
    bool audio_file;
  };
  const ArgsCase cases[] = {
      {{"damaged.mp4", "v.h264", "--model"}, false},
      {{"damaged.mp4", "v.h264", "a.aac", "--MODEL"}, true},
      {{"damaged.mp4", "v.h264", "--aac", "--model"}, false},
      {{"damaged.mp4", "v.h264", "a.aac", "--eos", "--Model"}, true},
  };
  for (const ArgsCase& c : cases) {
    SCOPED_TRACE(c.args.back() + " after " + c.args[2]);
    TempDir dir;
    dir.write("damaged.mp4", Bytes(100, 0x55));
    dir.write("reference.model", bytes_of(kModel));
    const CliResult r = run_cli(dir, c.args);
    EXPECT_EQ(r.status, 0) << r.output;
    const std::string audio_lines =
        std::string(c.audio_file ? "Writing 'a.aac'...\n" : "") +
        "Assuming audio stream is AAC, 48000 Hz, 2 channel(s), profile 2\n";
    EXPECT_EQ(r.output.rfind(banner() + "Reading 'reference.model'...\nWriting 'v.h264'...\n" +
                                 audio_lines + kPrologue,
                             0),
              0u)
        << r.output;
    EXPECT_EQ(dir.exists("a.aac"), c.audio_file);
    EXPECT_FALSE(dir.exists("--model"));
  }
}

TEST(CliModelRecovery, ReportsAnOutputItCannotWrite) {
  TempDir dir;
  // AAC frames behind a word the recovery takes for a box header.
  dir.write("damaged.mp4", concat({bytes_of("junk"), aac_frame(100), aac_frame(110)}));
  dir.write("reference.model", bytes_of(kModel));
  const CliResult r = run_cli(dir, {"damaged.mp4", "/dev/full", "--model"});
  EXPECT_EQ(r.status, -1);
  EXPECT_NE(r.output.find("\nCannot write '/dev/full'\n"), std::string::npos) << r.output;
  const CliResult audio = run_cli(dir, {"damaged.mp4", "v.h264", "/dev/full", "--model"});
  EXPECT_EQ(audio.status, -1);
  EXPECT_NE(audio.output.find("\nCannot write '/dev/full'\n"), std::string::npos) << audio.output;
}

TrackLayout camera_track_layout(std::uint32_t track) {
  TrackLayout layout;
  layout.id = track;
  if (track == 1) {
    layout.entry_fields = visual_entry_fields();
    layout.entry_children = box("avcC", camera_avcc());
  } else if (track == 2) {
    layout.handler = "soun";
    layout.entry = "mp4a";
    layout.entry_fields = sound_entry_fields(2, 16, 48000);
    layout.entry_children = aac_esds_box({0x11, 0x90});
  } else {
    layout.handler = "meta";
    layout.entry = "camd";
  }
  return layout;
}

// Three video samples and three frames, each behind its descriptor: learned from
// the intact file, recovered from its twin without a moov.
TEST(CliModelRecovery, LearnsAndRecoversASmallCamera) {
  RecordingBuilder b;
  const Bytes samples[] = {concat({delimiter(), idr_slice(20)}), aac_frame(100),
                           concat({delimiter(), p_slice(10)}),   aac_frame(110),
                           concat({delimiter(), p_slice(12)}),   aac_frame(120)};
  for (std::uint8_t k = 0; k < 6; ++k) {
    const std::uint8_t track = k % 2 == 0 ? 1 : 2;
    b.add(3, descriptor(track, samples[k].size(), k));
    b.add(track, samples[k]);
  }
  const Bytes intact = b.finish(camera_track_layout);
  TempDir dir;
  dir.write("intact.mp4", intact);
  dir.write("damaged.mp4", cut_moov(intact));
  const CliResult learned = run_cli(dir, {"intact.mp4", "--model"});
  EXPECT_EQ(learned.status, 0);
  EXPECT_EQ(learned.output, banner() +
                                "Reading the tracks of 'intact.mp4'...\n"
                                "Track 1 'vide' 'avc1': H.264 video, 3 samples of 22 to 33 bytes\n"
                                "Track 2 'soun' 'mp4a': AAC audio, 3 samples of 100 to 120 bytes\n"
                                "Track 3 'meta' 'camd': skipped, 6 samples of 16 to 16 bytes\n"
                                "Track 3 holds the size of the next sample at offset 4 (6 of 6)\n"
                                "Track 3 samples begin in 2 way(s)\n"
                                "Video: 4-byte NAL lengths, 3 NAL header(s), 1 kind(s) of first "
                                "unit, units up to 23 bytes\n"
                                "Audio track 2: AAC LC (object type 2), 3 frame size(s), 1 "
                                "frame start(s)\n"
                                "Writing 'reference.model'...\n");
  const CliResult r = run_cli(dir, {"damaged.mp4", "v.h264", "a.aac", "--model"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, banner() +
                          "Reading 'reference.model'...\n"
                          "Writing 'v.h264'...\n"
                          "Writing 'a.aac'...\n"
                          "Assuming audio stream is AAC, 48000 Hz, 2 channel(s), profile 2\n" +
                          kPrologue +
                          "Searching 'mdat' atom in 'damaged.mp4'...\n"
                          "H264: 0x00000024 [0x       6] -> [0x      27]\n"
                          "H264: 0x0000002A [0x      1B] -> [0x      2D]\n"
                          " AAC: 0x00000055 [0x      64]\n"
                          "H264: 0x000000C9 [0x       6] -> [0x      48]\n"
                          "H264: 0x000000CF [0x      10] -> [0x      4E]\n"
                          " AAC: 0x000000EF [0x      6E]\n"
                          "H264: 0x0000016D [0x       6] -> [0x      5E]\n"
                          "H264: 0x00000173 [0x      12] -> [0x      64]\n"
                          " AAC: 0x00000195 [0x      78]\n"
                          "Skipped 3 samples of track 3 beginning 47 50 01 00, 48 bytes\n"
                          "Skipped 3 samples of track 3 beginning 47 50 02 00, 48 bytes\n"
                          "'v.h264' created, size 118 (22%)\n"
                          "'a.aac' created, size 351 (66%)\n");
}

}  // namespace
}  // namespace vidsalvage::test
