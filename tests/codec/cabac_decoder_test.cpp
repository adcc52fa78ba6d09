// The CABAC engine and the context initialisation against values worked out by
// hand from the equations and tables of H.264 9.3.1 and 9.3.3.2.

#include "codec/cabac_decoder.h"

#include <gtest/gtest.h>

#include <string>

#include "codec/cabac_contexts.h"
#include "support/bytes.h"

namespace vidsalvage {
namespace {

using test::bits_of;
using test::Bytes;

constexpr std::uint8_t kMps = 0x40;

TEST(CabacDecoder, DecisionsBypassAndTerminateFollowTheEquations) {
  // codIOffset 256; then one bit per renormalisation and bypass bin.
  const Bytes data = bits_of("1 0000 0000  1 0 0");
  RbspBits bits(data);
  CabacDecoder cabac(bits);
  ASSERT_TRUE(cabac.start());
  std::uint8_t context = 0;  // pStateIdx 0, valMPS 0
  // qCodIRangeIdx 3: LPS range 240, codIRange 270 > 256: the MPS, pStateIdx 1.
  EXPECT_EQ(cabac.decision(context), 0u);
  EXPECT_EQ(cabac.range(), 270u);
  EXPECT_EQ(context, 1);
  // qCodIRangeIdx 0: LPS range 128, codIRange 142 <= 256: the LPS; pStateIdx
  // back to 0 with valMPS kept, one renormalisation shift reading a 1.
  EXPECT_EQ(cabac.decision(context), 1u);
  EXPECT_EQ(cabac.range(), 256u);
  EXPECT_EQ(cabac.offset(), (256u - 142u) * 2 + 1);
  EXPECT_EQ(context, 0);
  // 229 * 2 + 0 = 458 >= 256.
  EXPECT_EQ(cabac.bypass(), 1u);
  EXPECT_EQ(cabac.offset(), 202u);
  // codIRange 254 > 202: 0, and a renormalisation shift.
  EXPECT_EQ(cabac.terminate(), 0u);
  EXPECT_EQ(cabac.range(), 508u);
  EXPECT_EQ(cabac.offset(), 404u);
  EXPECT_EQ(bits.position(), 12u);
}

TEST(CabacDecoder, LeastProbableSymbolInStateZeroSwapsTheMostProbable) {
  const Bytes data = bits_of("1 1111 1101  1");
  RbspBits bits(data);
  CabacDecoder cabac(bits);
  ASSERT_TRUE(cabac.start());
  std::uint8_t context = 0;
  EXPECT_EQ(cabac.decision(context), 1u);
  EXPECT_EQ(context, kMps);  // pStateIdx 0, valMPS 1
  EXPECT_EQ(cabac.range(), 480u);
  EXPECT_EQ(cabac.offset(), (509u - 270u) * 2 + 1);
}

TEST(CabacDecoder, TerminatesWhenTheOffsetReachesTheRangeLessTwo) {
  const Bytes data = bits_of("1 1111 1100");
  RbspBits bits(data);
  CabacDecoder cabac(bits);
  ASSERT_TRUE(cabac.start());
  EXPECT_EQ(cabac.terminate(), 1u);
  EXPECT_EQ(bits.position(), 9u);  // no renormalisation after the last bin
}

TEST(CabacDecoder, RefusesAnOffsetOf510Or511) {
  for (const char* start : {"1 1111 1110", "1 1111 1111"}) {
    SCOPED_TRACE(start);
    const Bytes data = bits_of(start);
    RbspBits bits(data);
    CabacDecoder cabac(bits);
    EXPECT_FALSE(cabac.start());
  }
}

struct InitCase {
  const char* name;
  int ctx_idx;
  int column;
  int qp;
  std::uint8_t state;
};
// preCtxState = Clip3(1, 126, ((m * Clip3(0, 51, SliceQPY)) >> 4) + n).
const InitCase kInitCases[] = {
    {"mb_type I (20, -15) at 26: 17", 0, 0, 26, 63 - 17},
    {"mb_type I (-28, 127) at 26: 81, the shift rounding down", 6, 0, 26, kMps | (81 - 64)},
    {"(-28, 127) at 0: clipped to 126", 6, 0, 0, kMps | 62},
    {"(-28, 127) at 60 reads as 51: 37", 6, 0, 60, 63 - 37},
    {"(-28, 127) below 0 reads as 0", 6, 0, -12, kMps | 62},
    {"mb_skip_flag P, cabac_init_idc 0 (23, 33) at 51: 106", 11, 1, 51, kMps | 42},
    {"mb_skip_flag P, cabac_init_idc 2 (29, 16) at 20: 52", 11, 3, 20, 63 - 52},
    {"significant_coeff_flag I (-7, 93) at 30: 79", 105, 0, 30, kMps | 15},
    {"coeff_abs_level_minus1 8x8 I (-3, 75) at 40: 67", 426, 0, 40, kMps | 3},
    {"transform_size_8x8_flag idc 0 (12, 40) at 28: 61", 399, 1, 28, 63 - 61},
};

TEST(CabacContexts, InitialStatesFromTheSliceQp) {
  for (const InitCase& c : kInitCases) {
    SCOPED_TRACE(c.name);
    CabacContexts contexts{};
    init_cabac_contexts(contexts, c.column, c.qp);
    EXPECT_EQ(contexts[static_cast<std::size_t>(c.ctx_idx)], c.state);
  }
}

}  // namespace
}  // namespace vidsalvage
