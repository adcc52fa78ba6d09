#pragma once
// Writing H.264 parameter sets: the SPS and PPS a damaged recording lost, made
// again from the fields inferred for them, and the AVC decoder configuration
// record that carries them.

#include <cstdint>
#include <vector>

#include "codec/pps_parser.h"
#include "codec/sps_parser.h"

namespace vidsalvage {

// Bits written most significant first, the Exp-Golomb codes of H.264 9.1.
class RbspWriter {
 public:
  void bits(std::uint32_t value, int count);
  void flag(bool value) { bits(value ? 1 : 0, 1); }
  void ue(std::uint32_t value);
  void se(std::int32_t value);
  // The NAL unit: `header`, the bits, the rbsp stop bit and zero padding, with an
  // emulation-prevention byte in front of every 00 to 03 that follows two zeros.
  std::vector<std::uint8_t> finish(std::uint8_t header);

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint32_t current_ = 0;
  int used_ = 0;  // bits of current_ filled, 0 to 7
};

// An SPS NAL unit (header byte 0x67) holding the fields parse_sps reads: no VUI,
// no scaling matrix; the size from pic_width_in_mbs and pic_height_in_map_units,
// the cropping from `crop`. pic_order_cnt_type 1 is written with its cycle.
std::vector<std::uint8_t> write_sps(const SpsInfo& sps);

// A PPS NAL unit (header byte 0x68) with one slice group and no scaling matrix;
// the fields after redundant_pic_cnt_present_flag only when they differ from
// their defaults.
std::vector<std::uint8_t> write_pps(const PpsInfo& pps);

// The avcC body for one SPS and one PPS, with profile, compatibility and level
// from the SPS and `nal_length_size` (1, 2 or 4). ISO/IEC 14496-15 5.3.3.1: the
// chroma and bit depth fields follow for the High profiles.
std::vector<std::uint8_t> make_avc_config(const std::vector<std::uint8_t>& sps_unit,
                                          const std::vector<std::uint8_t>& pps_unit,
                                          const SpsInfo& sps, std::uint32_t nal_length_size);

}  // namespace vidsalvage
