#include "codec/hevc_parameter_sets.h"

namespace vidsalvage {
namespace {

// H.265 7.4.3.2.1 and 7.4.3.3.1: the ranges of the fields read.
constexpr std::uint32_t kMaxSubLayersMinus1 = 6;
constexpr std::uint32_t kMaxSpsId = 15;
constexpr std::uint32_t kMaxPpsId = 63;
constexpr std::uint32_t kMaxChromaFormatIdc = 3;
constexpr std::uint32_t kMaxBitDepthMinus8 = 8;
constexpr std::uint32_t kMaxLog2PocLsbMinus4 = 12;
constexpr std::uint32_t kMaxDpbSizeMinus1 = 15;
constexpr std::uint32_t kMaxCodedValue = 0xFFFFFFFE;
constexpr std::uint32_t kMinCtbLog2Size = 4;
constexpr std::uint32_t kMaxCtbLog2Size = 6;
// Annex A, level 6.2: no side longer than the square root of eight times its
// largest picture of 35,651,584 luma samples.
constexpr std::uint32_t kLargestSideSamples = 16888;

// profile_tier_level(1, sps_max_sub_layers_minus1), H.265 7.3.3.
bool read_profile_tier_level(BitstreamReader& r, HevcSps& sps) {
  std::uint32_t tier = 0;
  if (!r.read_u(2, sps.general_profile_space) || !r.read_u(1, tier) ||
      !r.read_u(5, sps.general_profile_idc) ||
      !r.skip(32) ||       // general_profile_compatibility_flag[32]
      !r.skip(4 + 43 + 1)  // source and constraint flags
      || !r.read_u(8, sps.general_level_idc)) {
    return false;
  }
  sps.general_tier_flag = tier != 0;
  const std::uint32_t sub_layers = sps.sps_max_sub_layers_minus1;
  std::array<bool, 8> profile_present{};
  std::array<bool, 8> level_present{};
  for (std::uint32_t i = 0; i < sub_layers; ++i) {
    if (!r.read_flag(profile_present[i]) || !r.read_flag(level_present[i])) return false;
  }
  if (sub_layers > 0 && !r.skip(2 * (8 - sub_layers))) return false;  // reserved_zero_2bits
  for (std::uint32_t i = 0; i < sub_layers; ++i) {
    if (profile_present[i] && !r.skip(88)) return false;
    if (level_present[i] && !r.skip(8)) return false;
  }
  return true;
}

// The chroma format, the picture size and its conformance window.
bool read_picture_format(BitstreamReader& r, HevcSps& sps) {
  bool window = false;
  if (!r.read_ue_upto(kMaxChromaFormatIdc, sps.chroma_format_idc)) return false;
  if (sps.chroma_format_idc == 3 && !r.read_flag(sps.separate_colour_plane_flag)) return false;
  if (!r.read_ue_upto(kLargestSideSamples, sps.pic_width_in_luma_samples) ||
      !r.read_ue_upto(kLargestSideSamples, sps.pic_height_in_luma_samples) ||
      sps.pic_width_in_luma_samples == 0 || sps.pic_height_in_luma_samples == 0 ||
      !r.read_flag(window)) {
    return false;
  }
  if (!window) return true;
  std::array<std::uint32_t, 4> offsets{};  // left, right, top, bottom
  for (std::uint32_t& offset : offsets) {
    if (!r.read_ue_upto(kLargestSideSamples, offset)) return false;
  }
  // Table 6-1: SubWidthC and SubHeightC; a single plane counts in luma samples.
  const bool chroma = sps.chroma_format_idc != 0 && !sps.separate_colour_plane_flag;
  const std::uint32_t unit_x = chroma && sps.chroma_format_idc != 3 ? 2 : 1;
  const std::uint32_t unit_y = chroma && sps.chroma_format_idc == 1 ? 2 : 1;
  sps.crop_left = offsets[0] * unit_x;
  sps.crop_right = offsets[1] * unit_x;
  sps.crop_top = offsets[2] * unit_y;
  sps.crop_bottom = offsets[3] * unit_y;
  // 7.4.3.2.1: the window leaves at least one sample each way.
  return sps.crop_left + sps.crop_right < sps.pic_width_in_luma_samples &&
         sps.crop_top + sps.crop_bottom < sps.pic_height_in_luma_samples;
}

bool read_sub_layer_ordering(BitstreamReader& r, const HevcSps& sps) {
  bool all_sub_layers = false;
  if (!r.read_flag(all_sub_layers)) return false;
  for (std::uint32_t i = all_sub_layers ? 0 : sps.sps_max_sub_layers_minus1;
       i <= sps.sps_max_sub_layers_minus1; ++i) {
    std::uint32_t buffering_minus1 = 0;
    std::uint32_t value = 0;
    if (!r.read_ue_upto(kMaxDpbSizeMinus1, buffering_minus1) ||
        !r.read_ue_upto(buffering_minus1, value) ||  // sps_max_num_reorder_pics
        !r.read_ue_upto(kMaxCodedValue, value)) {    // sps_max_latency_increase_plus1
      return false;
    }
  }
  return true;
}

// The coding block sizes; the picture must hold a whole number of the smallest.
bool read_block_sizes(BitstreamReader& r, HevcSps& sps) {
  std::uint32_t min_cb_minus3 = 0;
  std::uint32_t diff = 0;
  if (!r.read_ue_upto(kMaxCtbLog2Size - 3, min_cb_minus3) ||
      !r.read_ue_upto(kMaxCtbLog2Size - 3, diff)) {
    return false;
  }
  sps.ctb_log2_size = min_cb_minus3 + 3 + diff;
  const std::uint32_t min_cb_size = 1u << (min_cb_minus3 + 3);
  return sps.ctb_log2_size >= kMinCtbLog2Size && sps.ctb_log2_size <= kMaxCtbLog2Size &&
         sps.pic_width_in_luma_samples % min_cb_size == 0 &&
         sps.pic_height_in_luma_samples % min_cb_size == 0;
}

}  // namespace

bool parse_hevc_sps(std::span<const std::uint8_t> unit, HevcSps& sps) {
  HevcNalHeader header;
  if (!read_hevc_nal_header(unit, header) || header.nal_unit_type != kHevcSps) return false;
  NALUnit r(unit.data() + 2, static_cast<std::uint32_t>(unit.size() - 2));
  HevcSps read;
  std::uint32_t bit_depth_luma_minus8 = 0;
  std::uint32_t bit_depth_chroma_minus8 = 0;
  std::uint32_t log2_poc_lsb_minus4 = 0;
  if (!r.read_u(4, read.sps_video_parameter_set_id) ||
      !r.read_u(3, read.sps_max_sub_layers_minus1) ||
      read.sps_max_sub_layers_minus1 > kMaxSubLayersMinus1 ||
      !r.skip(1) ||  // sps_temporal_id_nesting_flag
      !read_profile_tier_level(r, read) ||
      !r.read_ue_upto(kMaxSpsId, read.sps_seq_parameter_set_id) || !read_picture_format(r, read) ||
      !r.read_ue_upto(kMaxBitDepthMinus8, bit_depth_luma_minus8) ||
      !r.read_ue_upto(kMaxBitDepthMinus8, bit_depth_chroma_minus8) ||
      !r.read_ue_upto(kMaxLog2PocLsbMinus4, log2_poc_lsb_minus4) ||
      !read_sub_layer_ordering(r, read) || !read_block_sizes(r, read)) {
    return false;
  }
  read.bit_depth_luma = bit_depth_luma_minus8 + 8;
  read.bit_depth_chroma = bit_depth_chroma_minus8 + 8;
  read.log2_max_pic_order_cnt_lsb = log2_poc_lsb_minus4 + 4;
  sps = read;
  return true;
}

bool parse_hevc_pps(std::span<const std::uint8_t> unit, HevcPps& pps) {
  HevcNalHeader header;
  if (!read_hevc_nal_header(unit, header) || header.nal_unit_type != kHevcPps) return false;
  NALUnit r(unit.data() + 2, static_cast<std::uint32_t>(unit.size() - 2));
  HevcPps read;
  if (!r.read_ue_upto(kMaxPpsId, read.pps_pic_parameter_set_id) ||
      !r.read_ue_upto(kMaxSpsId, read.pps_seq_parameter_set_id) ||
      !r.read_flag(read.dependent_slice_segments_enabled_flag) ||
      !r.read_flag(read.output_flag_present_flag) ||
      !r.read_u(3, read.num_extra_slice_header_bits)) {
    return false;
  }
  pps = read;
  return true;
}

bool add_hevc_parameter_set(HevcParameterSets& sets, std::span<const std::uint8_t> unit) {
  HevcNalHeader header;
  // Sets of other layers have a syntax of their own; the base layer is what we keep.
  if (!read_hevc_nal_header(unit, header) || header.nuh_layer_id != 0) return true;
  if (header.nal_unit_type == kHevcSps) {
    HevcSps sps;
    if (!parse_hevc_sps(unit, sps)) return false;
    sets.sps[sps.sps_seq_parameter_set_id] = sps;
  } else if (header.nal_unit_type == kHevcPps) {
    HevcPps pps;
    if (!parse_hevc_pps(unit, pps)) return false;
    sets.pps[pps.pps_pic_parameter_set_id] = pps;
  }
  return true;
}

bool read_hevc_config_parameter_sets(const HevcConfig& config, HevcParameterSets& sets) {
  for (const HevcParameterArray& array : config.arrays) {
    for (const std::span<const std::uint8_t> unit : array.units) {
      if (!add_hevc_parameter_set(sets, unit)) return false;
    }
  }
  return true;
}

}  // namespace vidsalvage
