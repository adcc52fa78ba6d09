#include "codec/bit_reader.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/bit_writer.h"
#include "support/bytes.h"

namespace vidsalvage::test {
namespace {

// Every byte the reader returns before it reports the end.
Bytes drain_bytes(BitstreamReader& reader) {
  Bytes out;
  while (!reader.at_end()) out.push_back(static_cast<std::uint8_t>(reader.read_bits(8)));
  return out;
}

struct EpbCase {
  const char* name;
  Bytes in;
  Bytes out;
};
const EpbCase kEpbCases[] = {
    {"drops 03 after two zeros", {0x00, 0x00, 0x03, 0x01}, {0x00, 0x00, 0x01}},
    {"keeps 03 after three zeros", {0x00, 0x00, 0x00, 0x03}, {0x00, 0x00, 0x00, 0x03}},
    {"starts a new run after a drop", {0x00, 0x00, 0x03, 0x00, 0x00, 0x03}, {0, 0, 0, 0}},
    {"keeps 03 after one zero", {0x00, 0x03}, {0x00, 0x03}},
    {"keeps a zero pair at the end", {0x65, 0x00, 0x00}, {0x65, 0x00, 0x00}},
    {"a non-zero byte ends the run", {0x00, 0x01, 0x00, 0x03}, {0x00, 0x01, 0x00, 0x03}},
    {"drops 03 that ends the buffer", {0x67, 0x00, 0x00, 0x03}, {0x67, 0x00, 0x00}},
};

TEST(NalUnit, RemovesEmulationPreventionBytes) {
  for (const EpbCase& c : kEpbCases) {
    SCOPED_TRACE(c.name);
    const Bytes in = c.in;  // its own vector: AddressSanitizer sees its end
    NALUnit nal(in.data(), static_cast<std::uint32_t>(in.size()));
    EXPECT_EQ(drain_bytes(nal), c.out);
    // A reset reads the same bytes again.
    nal.reset();
    EXPECT_EQ(drain_bytes(nal), c.out);
  }
}

struct MoreDataCase {
  const char* name;
  Bytes data;
  std::uint32_t bits_read;
  bool more;
};
const MoreDataCase kMoreDataCases[] = {
    {"only the stop bit left", {0xA0}, 2, false},
    {"a data bit before the stop bit", {0xA0}, 0, true},
    {"the stop bit in the next byte", {0xFF, 0x80}, 8, false},
    {"data in the next byte", {0xFF, 0xC0}, 8, true},
    {"zero bytes after the stop bit", {0x40, 0x00, 0x00}, 1, false},
    {"cabac_zero_words after the stop bit", {0x80, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03}, 0, false},
    {"only the stop bit after a prevention byte", {0x00, 0x00, 0x03, 0x01}, 0, false},
    {"a data bit after a prevention byte", {0x00, 0x00, 0x03, 0x03}, 0, true},
    {"a prevention byte before the stop bit", {0x00, 0x00, 0x03, 0x80}, 16, false},
    {"nothing but zeros", {0x00, 0x00}, 3, false},
    {"everything read", {0x81}, 8, false},
};

TEST(NalUnit, TellsWhetherDataIsLeftBeforeTheStopBit) {
  for (const MoreDataCase& c : kMoreDataCases) {
    SCOPED_TRACE(c.name);
    NALUnit nal(c.data.data(), static_cast<std::uint32_t>(c.data.size()));
    nal.skip_bits(c.bits_read);
    EXPECT_EQ(nal.more_rbsp_data(), c.more);
  }
}

TEST(BitstreamReader, KeepsEveryByteAndYieldsZerosPastTheEnd) {
  const Bytes in = {0x00, 0x00, 0x03, 0x01};
  BitstreamReader reader(in.data(), static_cast<std::uint32_t>(in.size()));
  EXPECT_EQ(drain_bytes(reader), in);
  EXPECT_EQ(reader.read_bits(32), 0u);
  EXPECT_EQ(reader.position(), 4u);

  BitstreamReader empty(nullptr, 0);
  empty.reset();
  EXPECT_TRUE(empty.at_end());
  EXPECT_EQ(empty.read_byte(), 0);
  EXPECT_EQ(empty.read_ue(), 0u);
}

TEST(BitstreamReader, ReadsExpGolombCodes) {
  // H.264 Table 9-2: the bit strings and the code numbers they carry.
  BitWriter w;
  w.bits(0b1, 1).bits(0b010, 3).bits(0b011, 3).bits(0b00100, 5).bits(0b0001000, 7);
  w.bits(0b1, 1).bits(0b010, 3).bits(0b011, 3).bits(0b00100, 5).bits(0b00101, 5);
  w.bits(0b1, 1);
  const Bytes in = w.raw();
  BitstreamReader reader(in.data(), static_cast<std::uint32_t>(in.size()));
  for (std::uint32_t expected : {0u, 1u, 2u, 3u, 7u}) EXPECT_EQ(reader.read_ue(), expected);
  for (std::int32_t expected : {0, 1, -1, 2, -2}) EXPECT_EQ(reader.read_se(), expected);
  // The largest valid code, 31 zeros, then all of its suffix.
  const Bytes longest = {0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFE};
  BitstreamReader max_reader(longest.data(), static_cast<std::uint32_t>(longest.size()));
  EXPECT_EQ(max_reader.read_ue(), 0xFFFFFFFEu);
  EXPECT_EQ(max_reader.bits_left(), 1u);
}

TEST(BitstreamReader, ExpGolombCodeCutOffByTheEnd) {
  const Bytes zeros = {0x00, 0x00};
  BitstreamReader reader(zeros.data(), static_cast<std::uint32_t>(zeros.size()));
  EXPECT_EQ(reader.read_ue(), 0u);
  EXPECT_TRUE(reader.at_end());
  // 40 zeros, a one, and a suffix the data cannot hold: out of range, but read.
  const Bytes overlong = {0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0xAA};
  BitstreamReader over(overlong.data(), static_cast<std::uint32_t>(overlong.size()));
  EXPECT_EQ(over.read_ue(), 0xFFFFFFFFu);
  EXPECT_EQ(over.position(), overlong.size());
}

TEST(BitstreamReader, SkipsBitsAcrossBytes) {
  const Bytes in = {0xA5, 0x5A, 0xC3, 0x3C};
  BitstreamReader reader(in.data(), static_cast<std::uint32_t>(in.size()));
  EXPECT_EQ(reader.read_bits(5), 0b10100u);  // 3 bits of A5 left
  reader.skip_bits(11);                      // those 3 and all of 5A
  EXPECT_EQ(reader.bits_left(), 0u);
  EXPECT_EQ(reader.position(), 2u);
  reader.skip_bits(1);  // fetches C3
  EXPECT_EQ(reader.bits_left(), 7u);
  EXPECT_EQ(reader.read_bits(7), 0x43u);
  reader.skip_bits(2);
  EXPECT_EQ(reader.read_bits(6), 0x3Cu);
  EXPECT_TRUE(reader.at_end());
}

}  // namespace
}  // namespace vidsalvage::test

namespace vidsalvage::test {
namespace {

struct OverrunCase {
  const char* name;
  Bytes in;
  std::function<void(BitstreamReader&)> reads;
  bool overrun;
};

TEST(BitstreamReader, NotesAReadPastTheEndAndOnlyThat) {
  const OverrunCase cases[] = {
      {"every bit, no more", {0xA5, 0x5A}, [](BitstreamReader& r) { r.read_bits(16); }, false},
      {"one bit more", {0xA5, 0x5A}, [](BitstreamReader& r) { r.read_bits(17); }, true},
      {"a skip to the end", {0xA5, 0x5A}, [](BitstreamReader& r) { r.skip_bits(16); }, false},
      {"a skip past the end", {0xA5, 0x5A}, [](BitstreamReader& r) { r.skip_bits(17); }, true},
      {"whole bytes skipped past the end",
       {0xA5},
       [](BitstreamReader& r) { r.skip_bits(24); },
       true},
      {"a code one bit short of the end",
       {0x01, 0xFE},
       [](BitstreamReader& r) { r.read_ue(); },
       false},
      {"a code whose prefix the end cuts", {0x00}, [](BitstreamReader& r) { r.read_ue(); }, true},
      {"a code whose suffix the end cuts",
       {0x00, 0xC0},
       [](BitstreamReader& r) { r.read_ue(); },
       true},
      {"nothing to read", {}, [](BitstreamReader& r) { r.read_bit(); }, true},
  };
  for (const OverrunCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes in = c.in;
    BitstreamReader reader(in.data(), static_cast<std::uint32_t>(in.size()));
    c.reads(reader);
    EXPECT_EQ(reader.overrun(), c.overrun);
    reader.reset();
    EXPECT_FALSE(reader.overrun());
  }
  // A dropped 03 that ends the unit leaves no byte to read.
  const Bytes nal_in = {0x67, 0x00, 0x00, 0x03};
  NALUnit nal(nal_in.data(), static_cast<std::uint32_t>(nal_in.size()));
  nal.read_bits(24);
  EXPECT_FALSE(nal.overrun());
  nal.read_bit();
  EXPECT_TRUE(nal.overrun());
}

TEST(BitstreamReader, CheckedReadsHoldTheirBounds) {
  BitWriter w;
  w.ue(12).ue(13).se(-5).se(6).ue(0xFFFFFFFE).ue(0xFFFFFFFD).bit(1).bits(0x2A, 7);
  w.bits(0, 32).bits(std::uint64_t{1} << 32, 33);  // 32 zeros: out of every range
  const Bytes in = w.raw();
  BitstreamReader r(in.data(), static_cast<std::uint32_t>(in.size()));
  std::uint32_t u = 0;
  std::int32_t s = 0;
  bool flag = false;
  EXPECT_TRUE(r.read_ue_upto(12, u));
  EXPECT_FALSE(r.read_ue_upto(12, u));
  EXPECT_FALSE(r.read_se_within(-4, 4, s));
  EXPECT_TRUE(r.read_se_within(-6, 6, s));
  EXPECT_EQ(s, 6);
  // The two ends of se(v) in 32 bits.
  EXPECT_TRUE(r.read_se_within(-0x7FFFFFFF, 0x7FFFFFFF, s));
  EXPECT_EQ(s, -0x7FFFFFFF);
  EXPECT_TRUE(r.read_se_within(-0x7FFFFFFF, 0x7FFFFFFF, s));
  EXPECT_EQ(s, 0x7FFFFFFF);
  EXPECT_TRUE(r.read_flag(flag));
  EXPECT_TRUE(flag);
  EXPECT_TRUE(r.read_u(7, u));
  EXPECT_EQ(u, 0x2Au);
  EXPECT_FALSE(r.read_se_within(-0x7FFFFFFF - 1, 0x7FFFFFFF, s));
  EXPECT_FALSE(r.skip(8));  // only padding is left
}

}  // namespace
}  // namespace vidsalvage::test
