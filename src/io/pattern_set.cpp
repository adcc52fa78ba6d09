#include "io/pattern_set.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vidsalvage {
namespace {

constexpr std::uint64_t kEveryByte = 0x0101010101010101;
constexpr std::uint64_t kLowBits = 0x7F7F7F7F7F7F7F7F;

// The high bit of each byte of `w` that is zero, and no other bit.
std::uint64_t zero_bytes(std::uint64_t w) { return ~(((w & kLowBits) + kLowBits) | w | kLowBits); }

// The memory-order index of the byte holding the first flag of `flags`, and
// `flags` without that flag.
std::size_t first_flagged_byte(std::uint64_t flags) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::size_t>(std::countr_zero(flags)) / 8;
  } else {
    return static_cast<std::size_t>(std::countl_zero(flags)) / 8;
  }
}
std::uint64_t without_first_flag(std::uint64_t flags) {
  if constexpr (std::endian::native == std::endian::little) {
    return flags & (flags - 1);
  } else {
    return flags & ~(std::uint64_t{1} << (63 - std::countl_zero(flags)));
  }
}

}  // namespace

std::size_t PatternSet::find_first(std::span<const std::uint8_t> bytes, std::size_t from) const {
  if (bytes.size() < width_ || entries_.empty()) return kNone;
  const std::size_t end = bytes.size() - width_ + 1;  // positions where a whole entry fits
  const std::uint8_t* const data = bytes.data();
  std::size_t p = from;
  if (lead_value_count_ == 1 && lead_mask_ == 0xFF) {
    // One first byte: memchr finds the places worth a look.
    for (; p < end; ++p) {
      const void* hit = std::memchr(data + p, lead_values_[0], end - p);
      if (hit == nullptr) return kNone;
      p = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data);
      if (matches_at(data + p)) return p;
    }
    return kNone;
  }
#if defined(__SSE2__)
  if (lead_value_count_ > 0) {
    // Sixteen bytes at a time: a byte is a lead when (byte & mask) equals a value.
    const __m128i mask = _mm_set1_epi8(static_cast<char>(lead_mask_));
    for (; p < end && bytes.size() - p >= 16; p += 16) {
      const __m128i word =
          _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p)), mask);
      __m128i leads = _mm_setzero_si128();
      for (std::size_t j = 0; j < lead_value_count_; ++j) {
        leads = _mm_or_si128(
            leads, _mm_cmpeq_epi8(word, _mm_set1_epi8(static_cast<char>(lead_values_[j]))));
      }
      for (auto flags = static_cast<unsigned>(_mm_movemask_epi8(leads)); flags != 0;
           flags &= flags - 1) {
        const std::size_t at = p + static_cast<std::size_t>(std::countr_zero(flags));
        if (at >= end) return kNone;
        if (matches_at(data + at)) return at;
      }
    }
  }
#endif
  if (lead_value_count_ > 0) {
    // Eight bytes at a time; a byte is a lead when (byte & mask) ^ value is zero.
    // Each word is read whole from within `bytes`.
    const std::uint64_t mask = lead_mask_ * kEveryByte;
    for (; p < end && bytes.size() - p >= 8; p += 8) {
      std::uint64_t word;
      std::memcpy(&word, data + p, 8);
      word &= mask;
      std::uint64_t flags = 0;
      for (std::size_t j = 0; j < lead_value_count_; ++j) {
        flags |= zero_bytes(word ^ (lead_values_[j] * kEveryByte));
      }
      for (; flags != 0; flags = without_first_flag(flags)) {
        const std::size_t at = p + first_flagged_byte(flags);
        if (at >= end) return kNone;
        if (matches_at(data + at)) return at;
      }
    }
  }
  for (; p < end; ++p) {
    if (is_lead(data[p]) && matches_at(data + p)) return p;
  }
  return kNone;
}

bool PatternSet::contains_key(std::uint32_t key) const {
  std::size_t low = 0;
  std::size_t high = count();
  while (low < high) {
    const std::size_t mid = (low + high) / 2;
    if (keys_[mid] < key) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low < count() && keys_[low] == key;
}

bool PatternSet::is_lead(std::uint8_t b) const {
  for (std::size_t j = 0; j < lead_value_count_; ++j) {
    if ((b & lead_mask_) == lead_values_[j]) return true;
  }
  return lead_value_count_ == 0;
}

}  // namespace vidsalvage
