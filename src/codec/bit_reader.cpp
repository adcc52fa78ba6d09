#include "codec/bit_reader.h"

namespace vidsalvage {

void BitstreamReader::reset() {
  position_ = 0;
  bits_left_ = 0;
}

std::uint8_t BitstreamReader::read_byte() {
  if (position_ >= size_) return 0;
  return data_[position_++];
}

std::uint32_t BitstreamReader::read_bit() {
  if (bits_left_ == 0) {
    current_byte_ = read_byte();
    bits_left_ = 8;
  }
  --bits_left_;
  return (current_byte_ >> bits_left_) & 1u;
}

std::uint32_t BitstreamReader::read_bits(std::uint32_t n) {
  std::uint32_t value = 0;
  for (std::uint32_t i = 0; i < n; ++i) value = (value << 1) | read_bit();
  return value;
}

void BitstreamReader::skip_bits(std::uint32_t n) {
  if (n <= bits_left_) {
    bits_left_ -= n;
    return;
  }
  n -= bits_left_;
  for (std::uint32_t i = 0; i < n / 8; ++i) read_byte();
  const std::uint32_t rest = n % 8;
  if (rest != 0) {
    current_byte_ = read_byte();
    bits_left_ = 8 - rest;
  } else {
    bits_left_ = 0;
  }
}

std::uint32_t BitstreamReader::read_ue() {
  std::uint32_t zeros = 0;
  while (read_bit() == 0) {
    if (at_end()) return 0;
    ++zeros;
  }
  if (zeros >= 32) {
    // Too long for 32 bits: the suffix is stepped over so that the reader stays
    // behind the whole code.
    skip_bits(zeros);
    return 0xFFFFFFFFu;
  }
  return (1u << zeros) - 1 + read_bits(zeros);
}

std::int32_t BitstreamReader::read_se() {
  const std::uint32_t code = read_ue();
  // H.264 9.1.1: odd codes are positive, even codes negative. 64-bit, since the
  // largest code maps to 2^31; the cast wraps that one value to -2^31.
  const std::int64_t magnitude = (std::int64_t{code} + 1) >> 1;
  return static_cast<std::int32_t>((code & 1u) != 0 ? magnitude : -magnitude);
}

void NALUnit::reset() {
  BitstreamReader::reset();
  zero_run_ = 0;
}

std::uint8_t NALUnit::read_byte() {
  if (position_ >= size_) return 0;
  const std::uint8_t byte = data_[position_++];
  if (byte != 0) {
    zero_run_ = 0;
    return byte;
  }
  // Only "exactly two" matters, so the count stops at 3 instead of overflowing
  // on a long run of zeros.
  if (zero_run_ < 3) ++zero_run_;
  if (position_ < size_ && zero_run_ == 2 && data_[position_] == 0x03) {
    ++position_;
    zero_run_ = 0;
  }
  return 0;
}

}  // namespace vidsalvage
