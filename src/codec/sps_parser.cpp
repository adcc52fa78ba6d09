#include "codec/sps_parser.h"

#include <algorithm>
#include <array>
#include <utility>

namespace vidsalvage {
namespace {

// H.264 7.4.2.1.1 and E.2.1: the ranges of the fields bounded by a constant.
constexpr std::uint32_t kMaxSeqParameterSetId = 31;
constexpr std::uint32_t kMaxChromaFormatIdc = 3;
constexpr std::uint32_t kMaxBitDepthMinus8 = 6;
constexpr std::uint32_t kMaxLog2Minus4 = 12;  // frame_num and pic_order_cnt_lsb
constexpr std::uint32_t kMaxPicOrderCntType = 2;
constexpr std::uint32_t kMaxDpbFrames = 16;
constexpr std::uint32_t kMaxChromaSampleLocType = 5;
// The counts that bound loops: a damaged SPS could otherwise drive billions of
// iterations over the zero bits past its end.
constexpr std::uint32_t kMaxRefFramesInPicOrderCntCycle = 255;
constexpr std::uint32_t kMaxCpbCntMinus1 = 31;
constexpr std::uint32_t kMaxRestrictionValue = 16;    // the denominators and the vector lengths
constexpr std::uint32_t kMaxCodedValue = 0xFFFFFFFE;  // a ue(v) field of 32 bits
constexpr std::int32_t kMaxOffset = 0x7FFFFFFF;       // offset_for_*: -(2^31 - 1) to 2^31 - 1

constexpr std::uint32_t kExtendedSar = 255;

// H.264 Table E-1: the sample aspect ratio of aspect_ratio_idc 1 to 16.
constexpr std::array<std::uint32_t, 16> kSarWidths = {1,  12, 10, 16, 40,  24, 20, 32,
                                                      80, 18, 15, 64, 160, 4,  3,  2};
constexpr std::array<std::uint32_t, 16> kSarHeights = {1,  11, 11, 11, 33, 11, 11, 11,
                                                       33, 11, 11, 33, 99, 3,  2,  1};

// The profiles whose SPS carries chroma format, bit depths and scaling matrices.
// 144, the withdrawn High 4:4:4, is read without them.
constexpr std::array<std::uint8_t, 13> kProfilesWithChromaFields = {100, 110, 122, 244, 44,  83, 86,
                                                                    118, 128, 138, 139, 134, 135};
bool has_chroma_fields(std::uint8_t profile_idc) {
  return std::find(kProfilesWithChromaFields.begin(), kProfilesWithChromaFields.end(),
                   profile_idc) != kProfilesWithChromaFields.end();
}

// The chroma format, bit depths and scaling matrices.
bool read_chroma_fields(SpsInfo& info, BitstreamReader& reader) {
  std::uint32_t luma_minus8 = 0;
  std::uint32_t chroma_minus8 = 0;
  if (!reader.read_ue_upto(kMaxChromaFormatIdc, info.chroma_format_idc)) return false;
  if (info.chroma_format_idc == 3 && !reader.read_flag(info.separate_colour_plane_flag)) {
    return false;
  }
  if (!reader.read_ue_upto(kMaxBitDepthMinus8, luma_minus8) ||
      !reader.read_ue_upto(kMaxBitDepthMinus8, chroma_minus8) ||
      !reader.read_flag(info.qpprime_y_zero_transform_bypass_flag) ||
      !reader.read_flag(info.seq_scaling_matrix_present_flag)) {
    return false;
  }
  info.bit_depth_luma = luma_minus8 + 8;
  info.bit_depth_chroma = chroma_minus8 + 8;
  return !info.seq_scaling_matrix_present_flag ||
         skip_scaling_matrix(reader, info.chroma_format_idc == 3 ? 12 : 8);
}

bool read_offset(BitstreamReader& reader, std::int32_t& out) {
  return reader.read_se_within(-kMaxOffset, kMaxOffset, out);
}

bool read_pic_order_cnt_fields(SpsInfo& info, BitstreamReader& reader) {
  if (!reader.read_ue_upto(kMaxPicOrderCntType, info.pic_order_cnt_type)) return false;
  if (info.pic_order_cnt_type == 0) {
    std::uint32_t lsb_minus4 = 0;
    if (!reader.read_ue_upto(kMaxLog2Minus4, lsb_minus4)) return false;
    info.log2_max_pic_order_cnt_lsb = lsb_minus4 + 4;
  } else if (info.pic_order_cnt_type == 1) {
    std::uint32_t cycle = 0;
    if (!reader.read_flag(info.delta_pic_order_always_zero_flag) ||
        !read_offset(reader, info.offset_for_non_ref_pic) ||
        !read_offset(reader, info.offset_for_top_to_bottom_field) ||
        !reader.read_ue_upto(kMaxRefFramesInPicOrderCntCycle, cycle)) {
      return false;
    }
    info.offset_for_ref_frame.assign(cycle, 0);
    for (std::int32_t& offset : info.offset_for_ref_frame) {
      if (!read_offset(reader, offset)) return false;
    }
  }
  return true;
}

// The crop step in pixels, across and down (H.264 7.4.2.1.1, CropUnitX and
// CropUnitY, from SubWidthC and SubHeightC of Table 6-1 and the field coding).
struct CropUnit {
  std::uint32_t x = 2;
  std::uint32_t y = 2;
};

CropUnit crop_unit(const SpsInfo& info) {
  CropUnit unit;
  // Monochrome and 4:4:4 (separate colour planes too) crop in single pixels.
  if (info.chroma_format_idc == 0 || info.chroma_format_idc == 3) unit = {1, 1};
  if (info.chroma_format_idc == 2) unit = {2, 1};
  if (!info.frame_mbs_only_flag) unit.y *= 2;
  return unit;
}

// The macroblock counts and the cropping: the coded size, and the visible
// rectangle when any offset is set. Each offset pair leaves at least one crop
// step of picture, as 7.4.2.1.1 requires.
bool read_picture_size(SpsInfo& info, BitstreamReader& reader) {
  std::uint32_t width_in_mbs_minus1 = 0;
  std::uint32_t height_in_map_units_minus1 = 0;
  bool cropping = false;
  if (!reader.read_ue_upto(kLargestFrameSideMbs - 1, width_in_mbs_minus1) ||
      !reader.read_ue_upto(kLargestFrameSideMbs - 1, height_in_map_units_minus1) ||
      !reader.read_flag(info.frame_mbs_only_flag)) {
    return false;
  }
  if (!info.frame_mbs_only_flag && !reader.read_flag(info.mb_adaptive_frame_field_flag)) {
    return false;
  }
  if (!reader.read_flag(info.direct_8x8_inference_flag) || !reader.read_flag(cropping)) {
    return false;
  }
  const std::uint32_t width_mbs = width_in_mbs_minus1 + 1;
  // Map units of a stream with fields are field macroblock rows.
  const std::uint32_t height_mbs =
      (height_in_map_units_minus1 + 1) * (info.frame_mbs_only_flag ? 1u : 2u);
  if (height_mbs > kLargestFrameSideMbs || width_mbs * height_mbs > kLargestFrameMbs) return false;
  info.pic_width_in_mbs = width_mbs;
  info.pic_height_in_map_units = height_in_map_units_minus1 + 1;
  info.width = width_mbs * 16;
  info.height = height_mbs * 16;
  info.crop = CropRect{};
  if (!cropping) return true;

  std::array<std::uint32_t, 4> offsets{};  // left, right, top, bottom
  for (std::uint32_t& offset : offsets) {
    if (!reader.read_ue_upto(kMaxCodedValue, offset)) return false;
  }
  const CropUnit unit = crop_unit(info);
  const auto leaves_picture = [](std::uint32_t a, std::uint32_t b, std::uint32_t step,
                                 std::uint32_t size) {
    return (std::uint64_t{a} + b + 1) * step <= size;
  };
  if (!leaves_picture(offsets[0], offsets[1], unit.x, info.width) ||
      !leaves_picture(offsets[2], offsets[3], unit.y, info.height)) {
    return false;
  }
  if (offsets == std::array<std::uint32_t, 4>{}) return true;
  // Right and bottom are the edges of the visible area.
  info.crop.left = static_cast<std::int32_t>(offsets[0] * unit.x);
  info.crop.right = static_cast<std::int32_t>(info.width - offsets[1] * unit.x);
  info.crop.top = static_cast<std::int32_t>(offsets[2] * unit.y);
  info.crop.bottom = static_cast<std::int32_t>(info.height - offsets[3] * unit.y);
  return true;
}

bool read_aspect_ratio(SpsInfo& info, BitstreamReader& reader) {
  std::uint32_t aspect_ratio_idc = 0;
  if (!reader.read_u(8, aspect_ratio_idc)) return false;
  if (aspect_ratio_idc >= 1 && aspect_ratio_idc <= kSarWidths.size()) {
    info.sar_width = kSarWidths[aspect_ratio_idc - 1];
    info.sar_height = kSarHeights[aspect_ratio_idc - 1];
  } else if (aspect_ratio_idc == kExtendedSar) {
    if (!reader.read_u(16, info.sar_width) || !reader.read_u(16, info.sar_height)) return false;
  }
  return true;
}

// Overscan, video signal type and chroma location: read only to be stepped over.
bool skip_display_fields(BitstreamReader& reader) {
  bool present = false;
  if (!reader.read_flag(present)) return false;  // overscan_info_present_flag
  if (present && !reader.skip(1)) return false;
  if (!reader.read_flag(present)) return false;  // video_signal_type_present_flag
  if (present) {
    bool colour_description = false;
    if (!reader.skip(3 + 1) || !reader.read_flag(colour_description)) return false;
    if (colour_description && !reader.skip(3 * 8)) return false;
  }
  if (!reader.read_flag(present)) return false;  // chroma_loc_info_present_flag
  std::uint32_t loc = 0;
  return !present || (reader.read_ue_upto(kMaxChromaSampleLocType, loc) &&
                      reader.read_ue_upto(kMaxChromaSampleLocType, loc));
}

// num_units_in_tick and time_scale must be above 0, but decoders take a zero as
// "no timing", and the summary does not depend on them: zeros are kept as read.
bool read_timing(SpsInfo& info, BitstreamReader& reader) {
  std::uint32_t time_scale = 0;
  bool fixed_frame_rate = false;
  if (!reader.read_u(32, info.num_units_in_tick) || !reader.read_u(32, time_scale) ||
      !reader.read_flag(fixed_frame_rate)) {
    return false;
  }
  info.time_scale = fixed_frame_rate ? static_cast<std::int32_t>(time_scale) : -1;
  return true;
}

bool read_bitstream_restriction(BitstreamReader& reader) {
  std::uint32_t value = 0;
  if (!reader.skip(1)) return false;  // motion_vectors_over_pic_boundaries_flag
  // max_bytes_per_pic_denom, max_bits_per_mb_denom, log2_max_mv_length_horizontal
  // and _vertical, then max_num_reorder_frames and max_dec_frame_buffering.
  for (int i = 0; i < 4; ++i) {
    if (!reader.read_ue_upto(kMaxRestrictionValue, value)) return false;
  }
  return reader.read_ue_upto(kMaxDpbFrames, value) && reader.read_ue_upto(kMaxDpbFrames, value);
}

// H.264 7.3.2.1.1.1, one list; the values are not kept.
bool skip_scaling_list(BitstreamReader& reader, int entries) {
  std::int32_t last = 8;
  std::int32_t next = 8;
  for (int i = 0; i < entries; ++i) {
    if (next != 0) {
      std::int32_t delta_scale = 0;
      if (!reader.read_se_within(-128, 127, delta_scale)) return false;
      next = (last + delta_scale + 256) % 256;
    }
    if (next != 0) last = next;
  }
  return true;
}

}  // namespace

bool skip_scaling_matrix(BitstreamReader& reader, int lists) {
  for (int list = 0; list < lists; ++list) {
    bool present = false;
    if (!reader.read_flag(present)) return false;
    if (present && !skip_scaling_list(reader, list < 6 ? 16 : 64)) return false;
  }
  return true;
}

bool parse_sps(SpsInfo& info, BitstreamReader& reader) {
  SpsInfo read;
  reader.reset();
  std::uint32_t profile_idc = 0;
  std::uint32_t constraint_flags = 0;
  std::uint32_t level_idc = 0;
  std::uint32_t log2_max_frame_num_minus4 = 0;
  bool gaps_allowed = false;
  bool vui_present = false;
  if (!reader.skip(8) || !reader.read_u(8, profile_idc) || !reader.read_u(8, constraint_flags) ||
      !reader.read_u(8, level_idc) ||
      !reader.read_ue_upto(kMaxSeqParameterSetId, read.seq_parameter_set_id)) {
    return false;
  }
  read.profile_idc = static_cast<std::uint8_t>(profile_idc);
  read.constraint_flags = static_cast<std::uint8_t>(constraint_flags);
  read.level_idc = static_cast<std::uint8_t>(level_idc);
  if (has_chroma_fields(read.profile_idc) && !read_chroma_fields(read, reader)) return false;
  if (!reader.read_ue_upto(kMaxLog2Minus4, log2_max_frame_num_minus4) ||
      !read_pic_order_cnt_fields(read, reader) ||
      !reader.read_ue_upto(kMaxDpbFrames, read.max_num_ref_frames) ||
      !reader.read_flag(gaps_allowed) || !read_picture_size(read, reader) ||
      !reader.read_flag(vui_present)) {
    return false;
  }
  read.log2_max_frame_num = log2_max_frame_num_minus4 + 4;
  if (vui_present && !parse_vui(read, reader)) return false;
  if (vui_present && !read.pic_struct_present_flag &&
      (read.frame_mbs_only_flag || read.pic_order_cnt_type != 2)) {
    read.tick_divisor = 1;
  }
  info = std::move(read);
  return true;
}

bool parse_vui(SpsInfo& info, BitstreamReader& reader) {
  bool present = false;
  if (!reader.read_flag(present)) return false;  // aspect_ratio_info_present_flag
  if (present && !read_aspect_ratio(info, reader)) return false;
  if (!skip_display_fields(reader) || !reader.read_flag(present)) return false;
  if (present && !read_timing(info, reader)) return false;  // timing_info_present_flag
  if (!reader.read_flag(info.nal_hrd_parameters_present_flag)) return false;
  if (info.nal_hrd_parameters_present_flag && !parse_hrd(info, reader)) return false;
  if (!reader.read_flag(info.vcl_hrd_parameters_present_flag)) return false;
  if (info.vcl_hrd_parameters_present_flag && !parse_hrd(info, reader)) return false;
  if (info.nal_hrd_parameters_present_flag || info.vcl_hrd_parameters_present_flag) {
    if (!reader.skip(1)) return false;  // low_delay_hrd_flag
  }
  if (!reader.read_flag(info.pic_struct_present_flag)) return false;
  info.vui_complete = true;
  if (!reader.read_flag(present)) return false;  // bitstream_restriction_flag
  return !present || read_bitstream_restriction(reader);
}

bool parse_hrd(SpsInfo& info, BitstreamReader& reader) {
  std::uint32_t cpb_cnt_minus1 = 0;
  if (!reader.read_ue_upto(kMaxCpbCntMinus1, cpb_cnt_minus1)) return false;
  if (!reader.skip(4 + 4)) return false;  // bit_rate_scale, cpb_size_scale
  for (std::uint32_t i = 0; i <= cpb_cnt_minus1; ++i) {
    std::uint32_t value = 0;
    if (!reader.read_ue_upto(kMaxCodedValue, value) ||  // bit_rate_value_minus1
        !reader.read_ue_upto(kMaxCodedValue, value) ||  // cpb_size_value_minus1
        !reader.skip(1)) {                              // cbr_flag
      return false;
    }
  }
  return reader.skip(5) &&  // initial_cpb_removal_delay_length_minus1
         reader.read_u(5, info.cpb_removal_delay_length_minus1) &&
         reader.read_u(5, info.dpb_output_delay_length_minus1) &&
         reader.skip(5);  // time_offset_length
}

}  // namespace vidsalvage
