#include "codec/sps_parser.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/bit_writer.h"
#include "support/bytes.h"

namespace vidsalvage::test {
namespace {

// The fields a test varies; the defaults are a progressive 1920x1088 Baseline SPS.
struct SpsFields {
  std::uint8_t profile_idc = 66;
  std::uint8_t constraint_flags = 0;
  std::uint8_t level_idc = 40;
  std::uint32_t seq_parameter_set_id = 0;
  bool chroma_fields = false;  // chroma_format_idc and what follows it
  std::uint32_t chroma_format_idc = 1;
  std::uint32_t bit_depth_luma_minus8 = 0;
  int scaling_list_slots = 0;          // the first slots with a list present; 0: no matrix
  std::int32_t first_delta_scale = 5;  // of each list, which then reaches next == 0
  std::uint32_t log2_max_frame_num_minus4 = 0;
  std::uint32_t pic_order_cnt_type = 0;
  std::uint32_t log2_max_pic_order_cnt_lsb_minus4 = 2;
  std::uint32_t poc_cycle = 0;  // num_ref_frames_in_pic_order_cnt_cycle
  std::int32_t offset_for_non_ref_pic = -1;
  std::uint32_t max_num_ref_frames = 4;
  std::uint32_t width_in_mbs_minus1 = 119;
  std::uint32_t height_in_map_units_minus1 = 67;
  bool frame_mbs_only = true;
  bool cropping = false;
  std::uint32_t crop_left = 0, crop_right = 0, crop_top = 0, crop_bottom = 0;
};

// The SPS up to and including frame_cropping's offsets; the VUI flag is the caller's.
BitWriter sps_head(const SpsFields& f) {
  BitWriter w;
  w.bits(0x67, 8).bits(f.profile_idc, 8).bits(f.constraint_flags, 8).bits(f.level_idc, 8);
  w.ue(f.seq_parameter_set_id);
  if (f.chroma_fields) {
    w.ue(f.chroma_format_idc);
    if (f.chroma_format_idc == 3) w.bit(0);
    w.ue(f.bit_depth_luma_minus8).ue(0).bit(0).bit(f.scaling_list_slots > 0 ? 1 : 0);
    const int slots = f.chroma_format_idc == 3 ? 12 : 8;
    for (int slot = 0; f.scaling_list_slots > 0 && slot < slots; ++slot) {
      w.bit(slot < f.scaling_list_slots ? 1 : 0);
      if (slot >= f.scaling_list_slots) continue;
      // A list whose deltas reach next == 0 on the third entry, then stop.
      const std::int32_t left = ((8 + f.first_delta_scale - 3) % 256 + 256) % 256;
      w.se(f.first_delta_scale).se(-3).se(left <= 128 ? -left : 256 - left);
    }
  }
  w.ue(f.log2_max_frame_num_minus4).ue(f.pic_order_cnt_type);
  if (f.pic_order_cnt_type == 0) w.ue(f.log2_max_pic_order_cnt_lsb_minus4);
  if (f.pic_order_cnt_type == 1) {
    w.bit(0).se(f.offset_for_non_ref_pic).se(2).ue(f.poc_cycle);
    for (std::uint32_t i = 0; i < f.poc_cycle && i < 300; ++i) w.se(static_cast<std::int32_t>(i));
  }
  w.ue(f.max_num_ref_frames).bit(0).ue(f.width_in_mbs_minus1).ue(f.height_in_map_units_minus1);
  w.bit(f.frame_mbs_only ? 1 : 0);
  if (!f.frame_mbs_only) w.bit(1);
  w.bit(1).bit(f.cropping ? 1 : 0);
  if (f.cropping) w.ue(f.crop_left).ue(f.crop_right).ue(f.crop_top).ue(f.crop_bottom);
  return w;
}

bool parse(const Bytes& sps, SpsInfo& info) {
  NALUnit nal(sps.data(), static_cast<std::uint32_t>(sps.size()));
  return parse_sps(info, nal);
}

struct SizeCase {
  const char* name;
  SpsFields fields;
  std::uint32_t width, height;
  CropRect crop;
};

SpsFields cropped(SpsFields f, std::uint32_t right, std::uint32_t bottom) {
  f.cropping = true;
  f.crop_right = right;
  f.crop_bottom = bottom;
  return f;
}
SpsFields with_chroma(std::uint8_t profile, std::uint32_t chroma_format_idc, int slots) {
  SpsFields f;
  f.profile_idc = profile;
  f.chroma_fields = true;
  f.chroma_format_idc = chroma_format_idc;
  f.scaling_list_slots = slots;
  return f;
}

TEST(SpsParser, ReadsPictureSizeAndCropRectangle) {
  SpsFields fields_1080i = cropped({}, 0, 2);
  fields_1080i.height_in_map_units_minus1 = 33;
  fields_1080i.frame_mbs_only = false;
  SpsFields profile_144;  // takes no chroma fields although its number is above 100
  profile_144.profile_idc = 144;
  SpsFields poc_cycle = cropped({}, 0, 4);
  poc_cycle.pic_order_cnt_type = 1;
  poc_cycle.poc_cycle = 3;
  const SizeCase cases[] = {
      {"1080p, bottom offset 4", cropped({}, 0, 4), 1920, 1088, {0, 0, 1920, 1080}},
      {"1080i as fields, bottom offset 2", fields_1080i, 1920, 1088, {0, 0, 1920, 1080}},
      {"cropping with four zero offsets", cropped({}, 0, 0), 1920, 1088, {0, 0, 0, 0}},
      {"profile 144", profile_144, 1920, 1088, {0, 0, 0, 0}},
      {"pic_order_cnt_type 1", poc_cycle, 1920, 1088, {0, 0, 1920, 1080}},
      {"High, 8 scaling lists",
       cropped(with_chroma(100, 1, 8), 0, 4),
       1920,
       1088,
       {0, 0, 1920, 1080}},
      {"profile 244 with 4:4:4, 12 scaling lists",
       with_chroma(244, 3, 12),
       1920,
       1088,
       {0, 0, 0, 0}},
      // Crop steps follow the chroma format: one line in 4:2:2, one pixel in 4:4:4
      // and monochrome.
      {"4:2:2, bottom offset 8",
       cropped(with_chroma(122, 2, 0), 0, 8),
       1920,
       1088,
       {0, 0, 1920, 1080}},
      {"4:4:4, right 8 and bottom 8",
       cropped(with_chroma(244, 3, 0), 8, 8),
       1920,
       1088,
       {0, 0, 1912, 1080}},
      {"monochrome, bottom offset 8",
       cropped(with_chroma(100, 0, 0), 0, 8),
       1920,
       1088,
       {0, 0, 1920, 1080}},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    BitWriter w = sps_head(c.fields);
    w.bit(0);  // no VUI
    SpsInfo info;
    ASSERT_TRUE(parse(w.finish(), info));
    EXPECT_EQ(info.width, c.width);
    EXPECT_EQ(info.height, c.height);
    EXPECT_EQ(info.crop.left, c.crop.left);
    EXPECT_EQ(info.crop.top, c.crop.top);
    EXPECT_EQ(info.crop.right, c.crop.right);
    EXPECT_EQ(info.crop.bottom, c.crop.bottom);
    EXPECT_EQ(info.profile_idc, c.fields.profile_idc);
    EXPECT_EQ(info.tick_divisor, 2);
  }
}

TEST(SpsParser, RejectsPicOrderCntTypeThree) {
  SpsFields f;
  f.pic_order_cnt_type = 3;
  BitWriter w = sps_head(f);
  w.bit(0);
  SpsInfo info;
  EXPECT_FALSE(parse(w.finish(), info));
}

TEST(SpsParser, ReadsVuiTimingAndHrd) {
  BitWriter w = sps_head({});
  w.bit(1);                                        // vui_parameters_present_flag
  w.bit(1).bits(13, 8);                            // aspect ratio 13: 160:99 (Table E-1)
  w.bit(0).bit(0).bit(0);                          // overscan, video signal, chroma location
  w.bit(1).bits(1001, 32).bits(60000, 32).bit(1);  // timing, fixed frame rate
  w.bit(1).ue(1).bits(0, 8);                       // NAL HRD: two entries
  for (int i = 0; i < 2; ++i) w.ue(1000).ue(2000).bit(0);
  w.bits(23, 5).bits(23, 5).bits(4, 5).bits(24, 5);
  w.bit(0).bit(0);  // no VCL HRD, low_delay_hrd_flag
  w.bit(0).bit(0);  // pic_struct_present_flag, no restrictions
  SpsInfo info;
  ASSERT_TRUE(parse(w.finish(), info));
  EXPECT_TRUE(info.vui_complete);
  EXPECT_EQ(info.sar_width, 160u);
  EXPECT_EQ(info.sar_height, 99u);
  EXPECT_EQ(info.num_units_in_tick, 1001u);
  EXPECT_EQ(info.time_scale, 60000);
  EXPECT_TRUE(info.nal_hrd_parameters_present_flag);
  EXPECT_EQ(info.cpb_removal_delay_length_minus1, 23u);
  EXPECT_EQ(info.dpb_output_delay_length_minus1, 4u);
  EXPECT_EQ(info.tick_divisor, 1);
}

TEST(SpsParser, AspectRatioOutsideTheTableKeepsZero) {
  for (std::uint32_t idc : {0u, 17u, 200u, 255u}) {
    SCOPED_TRACE(idc);
    BitWriter w = sps_head({});
    w.bit(1).bit(1).bits(idc, 8);
    if (idc == 255) w.bits(4, 16).bits(3, 16);
    w.bits(0, 8);
    SpsInfo info;
    ASSERT_TRUE(parse(w.finish(), info));
    EXPECT_EQ(info.sar_width, idc == 255 ? 4u : 0u);
    EXPECT_EQ(info.sar_height, idc == 255 ? 3u : 0u);
  }
}

// The SPS and its VUI up to bitstream_restriction_flag, each part a writer of
// its own so that a case can change one field.
struct VuiFields {
  std::uint32_t chroma_sample_loc_type = 1;
  std::uint32_t cpb_cnt_minus1 = 1;
  std::uint32_t max_dec_frame_buffering = 4;
};

Bytes sps_with_vui(const SpsFields& f, const VuiFields& v) {
  BitWriter w = sps_head(f);
  w.bit(1);                                              // vui_parameters_present_flag
  w.bit(1).bits(255, 8).bits(4, 16).bits(3, 16);         // extended SAR
  w.bit(1).bit(0);                                       // overscan
  w.bit(1).bits(5, 3).bit(0).bit(1).bits(0x010101, 24);  // video signal, colour description
  w.bit(1).ue(v.chroma_sample_loc_type).ue(0);           // chroma location
  w.bit(1).bits(1, 32).bits(50, 32).bit(1);              // timing
  w.bit(1).ue(v.cpb_cnt_minus1).bits(0, 8);              // NAL HRD
  for (std::uint32_t i = 0; i <= v.cpb_cnt_minus1 && i < 40; ++i) w.ue(1000).ue(2000).bit(0);
  w.bits(23, 5).bits(23, 5).bits(4, 5).bits(24, 5);
  w.bit(0).bit(0).bit(0);  // no VCL HRD, low_delay_hrd_flag, pic_struct_present_flag
  w.bit(1).bit(1).ue(2).ue(1).ue(16).ue(16).ue(2).ue(v.max_dec_frame_buffering);
  return w.finish();
}

struct RangeCase {
  const char* name;
  std::function<void(SpsFields&, VuiFields&)> change;
  bool accepted;
};

// Each field at the last value H.264 allows, and at the first it does not.
TEST(SpsParser, RefusesEveryFieldOutsideItsRange) {
  const RangeCase cases[] = {
      {"seq_parameter_set_id 31", [](SpsFields& f, VuiFields&) { f.seq_parameter_set_id = 31; },
       true},
      {"seq_parameter_set_id 32", [](SpsFields& f, VuiFields&) { f.seq_parameter_set_id = 32; },
       false},
      {"chroma_format_idc 3", [](SpsFields& f, VuiFields&) { f = with_chroma(244, 3, 0); }, true},
      {"chroma_format_idc 4", [](SpsFields& f, VuiFields&) { f = with_chroma(244, 4, 0); }, false},
      {"bit_depth_luma_minus8 6",
       [](SpsFields& f, VuiFields&) {
         f = with_chroma(110, 1, 0);
         f.bit_depth_luma_minus8 = 6;
       },
       true},
      {"bit_depth_luma_minus8 7",
       [](SpsFields& f, VuiFields&) {
         f = with_chroma(110, 1, 0);
         f.bit_depth_luma_minus8 = 7;
       },
       false},
      {"delta_scale 127",
       [](SpsFields& f, VuiFields&) {
         f = with_chroma(100, 1, 1);
         f.first_delta_scale = 127;
       },
       true},
      {"delta_scale 128",
       [](SpsFields& f, VuiFields&) {
         f = with_chroma(100, 1, 1);
         f.first_delta_scale = 128;
       },
       false},
      {"delta_scale -129",
       [](SpsFields& f, VuiFields&) {
         f = with_chroma(100, 1, 1);
         f.first_delta_scale = -129;
       },
       false},
      {"log2_max_frame_num_minus4 12",
       [](SpsFields& f, VuiFields&) { f.log2_max_frame_num_minus4 = 12; }, true},
      {"log2_max_frame_num_minus4 13",
       [](SpsFields& f, VuiFields&) { f.log2_max_frame_num_minus4 = 13; }, false},
      {"pic_order_cnt_type 2", [](SpsFields& f, VuiFields&) { f.pic_order_cnt_type = 2; }, true},
      {"pic_order_cnt_type 3", [](SpsFields& f, VuiFields&) { f.pic_order_cnt_type = 3; }, false},
      {"log2_max_pic_order_cnt_lsb_minus4 12",
       [](SpsFields& f, VuiFields&) { f.log2_max_pic_order_cnt_lsb_minus4 = 12; }, true},
      {"log2_max_pic_order_cnt_lsb_minus4 13",
       [](SpsFields& f, VuiFields&) { f.log2_max_pic_order_cnt_lsb_minus4 = 13; }, false},
      {"a cycle of 255",
       [](SpsFields& f, VuiFields&) {
         f.pic_order_cnt_type = 1;
         f.poc_cycle = 255;
       },
       true},
      {"a cycle of 256",
       [](SpsFields& f, VuiFields&) {
         f.pic_order_cnt_type = 1;
         f.poc_cycle = 256;
       },
       false},
      {"offset_for_non_ref_pic -(2^31 - 1)",
       [](SpsFields& f, VuiFields&) {
         f.pic_order_cnt_type = 1;
         f.offset_for_non_ref_pic = -0x7FFFFFFF;
       },
       true},
      {"max_num_ref_frames 16", [](SpsFields& f, VuiFields&) { f.max_num_ref_frames = 16; }, true},
      {"max_num_ref_frames 17", [](SpsFields& f, VuiFields&) { f.max_num_ref_frames = 17; }, false},
      {"1055 macroblocks across, 132 down",
       [](SpsFields& f, VuiFields&) {
         f.width_in_mbs_minus1 = 1054;
         f.height_in_map_units_minus1 = 131;
       },
       true},
      {"1056 macroblocks across",
       [](SpsFields& f, VuiFields&) {
         f.width_in_mbs_minus1 = 1055;
         f.height_in_map_units_minus1 = 0;
       },
       false},
      {"a frame one macroblock row above the largest level",
       [](SpsFields& f, VuiFields&) {
         f.width_in_mbs_minus1 = 1023;
         f.height_in_map_units_minus1 = 136;
       },
       false},
      {"527 field map units: 1054 rows",
       [](SpsFields& f, VuiFields&) {
         f.width_in_mbs_minus1 = 0;
         f.height_in_map_units_minus1 = 526;
         f.frame_mbs_only = false;
       },
       true},
      {"528 field map units: 1056 rows",
       [](SpsFields& f, VuiFields&) {
         f.width_in_mbs_minus1 = 0;
         f.height_in_map_units_minus1 = 527;
         f.frame_mbs_only = false;
       },
       false},
      {"cropping that leaves one 4:2:0 column",
       [](SpsFields& f, VuiFields&) { f = cropped(f, 959, 0); }, true},
      {"cropping that leaves no column", [](SpsFields& f, VuiFields&) { f = cropped(f, 960, 0); },
       false},
      {"cropping that leaves no row", [](SpsFields& f, VuiFields&) { f = cropped(f, 0, 544); },
       false},
      {"a crop offset that wraps 32 bits",
       [](SpsFields& f, VuiFields&) { f = cropped(f, 0x80000000u, 0); }, false},
      {"chroma_sample_loc_type 5", [](SpsFields&, VuiFields& v) { v.chroma_sample_loc_type = 5; },
       true},
      {"chroma_sample_loc_type 6", [](SpsFields&, VuiFields& v) { v.chroma_sample_loc_type = 6; },
       false},
      {"cpb_cnt_minus1 31", [](SpsFields&, VuiFields& v) { v.cpb_cnt_minus1 = 31; }, true},
      {"cpb_cnt_minus1 32", [](SpsFields&, VuiFields& v) { v.cpb_cnt_minus1 = 32; }, false},
      {"max_dec_frame_buffering 16",
       [](SpsFields&, VuiFields& v) { v.max_dec_frame_buffering = 16; }, true},
      {"max_dec_frame_buffering 17",
       [](SpsFields&, VuiFields& v) { v.max_dec_frame_buffering = 17; }, false},
  };
  for (const RangeCase& c : cases) {
    SCOPED_TRACE(c.name);
    SpsFields f;
    VuiFields v;
    c.change(f, v);
    SpsInfo info;
    EXPECT_EQ(parse(sps_with_vui(f, v), info), c.accepted);
    if (c.accepted) {
      EXPECT_TRUE(info.vui_complete);
    }
  }
}

TEST(SpsParser, OffsetCodeOfThirtyTwoZerosIsRefused) {
  // offset_for_non_ref_pic as 32 zeros, a one and 32 more bits: its se(v) would
  // wrap to -2^31, which no offset may be.
  BitWriter w;
  w.bits(0x67, 8).bits(66, 8).bits(0, 8).bits(40, 8).ue(0).ue(0).ue(1).bit(0);
  w.bits(0, 32).bits(std::uint64_t{1} << 32, 33);
  w.se(2).ue(0).ue(4).bit(0).ue(119).ue(67).bit(1).bit(1).bit(0).bit(0);
  SpsInfo info;
  EXPECT_FALSE(parse(w.finish(), info));
}

// The SPS and PPS of a 1920x1080 High profile stream at level 4.0, as libx264
// wrote them, VUI with timing and bitstream restrictions included.
const Bytes kX264Sps = {0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x78, 0x02,
                        0x27, 0xE5, 0xC0, 0x44, 0x00, 0x00, 0x03, 0x00, 0x04,
                        0x00, 0x00, 0x03, 0x00, 0xC8, 0x3C, 0x60, 0xC6, 0x58};

TEST(SpsParser, EveryCutOfARealSpsIsRefusedAndLeavesTheInfoAlone) {
  SpsInfo whole;
  ASSERT_TRUE(parse(kX264Sps, whole));
  EXPECT_TRUE(whole.vui_complete);
  EXPECT_EQ(whole.crop.bottom, 1080);
  EXPECT_EQ(whole.pic_order_cnt_type, 0u);
  EXPECT_EQ(whole.tick_divisor, 1);
  // The last byte holds the stop bit and nothing the parse reads.
  for (std::size_t size = 0; size + 1 < kX264Sps.size(); ++size) {
    SCOPED_TRACE(size);
    const Bytes cut(kX264Sps.begin(), kX264Sps.begin() + static_cast<long>(size));
    SpsInfo info = whole;
    info.width = 1234;
    EXPECT_FALSE(parse(cut, info));
    EXPECT_EQ(info.width, 1234u);
  }
}

TEST(SpsParser, KeepsThePictureOrderFields) {
  SpsFields type0;
  type0.log2_max_pic_order_cnt_lsb_minus4 = 3;
  type0.log2_max_frame_num_minus4 = 5;
  SpsFields type1;
  type1.pic_order_cnt_type = 1;
  type1.poc_cycle = 3;
  type1.offset_for_non_ref_pic = -7;
  SpsInfo info;
  BitWriter w0 = sps_head(type0);
  w0.bit(0);
  ASSERT_TRUE(parse(w0.finish(), info));
  EXPECT_EQ(info.pic_order_cnt_type, 0u);
  EXPECT_EQ(info.log2_max_pic_order_cnt_lsb, 7u);
  EXPECT_EQ(info.log2_max_frame_num, 9u);
  EXPECT_EQ(info.max_num_ref_frames, 4u);
  BitWriter w1 = sps_head(type1);
  w1.bit(0);
  ASSERT_TRUE(parse(w1.finish(), info));
  EXPECT_EQ(info.pic_order_cnt_type, 1u);
  EXPECT_EQ(info.offset_for_non_ref_pic, -7);
  EXPECT_EQ(info.offset_for_top_to_bottom_field, 2);
  EXPECT_EQ(info.offset_for_ref_frame, (std::vector<std::int32_t>{0, 1, 2}));
}

TEST(SpsParser, DamagedCountsEndTheParse) {
  SpsFields cycle;
  cycle.pic_order_cnt_type = 1;
  cycle.poc_cycle = 0xFFFFFFFE;
  BitWriter w = sps_head(cycle);
  SpsInfo info;
  EXPECT_FALSE(parse(w.finish(), info));

  BitWriter hrd = sps_head({});
  hrd.bit(1).bits(0, 5).bit(1).ue(0x7FFFFFFE);
  EXPECT_FALSE(parse(hrd.finish(), info));
}

TEST(SpsParser, SurvivesRandomAndFlippedUnits) {
  BitWriter w = sps_head(cropped(with_chroma(100, 1, 8), 0, 4));
  w.bit(1).bit(1).bits(255, 8).bits(1, 16).bits(1, 16).bits(0, 4).bit(1).bits(1, 32).bits(50, 32);
  const Bytes valid = w.finish();
  for (std::uint32_t seed = 1; seed <= 3000; ++seed) {
    Bytes sps = pseudo_random_bytes(seed % 40, seed);
    if (seed % 2 == 0) {
      sps = valid;
      sps[seed % sps.size()] ^= static_cast<std::uint8_t>(1u << (seed % 8));
      sps.resize(seed % (sps.size() + 1));  // its own vector: ASan sees the cut
    }
    SpsInfo info;
    (void)parse(sps, info);
  }
}

}  // namespace
}  // namespace vidsalvage::test
