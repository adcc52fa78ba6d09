#pragma once
// Bit-level reading of H.264 and H.265 syntax. Every operation fetches bytes
// through the one virtual read_byte, so it works unchanged on a NALUnit, which
// drops the emulation-prevention bytes.

#include <cstdint>

namespace vidsalvage {

// Reads the bytes of a buffer it neither copies nor frees. Past the end it
// yields zero bytes and zero bits and touches nothing, and overrun() turns true.
// Parsers use the checked reads, which fail on a read past the end and on a
// value outside the range the syntax allows.
class BitstreamReader {
 public:
  BitstreamReader(const std::uint8_t* data, std::uint32_t size) : data_(data), size_(size) {}
  virtual ~BitstreamReader() = default;

  // Back to the first bit, overrun cleared; the current byte is kept but no longer counted.
  virtual void reset();
  // The next byte, or 0 with nothing changed when the buffer is exhausted.
  virtual std::uint8_t read_byte();

  // True when no unread bit remains.
  bool at_end() const { return bits_left_ == 0 && position_ >= size_; }
  std::uint32_t read_bit();
  // n from 1 to 32; the first bit read is the most significant.
  std::uint32_t read_bits(std::uint32_t n);
  void skip_bits(std::uint32_t n);
  // Exp-Golomb ue(v). Returns 0 when the end of the data cuts off the prefix, and
  // 0xFFFFFFFF for a code of 32 or more leading zeros, which no valid stream has.
  std::uint32_t read_ue();
  // Exp-Golomb se(v).
  std::int32_t read_se();

  // True once a read needed a bit beyond the data.
  bool overrun() const { return overrun_; }

  // Checked reads: false when the element runs past the data or its value lies
  // outside the bounds given; `out` is then unspecified.
  [[nodiscard]] bool read_flag(bool& out);
  [[nodiscard]] bool read_u(std::uint32_t n, std::uint32_t& out);
  [[nodiscard]] bool read_ue_upto(std::uint32_t max, std::uint32_t& out);
  [[nodiscard]] bool read_se_within(std::int32_t min, std::int32_t max, std::int32_t& out);
  [[nodiscard]] bool skip(std::uint32_t n);

  // H.264 7.2 more_rbsp_data(): whether anything but the stop bit and the zero
  // bits after it is left to read.
  virtual bool more_rbsp_data() const;

  std::uint32_t position() const { return position_; }
  std::uint32_t bits_left() const { return bits_left_; }

 protected:
  const std::uint8_t* data_;
  std::uint32_t size_;
  std::uint32_t position_ = 0;   // index of the next byte read_byte fetches
  std::uint32_t bits_left_ = 0;  // unread bits of current_byte_, 0 to 8
  std::uint8_t current_byte_ = 0;
  bool overrun_ = false;

 private:
  // read_byte, with the overrun noted when the data is exhausted.
  std::uint8_t next_byte();

 protected:
  // more_rbsp_data, with the emulation-prevention bytes of the data left out
  // when `escaped`.
  bool more_data_before_stop_bit(bool escaped) const;
};

// A NAL unit read with its emulation-prevention bytes removed: a 03 that follows
// exactly two zero bytes returned by this reader is dropped.
class NALUnit : public BitstreamReader {
 public:
  NALUnit(const std::uint8_t* data, std::uint32_t size) : BitstreamReader(data, size) {}

  void reset() override;
  std::uint8_t read_byte() override;
  bool more_rbsp_data() const override { return more_data_before_stop_bit(true); }

 private:
  std::int32_t zero_run_ = 0;  // consecutive zero bytes just returned, counted up to 3
};

}  // namespace vidsalvage
