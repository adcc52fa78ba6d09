#include "codec/cabac_decoder.h"

#include <bit>

namespace vidsalvage {
namespace {

// H.264 Table 9-44: codIRangeLPS by pStateIdx and qCodIRangeIdx.
constexpr std::uint8_t kRangeLps[64][4] = {
    {128, 176, 208, 240}, {128, 167, 197, 227}, {128, 158, 187, 216}, {123, 150, 178, 205},
    {116, 142, 169, 195}, {111, 135, 160, 185}, {105, 128, 152, 175}, {100, 122, 144, 166},
    {95, 116, 137, 158},  {90, 110, 130, 150},  {85, 104, 123, 142},  {81, 99, 117, 135},
    {77, 94, 111, 128},   {73, 89, 105, 122},   {69, 85, 100, 116},   {66, 80, 95, 110},
    {62, 76, 90, 104},    {59, 72, 86, 99},     {56, 69, 81, 94},     {53, 65, 77, 89},
    {51, 62, 73, 85},     {48, 59, 69, 80},     {46, 56, 66, 76},     {43, 53, 63, 72},
    {41, 50, 59, 69},     {39, 48, 56, 65},     {37, 45, 54, 62},     {35, 43, 51, 59},
    {33, 41, 48, 56},     {32, 39, 46, 53},     {30, 37, 43, 50},     {29, 35, 41, 48},
    {27, 33, 39, 45},     {26, 31, 37, 43},     {24, 30, 35, 41},     {23, 28, 33, 39},
    {22, 27, 32, 37},     {21, 26, 30, 35},     {20, 24, 29, 33},     {19, 23, 27, 31},
    {18, 22, 26, 30},     {17, 21, 25, 28},     {16, 20, 23, 27},     {15, 19, 22, 25},
    {14, 18, 21, 24},     {14, 17, 20, 23},     {13, 16, 19, 22},     {12, 15, 18, 21},
    {12, 14, 17, 20},     {11, 14, 16, 19},     {11, 13, 15, 18},     {10, 12, 15, 17},
    {10, 12, 14, 16},     {9, 11, 13, 15},      {9, 11, 12, 14},      {8, 10, 12, 14},
    {8, 9, 11, 13},       {7, 9, 11, 12},       {7, 9, 10, 12},       {7, 8, 10, 11},
    {6, 8, 9, 11},        {6, 7, 9, 10},        {6, 7, 8, 9},         {2, 2, 2, 2},
};

// H.264 Table 9-45: transIdxLPS; transIdxMPS is pStateIdx + 1 up to 62.
constexpr std::uint8_t kNextStateLps[64] = {
    0,  0,  1,  2,  2,  4,  4,  5,  6,  7,  8,  9,  9,  11, 11, 12, 13, 13, 15, 15, 16, 16,
    18, 18, 19, 19, 21, 21, 22, 22, 23, 24, 24, 25, 26, 26, 27, 27, 28, 29, 29, 30, 30, 30,
    31, 32, 32, 33, 33, 33, 34, 34, 35, 35, 35, 36, 36, 36, 37, 37, 37, 38, 38, 63,
};

constexpr std::uint8_t kMpsBit = 0x40;
constexpr std::uint8_t kStateMask = 0x3F;

}  // namespace

bool CabacDecoder::start() {
  range_ = 510;
  offset_ = bits_.read_bits(9);
  return offset_ < 510;
}

void CabacDecoder::renormalize() {
  if (range_ >= 256) return;
  // RenormD one bit at a time, done at once: shift until codIRange is 256 or more.
  const int shift = std::countl_zero(range_) - 23;
  range_ <<= shift;
  offset_ = (offset_ << shift) | bits_.read_bits(static_cast<std::uint32_t>(shift));
}

std::uint32_t CabacDecoder::decision(std::uint8_t& context) {
  const std::uint32_t state = context & kStateMask;
  const std::uint32_t mps = (context & kMpsBit) != 0 ? 1 : 0;
  const std::uint32_t lps = kRangeLps[state][(range_ >> 6) & 3];
  range_ -= lps;
  std::uint32_t bin = mps;
  if (offset_ >= range_) {
    bin = 1 - mps;
    offset_ -= range_;
    range_ = lps;
    const std::uint32_t next_mps = state == 0 ? 1 - mps : mps;
    context = static_cast<std::uint8_t>(kNextStateLps[state] | (next_mps != 0 ? kMpsBit : 0));
  } else if (state < 62) {
    context = static_cast<std::uint8_t>(context + 1);
  }
  renormalize();
  return bin;
}

std::uint32_t CabacDecoder::bypass() {
  offset_ = (offset_ << 1) | bits_.read_bit();
  if (offset_ >= range_) {
    offset_ -= range_;
    return 1;
  }
  return 0;
}

std::uint32_t CabacDecoder::terminate() {
  range_ -= 2;
  if (offset_ >= range_) return 1;
  renormalize();
  return 0;
}

}  // namespace vidsalvage
