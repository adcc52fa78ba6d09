// The intra rebuild against values worked by hand from the H.264 formulas: the
// inverse transforms, the nine 4x4 predictions, the DC paths of luma and chroma
// with their QPs, neighbours across slices, and the blockiness measure.

#include "codec/intra_picture.h"

#include <gtest/gtest.h>

#include <vector>

namespace vidsalvage {
namespace {

using Kind = CodedMacroblock::Kind;

TEST(IntraTransform, FourByFourBasisRowsRunAcrossAndRoundHalfUp) {
  struct Case {
    const char* name;
    int position;
    std::int32_t value;
    std::array<std::int32_t, 4> row;  // every row of the result
  };
  const Case cases[] = {
      {"DC", 0, 640, {10, 10, 10, 10}},
      // Row pass: e 0, f 0, g 32, h 64; the rows stay equal down the block.
      {"first horizontal frequency", 1, 64, {1, 1, 0, -1}},
      {"negative DC rounds down", 0, -96, {-1, -1, -1, -1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::array<std::int32_t, 16> d{};
    d[static_cast<std::size_t>(c.position)] = c.value;
    inverse_transform_4x4(d);
    for (std::size_t y = 0; y < 4; ++y) {
      for (std::size_t x = 0; x < 4; ++x) EXPECT_EQ(d[y * 4 + x], c.row[x]) << x << "," << y;
    }
  }
}

TEST(IntraTransform, EightByEightFirstBasisRowIsTwelveTenSixThree) {
  // 64 times (12, 10, 6, 3, -3, -6, -10, -12) / 8, then (x + 32) >> 6.
  std::array<std::int32_t, 64> d{};
  d[1] = 64;
  inverse_transform_8x8(d);
  const std::int32_t row[8] = {2, 1, 1, 0, 0, -1, -1, -1};
  for (std::size_t y = 0; y < 8; ++y) {
    for (std::size_t x = 0; x < 8; ++x) EXPECT_EQ(d[y * 8 + x], row[x]) << x << "," << y;
  }
  std::array<std::int32_t, 64> dc{};
  dc[0] = 512;
  inverse_transform_8x8(dc);
  for (const std::int32_t v : dc) EXPECT_EQ(v, 8);
}

TEST(IntraPrediction, FourByFourModesFromTheirNeighbours) {
  const std::array<int, 8> top = {10, 20, 30, 40, 50, 60, 70, 80};
  const int top_left = 6;
  const std::array<int, 4> left = {12, 24, 36, 48};
  struct Sample {
    const char* name;
    int mode;
    int x;
    int y;
    int value;
  };
  const Sample samples[] = {
      {"vertical", 0, 2, 1, 30},
      {"horizontal", 1, 2, 1, 24},
      {"DC of eight", 2, 3, 3, 28},
      {"down left, first", 3, 0, 0, 20},
      {"down left, last", 3, 3, 3, 78},
      {"down right, diagonal", 4, 0, 0, 9},
      {"down right, above it", 4, 1, 0, 12},
      {"down right, below it", 4, 0, 1, 14},
      {"vertical right, zVR 0", 5, 0, 0, 8},
      {"vertical right, zVR -1", 5, 0, 1, 9},
      {"vertical right, zVR -3", 5, 0, 3, 24},
      {"horizontal down, zHD 0", 6, 0, 0, 9},
      {"horizontal down, zHD -1", 6, 1, 0, 9},
      {"horizontal down, zHD -3", 6, 3, 0, 20},
      {"vertical left, even row", 7, 0, 0, 15},
      {"vertical left, odd row", 7, 3, 3, 60},
      {"horizontal up, zHU 0", 8, 0, 0, 18},
      {"horizontal up, zHU 1", 8, 1, 0, 24},
      {"horizontal up, zHU 5", 8, 1, 2, 45},
      {"horizontal up, past 5", 8, 3, 3, 48},
  };
  for (const Sample& s : samples) {
    SCOPED_TRACE(s.name);
    const std::array<std::uint8_t, 16> pred = predict_4x4(s.mode, top, top_left, left);
    EXPECT_EQ(pred[static_cast<std::size_t>(s.y * 4 + s.x)], s.value);
  }
}

// An Intra_16x16 macroblock predicted by DC, its residual one DC level.
CodedMacroblock flat_16x16(std::uint32_t address, std::uint32_t slice, std::int32_t mb_qp_delta) {
  CodedMacroblock mb;
  mb.kind = Kind::Intra16x16;
  mb.address = address;
  mb.slice_first_mb = slice;
  mb.mb_qp_delta = mb_qp_delta;
  mb.intra16x16_pred_mode = 2;
  mb.luma_dc[0] = 1;
  return mb;
}

std::uint8_t luma_at(const IntraPicture& p, std::uint32_t x, std::uint32_t y) {
  return p.luma[y * p.width_mbs * 16 + x];
}

TEST(IntraRebuild, LumaDcLevelScalesWithTheQp) {
  // One level through the Hadamard gives 1 everywhere; times 16 * 16 (normAdjust
  // 16 at QP % 6 = 4), rounded by 6 - QP / 6 bits, then by the 4x4 transform.
  struct Case {
    int pic_init_qp;
    std::int32_t slice_qp_delta;
    std::int32_t mb_qp_delta;
    int sample;
  };
  const Case cases[] = {{28, 0, 0, 129},
                        {30, -2, 0, 129},
                        {28, 0, 6, 130},
                        {40, 0, 0, 132},
                        {50, 0, 42, 132}};  // 50 + 42 wraps to 40
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pic_init_qp + c.slice_qp_delta + c.mb_qp_delta);
    CodedMacroblock mb = flat_16x16(0, 0, c.mb_qp_delta);
    mb.slice_qp_delta = c.slice_qp_delta;
    IntraPicture p;
    ASSERT_TRUE(rebuild_intra({&mb, 1}, 1, 1, {c.pic_init_qp, 0}, p));
    EXPECT_EQ(luma_at(p, 0, 0), c.sample);
    EXPECT_EQ(luma_at(p, 15, 15), c.sample);
    EXPECT_EQ(p.chroma[0][0], 128);
  }
}

TEST(IntraRebuild, ChromaDcTakesTheOffsetQpThroughItsTable) {
  struct Case {
    int offset;
    int sample;
  };
  // QPY 28: QPc 28, ((256 << 4) >> 5) = 128, one more after the transform. With
  // +12, qPI 40 gives QPc 36: ((160 << 6) >> 5) = 320, five more.
  const Case cases[] = {{0, 130}, {12, 133}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    CodedMacroblock mb = flat_16x16(0, 0, 0);
    mb.luma_dc[0] = 0;
    mb.chroma_dc[0][0] = 1;
    IntraPicture p;
    ASSERT_TRUE(rebuild_intra({&mb, 1}, 1, 1, {28, c.offset}, p));
    EXPECT_EQ(p.chroma[0][0], c.sample);
    EXPECT_EQ(p.chroma[0][63], c.sample);
    EXPECT_EQ(p.chroma[1][0], 128);
    EXPECT_EQ(luma_at(p, 3, 3), 128);
  }
}

TEST(IntraRebuild, PredictsOnlyFromTheSameSliceAndStopsAtAnInterMacroblock) {
  // The right macroblock, residual free, takes DC 129 from the left one when in
  // its slice and 128 when not.
  for (const bool same_slice : {true, false}) {
    SCOPED_TRACE(same_slice);
    std::vector<CodedMacroblock> mbs = {flat_16x16(0, 0, 0), flat_16x16(1, same_slice ? 0 : 1, 0)};
    mbs[1].luma_dc[0] = 0;
    CodedMacroblock inter;
    inter.address = 2;
    mbs.push_back(inter);
    mbs.push_back(flat_16x16(3, 0, 0));
    IntraPicture p;
    ASSERT_TRUE(rebuild_intra(mbs, 4, 1, {28, 0}, p));
    EXPECT_EQ(luma_at(p, 16, 0), same_slice ? 129 : 128);
    EXPECT_EQ(p.rebuilt, (std::vector<std::uint8_t>{1, 1, 0, 0}));
  }
}

TEST(IntraRebuild, RefusesEmptyAndOversizedPicturesAndIgnoresStrayAddresses) {
  CodedMacroblock mb = flat_16x16(5, 0, 0);
  IntraPicture p;
  EXPECT_FALSE(rebuild_intra({&mb, 1}, 0, 4, {26, 0}, p));
  EXPECT_FALSE(rebuild_intra({&mb, 1}, 1000, 1000, {26, 0}, p));
  ASSERT_TRUE(rebuild_intra({&mb, 1}, 2, 2, {26, 0}, p));  // address 5 lies outside
  EXPECT_EQ(p.rebuilt, (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST(Blockiness, BlocksOfTheirOwnValueShowAndARampDoesNot) {
  IntraPicture p;
  p.width_mbs = 2;
  p.height_mbs = 2;
  p.rebuilt.assign(4, 1);
  p.luma.resize(32 * 32);
  for (auto& plane : p.chroma) plane.assign(16 * 16, 128);
  for (std::size_t y = 0; y < 32; ++y) {
    for (std::size_t x = 0; x < 32; ++x) p.luma[y * 32 + x] = static_cast<std::uint8_t>(4 * x);
  }
  EXPECT_DOUBLE_EQ(blockiness(p).luma, 1.0);
  for (std::size_t y = 0; y < 32; ++y) {
    for (std::size_t x = 0; x < 32; ++x) {
      p.luma[y * 32 + x] = static_cast<std::uint8_t>(4 * x + ((x / 4 + y / 4) % 2) * 20);
    }
  }
  EXPECT_GT(blockiness(p).luma, 3.0);
  p.rebuilt.assign(4, 0);
  EXPECT_EQ(blockiness(p).luma, 0.0);
}

}  // namespace
}  // namespace vidsalvage
