#include <gtest/gtest.h>

#include <string>

#include "support/camera_bytes.h"
#include "support/camera_layout.h"
#include "support/cli.h"
#include "support/hevc_bytes.h"
#include "support/media.h"
#include "support/movie_boxes.h"

namespace vidsalvage::test {
namespace {

constexpr const char* kAacRecording =
    "-f lavfi -i testsrc2=size=320x240:rate=30 -f lavfi -i sine=frequency=440:sample_rate=48000 "
    "-t 2 -c:v libx264 -g 30 -c:a aac -ac 2 src.mp4";
constexpr const char* kPcmRecording =
    "-f lavfi -i testsrc2=size=320x240:rate=30 -f lavfi -i sine=frequency=440:sample_rate=48000 "
    "-t 2 -c:v libx264 -g 30 -c:a pcm_s16le -ac 2 src.mov";

std::string text_of(const Bytes& b) { return std::string(b.begin(), b.end()); }

bool has_line(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos || text.rfind(line + "\n", 0) == 0;
}

TEST(CliLearnModel, WritesTheModelOfAnFfmpegRecording) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir, kAacRecording));
  const CliResult r = run_cli(dir, {"src.mp4", "--MODEL"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output.rfind(banner() + "Reading the tracks of 'src.mp4'...\n", 0), 0u) << r.output;
  EXPECT_NE(r.output.find("\nTrack 1 'vide' 'avc1': H.264 video, 60 samples of "),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("Track 2 'soun' 'mp4a': AAC audio, 95 samples of "), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("\nWriting 'reference.model'...\n"), std::string::npos);
  const std::string model = text_of(dir.read("reference.model"));
  EXPECT_EQ(model.rfind("vidsalvage-model 2\nreference ", 0), 0u);
  EXPECT_NE(model.find("\ntrack 1 vide avc1 video timescale 15360 samples 60 "), std::string::npos);
  EXPECT_NE(model.find(" name VideoHandler\n"), std::string::npos);
  EXPECT_NE(model.find("\naac 2 config 1190"), std::string::npos) << model;
  EXPECT_NE(model.find("\nvideo 1 codec avc nal-length 4 "), std::string::npos);
  EXPECT_EQ(model.substr(model.size() - 4), "end\n");
}

TEST(CliLearnModel, LearnsTheCameraLayout) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir, kAacRecording));
  const CameraRecording rec = build_camera_recording(dir.read("src.mp4"));
  dir.write("cam.mp4", rec.file);
  const CliResult r = run_cli(dir, {"cam.mp4", "--model"});
  EXPECT_EQ(r.status, 0) << r.output;
  const std::string model = text_of(dir.read("reference.model"));
  std::size_t descriptors = 0;
  for (const CameraSample& s : rec.samples) descriptors += s.track == CameraTrack::Descriptor;
  // Every descriptor announces the size of the sample behind it.
  const std::string held = std::to_string(descriptors);
  EXPECT_NE(model.find("\nlink 3 4 4 be 0 held " + held + " of " + held + "\n"), std::string::npos)
      << model;
  EXPECT_NE(model.find("\nclass 3 47500200 samples 95 sizes 16 16 next 2 bytes 47500200"),
            std::string::npos)
      << model;
  EXPECT_NE(model.find("\nclass 5 44455643 "), std::string::npos) << model;
  EXPECT_NE(model.find(" size field 6 2 be 8\n"), std::string::npos) << model;
  EXPECT_NE(model.find(" announced 95\n"), std::string::npos) << model;
  EXPECT_TRUE(has_line(r.output, "Track 3 holds the size of the next sample at offset 4 (" + held +
                                     " of " + held + ")"))
      << r.output;
}

TEST(CliLearnModel, LearnsPcmAudioFromAMovRecording) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir, kPcmRecording));
  const CliResult r = run_cli(dir, {"src.mov", "--model"});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(
      has_line(r.output, "Audio track 2: PCM, 2 channel(s), 16-bit signed little-endian, 48000 Hz"))
      << r.output;
  const std::string model = text_of(dir.read("reference.model"));
  EXPECT_NE(model.find("\npcm 2 channels 2 bits 16 rate 48000 le int signed frame 4 samples "),
            std::string::npos)
      << model;
}

// The camera builder's 'lpcm' (sound description version 2) and 'ipcm' (pcmC)
// entries over the same 16-bit samples: each is learned as the PCM it holds.
TEST(CliLearnModel, LearnsPcmFromEveryEntryThatHoldsIt) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir, kPcmRecording));
  for (const PcmEntry entry : {PcmEntry::Lpcm, PcmEntry::Ipcm}) {
    const std::string type = entry == PcmEntry::Lpcm ? "lpcm" : "ipcm";
    SCOPED_TRACE(type);
    CameraLayoutOptions options;
    options.pcm_entry = entry;
    dir.write("cam.mov", build_camera_recording(dir.read("src.mov"), options).file);
    if (entry == PcmEntry::Lpcm) {
      // ffprobe reads the entry as we wrote it (it has no reader of 'ipcm' yet).
      EXPECT_EQ(run_and_capture(dir,
                                "ffprobe -v error -select_streams a -show_entries "
                                "stream=codec_name,channels,sample_rate -of csv=p=0 cam.mov"),
                "pcm_s16le,48000,2\n");
    }
    const CliResult r = run_cli(dir, {"cam.mov", "--model"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("\nTrack 2 'soun' '" + type + "': PCM audio, "), std::string::npos)
        << r.output;
    EXPECT_TRUE(has_line(r.output,
                         "Audio track 2: PCM, 2 channel(s), 16-bit signed little-endian, 48000 Hz"))
        << r.output;
  }
}

// An audio track the recovery cannot write is named, with its reason, and the
// model is written without it.
TEST(CliLearnModel, NamesTheAudioTrackItLeavesOut) {
  RecordingBuilder b;
  b.add(1, concat({delimiter(), idr_slice(20)}));
  b.add(2, aac_frame(100));
  const Bytes file = b.finish([](std::uint32_t track) {
    TrackLayout layout;
    layout.id = track;
    if (track == 1) {
      layout.entry_fields = visual_entry_fields();
      layout.entry_children = box("avcC", camera_avcc());
    } else {
      layout.handler = "soun";
      layout.entry = "mp4a";
      layout.entry_fields = sound_entry_fields(2, 16, 48000);
      layout.entry_children = aac_esds_box({0xB9, 0x90});  // ER AAC LD
    }
    return layout;
  });
  TempDir dir;
  dir.write("ref.mp4", file);
  const CliResult r = run_cli(dir, {"ref.mp4", "--model"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("\nAudio: none\n"
                          "Audio track 2: 'mp4a' holds ER AAC LD (object type 23), which is not "
                          "written\n"
                          "Writing 'reference.model'...\n"),
            std::string::npos)
      << r.output;
  EXPECT_TRUE(dir.exists("reference.model"));
}

TEST(CliLearnModel, SummarisesAnHevcReferenceFromItsSps) {
  RecordingBuilder b;
  b.add(1, length_prefixed({0x26, 0x01, 0xAF, 0x00, 0x11}));  // an IDR slice
  b.add(1, length_prefixed({0x02, 0x01, 0xD0, 0x5A}));        // a trailing slice
  const Bytes file = b.finish([](std::uint32_t track) {
    TrackLayout layout;
    layout.id = track;
    layout.entry = "hev1";
    layout.entry_fields = visual_entry_fields();
    layout.entry_children = box("hvcC", kHevcRecord);
    return layout;
  });
  TempDir dir;
  dir.write("ref.mp4", file);
  const CliResult r = run_cli(dir, {"ref.mp4", "--model"});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(has_line(r.output, "Track 1 'vide' 'hev1': HEVC video, 2 samples of 8 to 9 bytes"))
      << r.output;
  // The stream libx265 made: coded 208x96 less a window of 6 lines, Main 4:2:2 10.
  EXPECT_TRUE(has_line(r.output,
                       "Video: HEVC, 208x90, Range extensions profile (4), Main tier, level 1.0, "
                       "4:2:2, 8-bit"))
      << r.output;
  EXPECT_NE(text_of(dir.read("reference.model")).find("\nvideo 1 codec hevc nal-length 4 "),
            std::string::npos);
}

struct FailureCase {
  const char* name;
  Bytes file;
  std::string message;
};

TEST(CliLearnModel, ExplainsWhyItCannotLearn) {
  const Bytes short_handler =
      box("moov", box("trak", box("mdia", Bytes{0, 0, 0, 9, 'h', 'd', 'l', 'r'})));
  RecordingBuilder same_id;
  same_id.add(1, concat({delimiter(), idr_slice(20)}));
  same_id.add(2, concat({delimiter(), idr_slice(20)}));
  const auto video_layout = [](std::uint32_t) {
    TrackLayout layout;
    layout.entry_fields = visual_entry_fields();
    layout.entry_children = box("avcC", camera_avcc());
    return layout;  // every track with id 1
  };
  const FailureCase cases[] = {
      {"two tracks of one id", same_id.finish(video_layout),
       "Two tracks of 'ref.mp4' have the id 1\n"},
      {"no movie box", box("mdat", Bytes(100, 0)), "Cannot find 'moov' atom in 'ref.mp4'\n"},
      {"a handler box cut short", short_handler, "Damaged 'hdlr' atom at 0x18 in 'ref.mp4'\n"},
      {"no video track", box("moov", Bytes{}), "No H.264 or HEVC video track in 'ref.mp4'\n"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.write("ref.mp4", c.file);
    const CliResult r = run_cli(dir, {"ref.mp4", "--model"});
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.output, banner() + "Reading the tracks of 'ref.mp4'...\n" + c.message);
    EXPECT_FALSE(dir.exists("reference.model"));
  }
}

}  // namespace
}  // namespace vidsalvage::test
