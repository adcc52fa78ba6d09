#include "codec/sps_parser.h"

#include <algorithm>
#include <array>

namespace vidsalvage {
namespace {

// H.264 7.4.2.1.1 and E.2.1: the largest counts a valid stream has. A damaged
// SPS could otherwise drive billions of iterations over the zero bits past its end.
constexpr std::uint32_t kMaxRefFramesInPicOrderCntCycle = 255;
constexpr std::uint32_t kMaxCpbCntMinus1 = 31;

constexpr std::uint32_t kExtendedSar = 255;

// H.264 Table E-1: the sample aspect ratio of aspect_ratio_idc 1 to 16.
constexpr std::array<std::uint32_t, 16> kSarWidths = {1,  12, 10, 16, 40,  24, 20, 32,
                                                      80, 18, 15, 64, 160, 4,  3,  2};
constexpr std::array<std::uint32_t, 16> kSarHeights = {1,  11, 11, 11, 33, 11, 11, 11,
                                                       33, 11, 11, 33, 99, 3,  2,  1};

// The profiles whose SPS carries chroma format, bit depths and scaling matrices.
constexpr std::array<std::uint8_t, 9> kProfilesWithChromaFields = {100, 110, 122, 244, 44,
                                                                   83,  86,  118, 128};
bool has_chroma_fields(std::uint8_t profile_idc) {
  return std::find(kProfilesWithChromaFields.begin(), kProfilesWithChromaFields.end(),
                   profile_idc) != kProfilesWithChromaFields.end();
}

// H.264 7.3.2.1.1.1; the values are not kept.
void skip_scaling_list(BitstreamReader& reader, int entries) {
  std::uint32_t last = 8;
  std::uint32_t next = 8;
  for (int i = 0; i < entries; ++i) {
    if (next != 0) next = (last + static_cast<std::uint32_t>(reader.read_se())) & 0xFFu;
    if (next != 0) last = next;
  }
}

// The crop step in pixels, across and down (H.264 7.4.2.1.1, CropUnitX and
// CropUnitY of a frame, from SubWidthC and SubHeightC of Table 6-1).
struct CropUnit {
  std::uint32_t x = 2;
  std::uint32_t y = 2;
};

// Steps over the chroma format, bit depths and scaling matrices. Returns the crop
// step of the chroma format: 4:2:0 unless the SPS says otherwise.
CropUnit skip_chroma_fields(BitstreamReader& reader) {
  const std::uint32_t chroma_format_idc = reader.read_ue();
  if (chroma_format_idc == 3) reader.skip_bits(1);  // separate_colour_plane_flag
  reader.read_ue();                                 // bit_depth_luma_minus8
  reader.read_ue();                                 // bit_depth_chroma_minus8
  reader.skip_bits(1);                              // qpprime_y_zero_transform_bypass_flag
  if (reader.read_bit() != 0) {                     // seq_scaling_matrix_present_flag
    const int slots = chroma_format_idc == 3 ? 12 : 8;
    for (int slot = 0; slot < slots; ++slot) {
      if (reader.read_bit() != 0) skip_scaling_list(reader, slot < 6 ? 16 : 64);
    }
  }
  // Monochrome and 4:4:4 (separate colour planes too) crop in single pixels; a
  // value out of range is left at 4:2:0.
  if (chroma_format_idc == 0 || chroma_format_idc == 3) return {1, 1};
  if (chroma_format_idc == 2) return {2, 1};
  return {};
}

// False for a pic_order_cnt_type above 2.
bool skip_pic_order_cnt(BitstreamReader& reader, std::uint32_t pic_order_cnt_type) {
  switch (pic_order_cnt_type) {
    case 0:
      reader.read_ue();  // log2_max_pic_order_cnt_lsb_minus4
      return true;
    case 1: {
      reader.skip_bits(1);  // delta_pic_order_always_zero_flag
      // The offsets are se(v); read_ue steps over the same bits.
      reader.read_ue();  // offset_for_non_ref_pic
      reader.read_ue();  // offset_for_top_to_bottom_field
      std::uint32_t cycle = reader.read_ue();
      if (cycle > kMaxRefFramesInPicOrderCntCycle) cycle = kMaxRefFramesInPicOrderCntCycle;
      for (std::uint32_t i = 0; i < cycle; ++i) reader.read_ue();  // offset_for_ref_frame
      return true;
    }
    case 2:
      return true;
    default:
      return false;
  }
}

// The products wrap as the unsigned fields would.
std::int32_t scaled(std::uint32_t value, std::uint32_t factor) {
  return static_cast<std::int32_t>(value * factor);
}

}  // namespace

bool parse_sps(SpsInfo& info, BitstreamReader& reader) {
  info.vui_complete = false;
  reader.reset();
  reader.skip_bits(8);  // NAL header
  info.profile_idc = static_cast<std::uint8_t>(reader.read_bits(8));
  info.constraint_flags = static_cast<std::uint8_t>(reader.read_bits(8));
  info.level_idc = static_cast<std::uint8_t>(reader.read_bits(8));
  reader.read_ue();  // seq_parameter_set_id
  CropUnit crop_unit;
  if (has_chroma_fields(info.profile_idc)) crop_unit = skip_chroma_fields(reader);
  info.log2_max_frame_num = reader.read_ue() + 4;
  const std::uint32_t pic_order_cnt_type = reader.read_ue();
  if (!skip_pic_order_cnt(reader, pic_order_cnt_type)) return false;
  reader.read_ue();     // max_num_ref_frames
  reader.skip_bits(1);  // gaps_in_frame_num_value_allowed_flag
  const std::uint32_t width_in_mbs_minus1 = reader.read_ue();
  const std::uint32_t height_in_map_units_minus1 = reader.read_ue();
  info.frame_mbs_only_flag = reader.read_bit() != 0;
  if (!info.frame_mbs_only_flag) reader.skip_bits(1);  // mb_adaptive_frame_field_flag
  reader.skip_bits(1);                                 // direct_8x8_inference_flag

  info.crop = CropRect{};
  if (reader.read_bit() != 0) {  // frame_cropping_flag
    info.crop.left = scaled(reader.read_ue(), crop_unit.x);
    info.crop.right = scaled(reader.read_ue(), crop_unit.x);
    info.crop.top = scaled(reader.read_ue(), crop_unit.y);
    info.crop.bottom = scaled(reader.read_ue(), crop_unit.y);
  }
  if (reader.at_end()) return false;

  info.width = (width_in_mbs_minus1 + 1) * 16;
  info.height = (height_in_map_units_minus1 + 1) * 16;
  if (!info.frame_mbs_only_flag) {
    // Map units are field macroblock rows: the frame has twice as many lines.
    info.height *= 2;
    info.crop.top = scaled(static_cast<std::uint32_t>(info.crop.top), 2);
    info.crop.bottom = scaled(static_cast<std::uint32_t>(info.crop.bottom), 2);
  }
  CropRect& crop = info.crop;
  if (crop.left != 0 || crop.top != 0 || crop.right != 0 || crop.bottom != 0) {
    // Right and bottom become the edges of the visible area.
    crop.right = static_cast<std::int32_t>(info.width - static_cast<std::uint32_t>(crop.right));
    crop.bottom = static_cast<std::int32_t>(info.height - static_cast<std::uint32_t>(crop.bottom));
  }

  info.tick_divisor = 2;
  if (reader.read_bit() != 0 && parse_vui(info, reader) && !info.pic_struct_present_flag) {
    if (info.frame_mbs_only_flag || pic_order_cnt_type != 2) info.tick_divisor = 1;
  }
  return true;
}

bool parse_vui(SpsInfo& info, BitstreamReader& reader) {
  if (reader.read_bit() != 0) {  // aspect_ratio_info_present_flag
    const std::uint32_t aspect_ratio_idc = reader.read_bits(8);
    if (reader.at_end()) return false;
    if (aspect_ratio_idc >= 1 && aspect_ratio_idc <= kSarWidths.size()) {
      info.sar_width = kSarWidths[aspect_ratio_idc - 1];
      info.sar_height = kSarHeights[aspect_ratio_idc - 1];
    } else if (aspect_ratio_idc == kExtendedSar) {
      info.sar_width = reader.read_bits(16);
      info.sar_height = reader.read_bits(16);
      if (reader.at_end()) return false;
    }
  }
  if (reader.read_bit() != 0) reader.skip_bits(1);        // overscan_appropriate_flag
  if (reader.read_bit() != 0) {                           // video_signal_type_present_flag
    reader.skip_bits(3 + 1);                              // video_format, video_full_range_flag
    if (reader.read_bit() != 0) reader.skip_bits(3 * 8);  // colour description
  }
  if (reader.read_bit() != 0) {  // chroma_loc_info_present_flag
    reader.read_ue();
    reader.read_ue();
  }
  if (reader.read_bit() != 0) {  // timing_info_present_flag
    const std::uint32_t num_units_in_tick = reader.read_bits(32);
    const std::uint32_t time_scale = reader.read_bits(32);
    const bool fixed_frame_rate = reader.read_bit() != 0;
    if (reader.at_end()) return false;
    info.num_units_in_tick = num_units_in_tick;
    info.time_scale = fixed_frame_rate ? static_cast<std::int32_t>(time_scale) : -1;
  }
  info.nal_hrd_parameters_present_flag = reader.read_bit() != 0;
  if (info.nal_hrd_parameters_present_flag) parse_hrd(info, reader);
  info.vcl_hrd_parameters_present_flag = reader.read_bit() != 0;
  if (info.vcl_hrd_parameters_present_flag) parse_hrd(info, reader);
  if (info.nal_hrd_parameters_present_flag || info.vcl_hrd_parameters_present_flag) {
    reader.skip_bits(1);  // low_delay_hrd_flag
  }
  info.pic_struct_present_flag = reader.read_bit() != 0;
  if (reader.at_end()) return false;
  info.vui_complete = true;

  if (reader.read_bit() != 0) {  // bitstream_restriction_flag
    reader.skip_bits(1);         // motion_vectors_over_pic_boundaries_flag
    for (int i = 0; i < 6; ++i) reader.read_ue();
  }
  return true;
}

void parse_hrd(SpsInfo& info, BitstreamReader& reader) {
  const std::uint32_t cpb_cnt_minus1 = reader.read_ue();
  reader.skip_bits(4 + 4);  // bit_rate_scale, cpb_size_scale
  // A count that is negative as a signed value reads no entries.
  if (static_cast<std::int32_t>(cpb_cnt_minus1) >= 0) {
    const std::uint32_t entries =
        (cpb_cnt_minus1 > kMaxCpbCntMinus1 ? kMaxCpbCntMinus1 : cpb_cnt_minus1) + 1;
    for (std::uint32_t i = 0; i < entries; ++i) {
      reader.read_ue();     // bit_rate_value_minus1
      reader.read_ue();     // cpb_size_value_minus1
      reader.skip_bits(1);  // cbr_flag
    }
  }
  reader.skip_bits(5);  // initial_cpb_removal_delay_length_minus1
  info.cpb_removal_delay_length_minus1 = reader.read_bits(5);
  info.dpb_output_delay_length_minus1 = reader.read_bits(5);
  reader.skip_bits(5);  // time_offset_length
}

}  // namespace vidsalvage
