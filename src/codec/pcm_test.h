#pragma once
// Whether bytes read like 16-bit stereo PCM: the test both walks make before they
// take a place for the start of something else.

#include <cstddef>
#include <cstdint>
#include <span>

namespace vidsalvage {

// How many bytes the test reads at a place.
inline constexpr std::size_t kPcmTestBytes = 11;

// True when the bytes at a candidate (its first 11; fewer near the end of the
// input, where only the positions with all their bytes are tested) read like
// 16-bit stereo samples: equal channels, or small steps in both channels.
bool looks_like_pcm(std::span<const std::uint8_t> at_candidate);

// How PCM samples lie: interleaved frames of `channels` samples of `bits` each.
struct PcmLayout {
  std::uint32_t bits = 16;  // 8, 16, 24, 32; floats 32 or 64
  std::uint32_t channels = 2;
  bool little_endian = true;
  bool float_samples = false;
  bool signed_samples = true;  // integers; else offset binary
  std::uint32_t frame_bytes() const { return channels * (bits / 8); }
};

// The bytes the test of a layout reads: two frames.
inline std::size_t pcm_test_bytes(const PcmLayout& layout) { return 2 * layout.frame_bytes(); }

// Steps of less than this share of full scale are smooth audio.
inline constexpr double kSmoothShare = 0.1;

// The largest step of any channel from the first frame of `bytes` to the second,
// as a share of full scale; infinity when there are not two frames, or the first
// holds a sample beyond full scale or not a number.
double pcm_step(std::span<const std::uint8_t> bytes, const PcmLayout& layout);

// True when the first two frames of `bytes` read like smooth audio of `layout`:
// every channel steps by less than a tenth of full scale. False when fewer than
// two frames are there. 16-bit stereo little-endian is tested as above.
bool looks_like_pcm(std::span<const std::uint8_t> bytes, const PcmLayout& layout);

}  // namespace vidsalvage
