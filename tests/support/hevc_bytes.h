#pragma once
// HEVC parameter sets of a real stream and the hvcC records built from them.

#include <cstdint>
#include <vector>

#include "support/bytes.h"

namespace vidsalvage::test {

// The parameter sets libx265 (preset ultrafast) wrote for a 208x90 4:2:2 8-bit
// stream: coded 208x96 with a bottom window of 6 lines, Main 4:2:2 10 (Rext), level 1.
inline const Bytes kHevcVps = {0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF, 0x04, 0x08,
                               0x00, 0x00, 0x03, 0x00, 0x9D, 0x08, 0x00, 0x00,
                               0x03, 0x00, 0x00, 0x1E, 0x95, 0x94, 0x09};
inline const Bytes kHevcSps = {0x42, 0x01, 0x01, 0x04, 0x08, 0x00, 0x00, 0x03, 0x00, 0x9D, 0x08,
                               0x00, 0x00, 0x03, 0x00, 0x00, 0x1E, 0xB0, 0x1A, 0x20, 0x61, 0xF3,
                               0xE5, 0x95, 0x95, 0x29, 0x30, 0xBC, 0x05, 0xA0, 0x20, 0x00, 0x00,
                               0x03, 0x00, 0x20, 0x00, 0x00, 0x03, 0x03, 0x21};
inline const Bytes kHevcPps = {0x44, 0x01, 0xC0, 0x73, 0xC1, 0x89};
// The record's 22 bytes in front of its arrays, as the same stream has them.
inline const Bytes kHevcRecordHead = {0x01, 0x04, 0x08, 0x00, 0x00, 0x00, 0x9D, 0x08,
                                      0x00, 0x00, 0x00, 0x00, 0x1E, 0xF0, 0x00, 0xFC,
                                      0xFE, 0xF8, 0xF8, 0x00, 0x00, 0x0F};

// One array of an hvcC: array_completeness set, the type, the units.
inline Bytes hevc_array_of(std::uint8_t type, const std::vector<Bytes>& units) {
  Bytes b = {static_cast<std::uint8_t>(0x80 | type)};
  append_u16(b, static_cast<std::uint16_t>(units.size()));
  for (const Bytes& unit : units) {
    append_u16(b, static_cast<std::uint16_t>(unit.size()));
    append(b, unit);
  }
  return b;
}

inline Bytes hevc_record_of(const std::vector<Bytes>& arrays, const Bytes& head = kHevcRecordHead) {
  Bytes b = head;
  b.push_back(static_cast<std::uint8_t>(arrays.size()));
  for (const Bytes& array : arrays) append(b, array);
  return b;
}

// The stream's record: VPS, SPS, PPS and a prefix SEI, 4-byte unit lengths.
inline const Bytes kHevcRecord = hevc_record_of(
    {hevc_array_of(32, {kHevcVps}), hevc_array_of(33, {kHevcSps}), hevc_array_of(34, {kHevcPps}),
     hevc_array_of(39, {{0x4E, 0x01, 0x05, 0x01, 0x80}})});

}  // namespace vidsalvage::test
