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

}  // namespace vidsalvage
