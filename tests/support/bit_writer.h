#pragma once
// Builds H.264 bit strings for tests: fixed-width fields, Exp-Golomb codes, and
// a finished NAL unit with emulation prevention.

#include <cstddef>
#include <cstdint>

#include "support/bytes.h"

namespace vidsalvage::test {

class BitWriter {
 public:
  BitWriter& bits(std::uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i) bit(static_cast<unsigned>((value >> i) & 1));
    return *this;
  }
  BitWriter& bit(unsigned b) {
    current_ = static_cast<std::uint8_t>((static_cast<unsigned>(current_) << 1) | (b & 1));
    if (++used_ == 8) {
      bytes_.push_back(current_);
      current_ = 0;
      used_ = 0;
    }
    return *this;
  }
  // ue(v): as many zeros as value + 1 has bits after its first, then value + 1.
  BitWriter& ue(std::uint32_t value) {
    const std::uint64_t code = std::uint64_t{value} + 1;
    int width = 0;
    while ((code >> width) > 1) ++width;
    bits(0, width);
    return bits(code, width + 1);
  }
  BitWriter& se(std::int32_t value) {
    return ue(value > 0 ? static_cast<std::uint32_t>(2 * value - 1)
                        : static_cast<std::uint32_t>(-2 * std::int64_t{value}));
  }
  std::size_t bit_count() const { return bytes_.size() * 8 + static_cast<std::size_t>(used_); }
  // The bits so far, the last byte padded with zeros.
  Bytes raw() const {
    Bytes b = bytes_;
    if (used_ != 0) b.push_back(static_cast<std::uint8_t>(current_ << (8 - used_)));
    return b;
  }
  // The rbsp stop bit and padding, then a 03 after every two zeros that precede
  // a byte of 00 to 03.
  Bytes finish() {
    bit(1);
    while (used_ != 0) bit(0);
    Bytes out;
    int zeros = 0;
    for (std::uint8_t byte : bytes_) {
      if (zeros == 2 && byte <= 3) {
        out.push_back(0x03);
        zeros = 0;
      }
      out.push_back(byte);
      zeros = byte == 0 ? zeros + 1 : 0;
    }
    return out;
  }

 private:
  Bytes bytes_;
  std::uint8_t current_ = 0;
  int used_ = 0;
};

}  // namespace vidsalvage::test
