// The slice data parse on slices built bit by bit: nC from the neighbouring
// blocks inside and across macroblocks, I_PCM, truncation, and what it refuses.

#include "codec/slice_data.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/rbsp_bits.h"
#include "support/bit_writer.h"
#include "support/bytes.h"

namespace vidsalvage {
namespace {

using test::BitWriter;
using test::Bytes;

// Baseline, 2 x 1 macroblocks, picture order type 2.
Bytes sps_two_macroblocks() {
  BitWriter w;
  w.bits(0x67, 8).bits(66, 8).bits(0, 8).bits(30, 8);
  w.ue(0).ue(0).ue(2).ue(1).bit(0);           // id, log2_max_frame_num - 4, poc type, refs, gaps
  w.ue(1).ue(0).bit(1).bit(1).bit(0).bit(0);  // 2 x 1, frames only, direct 8x8, no crop, no VUI
  return w.finish();
}

Bytes pps_cavlc() {
  BitWriter w;
  w.bits(0x68, 8).ue(0).ue(0).bit(0).bit(0).ue(0).ue(0).ue(0).bit(0).bits(0, 2);
  w.se(0).se(0).se(0).bit(0).bit(0).bit(0);
  return w.finish();
}

AvcParameterSets sets_two_macroblocks() {
  AvcParameterSets sets;
  EXPECT_TRUE(add_parameter_set(sets, sps_two_macroblocks()));
  EXPECT_TRUE(add_parameter_set(sets, pps_cavlc()));
  return sets;
}

// An IDR I slice header from the first macroblock.
BitWriter idr_slice() {
  BitWriter w;
  w.bits(0x65, 8).ue(0).ue(7).ue(0).bits(0, 4).ue(0);  // first_mb, I, pps, frame_num, idr_pic_id
  w.bit(0).bit(0).se(0);                               // marking, slice_qp_delta
  return w;
}

// I_16x16_0_0_1: luma AC coded, no chroma; the coeff_tokens of its DC block and
// of its 16 AC blocks in decoding order, each followed by what the block holds.
void intra16x16(BitWriter& w, const std::string (&blocks)[17]) {
  w.ue(13).ue(0).se(0);  // mb_type, intra_chroma_pred_mode, mb_qp_delta
  for (const std::string& block : blocks) {
    for (char c : block) {
      if (c != ' ') w.bit(c == '1' ? 1 : 0);
    }
  }
}

// Block 5, at (3, 0), holds three trailing ones (coeff_token 0001 1 with nC 0,
// three signs, total_zeros 0); block 7 below it sees nC (0 + 3 + 1) / 2 = 2.
const std::string kLeftMacroblock[17] = {"1", "1",  "1", "1", "1", "1", "0001 1 000 0101",
                                         "1", "11", "1", "1", "1", "1", "1",
                                         "1", "1",  "1"};
// Its DC and first AC blocks take nC 3 from block (3, 0) of the left macroblock.
const std::string kRightMacroblock[17] = {"11", "11", "1", "1", "1", "1", "1", "1", "1",
                                          "1",  "1",  "1", "1", "1", "1", "1", "1"};

TEST(SliceData, NcComesFromTheBlocksLeftAndAbove) {
  BitWriter w = idr_slice();
  intra16x16(w, kLeftMacroblock);
  intra16x16(w, kRightMacroblock);
  const SliceDataResult r = parse_slice_data(w.finish(), sets_two_macroblocks());
  EXPECT_EQ(r.end, SliceDataEnd::Clean);
  EXPECT_EQ(r.first_mb, 0u);
  EXPECT_EQ(r.macroblocks, 2u);
  EXPECT_TRUE(r.reaches_picture_end);
}

TEST(SliceData, NcIgnoringTheLeftMacroblockDoesNotEndClean) {
  std::string right[17];
  std::copy(std::begin(kRightMacroblock), std::end(kRightMacroblock), right);
  right[1] = "1";  // the code of nC 0 where the left neighbour makes it 3
  BitWriter w = idr_slice();
  intra16x16(w, kLeftMacroblock);
  intra16x16(w, right);
  EXPECT_NE(parse_slice_data(w.finish(), sets_two_macroblocks()).end, SliceDataEnd::Clean);
}

TEST(SliceData, PcmSamplesAreSteppedOverAndCountSixteenCoefficients) {
  BitWriter w = idr_slice();
  w.ue(25);  // I_PCM
  while (w.bit_count() % 8 != 0) w.bit(0);
  for (int i = 0; i < 256 + 2 * 64; ++i) w.bits(0x80, 8);
  // nC 16 from the PCM block on the left (fixed-length 0000 11 for no
  // coefficients), (16 + 0 + 1) / 2 = 8 below the top row, 0 inside.
  const std::string right[17] = {"0000 11", "0000 11", "1", "0000 11", "1", "1",
                                 "1",       "1",       "1", "0000 11", "1", "0000 11",
                                 "1",       "1",       "1", "1",       "1"};
  intra16x16(w, right);
  const SliceDataResult r = parse_slice_data(w.finish(), sets_two_macroblocks());
  EXPECT_EQ(r.end, SliceDataEnd::Clean);
  EXPECT_TRUE(r.reaches_picture_end);
}

TEST(SliceData, RecordsTheSyntaxOfTheMacroblocksUpToItsLimit) {
  BitWriter w = idr_slice();
  w.ue(25);  // I_PCM
  while (w.bit_count() % 8 != 0) w.bit(0);
  for (int i = 0; i < 256 + 2 * 64; ++i) w.bits(static_cast<std::uint64_t>(i % 200), 8);
  const std::string right[17] = {"0000 11", "0000 11", "1", "0000 11", "1", "1",
                                 "1",       "1",       "1", "0000 11", "1", "0000 11",
                                 "1",       "1",       "1", "1",       "1"};
  intra16x16(w, right);
  const Bytes pcm_first = w.finish();
  const Bytes two_16x16 = [] {
    BitWriter v = idr_slice();
    intra16x16(v, kLeftMacroblock);
    intra16x16(v, kRightMacroblock);
    return v.finish();
  }();
  for (const std::size_t limit : {std::size_t{1}, std::size_t{2}}) {
    SCOPED_TRACE(limit);
    std::vector<CodedMacroblock> mbs;
    const SliceDataResult r = parse_slice_data(pcm_first, sets_two_macroblocks(), mbs, limit);
    EXPECT_EQ(r.end, SliceDataEnd::Clean);  // the parse goes on past the limit
    ASSERT_EQ(mbs.size(), limit);
    EXPECT_EQ(mbs[0].kind, CodedMacroblock::Kind::Pcm);
    EXPECT_EQ(mbs[0].pcm[0], 0);
    EXPECT_EQ(mbs[0].pcm[255], 55);
    EXPECT_EQ(mbs[0].pcm[383], 183);
  }
  std::vector<CodedMacroblock> mbs;
  ASSERT_EQ(parse_slice_data(two_16x16, sets_two_macroblocks(), mbs, 10).end, SliceDataEnd::Clean);
  ASSERT_EQ(mbs.size(), 2u);
  // I_16x16_0_0_1: vertical prediction; block 5's three trailing ones, signs
  // positive, total_zeros 0: AC levels 1 to 3.
  EXPECT_EQ(mbs[0].kind, CodedMacroblock::Kind::Intra16x16);
  EXPECT_EQ(mbs[0].intra16x16_pred_mode, 0);
  EXPECT_EQ(mbs[1].address, 1u);
  const std::int32_t* block5 = &mbs[0].luma[5 * 16];
  EXPECT_EQ((std::vector<std::int32_t>(block5, block5 + 6)),
            (std::vector<std::int32_t>{0, 1, 1, 1, 0, 0}));
}

TEST(SliceData, EveryTruncationFailsWithoutReadingPastTheUnit) {
  BitWriter w = idr_slice();
  intra16x16(w, kLeftMacroblock);
  intra16x16(w, kRightMacroblock);
  const Bytes whole = w.finish();
  const AvcParameterSets sets = sets_two_macroblocks();
  for (std::size_t size = 1; size < whole.size(); ++size) {
    SCOPED_TRACE(size);
    const Bytes part(whole.begin(), whole.begin() + static_cast<long>(size));
    const SliceDataResult r = parse_slice_data(part, sets);
    EXPECT_FALSE(r.end == SliceDataEnd::Clean && r.reaches_picture_end);
  }
}

TEST(SliceData, ThirdMacroblockOfATwoMacroblockPictureOverruns) {
  BitWriter w = idr_slice();
  for (int i = 0; i < 3; ++i) intra16x16(w, kRightMacroblock);
  const SliceDataResult r = parse_slice_data(w.finish(), sets_two_macroblocks());
  EXPECT_EQ(r.end, SliceDataEnd::Overran);
  EXPECT_FALSE(r.reaches_picture_end);
}

TEST(SliceData, RefusesWhatItDoesNotRead) {
  BitWriter w = idr_slice();
  intra16x16(w, kLeftMacroblock);
  const Bytes slice = w.finish();
  AvcParameterSets no_pps;
  EXPECT_TRUE(add_parameter_set(no_pps, sps_two_macroblocks()));
  EXPECT_EQ(parse_slice_data(slice, no_pps).end, SliceDataEnd::Unsupported);
  Bytes partition = slice;
  partition[0] = 0x62;  // slice data partition A
  EXPECT_EQ(parse_slice_data(partition, sets_two_macroblocks()).end, SliceDataEnd::Unsupported);
  EXPECT_EQ(parse_slice_data(Bytes{}, sets_two_macroblocks()).end, SliceDataEnd::Unsupported);
}

TEST(SliceData, ParameterSetsUnderTrialOutsideTheLevelsAreRefused) {
  BitWriter w = idr_slice();
  intra16x16(w, kLeftMacroblock);
  intra16x16(w, kRightMacroblock);
  const Bytes slice = w.finish();
  struct Wrong {
    const char* name;
    void (*change)(SpsInfo&);
  };
  const Wrong wrongs[] = {
      {"width past the largest level", [](SpsInfo& sps) { sps.pic_width_in_mbs = 200000; }},
      {"width 2^31, its product wrapping", [](SpsInfo& sps) { sps.pic_width_in_mbs = 1u << 31; }},
      {"bit depth 20", [](SpsInfo& sps) { sps.bit_depth_luma = 20; }},
      {"bit depth 0", [](SpsInfo& sps) { sps.bit_depth_chroma = 0; }},
  };
  for (const Wrong& wrong : wrongs) {
    SCOPED_TRACE(wrong.name);
    AvcParameterSets sets = sets_two_macroblocks();
    wrong.change(*sets.sps[0]);
    EXPECT_EQ(parse_slice_data(slice, sets).end, SliceDataEnd::Unsupported);
  }
  AvcParameterSets sets = sets_two_macroblocks();
  sets.pps[0]->pic_init_qp_minus26 = 26;  // SliceQPY 52
  EXPECT_EQ(parse_slice_data(slice, sets).end, SliceDataEnd::Invalid);
}

struct RbspCase {
  const char* name;
  Bytes unit;
  Bytes rbsp;
  std::uint32_t unit_offset;
  std::uint64_t bit;
  std::int64_t stop_bit;
};
const RbspCase kRbspCases[] = {
    {"drops 03 after two zeros", {0x00, 0x00, 0x03, 0x01}, {0x00, 0x00, 0x01}, 3, 16, 23},
    {"keeps 03 after three zeros", {0x00, 0x00, 0x00, 0x03}, {0x00, 0x00, 0x00, 0x03}, 4, 32, 31},
    {"maps offsets past two drops",
     {0x80, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x02},
     {0x80, 0x00, 0x00, 0x00, 0x00, 0x02},
     7,
     40,
     46},
    {"stop bit before zero bytes", {0x40, 0x00, 0x00}, {0x40, 0x00, 0x00}, 1, 8, 1},
    {"no one bit", {0x00, 0x00}, {0x00, 0x00}, 0, 0, -1},
};

TEST(Rbsp, UnescapesAndMapsUnitOffsets) {
  for (const RbspCase& c : kRbspCases) {
    SCOPED_TRACE(c.name);
    const Rbsp rbsp = unescape(c.unit);
    EXPECT_EQ(rbsp.bytes, c.rbsp);
    EXPECT_EQ(rbsp.bit_of(c.unit_offset), c.bit);
    EXPECT_EQ(rbsp.stop_bit(), c.stop_bit);
  }
}

TEST(RbspBits, ReadsZerosPastTheEndAndNotesIt) {
  const Bytes data = {0xA5};
  RbspBits bits(data);
  EXPECT_EQ(bits.read_bits(4), 0xAu);
  EXPECT_EQ(bits.peek_bits(8), 0x50u);
  EXPECT_FALSE(bits.overrun());
  EXPECT_EQ(bits.read_bits(8), 0x50u);
  EXPECT_TRUE(bits.overrun());
  std::uint32_t value = 0;
  EXPECT_FALSE(bits.read_ue(value));
}

}  // namespace
}  // namespace vidsalvage
