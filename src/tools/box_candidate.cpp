#include "tools/box_candidate.h"

#include "io/byte_reader.h"

namespace vidsalvage {

std::optional<std::uint32_t> size_in_front(const InputWindow& input, std::int64_t match) {
  constexpr std::int64_t kSizeFieldBytes = 4;
  if (match < kSizeFieldBytes) return std::nullopt;
  // No reload needed: a reload puts the window's start 8 bytes before the position
  // it was made for (or at offset 0), and the searches of the tools start at 0 or
  // one byte after a match already held, so a match at 4 or later has its size
  // field in the window.
  const auto field = held_bytes(input, match - kSizeFieldBytes, kSizeFieldBytes);
  if (field.empty()) return std::nullopt;
  return load_be32(field);
}

}  // namespace vidsalvage
