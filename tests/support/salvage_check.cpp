#include "support/salvage_check.h"

#include <algorithm>
#include <stdexcept>

namespace vidsalvage::test {

std::vector<Bytes> adts_payloads(const Bytes& stream) {
  std::vector<Bytes> frames;
  std::size_t at = 0;
  while (at + 7 <= stream.size()) {
    if (stream[at] != 0xFF || (stream[at + 1] & 0xF0) != 0xF0) {
      throw std::runtime_error("ADTS stream: no sync word at " + std::to_string(at));
    }
    const std::size_t length = (std::size_t{stream[at + 3]} & 3) << 11 |
                               std::size_t{stream[at + 4]} << 3 | stream[at + 5] >> 5;
    if (length < 7 || at + length > stream.size()) {
      throw std::runtime_error("ADTS stream: a frame runs past the end");
    }
    frames.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at + 7),
                        stream.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
  }
  return frames;
}

std::size_t matched_in_order(const std::vector<Bytes>& expected, const std::vector<Bytes>& found) {
  // Greedy: each found item matches the next equal expected item not far ahead.
  constexpr std::size_t kLookahead = 4096;
  std::size_t next = 0;
  std::size_t matched = 0;
  for (const Bytes& item : found) {
    const std::size_t stop = std::min(expected.size(), next + kLookahead);
    for (std::size_t k = next; k < stop; ++k) {
      if (expected[k] == item) {
        ++matched;
        next = k + 1;
        break;
      }
    }
  }
  return matched;
}

std::size_t chunks_in_order(const std::vector<Bytes>& chunks, const Bytes& data) {
  std::size_t matched = 0;
  auto from = data.begin();
  for (const Bytes& chunk : chunks) {
    const auto at = std::search(from, data.end(), chunk.begin(), chunk.end());
    if (at == data.end()) continue;
    ++matched;
    from = at + static_cast<std::ptrdiff_t>(chunk.size());
  }
  return matched;
}

}  // namespace vidsalvage::test
