#pragma once
// Checked big-endian reads over a small buffer of untrusted bytes (reference
// headers, descriptors, tables): a read succeeds whole or fails in place.

#include <cstddef>
#include <cstdint>
#include <span>

namespace vidsalvage {

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  [[nodiscard]] bool read_u8(std::uint8_t& out) { return read_be(1, out); }
  [[nodiscard]] bool read_u16(std::uint16_t& out) { return read_be(2, out); }
  [[nodiscard]] bool read_u32(std::uint32_t& out) { return read_be(4, out); }
  [[nodiscard]] bool read_u64(std::uint64_t& out) { return read_be(8, out); }
  [[nodiscard]] bool skip(std::size_t n) {
    if (n > remaining()) return false;
    pos_ += n;
    return true;
  }
  // The next n bytes, consumed; false when fewer remain.
  [[nodiscard]] bool read_bytes(std::size_t n, std::span<const std::uint8_t>& out) {
    if (n > remaining()) return false;
    out = bytes_.subspan(pos_, n);
    pos_ += n;
    return true;
  }

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return bytes_.size() - pos_; }

 private:
  template <typename T>
  bool read_be(std::size_t n, T& out) {
    // Compare with what is left: `pos_ + n` can wrap when n comes from the file.
    if (n > remaining()) return false;
    std::uint64_t value = 0;  // unsigned: a promoted uint8_t is an int
    for (std::size_t i = 0; i < n; ++i) value = (value << 8) | bytes_[pos_ + i];
    out = static_cast<T>(value);
    pos_ += n;
    return true;
  }

  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

// Big-endian integers from a span already known to hold them.
inline std::uint32_t load_be32(std::span<const std::uint8_t> b) {
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
         std::uint32_t{b[3]};
}
inline std::uint64_t load_be64(std::span<const std::uint8_t> b) {
  return (std::uint64_t{load_be32(b)} << 32) | load_be32(b.subspan(4));
}

}  // namespace vidsalvage
