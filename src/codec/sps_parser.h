#pragma once
// The fields of one H.264 sequence parameter set that the video summary and the
// timing of the stream rest on.

#include <cstdint>

#include "codec/bit_reader.h"

namespace vidsalvage {

// The visible area in pixels, right and bottom exclusive; all zero without cropping.
struct CropRect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;
};

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
};

// Reads an SPS NAL unit, header byte included, from its first bit (the reader is
// reset). False when pic_order_cnt_type is above 2 or the data ends before the
// VUI flag; the fields read so far then keep their values.
[[nodiscard]] bool parse_sps(SpsInfo& info, BitstreamReader& reader);
// The VUI; false when the data ends at one of its three checkpoints.
[[nodiscard]] bool parse_vui(SpsInfo& info, BitstreamReader& reader);
// One set of HRD parameters; keeps the delay lengths of the last set read.
void parse_hrd(SpsInfo& info, BitstreamReader& reader);

}  // namespace vidsalvage
