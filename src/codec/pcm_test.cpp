#include "codec/pcm_test.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>

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

namespace {

// A sample as a share of full scale, -1 to 1 for integers.
double sample_at(const std::uint8_t* at, const PcmLayout& l) {
  const std::size_t width = l.bits / 8;
  std::uint64_t raw = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t byte = l.little_endian ? width - 1 - i : i;
    raw = raw << 8 | at[byte];
  }
  if (l.float_samples) {
    if (l.bits == 32)
      return static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(raw)));
    return std::bit_cast<double>(raw);
  }
  const std::uint64_t half = std::uint64_t{1} << (l.bits - 1);
  // Two's complement, or offset binary: the sign bit flipped.
  const std::uint64_t biased = l.signed_samples ? raw ^ half : raw;
  return (static_cast<double>(biased) - static_cast<double>(half)) / static_cast<double>(half);
}

}  // namespace

double pcm_step(std::span<const std::uint8_t> bytes, const PcmLayout& layout) {
  constexpr double kNoStep = std::numeric_limits<double>::infinity();
  const std::size_t frame = layout.frame_bytes();
  const std::size_t width = layout.bits / 8;
  if (frame == 0 || bytes.size() < 2 * frame) return kNoStep;
  double step = 0;
  for (std::size_t c = 0; c < layout.channels; ++c) {
    const double a = sample_at(bytes.data() + c * width, layout);
    const double b = sample_at(bytes.data() + frame + c * width, layout);
    // NaN fails the comparisons, as it should: no audio holds it.
    if (!(std::abs(a) <= 1 + kSmoothShare) || !(std::abs(a - b) <= kNoStep)) return kNoStep;
    step = std::max(step, std::abs(a - b));
  }
  return step;
}

bool looks_like_pcm(std::span<const std::uint8_t> bytes, const PcmLayout& layout) {
  const bool plain = layout.bits == 16 && layout.channels == 2 && layout.little_endian &&
                     !layout.float_samples && layout.signed_samples;
  if (plain) return looks_like_pcm(bytes);
  return pcm_step(bytes, layout) < kSmoothShare;
}

}  // namespace vidsalvage
