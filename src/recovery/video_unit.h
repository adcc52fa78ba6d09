#pragma once
// The shape of a video unit in the media data, shared by the walk and the
// resynchronisation search: a 4-byte big-endian length, then the unit.

#include <cstdint>

namespace vidsalvage {

// Every unit begins with its length: 4 bytes, big-endian.
inline constexpr std::int64_t kLengthFieldBytes = 4;
// Lengths of a video unit, its length field excluded.
inline constexpr std::uint32_t kMinUnitLength = 2;
inline constexpr std::uint32_t kMaxUnitLength = 15'349'759;  // 0xEA37FF
// The walk goes on while cursor + kTailMarginBytes < size.
inline constexpr std::int64_t kTailMarginBytes = 11;
// What accepts_video reads at the cursor: a 7-byte signature at most.
inline constexpr std::int64_t kUnitHeadBytes = 8;

}  // namespace vidsalvage
