#pragma once
// The fields of HEVC sequence and picture parameter sets that the video summary
// and the picture order of slices rest on, and the sets of a stream by id.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "codec/bit_reader.h"
#include "codec/hevc_config.h"

namespace vidsalvage {

// An SPS read up to its coding block sizes.
struct HevcSps {
  std::uint32_t sps_video_parameter_set_id = 0;
  std::uint32_t sps_max_sub_layers_minus1 = 0;
  std::uint32_t general_profile_space = 0;
  bool general_tier_flag = false;
  std::uint32_t general_profile_idc = 0;
  std::uint32_t general_level_idc = 0;  // 30 times the level number
  std::uint32_t sps_seq_parameter_set_id = 0;
  std::uint32_t chroma_format_idc = 1;
  bool separate_colour_plane_flag = false;
  std::uint32_t pic_width_in_luma_samples = 0;
  std::uint32_t pic_height_in_luma_samples = 0;
  // The conformance window in luma samples: the visible picture is the coded one
  // less these.
  std::uint32_t crop_left = 0;
  std::uint32_t crop_right = 0;
  std::uint32_t crop_top = 0;
  std::uint32_t crop_bottom = 0;
  std::uint32_t bit_depth_luma = 8;
  std::uint32_t bit_depth_chroma = 8;
  std::uint32_t log2_max_pic_order_cnt_lsb = 4;
  std::uint32_t ctb_log2_size = 4;  // CtbLog2SizeY

  std::uint32_t width() const { return pic_width_in_luma_samples - crop_left - crop_right; }
  std::uint32_t height() const { return pic_height_in_luma_samples - crop_top - crop_bottom; }
};

// A PPS read up to what a slice segment header needs before its picture order.
struct HevcPps {
  std::uint32_t pps_pic_parameter_set_id = 0;
  std::uint32_t pps_seq_parameter_set_id = 0;
  bool dependent_slice_segments_enabled_flag = false;
  bool output_flag_present_flag = false;
  std::uint32_t num_extra_slice_header_bits = 0;
};

// Read an SPS or PPS NAL unit, its two header bytes included. False, with the
// output unchanged, when a field lies outside its H.265 range or the data ends
// before the last field read.
[[nodiscard]] bool parse_hevc_sps(std::span<const std::uint8_t> unit, HevcSps& sps);
[[nodiscard]] bool parse_hevc_pps(std::span<const std::uint8_t> unit, HevcPps& pps);

// The parameter sets known so far, by id.
struct HevcParameterSets {
  std::array<std::optional<HevcSps>, 16> sps;
  std::array<std::optional<HevcPps>, 64> pps;
};

// Takes a base-layer SPS or PPS unit into `sets`, replacing one of the same id.
// False when it is one of them and does not parse; other units are left alone.
[[nodiscard]] bool add_hevc_parameter_set(HevcParameterSets& sets,
                                          std::span<const std::uint8_t> unit);
// Every SPS and PPS of a configuration record; false as add_hevc_parameter_set.
[[nodiscard]] bool read_hevc_config_parameter_sets(const HevcConfig& config,
                                                   HevcParameterSets& sets);

}  // namespace vidsalvage
