#include "codec/klv.h"

#include <algorithm>

namespace vidsalvage {

KlvChain follow_klv(InputWindow& input, std::int64_t offset, std::int64_t limit,
                    std::uint32_t max_items) {
  KlvChain chain;
  while (chain.items < max_items && chain.bytes < limit) {
    const std::int64_t at = offset + chain.bytes;
    if (limit - chain.bytes < kKlvHeaderBytes || input.size - at < kKlvHeaderBytes) break;
    const std::span<const std::uint8_t> item = read_input(input, at, kKlvHeaderBytes);
    if (item.empty()) {
      chain.read_failed = true;
      break;
    }
    const bool key = std::all_of(item.begin(), item.begin() + 4,
                                 [](std::uint8_t c) { return c >= 0x20 && c <= 0x7E; });
    if (!key) break;
    const std::int64_t payload = std::int64_t{item[5]} * ((std::int64_t{item[6]} << 8) | item[7]);
    const std::int64_t size = kKlvHeaderBytes + ((payload + 3) & ~std::int64_t{3});
    if (size > limit - chain.bytes) break;
    chain.bytes += size;
    ++chain.items;
  }
  return chain;
}

}  // namespace vidsalvage
