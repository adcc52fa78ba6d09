#include "codec/pcm_test.h"

#include <algorithm>
#include <cstdlib>

namespace vidsalvage {
namespace {

constexpr std::size_t kPcmTestPositions = 4;
// A step smaller than this between neighbouring samples of one channel is smooth
// audio (a tenth of full scale).
constexpr std::int32_t kSmoothStep = 3276;

std::int32_t load_le16_signed(const std::uint8_t* at) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(at[0] | (at[1] << 8)));
}

}  // namespace

bool looks_like_pcm(std::span<const std::uint8_t> at_candidate) {
  const std::size_t available = std::min(at_candidate.size(), kPcmTestBytes);
  for (std::size_t k = 0; k < kPcmTestPositions && k + 8 <= available; ++k) {
    const std::uint8_t* at = at_candidate.data() + k;
    const std::int32_t w0 = load_le16_signed(at);
    const std::int32_t w1 = load_le16_signed(at + 2);
    const std::int32_t w2 = load_le16_signed(at + 4);
    const std::int32_t w3 = load_le16_signed(at + 6);
    if (w0 == w1 || w2 == w3) return true;
    if (std::abs(w0 - w2) < kSmoothStep && std::abs(w1 - w3) < kSmoothStep) return true;
  }
  return false;
}

}  // namespace vidsalvage
