#include "support/bytes.h"

#include <stdexcept>

namespace vidsalvage::test {

std::uint64_t read_be(const Bytes& b, std::int64_t at, int width) {
  if (at < 0 || at + width > static_cast<std::int64_t>(b.size())) {
    throw std::runtime_error("a table runs past its box");
  }
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | b[static_cast<std::size_t>(at + i)];
  return v;
}

Bytes slice(const Bytes& b, std::int64_t offset, std::int64_t size) {
  return Bytes(b.begin() + offset, b.begin() + offset + size);
}

Bytes pseudo_random_bytes(std::size_t count, std::uint32_t seed) {
  Bytes b(count);
  std::uint32_t x = seed != 0 ? seed : 0x9E3779B9u;
  for (std::size_t i = 0; i < count; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b[i] = static_cast<std::uint8_t>(x >> 24);
  }
  return b;
}

}  // namespace vidsalvage::test
