#pragma once
// The fields of one H.264 sequence parameter set that the video summary, the
// timing of the stream and the picture order of its slices rest on.

#include <cstdint>
#include <vector>

#include "codec/bit_reader.h"

namespace vidsalvage {

// The visible area in pixels, right and bottom exclusive; all zero without cropping.
struct CropRect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;
};

// H.264 Annex A, the largest level: 139,264 macroblocks to a frame, and no side
// longer than the square root of eight times that.
inline constexpr std::uint32_t kLargestFrameMbs = 139264;
inline constexpr std::uint32_t kLargestFrameSideMbs = 1055;

// A default-made SpsInfo is the state every parse starts from; fields a parse
// does not reach keep it.
struct SpsInfo {
  bool nal_hrd_parameters_present_flag = false;
  bool vcl_hrd_parameters_present_flag = false;
  bool pic_struct_present_flag = false;
  bool vui_complete = false;  // the VUI was read up to pic_struct_present_flag
  std::uint32_t cpb_removal_delay_length_minus1 = 0;
  std::uint32_t dpb_output_delay_length_minus1 = 0;
  std::int32_t tick_divisor = 2;
  std::uint32_t sar_width = 0;
  std::uint32_t sar_height = 0;
  std::int32_t time_scale = 0;  // -1 when the frame rate is not fixed
  std::uint32_t num_units_in_tick = 0;
  std::uint32_t log2_max_frame_num = 0;
  std::uint32_t width = 0;   // coded, from the macroblock count
  std::uint32_t height = 0;  // coded, from the map-unit count
  CropRect crop;
  bool frame_mbs_only_flag = false;
  std::uint8_t profile_idc = 0;
  std::uint8_t level_idc = 0;
  std::uint8_t constraint_flags = 0;  // constraint_set0_flag in the top bit

  // What a slice header and the picture order count need.
  std::uint32_t seq_parameter_set_id = 0;
  std::uint32_t chroma_format_idc = 1;
  bool separate_colour_plane_flag = false;
  std::uint32_t bit_depth_luma = 8;
  std::uint32_t bit_depth_chroma = 8;
  std::uint32_t pic_order_cnt_type = 0;
  std::uint32_t log2_max_pic_order_cnt_lsb = 0;   // pic_order_cnt_type 0
  bool delta_pic_order_always_zero_flag = false;  // the rest: pic_order_cnt_type 1
  std::int32_t offset_for_non_ref_pic = 0;
  std::int32_t offset_for_top_to_bottom_field = 0;
  std::vector<std::int32_t> offset_for_ref_frame;
  std::uint32_t max_num_ref_frames = 0;
  bool mb_adaptive_frame_field_flag = false;
  // What the slice data needs besides.
  std::uint32_t pic_width_in_mbs = 0;
  std::uint32_t pic_height_in_map_units = 0;  // field macroblock rows when frame_mbs_only_flag is 0
  bool direct_8x8_inference_flag = false;
  bool qpprime_y_zero_transform_bypass_flag = false;
  bool seq_scaling_matrix_present_flag = false;
};

// Reads an SPS NAL unit, header byte included, from its first bit (the reader is
// reset). False, with `info` unchanged, when a field lies outside the range H.264
// gives it or the data ends before the last field read.
[[nodiscard]] bool parse_sps(SpsInfo& info, BitstreamReader& reader);
// The scaling matrix of an SPS or PPS: `lists` present flags, each followed by
// its list when set, the first six of 16 entries and the rest of 64. The values
// are not kept; false when a delta is out of range or the data ends.
[[nodiscard]] bool skip_scaling_matrix(BitstreamReader& reader, int lists);

// The VUI; false when a field is out of range or the data ends inside it.
[[nodiscard]] bool parse_vui(SpsInfo& info, BitstreamReader& reader);
// One set of HRD parameters; keeps the delay lengths of the last set read. False
// as parse_vui.
[[nodiscard]] bool parse_hrd(SpsInfo& info, BitstreamReader& reader);

}  // namespace vidsalvage
