#pragma once
// The payload of a NAL unit with its emulation-prevention bytes removed, and a
// fast bit reader over it for slice data, where a reader call per syntax
// element bit matters.

#include <cstdint>
#include <span>
#include <vector>

namespace vidsalvage {

// The RBSP of `unit` (header byte excluded by the caller), and where each
// dropped 03 stood in the unit, so a position in the unit maps onto the RBSP.
struct Rbsp {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint32_t> dropped;  // unit offsets of the emulation-prevention bytes, ascending
  // The RBSP bit of the unit's byte `unit_offset` (the first not yet fetched).
  std::uint64_t bit_of(std::uint32_t unit_offset) const;
  // The position of rbsp_stop_one_bit: the last one bit, cabac_zero_words and
  // padding after it. -1 when every bit is zero.
  std::int64_t stop_bit() const;
};

// Drops each 03 that follows two zero bytes of the unit, as NALUnit does.
Rbsp unescape(std::span<const std::uint8_t> unit);

// Reads bits of an RBSP; past its end it yields zeros and notes the overrun.
class RbspBits {
 public:
  explicit RbspBits(std::span<const std::uint8_t> bytes, std::uint64_t start_bit = 0)
      : bytes_(bytes), pos_(start_bit) {}

  std::uint32_t read_bit() {
    const std::uint64_t byte = pos_ >> 3;
    std::uint32_t bit = 0;
    if (byte < bytes_.size()) bit = (bytes_[byte] >> (7 - (pos_ & 7))) & 1u;
    ++pos_;
    return bit;
  }
  // n from 0 to 25.
  std::uint32_t read_bits(std::uint32_t n) {
    const std::uint32_t value = peek_bits(n);
    pos_ += n;
    return value;
  }
  // The next n bits (0 to 25) without reading them.
  std::uint32_t peek_bits(std::uint32_t n) const {
    if (n == 0) return 0;
    const std::uint64_t byte = pos_ >> 3;
    std::uint32_t window = 0;
    if (byte + 4 <= bytes_.size()) {
      window = (std::uint32_t{bytes_[byte]} << 24) | (std::uint32_t{bytes_[byte + 1]} << 16) |
               (std::uint32_t{bytes_[byte + 2]} << 8) | bytes_[byte + 3];
    } else {
      for (std::uint64_t i = 0; i < 4; ++i) {
        window <<= 8;
        if (byte + i < bytes_.size()) window |= bytes_[byte + i];
      }
    }
    return (window << (pos_ & 7)) >> (32 - n);
  }
  void skip_bits(std::uint32_t n) { pos_ += n; }
  // Exp-Golomb ue(v); false for a prefix of 32 zeros or more, or past the end.
  [[nodiscard]] bool read_ue(std::uint32_t& out);
  [[nodiscard]] bool read_se(std::int32_t& out);

  std::uint64_t position() const { return pos_; }
  std::uint64_t size_bits() const { return std::uint64_t{bytes_.size()} * 8; }
  bool overrun() const { return pos_ > size_bits(); }
  bool byte_aligned() const { return (pos_ & 7) == 0; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::uint64_t pos_;
};

}  // namespace vidsalvage
