#include "codec/rbsp_bits.h"

#include <algorithm>

namespace vidsalvage {

std::uint64_t Rbsp::bit_of(std::uint32_t unit_offset) const {
  const auto before = std::lower_bound(dropped.begin(), dropped.end(), unit_offset);
  return (std::uint64_t{unit_offset} - static_cast<std::uint64_t>(before - dropped.begin())) * 8;
}

std::int64_t Rbsp::stop_bit() const {
  std::size_t end = bytes.size();
  while (end > 0 && bytes[end - 1] == 0) --end;
  if (end == 0) return -1;
  const std::uint8_t last = bytes[end - 1];
  int zeros = 0;
  while (((last >> zeros) & 1u) == 0) ++zeros;
  return static_cast<std::int64_t>(end * 8) - 1 - zeros;
}

Rbsp unescape(std::span<const std::uint8_t> unit) {
  Rbsp out;
  out.bytes.reserve(unit.size());
  int zeros = 0;
  for (std::size_t i = 0; i < unit.size(); ++i) {
    const std::uint8_t byte = unit[i];
    if (zeros == 2 && byte == 0x03) {
      out.dropped.push_back(static_cast<std::uint32_t>(i));
      zeros = 0;
      continue;
    }
    out.bytes.push_back(byte);
    zeros = byte == 0 ? std::min(zeros + 1, 3) : 0;
  }
  return out;
}

bool RbspBits::read_ue(std::uint32_t& out) {
  std::uint32_t zeros = 0;
  while (read_bit() == 0) {
    if (++zeros >= 32 || overrun()) return false;
  }
  out = (1u << zeros) - 1 +
        (zeros > 16 ? (read_bits(zeros - 16) << 16) | read_bits(16) : read_bits(zeros));
  return !overrun();
}

bool RbspBits::read_se(std::int32_t& out) {
  std::uint32_t code = 0;
  if (!read_ue(code)) return false;
  const std::int64_t magnitude = (std::int64_t{code} + 1) >> 1;
  out = static_cast<std::int32_t>((code & 1u) != 0 ? magnitude : -magnitude);
  return true;
}

}  // namespace vidsalvage
