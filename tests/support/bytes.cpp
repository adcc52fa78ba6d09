#include "support/bytes.h"

namespace vidsalvage::test {

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
