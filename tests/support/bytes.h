#pragma once
// Small builders so that a test states the bytes it cares about.

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace vidsalvage::test {

using Bytes = std::vector<std::uint8_t>;

inline void append_u16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}
inline void append_u32(Bytes& b, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}
inline void append_u64(Bytes& b, std::uint64_t v) {
  for (int shift = 56; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}
inline void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
inline void append(Bytes& b, std::string_view text) { b.insert(b.end(), text.begin(), text.end()); }

// Bits given as '0' and '1' characters (spaces ignored), padded with zeros to
// whole bytes.
inline Bytes bits_of(std::string_view text) {
  Bytes out;
  int used = 0;
  for (const char c : text) {
    if (c == ' ') continue;
    if (used % 8 == 0) out.push_back(0);
    if (c == '1') out.back() = static_cast<std::uint8_t>(out.back() | (0x80u >> (used % 8)));
    ++used;
  }
  return out;
}

inline Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& part : parts) append(b, part);
  return b;
}

// A box with a 32-bit size field: size, four-character type, body.
inline Bytes box(std::string_view type, const Bytes& body) {
  Bytes b;
  append_u32(b, static_cast<std::uint32_t>(8 + body.size()));
  append(b, type);
  append(b, body);
  return b;
}

// A 4-byte big-endian length, then the unit.
inline Bytes length_prefixed(const Bytes& unit) {
  Bytes b;
  append_u32(b, static_cast<std::uint32_t>(unit.size()));
  append(b, unit);
  return b;
}

// The big-endian number of `width` bytes at `at`. Throws std::runtime_error when
// they run past the end: a test's file is not what the test took it for.
std::uint64_t read_be(const Bytes& b, std::int64_t at, int width);

// The `size` bytes from `offset`.
Bytes slice(const Bytes& b, std::int64_t offset, std::int64_t size);

// Deterministic filler bytes (xorshift), the same on every run.
Bytes pseudo_random_bytes(std::size_t count, std::uint32_t seed);

}  // namespace vidsalvage::test
