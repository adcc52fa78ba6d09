#pragma once
// The fields of an H.264 picture parameter set that its slices need to be read:
// the header, and the slice data after it.

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
  std::uint32_t slice_group_change_rate_minus1 = 0;  // map types 3 to 5
  std::uint32_t num_ref_idx_l0_default_active_minus1 = 0;
  std::uint32_t num_ref_idx_l1_default_active_minus1 = 0;
  bool weighted_pred_flag = false;
  std::uint32_t weighted_bipred_idc = 0;
  std::int32_t pic_init_qp_minus26 = 0;
  std::int32_t pic_init_qs_minus26 = 0;
  std::int32_t chroma_qp_index_offset = 0;
  bool deblocking_filter_control_present_flag = false;
  bool constrained_intra_pred_flag = false;
  bool redundant_pic_cnt_present_flag = false;
  // The fields a PPS may carry after redundant_pic_cnt_present_flag.
  bool transform_8x8_mode_flag = false;
  bool pic_scaling_matrix_present_flag = false;
  std::int32_t second_chroma_qp_index_offset = 0;  // chroma_qp_index_offset when absent
};

// Reads a PPS NAL unit, header byte included, from its first bit (the reader is
// reset) to its end. False, with `info` unchanged, when a field lies outside its
// H.264 range or the data ends inside the set. The scaling lists are stepped
// over as a stream of 4:2:0, 4:2:2 or monochrome has them: a 4:4:4 stream's PPS
// with lists would need its SPS to be read.
[[nodiscard]] bool parse_pps(PpsInfo& info, BitstreamReader& reader);

}  // namespace vidsalvage
