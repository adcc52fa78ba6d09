#pragma once
// The audio of a damaged recording read from the bytes between its video
// samples: raw AAC frames, their channel configuration, where they begin, and
// the sampling and frame rates that fit the count of frames to pictures.

#include <cstdint>
#include <span>
#include <vector>

namespace vidsalvage {

// One stretch between two video samples, and the frames it was cut into.
struct AudioStretch {
  std::int64_t offset = 0;  // in the file
  std::span<const std::uint8_t> bytes;
};

struct AudioFrame {
  std::int64_t offset = 0;  // in the file
  std::uint32_t size = 0;
};

struct AacInference {
  bool found = false;
  std::uint32_t channel_config = 0;  // 1: one SCE, 2: one CPE
  std::vector<AudioFrame> frames;    // in file order
  std::uint64_t stretches = 0;       // the stretches the frames came from
};

// The stretches as raw AAC when most begin with the same first element (a single
// or a pair channel element, ISO/IEC 14496-3 Table 4.85): each cut where it holds
// again the first three bytes that began at least two stretches. found false
// when the stretches do not look like AAC.
AacInference infer_aac(const std::vector<AudioStretch>& stretches);

// Frames already cut (by a descriptor in front of each): AAC when most begin
// with the same first element, each frame whole.
AacInference aac_of_frames(const std::vector<AudioStretch>& frames);

struct RatePick {
  std::uint32_t sampling_rate = 48000;
  std::uint32_t fps_numerator = 30;  // frames per second: numerator / denominator
  std::uint32_t fps_denominator = 1;
  // Another pair fits the ratio within the measuring error, with another frame
  // rate, or with another sampling rate.
  bool fps_guessed = false;
  bool rate_guessed = false;
};

// The sampling rate and frame rate whose ratio of AAC frames (1024 samples each)
// to pictures comes closest to `frames_per_picture`.
RatePick pick_rates(double frames_per_picture);

// ISO/IEC 14496-3 1.6.2.1: the two-byte AudioSpecificConfig of AAC LC.
std::vector<std::uint8_t> aac_lc_config(std::uint32_t sampling_rate, std::uint32_t channel_config);

}  // namespace vidsalvage
