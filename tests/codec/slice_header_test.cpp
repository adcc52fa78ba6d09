#include "codec/slice_header.h"

#include <gtest/gtest.h>

#include "codec/pps_parser.h"
#include "support/bit_writer.h"
#include "support/bytes.h"

namespace vidsalvage::test {
namespace {

// The PPS libx264 wrote for a High profile stream: CABAC, three list-0 entries
// and one list-1 entry, explicit weights on P slices and implicit on B slices.
const Bytes kX264Pps = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};

bool parse(const Bytes& pps, PpsInfo& info) {
  NALUnit nal(pps.data(), static_cast<std::uint32_t>(pps.size()));
  return parse_pps(info, nal);
}

TEST(PpsParser, ReadsARealPpsAndRefusesEveryCutOfIt) {
  PpsInfo info;
  ASSERT_TRUE(parse(kX264Pps, info));
  EXPECT_EQ(info.pic_parameter_set_id, 0u);
  EXPECT_EQ(info.seq_parameter_set_id, 0u);
  EXPECT_TRUE(info.entropy_coding_mode_flag);
  EXPECT_FALSE(info.bottom_field_pic_order_in_frame_present_flag);
  EXPECT_EQ(info.num_ref_idx_l0_default_active_minus1, 2u);
  EXPECT_EQ(info.num_ref_idx_l1_default_active_minus1, 0u);
  EXPECT_TRUE(info.weighted_pred_flag);
  EXPECT_EQ(info.weighted_bipred_idc, 2u);
  EXPECT_TRUE(info.deblocking_filter_control_present_flag);
  EXPECT_FALSE(info.redundant_pic_cnt_present_flag);
  EXPECT_EQ(info.pic_init_qp_minus26, -3);
  EXPECT_EQ(info.chroma_qp_index_offset, -2);
  EXPECT_TRUE(info.transform_8x8_mode_flag);
  EXPECT_EQ(info.second_chroma_qp_index_offset, -2);
  for (std::size_t size = 0; size + 1 < kX264Pps.size(); ++size) {
    SCOPED_TRACE(size);
    const Bytes cut(kX264Pps.begin(), kX264Pps.begin() + static_cast<long>(size));
    PpsInfo unchanged;
    unchanged.pic_parameter_set_id = 77;
    EXPECT_FALSE(parse(cut, unchanged));
    EXPECT_EQ(unchanged.pic_parameter_set_id, 77u);
  }
}

struct PpsFields {
  std::uint32_t pps_id = 1;
  std::uint32_t sps_id = 0;
  std::uint32_t slice_groups_minus1 = 0;
  std::uint32_t map_type = 6;
  std::uint32_t map_units = 4;
  std::uint32_t last_group_id = 0;
  std::uint32_t bipred_idc = 1;
};

Bytes pps_bytes(const PpsFields& f) {
  BitWriter w;
  w.bits(0x68, 8).ue(f.pps_id).ue(f.sps_id).bit(0).bit(1).ue(f.slice_groups_minus1);
  if (f.slice_groups_minus1 > 0) {
    w.ue(f.map_type);
    if (f.map_type == 6) {
      w.ue(f.map_units - 1);
      const int bits = f.slice_groups_minus1 >= 4 ? 3 : f.slice_groups_minus1 >= 2 ? 2 : 1;
      for (std::uint32_t i = 0; i + 1 < f.map_units; ++i) w.bits(0, bits);
      w.bits(f.last_group_id, bits);
    }
  }
  w.ue(0).ue(0).bit(0).bits(f.bipred_idc, 2).se(0).se(0).se(0).bit(1).bit(0).bit(1);
  return w.finish();
}

TEST(PpsParser, RefusesFieldsOutsideTheirRange) {
  struct Case {
    const char* name;
    PpsFields fields;
    bool accepted;
  };
  const Case cases[] = {
      {"pic_parameter_set_id 255", {.pps_id = 255}, true},
      {"pic_parameter_set_id 256", {.pps_id = 256}, false},
      {"seq_parameter_set_id 31", {.sps_id = 31}, true},
      {"seq_parameter_set_id 32", {.sps_id = 32}, false},
      {"8 slice groups with an explicit map", {.slice_groups_minus1 = 7, .last_group_id = 7}, true},
      {"9 slice groups", {.slice_groups_minus1 = 8}, false},
      {"a map naming a group beyond the count",
       {.slice_groups_minus1 = 2, .last_group_id = 3},
       false},
      {"slice_group_map_type 7", {.slice_groups_minus1 = 1, .map_type = 7}, false},
      {"weighted_bipred_idc 3", {.bipred_idc = 3}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PpsInfo info;
    EXPECT_EQ(parse(pps_bytes(c.fields), info), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(info.pic_parameter_set_id, c.fields.pps_id);
      EXPECT_TRUE(info.bottom_field_pic_order_in_frame_present_flag);
      EXPECT_TRUE(info.redundant_pic_cnt_present_flag);
    }
  }
}

// A 4:2:0 SPS with fields and picture order type 0, and a PPS with bottom field
// order, weighted bi-prediction and redundant picture counts.
AvcParameterSets field_sets() {
  AvcParameterSets sets;
  SpsInfo sps;
  sps.seq_parameter_set_id = 3;
  sps.log2_max_frame_num = 5;
  sps.log2_max_pic_order_cnt_lsb = 6;
  sps.frame_mbs_only_flag = false;
  PpsInfo pps;
  pps.pic_parameter_set_id = 9;
  pps.seq_parameter_set_id = 3;
  pps.bottom_field_pic_order_in_frame_present_flag = true;
  pps.num_ref_idx_l0_default_active_minus1 = 1;
  pps.weighted_bipred_idc = 1;
  pps.redundant_pic_cnt_present_flag = true;
  sets.sps[3] = sps;
  sets.pps[9] = pps;
  return sets;
}

struct SliceBits {
  Bytes unit;
  std::size_t order_end_bits = 0;    // after the last picture order field
  std::size_t marking_end_bits = 0;  // after the reference picture marking
};

// A reference B frame slice: two list-0 entries (the PPS default) and one list-1
// entry, a modification of list 0, weights, and a marking with operation 5.
SliceBits b_slice() {
  BitWriter w;
  w.ue(0).ue(6).ue(9);   // first_mb_in_slice, slice_type B (all), pps 9
  w.bits(17, 5).bit(0);  // frame_num, a frame
  w.bits(40, 6).se(-1);  // pic_order_cnt_lsb, delta_pic_order_cnt_bottom
  const std::size_t order_end = w.bit_count();
  w.ue(0).bit(1).bit(0);                   // redundant_pic_cnt, direct_spatial_mv_pred, no override
  w.bit(1).ue(0).ue(2).ue(2).ue(5).ue(3);  // list 0 modified twice; list 1 not
  w.bit(0);
  w.ue(5).ue(4);                              // weight denominators
  w.bit(1).se(3).se(-2).bit(0);               // list 0 entry 0: luma weights
  w.bit(0).bit(1).se(1).se(1).se(-1).se(-1);  // entry 1: chroma weights
  w.bit(0).bit(0);                            // list 1 entry 0: none
  w.bit(1).ue(1).ue(4).ue(5).ue(0);           // adaptive marking: operations 1, 5, then 0
  const std::size_t marking_end = w.bit_count();
  SliceBits s;
  s.unit = concat({{0x21}, w.finish()});  // nal_ref_idc 1, type 1
  s.order_end_bits = order_end;
  s.marking_end_bits = marking_end;
  return s;
}

TEST(SliceHeader, ReadsTheOrderFieldsAndFindsOperation5BehindWeightsAndLists) {
  const AvcParameterSets sets = field_sets();
  const SliceBits bits = b_slice();
  SliceHeader h;
  ASSERT_EQ(read_slice_header(bits.unit, sets, h), SliceRead::Read);
  EXPECT_EQ(h.nal_ref_idc, 1u);
  EXPECT_EQ(h.slice_type, 6u);
  EXPECT_EQ(h.pic_parameter_set_id, 9u);
  EXPECT_EQ(h.frame_num, 17u);
  EXPECT_FALSE(h.field_pic_flag);
  EXPECT_EQ(h.pic_order_cnt_lsb, 40u);
  EXPECT_EQ(h.delta_pic_order_cnt_bottom, -1);
  EXPECT_TRUE(h.marking_known);
  EXPECT_TRUE(h.memory_management_control_operation_5);
}

TEST(SliceHeader, ACutAfterTheOrderFieldsStillGivesThem) {
  const AvcParameterSets sets = field_sets();
  const SliceBits bits = b_slice();
  for (std::size_t size = 0; size <= bits.unit.size(); ++size) {
    SCOPED_TRACE(size);
    const Bytes cut(bits.unit.begin(), bits.unit.begin() + static_cast<long>(size));
    const std::size_t payload_bits = size == 0 ? 0 : (size - 1) * 8;
    SliceHeader h;
    const SliceRead read = read_slice_header(cut, sets, h);
    if (size == 0) {
      EXPECT_EQ(read, SliceRead::NotASlice);
    } else if (payload_bits < bits.order_end_bits) {
      EXPECT_EQ(read, SliceRead::Malformed);
    } else {
      ASSERT_EQ(read, SliceRead::Read);
      EXPECT_EQ(h.pic_order_cnt_lsb, 40u);
      EXPECT_EQ(h.marking_known, payload_bits >= bits.marking_end_bits);
      EXPECT_EQ(h.memory_management_control_operation_5, h.marking_known);
    }
  }
}

TEST(SliceHeader, SaysWhatKeepsItFromBeingRead) {
  const AvcParameterSets sets = field_sets();
  struct Case {
    const char* name;
    Bytes unit;
    SliceRead read;
  };
  const auto slice = [](std::uint8_t header, std::uint32_t type, std::uint32_t pps) {
    BitWriter w;
    w.ue(0).ue(type).ue(pps).bits(0, 5).bit(1).bit(1).ue(0).bits(0, 6);
    return concat({{header}, w.finish()});
  };
  const Case cases[] = {
      {"a bottom field IDR", slice(0x65, 7, 9), SliceRead::Read},
      {"an SEI", {0x06, 0x05, 0x01, 0x80}, SliceRead::NotASlice},
      {"an unknown PPS", slice(0x41, 0, 8), SliceRead::NoParameterSet},
      {"an IDR P slice", slice(0x65, 5, 9), SliceRead::Malformed},
      {"a non-reference IDR", slice(0x05, 7, 9), SliceRead::Malformed},
      {"slice_type 10", slice(0x41, 10, 9), SliceRead::Malformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SliceHeader h;
    EXPECT_EQ(read_slice_header(c.unit, sets, h), c.read);
  }
  SliceHeader field;
  ASSERT_EQ(read_slice_header(slice(0x65, 7, 9), sets, field), SliceRead::Read);
  EXPECT_TRUE(field.field_pic_flag);
  EXPECT_TRUE(field.bottom_field_flag);
  EXPECT_TRUE(field.marking_known);
}

TEST(SliceHeader, NewPictureWhenAnIdentifyingFieldChanges) {
  const AvcParameterSets sets = field_sets();
  SliceHeader first;
  first.nal_unit_type = 1;
  first.nal_ref_idc = 2;
  first.pic_parameter_set_id = 9;
  first.frame_num = 4;
  first.pic_order_cnt_lsb = 8;
  SliceHeader same = first;
  same.first_mb_in_slice = 40;
  same.nal_ref_idc = 1;  // both reference slices
  EXPECT_FALSE(starts_new_picture(first, same, sets));
  SliceHeader lsb = same;
  lsb.pic_order_cnt_lsb = 10;
  EXPECT_TRUE(starts_new_picture(first, lsb, sets));
  SliceHeader non_reference = same;
  non_reference.nal_ref_idc = 0;
  EXPECT_TRUE(starts_new_picture(first, non_reference, sets));
  SliceHeader bottom = same;
  bottom.field_pic_flag = true;
  EXPECT_TRUE(starts_new_picture(first, bottom, sets));
}

TEST(AvcParameterSets, ReadsTheSetsOfARecordAndRefusesItsCuts) {
  const Bytes sps = {0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x78, 0x02,
                     0x27, 0xE5, 0xC0, 0x44, 0x00, 0x00, 0x03, 0x00, 0x04,
                     0x00, 0x00, 0x03, 0x00, 0xC8, 0x3C, 0x60, 0xC6, 0x58};
  Bytes record = {0x01, 0x64, 0x00, 0x28, 0xFF, 0xE1};
  append_u16(record, static_cast<std::uint16_t>(sps.size()));
  append(record, sps);
  record.push_back(1);
  append_u16(record, static_cast<std::uint16_t>(kX264Pps.size()));
  append(record, kX264Pps);
  AvcParameterSets sets;
  ASSERT_TRUE(read_config_parameter_sets(record, sets));
  ASSERT_TRUE(sets.sps[0].has_value());
  ASSERT_TRUE(sets.pps[0].has_value());
  EXPECT_EQ(sets.sps[0]->width, 1920u);
  for (std::size_t size = 0; size < record.size(); ++size) {
    SCOPED_TRACE(size);
    const Bytes cut(record.begin(), record.begin() + static_cast<long>(size));
    AvcParameterSets partial;
    EXPECT_FALSE(read_config_parameter_sets(cut, partial));
  }
}

// Every prefix of a damaged unit is its own vector, so that AddressSanitizer
// sees a read past its end.
TEST(SliceHeader, SurvivesRandomAndFlippedUnits) {
  const AvcParameterSets sets = field_sets();
  const Bytes valid = b_slice().unit;
  for (std::uint32_t seed = 1; seed <= 3000; ++seed) {
    Bytes unit = pseudo_random_bytes(seed % 40, seed);
    if (seed % 2 == 0) {
      unit = valid;
      unit[seed % unit.size()] ^= static_cast<std::uint8_t>(1u << (seed % 8));
      unit.resize(seed % (unit.size() + 1));
    }
    SliceHeader h;
    (void)read_slice_header(unit, sets, h);
    PpsInfo pps;
    NALUnit nal(unit.data(), static_cast<std::uint32_t>(unit.size()));
    (void)parse_pps(pps, nal);
  }
}

}  // namespace
}  // namespace vidsalvage::test
