#pragma once
// The initial probability states of the H.264 CABAC context variables, for the
// coding of frames and fields with 4:2:0 and 4:2:2 chroma (ctxIdx 0 to 459).

#include <array>
#include <cstdint>

namespace vidsalvage {

inline constexpr int kCabacContexts = 460;

// A context variable: pStateIdx in the low six bits, valMPS in bit 6.
using CabacContexts = std::array<std::uint8_t, kCabacContexts>;

// H.264 9.3.1.1: the states for a slice. `init_column` is 0 for I and SI
// slices and cabac_init_idc + 1 otherwise; slice_qp is SliceQPY.
void init_cabac_contexts(CabacContexts& contexts, int init_column, int slice_qp);

// The (m, n) pair of one context in one column, for tests.
struct ContextInit {
  std::int8_t m;
  std::int8_t n;
};
ContextInit cabac_context_init(int ctx_idx, int init_column);

}  // namespace vidsalvage
