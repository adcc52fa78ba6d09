#include "codec/hevc_parameter_set_writer.h"

#include <gtest/gtest.h>

#include "codec/hevc_config.h"
#include "codec/hevc_parameter_sets.h"
#include "codec/hevc_slice_segment.h"
#include "support/bytes.h"

namespace vidsalvage {
namespace {

using test::Bytes;

// The sets libx265 (3.5, preset veryfast, 1280x720 at 30 fps, defaults) wrote.
const Bytes kX265Vps = {0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00,
                        0x90, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x5D, 0x95, 0x98, 0x09};
const Bytes kX265Sps = {0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00,
                        0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x5D, 0xA0, 0x02, 0x80, 0x80,
                        0x2D, 0x16, 0x59, 0x59, 0xA4, 0x93, 0x2B, 0xC0, 0x5A, 0x02, 0x00,
                        0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x03, 0x00, 0x3C, 0x10};
const Bytes kX265Pps = {0x44, 0x01, 0xC1, 0x72, 0xB4, 0x62, 0x40};

// The fields of those sets as the settings text and the stream give them.
HevcSpsFields x265_sps() {
  HevcSpsFields s;
  s.profile = {1, false, 93, true, true, 4, 2, 5};
  s.pic_width_in_luma_samples = 1280;
  s.pic_height_in_luma_samples = 720;
  s.log2_max_pic_order_cnt_lsb = 8;
  s.log2_min_luma_coding_block_size = 3;
  s.ctb_log2_size = 6;
  s.log2_max_luma_transform_block_size = 5;
  s.vui.aspect_ratio_idc = 1;
  s.vui.video_signal_type_present_flag = true;
  s.vui.num_units_in_tick = 1;
  s.vui.time_scale = 30;
  return s;
}

HevcPpsFields x265_pps() {
  HevcPpsFields p;
  p.cu_qp_delta_enabled_flag = true;
  p.diff_cu_qp_delta_depth = 1;
  p.weighted_pred_flag = true;
  p.entropy_coding_sync_enabled_flag = true;
  return p;
}

TEST(HevcParameterSetWriter, WritesTheSetsX265WroteForTheSameFields) {
  EXPECT_EQ(write_hevc_vps(x265_sps()), kX265Vps);
  EXPECT_EQ(write_hevc_sps(x265_sps()), kX265Sps);
  EXPECT_EQ(write_hevc_pps(x265_pps()), kX265Pps);
}

// The record of the sets x265 wrote, its profile bytes copied from their SPS, is
// the record of the fields they hold.
TEST(HevcParameterSetWriter, RecordOfCarriedUnitsMatchesTheRecordOfTheirFields) {
  EXPECT_EQ(hevc_config_of_units(kX265Vps, kX265Sps, kX265Pps, 30 * 256, true),
            make_hevc_config(x265_sps(), x265_pps()));
  const Bytes cut(kX265Sps.begin(), kX265Sps.begin() + 20);
  EXPECT_TRUE(hevc_config_of_units(kX265Vps, cut, kX265Pps, 0, false).empty());
}

// Every set written reads back with the readers of the recovery, whatever the
// size, padding, depth and block sizes.
TEST(HevcParameterSetWriter, SetsReadBackThroughTheRecord) {
  struct Case {
    const char* name;
    std::uint32_t width, height, crop_right, crop_bottom, bit_depth, poc_bits, min_cb, ctb;
  };
  const Case cases[] = {
      {"720p, CTB 64", 1280, 720, 0, 0, 8, 8, 3, 6},
      {"1080p padded to 16-sample blocks", 1920, 1088, 0, 8, 8, 16, 4, 5},
      {"odd width padded, 10-bit", 1368, 768, 2, 0, 10, 4, 3, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HevcSpsFields s = x265_sps();
    s.pic_width_in_luma_samples = c.width;
    s.pic_height_in_luma_samples = c.height;
    s.crop_right = c.crop_right;
    s.crop_bottom = c.crop_bottom;
    s.bit_depth_luma = s.bit_depth_chroma = c.bit_depth;
    s.profile.general_profile_idc = c.bit_depth == 8 ? 1 : 2;
    s.log2_max_pic_order_cnt_lsb = c.poc_bits;
    s.log2_min_luma_coding_block_size = c.min_cb;
    s.ctb_log2_size = c.ctb;
    HevcPpsFields p = x265_pps();
    p.output_flag_present_flag = true;
    p.num_extra_slice_header_bits = 2;
    p.pps_beta_offset_div2 = -2;
    p.pps_tc_offset_div2 = 3;
    const Bytes record = make_hevc_config(s, p);
    HevcConfig config;
    ASSERT_TRUE(parse_hevc_config(record, config));
    EXPECT_EQ(config.general_profile_idc, s.profile.general_profile_idc);
    EXPECT_EQ(config.general_level_idc, 93);
    EXPECT_EQ(config.bit_depth_luma, c.bit_depth);
    EXPECT_EQ(config.nal_length_size, 4);
    ASSERT_EQ(config.arrays.size(), 3u);
    HevcParameterSets sets;
    ASSERT_TRUE(read_hevc_config_parameter_sets(config, sets));
    ASSERT_TRUE(sets.sps[0].has_value());
    ASSERT_TRUE(sets.pps[0].has_value());
    const HevcSps& read = *sets.sps[0];
    EXPECT_EQ(read.width(), c.width - c.crop_right);
    EXPECT_EQ(read.height(), c.height - c.crop_bottom);
    EXPECT_EQ(read.bit_depth_luma, c.bit_depth);
    EXPECT_EQ(read.log2_max_pic_order_cnt_lsb, c.poc_bits);
    EXPECT_EQ(read.ctb_log2_size, c.ctb);
    EXPECT_TRUE(sets.pps[0]->output_flag_present_flag);
    EXPECT_EQ(sets.pps[0]->num_extra_slice_header_bits, 2u);
  }
}

// The first slice segments of x265's IDR, P and B pictures in the stream the
// sets above came from (their first 40 bytes, the rest zeros to their sizes).
struct X265Slice {
  const char* name;
  std::size_t size;
  Bytes head;
  std::uint32_t slice_type;
  std::uint32_t poc_lsb;
};
const X265Slice kX265Slices[] = {
    {"IDR",
     22702,
     {0x28, 0x01, 0xAF, 0x08, 0x46, 0x0D, 0x36, 0xB8, 0xF0, 0x89, 0x92, 0x32, 0x31, 0x5E,
      0x0D, 0x08, 0x04, 0x36, 0x05, 0xB7, 0x04, 0xB6, 0x80, 0x31, 0x63, 0xFC, 0x16, 0xC7},
     2,
     0},
    {"P",
     18910,
     {0x02, 0x01, 0xD0, 0x29, 0x4B, 0xE1, 0x0C, 0x20, 0x40, 0x30, 0x68, 0xE1,
      0xCB, 0xE0, 0x2D, 0xC2, 0x18, 0x8C, 0x74, 0x38, 0x03, 0x01, 0x8B, 0x4C,
      0x4E, 0xDD, 0x4E, 0x00, 0x58, 0x60, 0xE1, 0xA6, 0x34, 0x11, 0xFA, 0x53},
     1,
     5},
    {"B",
     5154,
     {0x00, 0x01, 0xE0, 0x24, 0xF5, 0x5F, 0xA2, 0x40, 0xA4, 0x60, 0xB2, 0x36, 0x16, 0x81,
      0x30, 0x0C, 0x01, 0x00, 0x20, 0x03, 0x6D, 0xAC, 0xAD, 0x42, 0x80, 0x1C, 0xDC, 0x94},
     0,
     1},
};

Bytes whole(const X265Slice& s) {
  Bytes unit = s.head;
  unit.resize(s.size, 0);
  return unit;
}

TEST(HevcSliceSegment, ReadsX265HeadersUnderTheirSets) {
  for (const X265Slice& s : kX265Slices) {
    SCOPED_TRACE(s.name);
    HevcSliceSegment segment;
    ASSERT_EQ(read_hevc_slice_segment(whole(s), x265_sps(), x265_pps(), segment),
              HevcSegmentRead::Read);
    EXPECT_EQ(segment.slice_type, s.slice_type);
    EXPECT_EQ(segment.slice_pic_order_cnt_lsb, s.poc_lsb);
    EXPECT_EQ(segment.num_entry_point_offsets, 11u);  // one per CTB row after the first
  }
}

// A field the header shows, set wrong, and the headers stop reading: what the
// ranking of the inference rests on.
TEST(HevcSliceSegment, RefusesTheHeadersUnderWrongSets) {
  struct Case {
    const char* name;
    void (*spoil)(HevcSpsFields&, HevcPpsFields&);
  };
  const Case cases[] = {
      {"an extra header bit",
       [](HevcSpsFields&, HevcPpsFields& p) { p.num_extra_slice_header_bits = 1; }},
      {"seven picture order bits",
       [](HevcSpsFields& s, HevcPpsFields&) { s.log2_max_pic_order_cnt_lsb = 7; }},
      {"no SAO",
       [](HevcSpsFields& s, HevcPpsFields&) { s.sample_adaptive_offset_enabled_flag = false; }},
      {"no wavefronts",
       [](HevcSpsFields&, HevcPpsFields& p) { p.entropy_coding_sync_enabled_flag = false; }},
      {"wavefronts in a picture of 9 CTB rows",
       [](HevcSpsFields& s, HevcPpsFields&) { s.pic_height_in_luma_samples = 576; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HevcSpsFields sps = x265_sps();
    HevcPpsFields pps = x265_pps();
    c.spoil(sps, pps);
    int read = 0;
    for (const X265Slice& s : kX265Slices) {
      HevcSliceSegment segment;
      read += read_hevc_slice_segment(whole(s), sps, pps, segment) == HevcSegmentRead::Read;
    }
    EXPECT_LT(read, 2);
  }
}

TEST(HevcSliceSegment, SaysWhatStopsAHeader) {
  HevcSliceSegment segment;
  const X265Slice& p = kX265Slices[1];
  // Entry points that reach past the unit's end.
  Bytes cut = p.head;
  cut.resize(4000, 0);
  EXPECT_EQ(read_hevc_slice_segment(cut, x265_sps(), x265_pps(), segment),
            HevcSegmentRead::Malformed);
  // Every prefix of the header.
  for (std::size_t n = 0; n < 30; ++n) {
    SCOPED_TRACE(n);
    const Bytes prefix(p.head.begin(), p.head.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_EQ(read_hevc_slice_segment(prefix, x265_sps(), x265_pps(), segment),
              HevcSegmentRead::Malformed);
  }
  // short_term_ref_pic_set_sps_flag set: the set lies in the lost SPS.
  Bytes from_sps = whole(p);
  from_sps[3] |= 0x04;  // the bit after the 8-bit lsb at bits 21 to 28
  EXPECT_EQ(read_hevc_slice_segment(from_sps, x265_sps(), x265_pps(), segment),
            HevcSegmentRead::SpsRefSets);
  Bytes later = whole(p);
  later[2] &= 0x7F;  // first_slice_segment_in_pic_flag 0
  EXPECT_EQ(read_hevc_slice_segment(later, x265_sps(), x265_pps(), segment),
            HevcSegmentRead::NotFirst);
}

}  // namespace
}  // namespace vidsalvage
