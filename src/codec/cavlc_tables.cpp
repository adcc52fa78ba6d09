#include "codec/cavlc_tables.h"

#include <array>
#include <vector>

namespace vidsalvage {
namespace {

// One code: its bits, right-aligned, its length and what it stands for.
struct Vlc {
  std::uint16_t code = 0;
  std::uint8_t length = 0;
  std::uint8_t value = 0;
};
using VlcTable = std::vector<Vlc>;

// Codes are written as in the standard's tables, spaces ignored.
void add_code(VlcTable& table, const char* bits, int value) {
  Vlc vlc;
  for (const char* c = bits; *c != '\0'; ++c) {
    if (*c == ' ') continue;
    vlc.code = static_cast<std::uint16_t>((vlc.code << 1) | (*c == '1' ? 1 : 0));
    ++vlc.length;
  }
  if (vlc.length == 0) return;
  vlc.value = static_cast<std::uint8_t>(value);
  table.push_back(vlc);
}

constexpr std::uint32_t kLongestCode = 16;

bool read_vlc(RbspBits& bits, const VlcTable& table, int& value) {
  const std::uint32_t ahead = bits.peek_bits(kLongestCode);
  for (const Vlc& vlc : table) {
    if ((ahead >> (kLongestCode - vlc.length)) == vlc.code) {
      bits.skip_bits(vlc.length);
      value = vlc.value;
      return !bits.overrun();
    }
  }
  return false;
}

// H.264 Table 9-5 by TrailingOnes and TotalCoeff: the codes for 0 <= nC < 2,
// 2 <= nC < 4, 4 <= nC < 8, nC == -1 and nC == -2. 8 <= nC is a fixed-length
// code, computed.
struct CoeffTokenRow {
  int trailing_ones;
  int total_coeff;
  const char* codes[5];
};
constexpr CoeffTokenRow kCoeffTokenRows[] = {
    {0, 0, {"1", "11", "1111", "01", "1"}},
    {0, 1, {"0001 01", "0010 11", "0011 11", "0001 11", "0001 111"}},
    {1, 1, {"01", "10", "1110", "1", "01"}},
    {0, 2, {"0000 0111", "0001 11", "0010 11", "0001 00", "0001 110"}},
    {1, 2, {"0001 00", "0011 1", "0111 1", "0001 10", "0001 101"}},
    {2, 2, {"001", "011", "1101", "001", "001"}},
    {0, 3, {"0000 0011 1", "0000 111", "0010 00", "0000 11", "0000 0011 1"}},
    {1, 3, {"0000 0110", "0010 10", "0110 0", "0000 011", "0001 100"}},
    {2, 3, {"0000 101", "0010 01", "0111 0", "0000 010", "0001 011"}},
    {3, 3, {"0001 1", "0101", "1100", "0001 01", "0000 1"}},
    {0, 4, {"0000 0001 11", "0000 0111", "0001 111", "0000 10", "0000 0011 0"}},
    {1, 4, {"0000 0011 0", "0001 10", "0101 0", "0000 0011", "0000 0010 1"}},
    {2, 4, {"0000 0101", "0001 01", "0101 1", "0000 0010", "0001 010"}},
    {3, 4, {"0000 11", "0100", "1011", "0000 000", "0000 01"}},
    {0, 5, {"0000 0000 111", "0000 0100", "0001 011", "", "0000 0001 11"}},
    {1, 5, {"0000 0001 10", "0000 110", "0100 0", "", "0000 0001 10"}},
    {2, 5, {"0000 0010 1", "0000 101", "0100 1", "", "0000 0010 0"}},
    {3, 5, {"0000 100", "0011 0", "1010", "", "0001 001"}},
    {0, 6, {"0000 0000 0111 1", "0000 0011 1", "0001 001", "", "0000 0000 111"}},
    {1, 6, {"0000 0000 110", "0000 0110", "0011 10", "", "0000 0000 110"}},
    {2, 6, {"0000 0001 01", "0000 0101", "0011 01", "", "0000 0001 01"}},
    {3, 6, {"0000 0100", "0010 00", "1001", "", "0001 000"}},
    {0, 7, {"0000 0000 0101 1", "0000 0001 111", "0001 000", "", "0000 0000 0111"}},
    {1, 7, {"0000 0000 0111 0", "0000 0011 0", "0010 10", "", "0000 0000 0110"}},
    {2, 7, {"0000 0000 101", "0000 0010 1", "0010 01", "", "0000 0000 101"}},
    {3, 7, {"0000 0010 0", "0001 00", "1000", "", "0000 0001 00"}},
    {0, 8, {"0000 0000 0100 0", "0000 0001 011", "0000 1111", "", "0000 0000 0011 1"}},
    {1, 8, {"0000 0000 0101 0", "0000 0001 110", "0001 110", "", "0000 0000 0101"}},
    {2, 8, {"0000 0000 0110 1", "0000 0001 101", "0001 101", "", "0000 0000 0100"}},
    {3, 8, {"0000 0001 00", "0000 100", "0110 1", "", "0000 0000 100"}},
    {0, 9, {"0000 0000 0011 11", "0000 0000 1111", "0000 1011", "", ""}},
    {1, 9, {"0000 0000 0011 10", "0000 0001 010", "0000 1110", "", ""}},
    {2, 9, {"0000 0000 0100 1", "0000 0001 001", "0001 010", "", ""}},
    {3, 9, {"0000 0000 100", "0000 0010 0", "0011 00", "", ""}},
    {0, 10, {"0000 0000 0010 11", "0000 0000 1011", "0000 0111 1", "", ""}},
    {1, 10, {"0000 0000 0010 10", "0000 0000 1110", "0000 1010", "", ""}},
    {2, 10, {"0000 0000 0011 01", "0000 0000 1101", "0000 1101", "", ""}},
    {3, 10, {"0000 0000 0110 0", "0000 0001 100", "0001 100", "", ""}},
    {0, 11, {"0000 0000 0001 111", "0000 0000 1000", "0000 0101 1", "", ""}},
    {1, 11, {"0000 0000 0001 110", "0000 0000 1010", "0000 0111 0", "", ""}},
    {2, 11, {"0000 0000 0010 01", "0000 0000 1001", "0000 1001", "", ""}},
    {3, 11, {"0000 0000 0011 00", "0000 0001 000", "0000 1100", "", ""}},
    {0, 12, {"0000 0000 0001 011", "0000 0000 0111 1", "0000 0100 0", "", ""}},
    {1, 12, {"0000 0000 0001 010", "0000 0000 0111 0", "0000 0101 0", "", ""}},
    {2, 12, {"0000 0000 0001 101", "0000 0000 0110 1", "0000 0110 1", "", ""}},
    {3, 12, {"0000 0000 0010 00", "0000 0000 1100", "0000 1000", "", ""}},
    {0, 13, {"0000 0000 0000 1111", "0000 0000 0101 1", "0000 0011 01", "", ""}},
    {1, 13, {"0000 0000 0000 001", "0000 0000 0101 0", "0000 0011 1", "", ""}},
    {2, 13, {"0000 0000 0001 001", "0000 0000 0100 1", "0000 0100 1", "", ""}},
    {3, 13, {"0000 0000 0001 100", "0000 0000 0110 0", "0000 0110 0", "", ""}},
    {0, 14, {"0000 0000 0000 1011", "0000 0000 0011 1", "0000 0010 01", "", ""}},
    {1, 14, {"0000 0000 0000 1110", "0000 0000 0010 11", "0000 0011 00", "", ""}},
    {2, 14, {"0000 0000 0000 1101", "0000 0000 0011 0", "0000 0010 11", "", ""}},
    {3, 14, {"0000 0000 0001 000", "0000 0000 0100 0", "0000 0010 10", "", ""}},
    {0, 15, {"0000 0000 0000 0111", "0000 0000 0010 01", "0000 0001 01", "", ""}},
    {1, 15, {"0000 0000 0000 1010", "0000 0000 0010 00", "0000 0010 00", "", ""}},
    {2, 15, {"0000 0000 0000 1001", "0000 0000 0010 10", "0000 0001 11", "", ""}},
    {3, 15, {"0000 0000 0000 1100", "0000 0000 0000 1", "0000 0001 10", "", ""}},
    {0, 16, {"0000 0000 0000 0100", "0000 0000 0001 11", "0000 0000 01", "", ""}},
    {1, 16, {"0000 0000 0000 0110", "0000 0000 0001 10", "0000 0001 00", "", ""}},
    {2, 16, {"0000 0000 0000 0101", "0000 0000 0001 01", "0000 0000 11", "", ""}},
    {3, 16, {"0000 0000 0000 1000", "0000 0000 0001 00", "0000 0000 10", "", ""}},
};

// H.264 Table 9-7 and 9-8: total_zeros of 4x4 blocks, by TotalCoeff from 1,
// the codes of total_zeros 0, 1, 2 ...
const char* const kTotalZeros4x4[15][16] = {
    {"1", "011", "010", "0011", "0010", "0001 1", "0001 0", "0000 11", "0000 10", "0000 011",
     "0000 010", "0000 0011", "0000 0010", "0000 0001 1", "0000 0001 0", "0000 0000 1"},
    {"111", "110", "101", "100", "011", "0101", "0100", "0011", "0010", "0001 1", "0001 0",
     "0000 11", "0000 10", "0000 01", "0000 00"},
    {"0101", "111", "110", "101", "0100", "0011", "100", "011", "0010", "0001 1", "0001 0",
     "0000 01", "0000 1", "0000 00"},
    {"0001 1", "111", "0101", "0100", "110", "101", "100", "0011", "011", "0010", "0001 0",
     "0000 1", "0000 0"},
    {"0101", "0100", "0011", "111", "110", "101", "100", "011", "0010", "0000 1", "0001", "0000 0"},
    {"0000 01", "0000 1", "111", "110", "101", "100", "011", "010", "0001", "001", "0000 00"},
    {"0000 01", "0000 1", "101", "100", "011", "11", "010", "0001", "001", "0000 00"},
    {"0000 01", "0001", "0000 1", "011", "11", "10", "010", "001", "0000 00"},
    {"0000 01", "0000 00", "0001", "11", "10", "001", "01", "0000 1"},
    {"0000 1", "0000 0", "001", "11", "10", "01", "0001"},
    {"0000", "0001", "001", "010", "1", "011"},
    {"0000", "0001", "01", "1", "001"},
    {"000", "001", "1", "01"},
    {"00", "01", "1"},
    {"0", "1"},
};

// H.264 Table 9-9: total_zeros of chroma DC blocks, 2x2 (4:2:0) and 2x4 (4:2:2).
const char* const kTotalZerosDc420[3][4] = {
    {"1", "01", "001", "000"},
    {"1", "01", "00"},
    {"1", "0"},
};
const char* const kTotalZerosDc422[7][8] = {
    {"1", "010", "011", "0010", "0011", "0001", "0000 1", "0000 0"},
    {"000", "01", "001", "100", "101", "110", "111"},
    {"000", "001", "01", "10", "110", "111"},
    {"110", "00", "01", "10", "111"},
    {"00", "01", "10", "11"},
    {"00", "01", "1"},
    {"0", "1"},
};

// H.264 Table 9-10 by zerosLeft from 1 to 7 (7 stands for more than 6).
const char* const kRunBefore[7][15] = {
    {"1", "0"},
    {"1", "01", "00"},
    {"11", "10", "01", "00"},
    {"11", "10", "01", "001", "000"},
    {"11", "10", "011", "010", "001", "000"},
    {"11", "000", "001", "011", "010", "101", "100"},
    {"111", "110", "101", "100", "011", "010", "001", "0001", "0000 1", "0000 01", "0000 001",
     "0000 0001", "0000 0000 1", "0000 0000 01", "0000 0000 001"},
};

template <std::size_t N>
VlcTable table_of(const char* const (&codes)[N]) {
  VlcTable table;
  for (std::size_t i = 0; i < N; ++i) {
    if (codes[i] != nullptr) add_code(table, codes[i], static_cast<int>(i));
  }
  return table;
}

struct CavlcTables {
  std::array<VlcTable, 5> coeff_token;  // value: total_coeff * 4 + trailing_ones
  std::array<VlcTable, 15> total_zeros_4x4;
  std::array<VlcTable, 3> total_zeros_dc420;
  std::array<VlcTable, 7> total_zeros_dc422;
  std::array<VlcTable, 7> run_before;
};

CavlcTables build_tables() {
  CavlcTables t;
  for (const CoeffTokenRow& row : kCoeffTokenRows) {
    for (std::size_t column = 0; column < 5; ++column) {
      add_code(t.coeff_token[column], row.codes[column], row.total_coeff * 4 + row.trailing_ones);
    }
  }
  for (std::size_t i = 0; i < 15; ++i) t.total_zeros_4x4[i] = table_of(kTotalZeros4x4[i]);
  for (std::size_t i = 0; i < 3; ++i) t.total_zeros_dc420[i] = table_of(kTotalZerosDc420[i]);
  for (std::size_t i = 0; i < 7; ++i) t.total_zeros_dc422[i] = table_of(kTotalZerosDc422[i]);
  for (std::size_t i = 0; i < 7; ++i) t.run_before[i] = table_of(kRunBefore[i]);
  return t;
}

const CavlcTables& tables() {
  static const CavlcTables kTables = build_tables();
  return kTables;
}

std::size_t coeff_token_column(int nc) {
  if (nc == kChromaDc420Nc) return 3;
  if (nc == kChromaDc422Nc) return 4;
  if (nc < 2) return 0;
  if (nc < 4) return 1;
  return 2;
}

}  // namespace

bool read_coeff_token(RbspBits& bits, int nc, CoeffToken& out) {
  int value = 0;
  if (nc >= 8) {
    // Six bits: TotalCoeff - 1 and TrailingOnes; 0000 11 is TotalCoeff 0.
    value = static_cast<int>(bits.read_bits(6));
    if (bits.overrun()) return false;
    if (value == 3) {
      out = CoeffToken{};
      return true;
    }
    out.trailing_ones = value & 3;
    out.total_coeff = (value >> 2) + 1;
    return out.trailing_ones <= out.total_coeff;
  }
  if (!read_vlc(bits, tables().coeff_token[coeff_token_column(nc)], value)) return false;
  out.trailing_ones = value & 3;
  out.total_coeff = value >> 2;
  return true;
}

bool read_total_zeros(RbspBits& bits, int total_coeff, int max_coeff, int& out) {
  const CavlcTables& t = tables();
  const auto index = static_cast<std::size_t>(total_coeff - 1);
  if (total_coeff < 1 || total_coeff >= max_coeff) return false;
  if (max_coeff == 4) return read_vlc(bits, t.total_zeros_dc420[index], out);
  if (max_coeff == 8) return read_vlc(bits, t.total_zeros_dc422[index], out);
  if (index >= t.total_zeros_4x4.size()) return false;
  return read_vlc(bits, t.total_zeros_4x4[index], out);
}

bool read_run_before(RbspBits& bits, int zeros_left, int& out) {
  if (zeros_left < 1) return false;
  const auto index = static_cast<std::size_t>(zeros_left > 6 ? 6 : zeros_left - 1);
  return read_vlc(bits, tables().run_before[index], out);
}

}  // namespace vidsalvage
