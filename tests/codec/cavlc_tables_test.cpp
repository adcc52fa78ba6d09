// CAVLC codes: single codes from the tables of H.264 9.2, and the shape of each
// table: every code reachable, and no bit pattern left undecodable beyond the
// ones the standard leaves unused.

#include "codec/cavlc_tables.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "support/bytes.h"

namespace vidsalvage {
namespace {

using test::bits_of;
using test::Bytes;

std::uint64_t length_of(const std::string& text) {
  std::uint64_t n = 0;
  for (char c : text) n += c == ' ' ? 0 : 1;
  return n;
}

struct TokenCase {
  int nc;
  const char* code;
  int trailing_ones;
  int total_coeff;
};
const TokenCase kTokenCases[] = {
    {0, "1", 0, 0},
    {1, "0001 1", 3, 3},
    {0, "0000 0000 0000 0100", 0, 16},
    {2, "0100", 3, 4},
    {3, "0011 1", 1, 2},
    {3, "0000 0000 0000 1", 3, 15},
    {5, "1011", 3, 4},
    {7, "0000 0000 01", 0, 16},
    {8, "0000 11", 0, 0},
    {8, "0000 00", 0, 1},
    {16, "1111 11", 3, 16},
    {kChromaDc420Nc, "0000 000", 3, 4},
    {kChromaDc420Nc, "1", 1, 1},
    {kChromaDc422Nc, "0000 1", 3, 3},
    {kChromaDc422Nc, "0000 0000 0011 1", 0, 8},
};

TEST(CavlcTables, ReadsCoeffTokenInTheColumnOfNc) {
  for (const TokenCase& c : kTokenCases) {
    SCOPED_TRACE(std::string("nC ") + std::to_string(c.nc) + ": " + c.code);
    const Bytes data = bits_of(c.code);
    RbspBits bits(data);
    CoeffToken token;
    ASSERT_TRUE(read_coeff_token(bits, c.nc, token));
    EXPECT_EQ(token.trailing_ones, c.trailing_ones);
    EXPECT_EQ(token.total_coeff, c.total_coeff);
    EXPECT_EQ(bits.position(), length_of(c.code));
  }
}

// Over every 16-bit pattern: how many values a table yields and how many
// patterns it cannot read. The unused patterns are the table's all-zero tail.
struct TableShape {
  const char* name;
  int nc;
  std::size_t values;
  int unreadable;
};
const TableShape kTokenShapes[] = {
    {"0 <= nC < 2", 0, 62, 2},           {"2 <= nC < 4", 2, 62, 8},
    {"4 <= nC < 8", 4, 62, 64},          {"8 <= nC: 0000 10 and 0001 11 unused", 8, 62, 2048},
    {"nC == -1", kChromaDc420Nc, 14, 0}, {"nC == -2", kChromaDc422Nc, 30, 56},
};

TEST(CavlcTables, CoeffTokenColumnsAreCompleteCodes) {
  for (const TableShape& shape : kTokenShapes) {
    SCOPED_TRACE(shape.name);
    std::set<int> values;
    int unreadable = 0;
    for (std::uint32_t pattern = 0; pattern < 0x10000; ++pattern) {
      const Bytes data = {static_cast<std::uint8_t>(pattern >> 8),
                          static_cast<std::uint8_t>(pattern)};
      RbspBits bits(data);
      CoeffToken token;
      if (read_coeff_token(bits, shape.nc, token)) {
        values.insert(token.total_coeff * 4 + token.trailing_ones);
      } else {
        ++unreadable;
      }
    }
    EXPECT_EQ(values.size(), shape.values);
    EXPECT_EQ(unreadable, shape.unreadable);
  }
}

TEST(CavlcTables, TotalZerosTablesCoverEveryCount) {
  // 4x4 blocks (tzVlcIndex 1 to 15), 2x2 and 2x4 chroma DC.
  for (int max_coeff : {16, 4, 8}) {
    for (int total = 1; total < max_coeff; ++total) {
      SCOPED_TRACE("max " + std::to_string(max_coeff) + " total " + std::to_string(total));
      std::set<int> values;
      for (std::uint32_t pattern = 0; pattern < 0x10000; ++pattern) {
        const Bytes data = {static_cast<std::uint8_t>(pattern >> 8),
                            static_cast<std::uint8_t>(pattern)};
        RbspBits bits(data);
        int zeros = 0;
        if (read_total_zeros(bits, total, max_coeff, zeros)) values.insert(zeros);
      }
      EXPECT_EQ(values.size(), static_cast<std::size_t>(max_coeff - total + 1));
      EXPECT_EQ(*values.rbegin(), max_coeff - total);
    }
  }
}

struct ZerosCase {
  int total;
  int max_coeff;
  const char* code;
  int zeros;
};
const ZerosCase kZerosCases[] = {
    {1, 16, "0000 0000 1", 15}, {3, 16, "0101", 0}, {6, 16, "0000 00", 10}, {15, 16, "1", 1},
    {1, 4, "000", 3},           {2, 4, "00", 2},    {1, 8, "0000 0", 7},    {4, 8, "111", 4},
};

TEST(CavlcTables, ReadsTotalZeros) {
  for (const ZerosCase& c : kZerosCases) {
    SCOPED_TRACE(c.code);
    const Bytes data = bits_of(c.code);
    RbspBits bits(data);
    int zeros = -1;
    ASSERT_TRUE(read_total_zeros(bits, c.total, c.max_coeff, zeros));
    EXPECT_EQ(zeros, c.zeros);
    EXPECT_EQ(bits.position(), length_of(c.code));
  }
}

TEST(CavlcTables, ReadsRunBefore) {
  struct RunCase {
    int zeros_left;
    const char* code;
    int run;
  };
  const RunCase cases[] = {{1, "0", 1},   {3, "00", 3},   {6, "101", 5},
                           {6, "000", 1}, {7, "0001", 7}, {14, "0000 0000 001", 14}};
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.code);
    const Bytes data = bits_of(c.code);
    RbspBits bits(data);
    int run = -1;
    ASSERT_TRUE(read_run_before(bits, c.zeros_left, run));
    EXPECT_EQ(run, c.run);
    EXPECT_EQ(bits.position(), length_of(c.code));
  }
}

}  // namespace
}  // namespace vidsalvage
