#pragma once
// The variable-length codes of H.264 CAVLC residual blocks (9.2): coeff_token,
// total_zeros and run_before. Each read fails on a code no table holds.

#include <cstdint>

#include "codec/rbsp_bits.h"

namespace vidsalvage {

// nC values of the two chroma DC columns of coeff_token.
inline constexpr int kChromaDc420Nc = -1;
inline constexpr int kChromaDc422Nc = -2;

struct CoeffToken {
  int trailing_ones = 0;
  int total_coeff = 0;
};

// H.264 Table 9-5, in the column `nc` selects (9.2.1).
[[nodiscard]] bool read_coeff_token(RbspBits& bits, int nc, CoeffToken& out);
// H.264 Tables 9-7 to 9-9: `max_coeff` 4 and 8 pick the chroma DC tables of
// 4:2:0 and 4:2:2, anything else the table of 4x4 blocks. total_coeff from 1
// to max_coeff - 1.
[[nodiscard]] bool read_total_zeros(RbspBits& bits, int total_coeff, int max_coeff, int& out);
// H.264 Table 9-10; zeros_left from 1.
[[nodiscard]] bool read_run_before(RbspBits& bits, int zeros_left, int& out);

}  // namespace vidsalvage
