#pragma once
// KLV items as cameras store telemetry: a four-character key, a type byte, a
// structure size byte, a 16-bit repeat count, then the payload padded to four
// bytes.

#include <cstdint>

#include "io/input_window.h"

namespace vidsalvage {

inline constexpr std::int64_t kKlvHeaderBytes = 8;

struct KlvChain {
  std::int64_t bytes = 0;   // the items followed, headers and padded payloads
  std::uint32_t items = 0;  // how many
  bool read_failed = false;
};

// Follows the items from `offset` while they lie within `limit` bytes of it and
// number at most `max_items`. Stops in front of anything that is not an item (a
// key that is not printable ASCII) or an item that reaches past `limit`;
// read_failed when the input could not be read.
KlvChain follow_klv(InputWindow& input, std::int64_t offset, std::int64_t limit,
                    std::uint32_t max_items);

}  // namespace vidsalvage
