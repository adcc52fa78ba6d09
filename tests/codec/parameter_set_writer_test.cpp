#include "codec/parameter_set_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/slice_header.h"
#include "support/bytes.h"

namespace vidsalvage {
namespace {

using test::Bytes;

Bytes finished(RbspWriter& w) { return w.finish(0x67); }

SpsInfo parse_back(const Bytes& unit) {
  SpsInfo out;
  NALUnit nal(unit.data(), static_cast<std::uint32_t>(unit.size()));
  EXPECT_TRUE(parse_sps(out, nal));
  return out;
}

PpsInfo parse_back_pps(const Bytes& unit) {
  PpsInfo out;
  NALUnit nal(unit.data(), static_cast<std::uint32_t>(unit.size()));
  EXPECT_TRUE(parse_pps(out, nal));
  return out;
}

// H.264 9.1, Table 9-2: codes worked by hand.
TEST(RbspWriter, WritesExpGolombCodesAndTheStopBit) {
  struct Case {
    const char* name;
    void (*write)(RbspWriter&);
    Bytes out;  // after the header byte
  };
  const Case cases[] = {
      {"ue 0 is one bit", [](RbspWriter& w) { w.ue(0); }, {0xC0}},
      {"ue 1 is 010", [](RbspWriter& w) { w.ue(1); }, {0x50}},
      {"ue 7 is 0001000", [](RbspWriter& w) { w.ue(7); }, {0x11}},
      {"se -1 is 011", [](RbspWriter& w) { w.se(-1); }, {0x70}},
      {"se 2 is 00100", [](RbspWriter& w) { w.se(2); }, {0x24}},
      {"a full byte then the stop bit alone", [](RbspWriter& w) { w.bits(0xAB, 8); }, {0xAB, 0x80}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RbspWriter w;
    c.write(w);
    Bytes expected = {0x67};
    test::append(expected, c.out);
    EXPECT_EQ(finished(w), expected);
  }
}

TEST(RbspWriter, PreventsStartCodeEmulation) {
  RbspWriter w;
  w.bits(0, 24);
  w.bits(1, 8);
  // 00 00 00 01 80 becomes 00 00 03 00 01 80: a 03 after every two zeros that
  // precede a byte of 00 to 03, the zero count starting again after it.
  EXPECT_EQ(finished(w), (Bytes{0x67, 0x00, 0x00, 0x03, 0x00, 0x01, 0x80}));
}

TEST(RbspWriter, ReadsBackTheLargestCodes) {
  RbspWriter w;
  w.ue(0xFFFFFFFE);
  w.se(-2147483647);
  w.ue(0);
  const Bytes unit = finished(w);
  NALUnit nal(unit.data() + 1, static_cast<std::uint32_t>(unit.size() - 1));
  EXPECT_EQ(nal.read_ue(), 0xFFFFFFFEu);
  EXPECT_EQ(nal.read_se(), -2147483647);
  EXPECT_EQ(nal.read_ue(), 0u);
  EXPECT_FALSE(nal.overrun());
}

SpsInfo sps_of(std::uint8_t profile, std::uint32_t width_mbs, std::uint32_t height_units,
               std::uint32_t poc_type) {
  SpsInfo s;
  s.profile_idc = profile;
  s.level_idc = 40;
  s.constraint_flags = profile == 66 ? 0xC0 : 0;
  s.seq_parameter_set_id = 0;
  s.log2_max_frame_num = 4;
  s.pic_order_cnt_type = poc_type;
  s.log2_max_pic_order_cnt_lsb = poc_type == 0 ? 6 : 0;
  s.max_num_ref_frames = 4;
  s.frame_mbs_only_flag = true;
  s.direct_8x8_inference_flag = true;
  s.pic_width_in_mbs = width_mbs;
  s.pic_height_in_map_units = height_units;
  return s;
}

TEST(WriteSps, ReadsBackEveryFieldItWrites) {
  struct Case {
    const char* name;
    SpsInfo sps;
  };
  std::vector<Case> cases;
  cases.push_back({"Baseline, order type 2", sps_of(66, 22, 18, 2)});
  cases.push_back({"Main, order type 0", sps_of(77, 80, 45, 0)});
  SpsInfo cropped = sps_of(100, 120, 68, 0);
  cropped.crop = {0, 0, 1920, 1080};
  cases.push_back({"High 1080 cropped from 1088", cropped});
  SpsInfo wide = sps_of(100, 240, 135, 0);
  wide.log2_max_frame_num = 16;
  wide.log2_max_pic_order_cnt_lsb = 16;
  wide.max_num_ref_frames = 16;
  wide.seq_parameter_set_id = 31;
  cases.push_back({"the largest logs and ids", wide});
  SpsInfo fields = sps_of(100, 45, 18, 0);
  fields.frame_mbs_only_flag = false;
  fields.mb_adaptive_frame_field_flag = true;
  fields.crop = {0, 0, 720, 572};
  cases.push_back({"interlaced, cropped in field steps", fields});
  SpsInfo cycle = sps_of(77, 20, 15, 1);
  cycle.offset_for_non_ref_pic = -2;
  cycle.offset_for_ref_frame = {2, 4};
  cases.push_back({"order type 1 with its cycle", cycle});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SpsInfo back = parse_back(write_sps(c.sps));
    EXPECT_EQ(back.profile_idc, c.sps.profile_idc);
    EXPECT_EQ(back.constraint_flags, c.sps.constraint_flags);
    EXPECT_EQ(back.level_idc, c.sps.level_idc);
    EXPECT_EQ(back.seq_parameter_set_id, c.sps.seq_parameter_set_id);
    EXPECT_EQ(back.log2_max_frame_num, c.sps.log2_max_frame_num);
    EXPECT_EQ(back.pic_order_cnt_type, c.sps.pic_order_cnt_type);
    EXPECT_EQ(back.log2_max_pic_order_cnt_lsb, c.sps.log2_max_pic_order_cnt_lsb);
    EXPECT_EQ(back.offset_for_non_ref_pic, c.sps.offset_for_non_ref_pic);
    EXPECT_EQ(back.offset_for_ref_frame, c.sps.offset_for_ref_frame);
    EXPECT_EQ(back.max_num_ref_frames, c.sps.max_num_ref_frames);
    EXPECT_EQ(back.frame_mbs_only_flag, c.sps.frame_mbs_only_flag);
    EXPECT_EQ(back.mb_adaptive_frame_field_flag, c.sps.mb_adaptive_frame_field_flag);
    EXPECT_EQ(back.pic_width_in_mbs, c.sps.pic_width_in_mbs);
    EXPECT_EQ(back.pic_height_in_map_units, c.sps.pic_height_in_map_units);
    EXPECT_EQ(back.direct_8x8_inference_flag, c.sps.direct_8x8_inference_flag);
    EXPECT_EQ(back.crop.right, c.sps.crop.right);
    EXPECT_EQ(back.crop.bottom, c.sps.crop.bottom);
    EXPECT_EQ(back.chroma_format_idc, 1u);
    EXPECT_FALSE(back.vui_complete);
  }
}

TEST(WritePps, ReadsBackEveryFieldItWrites) {
  struct Case {
    const char* name;
    PpsInfo pps;
  };
  std::vector<Case> cases;
  PpsInfo plain;
  cases.push_back({"CAVLC defaults", plain});
  PpsInfo x264;
  x264.entropy_coding_mode_flag = true;
  x264.num_ref_idx_l0_default_active_minus1 = 2;
  x264.weighted_pred_flag = true;
  x264.weighted_bipred_idc = 2;
  x264.pic_init_qp_minus26 = -3;
  x264.chroma_qp_index_offset = -2;
  x264.second_chroma_qp_index_offset = -2;
  x264.deblocking_filter_control_present_flag = true;
  x264.transform_8x8_mode_flag = true;
  cases.push_back({"x264's High settings", x264});
  PpsInfo tail = plain;
  tail.pic_parameter_set_id = 255;
  tail.seq_parameter_set_id = 31;
  tail.pic_init_qp_minus26 = 25;
  tail.pic_init_qs_minus26 = -26;
  tail.chroma_qp_index_offset = 12;
  tail.second_chroma_qp_index_offset = -12;
  tail.constrained_intra_pred_flag = true;
  tail.redundant_pic_cnt_present_flag = true;
  cases.push_back({"a second chroma offset without the 8x8 transform", tail});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PpsInfo back = parse_back_pps(write_pps(c.pps));
    EXPECT_EQ(back.pic_parameter_set_id, c.pps.pic_parameter_set_id);
    EXPECT_EQ(back.seq_parameter_set_id, c.pps.seq_parameter_set_id);
    EXPECT_EQ(back.entropy_coding_mode_flag, c.pps.entropy_coding_mode_flag);
    EXPECT_EQ(back.num_ref_idx_l0_default_active_minus1,
              c.pps.num_ref_idx_l0_default_active_minus1);
    EXPECT_EQ(back.weighted_pred_flag, c.pps.weighted_pred_flag);
    EXPECT_EQ(back.weighted_bipred_idc, c.pps.weighted_bipred_idc);
    EXPECT_EQ(back.pic_init_qp_minus26, c.pps.pic_init_qp_minus26);
    EXPECT_EQ(back.pic_init_qs_minus26, c.pps.pic_init_qs_minus26);
    EXPECT_EQ(back.chroma_qp_index_offset, c.pps.chroma_qp_index_offset);
    EXPECT_EQ(back.second_chroma_qp_index_offset, c.pps.second_chroma_qp_index_offset);
    EXPECT_EQ(back.deblocking_filter_control_present_flag,
              c.pps.deblocking_filter_control_present_flag);
    EXPECT_EQ(back.constrained_intra_pred_flag, c.pps.constrained_intra_pred_flag);
    EXPECT_EQ(back.redundant_pic_cnt_present_flag, c.pps.redundant_pic_cnt_present_flag);
    EXPECT_EQ(back.transform_8x8_mode_flag, c.pps.transform_8x8_mode_flag);
  }
}

TEST(MakeAvcConfig, HoldsBothSetsAndTheLengthSize) {
  for (const std::uint8_t profile : {std::uint8_t{66}, std::uint8_t{100}}) {
    SCOPED_TRACE(profile);
    const SpsInfo sps = sps_of(profile, 80, 45, 0);
    const Bytes sps_unit = write_sps(sps);
    const Bytes pps_unit = write_pps(PpsInfo{});
    const Bytes avcc = make_avc_config(sps_unit, pps_unit, sps, 2);
    AvcParameterSets sets;
    ASSERT_TRUE(read_config_parameter_sets(avcc, sets));
    ASSERT_TRUE(sets.sps[0].has_value());
    EXPECT_EQ(sets.sps[0]->pic_width_in_mbs, 80u);
    EXPECT_TRUE(sets.pps[0].has_value());
    EXPECT_EQ(avcc[1], profile);
    EXPECT_EQ(avcc[4] & 3, 1);  // lengthSizeMinusOne
    // ISO/IEC 14496-15 5.3.3.1: High profiles add chroma, bit depths and no SPS extensions.
    const std::size_t sets_end = 6 + 2 + sps_unit.size() + 1 + 2 + pps_unit.size();
    EXPECT_EQ(avcc.size(), profile == 100 ? sets_end + 4 : sets_end);
  }
}

}  // namespace
}  // namespace vidsalvage
