#pragma once
// The samples of a small camera, byte by byte: H.264 of 320x240 with delimiters,
// AAC frames, 16-byte descriptors announcing the next sample's size, KLV telemetry.

#include <cstdint>

#include "support/bytes.h"

namespace vidsalvage::test {

// The configuration record of a 320x240 High profile stream with PPS id 0.
inline Bytes camera_avcc() {
  return {0x01, 0x64, 0x00, 0x0D, 0xFF, 0xE1, 0x00, 0x19, 0x67, 0x64, 0x00, 0x0D, 0xAC, 0xD9,
          0x41, 0x41, 0xFB, 0x01, 0x10, 0x00, 0x00, 0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03,
          0xC0, 0xF1, 0x42, 0x99, 0x60, 0x01, 0x00, 0x06, 0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};
}

// Units of the camera: a delimiter, a P slice (first_mb 0, type 5, PPS 0), an IDR
// I slice (type 7), a non-reference B slice (type 6).
inline Bytes delimiter() { return length_prefixed({0x09, 0x10}); }
inline Bytes p_slice(std::size_t payload) {
  Bytes u = {0x41, 0x9A};
  append(u, Bytes(payload, 0x5C));
  return length_prefixed(u);
}
inline Bytes idr_slice(std::size_t payload) {
  Bytes u = {0x65, 0x88, 0x80};
  append(u, Bytes(payload, 0x3C));
  return length_prefixed(u);
}
inline Bytes b_slice(std::size_t payload) {
  Bytes u = {0x01, 0x9E};
  append(u, Bytes(payload, 0x7C));
  return length_prefixed(u);
}

inline Bytes descriptor(std::uint8_t next_track, std::size_t next_size, std::uint8_t sequence = 0) {
  Bytes d = {'G', 'P', next_track, 0};
  append_u32(d, static_cast<std::uint32_t>(next_size));
  append(d, Bytes{0xAA, 0, 0, sequence, 0, 0, 0, 0xBB});
  return d;
}

inline Bytes aac_frame(std::size_t size, std::uint8_t fill = 0x66) {
  Bytes f = {0x21, 0x10, 0x00};
  append(f, Bytes(size - 3, fill));
  return f;
}

inline Bytes telemetry_sample(std::uint16_t payload) {
  Bytes s = bytes_of("DEVC");
  s.push_back(0);
  s.push_back(1);
  append_u16(s, payload);
  append(s, Bytes(payload, 0x33));
  return s;
}

}  // namespace vidsalvage::test
