#include "codec/aac_frame.h"

namespace vidsalvage {
namespace {

// id_syn_ele is three bits; the element that ends a raw_data_block has them all set.
constexpr std::uint32_t kIdEnd = 0x7;
constexpr int kIdBits = 3;

}  // namespace

bool ends_like_aac_frame(std::span<const std::uint8_t> frame) {
  if (frame.empty() || frame.back() == 0) return false;
  // The last byte's trailing zeros are the alignment; ID_END ends just before
  // them, in that byte or reaching back into the one before it.
  std::uint32_t bits = frame.back();
  int held = 8;
  if (frame.size() >= 2) {
    bits |= std::uint32_t{frame[frame.size() - 2]} << 8;
    held = 16;
  }
  while ((bits & 1) == 0) {
    bits >>= 1;
    --held;
  }
  return held >= kIdBits && (bits & kIdEnd) == kIdEnd;
}

}  // namespace vidsalvage
