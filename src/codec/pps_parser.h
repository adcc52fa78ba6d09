#pragma once
// The fields of an H.264 picture parameter set that a slice header needs to be
// read up to its reference picture marking.

#include <cstdint>

#include "codec/bit_reader.h"

namespace vidsalvage {

struct PpsInfo {
  std::uint32_t pic_parameter_set_id = 0;
  std::uint32_t seq_parameter_set_id = 0;
  bool entropy_coding_mode_flag = false;
  bool bottom_field_pic_order_in_frame_present_flag = false;
  std::uint32_t num_slice_groups_minus1 = 0;
  std::uint32_t slice_group_map_type = 0;
  std::uint32_t num_ref_idx_l0_default_active_minus1 = 0;
  std::uint32_t num_ref_idx_l1_default_active_minus1 = 0;
  bool weighted_pred_flag = false;
  std::uint32_t weighted_bipred_idc = 0;
  bool deblocking_filter_control_present_flag = false;
  bool redundant_pic_cnt_present_flag = false;
};

// Reads a PPS NAL unit, header byte included, from its first bit (the reader is
// reset) up to redundant_pic_cnt_present_flag. False, with `info` unchanged, when
// a field lies outside its H.264 range or the data ends before that flag.
[[nodiscard]] bool parse_pps(PpsInfo& info, BitstreamReader& reader);

}  // namespace vidsalvage
