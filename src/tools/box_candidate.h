#pragma once
// Boxes of an intact recording are found by their four-letter type code alone;
// the box size is the 32-bit big-endian number just in front of the match.

#include <array>
#include <cstdint>
#include <optional>

#include "io/input_window.h"

namespace vidsalvage {

using TypeCode = std::array<std::uint8_t, 4>;

// The four letters of a type code as the bytes find_pattern looks for.
constexpr TypeCode type_code(const char (&letters)[5]) {
  return {static_cast<std::uint8_t>(letters[0]), static_cast<std::uint8_t>(letters[1]),
          static_cast<std::uint8_t>(letters[2]), static_cast<std::uint8_t>(letters[3])};
}

// The size field in front of a type code that find_pattern has just matched at
// `match`. nullopt when the match is closer than four bytes to the start of the
// input, which leaves no room for the field.
std::optional<std::uint32_t> size_in_front(const InputWindow& input, std::int64_t match);

}  // namespace vidsalvage
