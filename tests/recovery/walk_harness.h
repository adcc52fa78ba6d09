#pragma once
// Runs a piece of the recovery on bytes built by a test: the input in a
// temporary directory, opened mapped or through the window, with video and
// audio outputs there and standard output captured.

#include <gtest/gtest.h>

#include <string>

#include "io/input_window.h"
#include "io/output_file.h"
#include "recovery/audio_output.h"
#include "recovery/recorder_profile.h"
#include "recovery/sample_walk.h"
#include "support/bytes.h"
#include "support/temp_dir.h"

namespace vidsalvage::test {

inline constexpr AdtsTemplate kLcStereo48k = {0xFF, 0xF1, 0x4C, 0x80, 0x00, 0x1F, 0xFC};

struct WalkSetup {
  RecorderKind recorder = RecorderKind::Ambarella;
  AudioMode mode = AudioMode::Aac;
  bool audio_file = true;
  bool mono = false;
  bool windowed = false;
};

struct WalkRun {
  WalkOutcome outcome = WalkOutcome::Finished;
  std::string output;  // standard output byte for byte
  Bytes video;
  Bytes audio;
};

// An input file opened mapped or through the window, its warning swallowed.
struct OpenInput {
  OpenInput(const Bytes& contents, bool windowed) {
    dir.write("input.bin", contents);
    testing::internal::CaptureStdout();
    const bool opened =
        open_input(input, dir.path("input.bin").c_str(), {.allow_mapping = !windowed});
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(opened);
  }
  TempDir dir;
  InputWindow input;
};

// Walks `contents` from `start` and returns what the walk printed and wrote.
inline WalkRun run_walk(const Bytes& contents, std::int64_t start, const WalkSetup& setup = {}) {
  OpenInput in(contents, setup.windowed);
  AudioOutput audio;
  audio.mode = setup.mode;
  audio.aac_mono = setup.mono;
  audio.adts = kLcStereo48k;
  audio.name = "audio.out";
  OutputFile video;
  EXPECT_TRUE(video.open(in.dir.path("video.out").c_str()));
  if (setup.audio_file) {
    EXPECT_TRUE(audio.file.open(in.dir.path("audio.out").c_str()));
  }
  WalkRun run;
  testing::internal::CaptureStdout();
  run.outcome = walk_samples(in.input, start, recorder_profile(setup.recorder), audio, video);
  run.output = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(video.close());
  EXPECT_TRUE(audio.file.close());
  run.video = in.dir.read("video.out");
  if (setup.audio_file) run.audio = in.dir.read("audio.out");
  return run;
}

// A unit: its 4-byte big-endian length, then its bytes.
inline Bytes unit(const Bytes& body) { return length_prefixed(body); }

}  // namespace vidsalvage::test
