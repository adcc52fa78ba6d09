#include <gtest/gtest.h>
#include <unistd.h>

#include "support/bytes.h"
#include "support/cli.h"

namespace vidsalvage::test {
namespace {

const char* const kUsage =
    "This utility can recover H.264/AVC stream from unfinalized MP4/MOV files\n"
    "without (or empty) header. You may got the unfinalized file in case of damaging\n"
    "camcorder during recording or such. This utility has been tested with files\n"
    "recorded by GoPro, but it may work with other camcorders too.\n"
    "Usage:\n"
    "  vidsalvage in_good_similar.mp4 --avcc\n"
    "  vidsalvage in_corrupted.mp4 out_video.h264 [out_audio.aac | out_audio.wav | out_audio.mp3] "
    "[<recorder>]\n"
    "  vidsalvage in_corrupted.mp4 out_video.h264 [--aac | --pcm | --mp3] [<recorder>]\n"
    "\n"
    "Supported recorders:\n"
    "  Default is Ambarella (used in GoPro, etc.)\n"
    "  Specify --eos in case of Canon EOS\n"
    "  Specify --apple in case of some Apple software encoder\n"
    "  Specify --android in case of Android smartphone\n"
    "  Specify --motorola in case of Motorola smartphone\n"
    "  Specify --samsung in case of Samsung camcorder\n"
    "Step 1: Use any good previous file with the same resolution and bitrate\n"
    "to generate the AVC configuration record, for example\n"
    "   >vidsalvage.exe GOPR0346.MP4 --avcc\n"
    "   Note: It will create the file 'avcc.hdr' in the current directory.\n"
    "Step 2: Recover H.264 stream from the corrupted file, for example\n"
    "   >vidsalvage.exe GOPR0347.MP4 GOPR0347.h264 GOPR0347.aac\n"
    "   Note: The file 'avcc.hdr' must be exist.\n"
    "   Note: Specify --pcm or the WAV file name in case of recovering MOV file written by Canon "
    "EOS.\n"
    "Step 3: Use any other utility (Yamb or ffmpeg for example)\n"
    "to recreate the MP4/MOV file from the H.264 stream (GOPR0347.h264).\n"
    "Note MP4 does not support PCM sound, you must create MOV in this case.\n";

TEST(CliDriver, TooFewArgumentsPrintTheUsageAndTouchNothing) {
  const std::vector<std::vector<std::string>> command_lines = {{}, {"rec.mp4"}, {"missing.mp4"}};
  for (const auto& args : command_lines) {
    SCOPED_TRACE(args.size());
    TempDir dir;
    dir.write("rec.mp4", Bytes{1, 2, 3});
    const CliResult r = run_cli(dir, args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.raw_output, banner() + kUsage);
    EXPECT_EQ(dir.list(), std::vector<std::string>{"rec.mp4"});
    EXPECT_EQ(dir.read("rec.mp4"), (Bytes{1, 2, 3}));
  }
}

TEST(CliDriver, UsageHasTwentySixLines) {
  std::size_t lines = 0;
  for (const char* p = kUsage; *p != '\0'; ++p) lines += *p == '\n';
  EXPECT_EQ(lines, 27u);  // 26 printed lines, one of which ends with an empty line
}

TEST(CliDriver, MissingInputFailsInEveryModeBeforeArgumentTwoIsLookedAt) {
  const std::vector<std::vector<std::string>> command_lines = {
      {"missing.mp4", "--avcc"}, {"missing.mp4", "--STCO"},        {"missing.mp4", "--co64", "2"},
      {"missing.mp4", "out.h264"}, {"missing.mp4", "out.h264", "out.aac", "--eos"}};
  for (const auto& args : command_lines) {
    SCOPED_TRACE(args[1]);
    TempDir dir;
    dir.write("avcc.hdr", Bytes{1, 0x64, 0, 0x1F, 0xFF, 0xE0, 0});
    const CliResult r = run_cli(dir, args);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.raw_output, banner() + "Cannot open 'missing.mp4'\n");
    EXPECT_EQ(dir.list(), std::vector<std::string>{"avcc.hdr"});
  }
}

TEST(CliDriver, RecoveryWithoutAvccHeaderCreatesNoOutput) {
  TempDir dir;
  dir.write("rec.mp4", Bytes(64, 1));
  const CliResult r = run_cli(dir, {"rec.mp4", "out.h264", "out.aac"});
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.raw_output, banner() + "Cannot open 'avcc.hdr'\n");
  EXPECT_EQ(dir.list(), std::vector<std::string>{"rec.mp4"});
}

TEST(CliDriver, VideoOutputThatCannotBeOpenedEndsTheRun) {
  TempDir dir;
  dir.write("rec.mp4", Bytes(64, 1));
  dir.write("avcc.hdr", Bytes{1});
  const CliResult r = run_cli(dir, {"rec.mp4", "no/such/dir/out.h264"});
  EXPECT_EQ(r.status, -1);
  EXPECT_NE(r.output.find("Cannot write 'no/such/dir/out.h264'\n"), std::string::npos);
}

// The input is the one copy the user has: no output may ever be opened on it.
TEST(CliDriver, RefusesAnOutputThatIsTheInput) {
  TempDir dir;
  const Bytes recording = pseudo_random_bytes(4096, 5);
  dir.write("rec.mp4", recording);
  dir.write("avcc.hdr", Bytes{1});
  ASSERT_EQ(link(dir.path("rec.mp4").c_str(), dir.path("hard.mp4").c_str()), 0);
  const struct {
    std::vector<std::string> args;
    std::string refused;
  } command_lines[] = {{{"rec.mp4", "rec.mp4"}, "rec.mp4"},
                       {{"rec.mp4", "./rec.mp4", "out.aac"}, "./rec.mp4"},
                       {{"rec.mp4", "hard.mp4", "--aac"}, "hard.mp4"},
                       {{"rec.mp4", "out.h264", "hard.mp4"}, "hard.mp4"}};
  for (const auto& c : command_lines) {
    SCOPED_TRACE(c.args[1] + " " + c.args.back());
    const CliResult r = run_cli(dir, c.args);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(dir.read("rec.mp4"), recording);
    EXPECT_NE(r.output.find("Cannot write '" + c.refused + "'\n"), std::string::npos) << r.output;
  }
}

// Video and audio written into one file would interleave into a corrupt one:
// the second name is refused before anything opens it, in both recoveries.
TEST(CliDriver, RefusesOneFileForBothOutputs) {
  TempDir dir;
  dir.write("rec.mp4", Bytes(64, 1));
  dir.write("avcc.hdr", Bytes{1});
  const struct {
    std::vector<std::string> args;
    std::string refused;
  } command_lines[] = {{{"rec.mp4", "same.bin", "same.bin"}, "same.bin"},
                       {{"rec.mp4", "same.bin", "./same.bin"}, "./same.bin"},
                       {{"rec.mp4", "same.bin", "same.bin", "--model"}, "same.bin"}};
  for (const auto& c : command_lines) {
    SCOPED_TRACE(c.args[2] + " " + c.args.back());
    dir.write("reference.model", Bytes{});
    const CliResult r = run_cli(dir, c.args);
    EXPECT_EQ(r.status, -1);
    // The model recovery stops at the empty model before it opens anything.
    if (c.args.back() == "--model") continue;
    EXPECT_NE(r.output.find("Cannot write '" + c.refused + "'\n"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Writing '" + c.refused + "'...\nWriting"), std::string::npos);
  }
}

TEST(CliDriver, WindowedModeIsAnnouncedOnlyWhenForced) {
  TempDir dir;
  dir.write("rec.mp4", Bytes(64, 1));
  const CliResult mapped = run_cli(dir, {"rec.mp4", "out.h264"});
  const CliResult windowed = run_cli(dir, {"rec.mp4", "out.h264"}, {.force_window = true});
  EXPECT_EQ(windowed.raw_output.substr(banner().size()),
            "WARNING: Used slow file read method\n" + mapped.raw_output.substr(banner().size()));
}

}  // namespace
}  // namespace vidsalvage::test
