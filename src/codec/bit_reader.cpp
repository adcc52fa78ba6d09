#include "codec/bit_reader.h"

namespace vidsalvage {

void BitstreamReader::reset() {
  position_ = 0;
  bits_left_ = 0;
  overrun_ = false;
}

std::uint8_t BitstreamReader::read_byte() {
  if (position_ >= size_) return 0;
  return data_[position_++];
}

std::uint8_t BitstreamReader::next_byte() {
  if (position_ >= size_) overrun_ = true;
  return read_byte();
}

std::uint32_t BitstreamReader::read_bit() {
  if (bits_left_ == 0) {
    current_byte_ = next_byte();
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
  for (std::uint32_t i = 0; i < n / 8; ++i) next_byte();
  const std::uint32_t rest = n % 8;
  if (rest != 0) {
    current_byte_ = next_byte();
    bits_left_ = 8 - rest;
  } else {
    bits_left_ = 0;
  }
}

std::uint32_t BitstreamReader::read_ue() {
  std::uint32_t zeros = 0;
  while (read_bit() == 0) {
    if (at_end()) {
      overrun_ = true;  // the prefix needs a one the data no longer holds
      return 0;
    }
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

bool BitstreamReader::read_flag(bool& out) {
  out = read_bit() != 0;
  return !overrun_;
}

bool BitstreamReader::read_u(std::uint32_t n, std::uint32_t& out) {
  out = read_bits(n);
  return !overrun_;
}

bool BitstreamReader::read_ue_upto(std::uint32_t max, std::uint32_t& out) {
  out = read_ue();
  return !overrun_ && out <= max;
}

bool BitstreamReader::read_se_within(std::int32_t min, std::int32_t max, std::int32_t& out) {
  // A code of 32 or more leading zeros reads as 0xFFFFFFFF, whose se(v) would
  // wrap to -2^31: no syntax element allows it.
  const std::uint32_t code = read_ue();
  if (overrun_ || code == 0xFFFFFFFFu) return false;
  const std::int64_t magnitude = (std::int64_t{code} + 1) >> 1;
  const std::int64_t value = (code & 1u) != 0 ? magnitude : -magnitude;
  if (value < min || value > max) return false;
  out = static_cast<std::int32_t>(value);
  return true;
}

bool BitstreamReader::skip(std::uint32_t n) {
  skip_bits(n);
  return !overrun_;
}

bool BitstreamReader::more_rbsp_data() const { return more_data_before_stop_bit(false); }

bool BitstreamReader::more_data_before_stop_bit(bool escaped) const {
  const auto prevention_byte = [&](std::uint32_t i) {
    return escaped && i >= 2 && data_[i] == 0x03 && data_[i - 1] == 0 && data_[i - 2] == 0;
  };
  // The stop bit is the lowest one bit of the last data byte that is not zero;
  // cabac_zero_words (00 00 03) may follow it.
  std::uint32_t last = size_;
  while (last > 0 && (data_[last - 1] == 0 || prevention_byte(last - 1))) --last;
  const std::uint32_t unread_mask = (1u << bits_left_) - 1u;
  if (last == 0 || last - 1 < position_) {
    // The stop bit, if any, is among the unread bits of the current byte.
    const std::uint32_t unread = current_byte_ & unread_mask;
    return unread != 0 && (unread & (unread - 1)) != 0;
  }
  if ((current_byte_ & unread_mask) != 0) return true;
  for (std::uint32_t i = position_; i + 1 < last; ++i) {
    if (data_[i] != 0 && !prevention_byte(i)) return true;
  }
  const std::uint32_t final_byte = data_[last - 1];
  return (final_byte & (final_byte - 1)) != 0;
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
