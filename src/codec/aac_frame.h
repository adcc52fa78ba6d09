#pragma once
// What the syntax of an AAC frame (a raw_data_block of ISO/IEC 14496-3) tells of
// where it ends, without decoding it.

#include <cstdint>
#include <span>

namespace vidsalvage {

// Whether `frame` can end where it ends: its last element is ID_END (three one
// bits), and the bits that align it to the byte, fewer than eight, are zero as
// encoders write them. False for an empty frame or one ending in a zero byte.
bool ends_like_aac_frame(std::span<const std::uint8_t> frame);

}  // namespace vidsalvage
