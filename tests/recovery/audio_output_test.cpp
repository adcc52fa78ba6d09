#include "recovery/audio_output.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>
#include <vector>

#include "walk_harness.h"

namespace vidsalvage {
namespace {
using test::Bytes;
using test::concat;
using test::OpenInput;

// RIFF, WAVE, fmt with 16-bit stereo PCM at 48000 Hz, data; sizes still blank.
const Bytes kBlankWavHeader = {'R',  'I',  'F',  'F',  ' ',  ' ',  ' ',  ' ',  'W',  'A',  'V',
                               'E',  'f',  'm',  't',  ' ',  0x10, 0x00, 0x00, 0x00, 0x01, 0x00,
                               0x02, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x00, 0xEE, 0x02, 0x00, 0x04,
                               0x00, 0x10, 0x00, 'd',  'a',  't',  'a',  ' ',  ' ',  ' ',  ' '};

constexpr const char* kPcmLine = "Assuming audio stream is PCM, 16bit, 48kHz, stereo\n";
constexpr const char* kMp3Line =
    "Assuming audio stream is MPEG 1 Layer 3, 48000 Hz, 2 channel(s)\n";
constexpr const char* kAacLine =
    "Assuming audio stream is AAC, 48000 Hz, 2 channel(s), profile 1\n";

// Runs a test step with `path` as the current directory, where the audio file
// named on the command line is created.
class InDirectory {
 public:
  explicit InDirectory(const std::string& path) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~InDirectory() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
};

struct ChoiceCase {
  const char* name;
  std::vector<const char*> audio_args;  // argument 3 on
  RecorderKind recorder;
  bool is_mp3;
  AudioMode mode;
  std::string output;
  bool writes_file;  // argument 3 names the audio file
  Bytes file;        // what it holds afterwards
};

TEST(ChooseAudioOutput, TakesTheKindFromRecorderConfigurationAndArgumentThree) {
  const std::string wav_warning = "WARNING: Please specify a .wav file for PCM audio instead of ";
  const std::string mp3_warning = "WARNING: Please specify a .mp3 file instead of ";
  const ChoiceCase cases[] = {
      {"no argument 3", {}, RecorderKind::Ambarella, false, AudioMode::Aac, kAacLine, false, {}},
      {"eos alone", {}, RecorderKind::Eos, true, AudioMode::Pcm, kPcmLine, false, {}},
      {"mp3 configuration alone",
       {},
       RecorderKind::Ambarella,
       true,
       AudioMode::Mp3,
       kMp3Line,
       false,
       {}},
      {"--pcm", {"--PCM"}, RecorderKind::Ambarella, true, AudioMode::Pcm, kPcmLine, false, {}},
      {"--aac", {"--aac"}, RecorderKind::Eos, true, AudioMode::Aac, kAacLine, false, {}},
      {"--mp3", {"--Mp3"}, RecorderKind::Eos, false, AudioMode::Mp3, kMp3Line, false, {}},
      {"OUT.WAV",
       {"OUT.WAV"},
       RecorderKind::Ambarella,
       true,
       AudioMode::Pcm,
       std::string("Writing 'OUT.WAV'...\n") + kPcmLine,
       true,
       kBlankWavHeader},
      {"exactly .wav",
       {".wav"},
       RecorderKind::Eos,
       false,
       AudioMode::Pcm,
       std::string("Writing '.wav'...\n") + kPcmLine,
       true,
       kBlankWavHeader},
      {"eos a.aac",
       {"a.aac"},
       RecorderKind::Eos,
       false,
       AudioMode::Pcm,
       wav_warning + "'a.aac'\nWriting 'a.aac'...\n" + kPcmLine,
       true,
       kBlankWavHeader},
      {"eos a.mp3",
       {"a.mp3"},
       RecorderKind::Eos,
       false,
       AudioMode::Mp3,
       wav_warning + "'a.mp3'\nWriting 'a.mp3'...\n" + kMp3Line,
       true,
       {}},
      {"mp3 x.aac",
       {"x.aac"},
       RecorderKind::Ambarella,
       true,
       AudioMode::Mp3,
       mp3_warning + "'x.aac'\nWriting 'x.aac'...\n" + kMp3Line,
       true,
       {}},
      {"3 characters, both warnings, PCM wins",
       {"wav"},
       RecorderKind::Eos,
       true,
       AudioMode::Pcm,
       wav_warning + "'wav'\n" + mp3_warning + "'wav'\nWriting 'wav'...\n" + kPcmLine,
       true,
       kBlankWavHeader},
      {"recorder option as argument 3",
       {"--eos", "--apple"},
       RecorderKind::Apple,
       false,
       AudioMode::Aac,
       std::string("Writing '--eos'...\n") + kAacLine,
       true,
       {}},
  };
  for (const ChoiceCase& c : cases) {
    SCOPED_TRACE(c.name);
    OpenInput in(Bytes(16, 1), false);
    const InDirectory cwd(in.dir.path());
    std::vector<const char*> argv = {"vidsalvage", "in.mp4", "out.h264"};
    argv.insert(argv.end(), c.audio_args.begin(), c.audio_args.end());
    AudioOutput audio;
    audio.config.is_mp3 = c.is_mp3;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(choose_audio_output(audio, static_cast<int>(argv.size()), argv.data(),
                                    recorder_profile(c.recorder), in.input));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
    EXPECT_EQ(audio.mode, c.mode);
    EXPECT_FALSE(audio.aac_mono);
    EXPECT_TRUE(audio.file.close());
    EXPECT_EQ(in.dir.list().size(), c.writes_file ? 2u : 1u);
    if (c.writes_file) {
      EXPECT_EQ(in.dir.read(c.audio_args[0]), c.file);
    }
  }
}

TEST(ChooseAudioOutput, MonoAacSelectsTheMonoSearch) {
  OpenInput in(Bytes(16, 1), false);
  for (const char* choice : {"--aac", "--pcm"}) {
    SCOPED_TRACE(choice);
    const char* argv[] = {"vidsalvage", "in.mp4", "out.h264", choice};
    AudioOutput audio;
    audio.config.channel_config = 1;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(
        choose_audio_output(audio, 4, argv, recorder_profile(RecorderKind::Samsung), in.input));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(audio.aac_mono, choice[2] == 'a');
  }
}

TEST(ChooseAudioOutput, FailsWhenTheFileCannotBeOpened) {
  OpenInput in(Bytes(16, 1), false);
  const std::string name = in.dir.path("no/such/dir.aac");
  const char* argv[] = {"vidsalvage", "in.mp4", "out.h264", name.c_str()};
  AudioOutput audio;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(
      choose_audio_output(audio, 4, argv, recorder_profile(RecorderKind::Ambarella), in.input));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot write '" + name + "'\n");
}

// Writes one gap of the input in `mode` after `before` bytes already in the file.
std::pair<std::string, Bytes> write_gap(const Bytes& input, std::int64_t start, std::int64_t end,
                                        AudioMode mode, const Bytes& before = {}) {
  OpenInput in(input, false);
  AudioOutput audio;
  audio.mode = mode;
  EXPECT_TRUE(audio.file.open(in.dir.path("out").c_str()));
  EXPECT_TRUE(audio.file.write(before));
  bool at_stream_start = true;
  testing::internal::CaptureStdout();
  EXPECT_EQ(write_audio_gap(in.input, audio, recorder_profile(RecorderKind::Ambarella),
                            at_stream_start, start, end),
            CopyOutcome::Done);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(audio.file.close());
  return {output, in.dir.read("out")};
}

TEST(WriteAudioGap, WritesPcmWholeAndMp3OnlyFromASyncWord) {
  const Bytes input = {0x11, 0xFF, 0xFB, 0x90, 0x64, 0xFF, 0xFA, 0x90, 0x64, 0xFF, 0xFC, 0x22};
  auto [output, file] = write_gap(input, 1, 5, AudioMode::Pcm, kBlankWavHeader);
  EXPECT_EQ(output, " PCM: 0x00000001 [0x       4] -> [0x      2C]\n");
  EXPECT_EQ(file, concat({kBlankWavHeader, Bytes{0xFF, 0xFB, 0x90, 0x64}}));
  std::tie(output, file) = write_gap(input, 1, 5, AudioMode::Mp3, {9, 9});
  EXPECT_EQ(output, " MP3: 0x00000001 [0x       4] -> [0x       2]\n");
  EXPECT_EQ(file, (Bytes{9, 9, 0xFF, 0xFB, 0x90, 0x64}));
  std::tie(output, file) = write_gap(input, 5, 9, AudioMode::Mp3);
  EXPECT_EQ(output, "skip: 0x00000005 [0x       4]\n");
  EXPECT_TRUE(file.empty());
  std::tie(output, file) = write_gap(input, 9, 11, AudioMode::Mp3);
  EXPECT_EQ(output, " MP3: 0x00000009 [0x       2] -> [0x       0]\n");
  EXPECT_EQ(file, (Bytes{0xFF, 0xFC}));
}

TEST(FinishWavHeader, PatchesRiffAndDataSizes) {
  const struct {
    std::size_t data_bytes;
    Bytes riff_size;
    Bytes data_size;
  } cases[] = {{1000, {0x0C, 0x04, 0, 0}, {0xE8, 0x03, 0, 0}}, {0, {0x24, 0, 0, 0}, {0, 0, 0, 0}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data_bytes);
    test::TempDir dir;
    AudioOutput audio;
    ASSERT_TRUE(audio.file.open(dir.path("a.wav").c_str()));
    ASSERT_TRUE(audio.file.write(kBlankWavHeader));
    ASSERT_TRUE(audio.file.write(Bytes(c.data_bytes, 0x42)));
    ASSERT_TRUE(finish_wav_header(audio));
    ASSERT_TRUE(audio.file.close());
    Bytes expected = concat({kBlankWavHeader, Bytes(c.data_bytes, 0x42)});
    std::copy(c.riff_size.begin(), c.riff_size.end(), expected.begin() + 4);
    std::copy(c.data_size.begin(), c.data_size.end(), expected.begin() + 40);
    EXPECT_EQ(dir.read("a.wav"), expected);
  }
}

}  // namespace
}  // namespace vidsalvage
