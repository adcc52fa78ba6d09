#pragma once
// HEVC NAL unit headers and the HEVC decoder configuration record (hvcC), and the
// Annex B prologue a raw stream opens with.

#include <cstdint>
#include <span>
#include <vector>

namespace vidsalvage {

// H.265 7.3.1.2: two bytes.
struct HevcNalHeader {
  std::uint8_t nal_unit_type = 0;  // six bits
  std::uint8_t nuh_layer_id = 0;   // six bits
  std::uint8_t nuh_temporal_id_plus1 = 1;
};

// H.265 Table 7-1: the types the recovery and the picture order tell apart.
inline constexpr std::uint8_t kHevcRaslN = 8;
inline constexpr std::uint8_t kHevcRaslR = 9;
inline constexpr std::uint8_t kHevcBlaWLp = 16;
inline constexpr std::uint8_t kHevcIdrWRadl = 19;
inline constexpr std::uint8_t kHevcIdrNLp = 20;
inline constexpr std::uint8_t kHevcCraNut = 21;
inline constexpr std::uint8_t kHevcLastIrap = 23;  // reserved IRAP types end here
inline constexpr std::uint8_t kHevcLastVcl = 31;
inline constexpr std::uint8_t kHevcVps = 32;
inline constexpr std::uint8_t kHevcSps = 33;
inline constexpr std::uint8_t kHevcPps = 34;
inline constexpr std::uint8_t kHevcDelimiter = 35;
inline constexpr std::uint8_t kHevcEndOfSequence = 36;
inline constexpr std::uint8_t kHevcEndOfBitstream = 37;
inline constexpr std::uint8_t kHevcPrefixSei = 39;

// False when `unit` holds fewer than two bytes, forbidden_zero_bit is set or
// nuh_temporal_id_plus1 is 0.
[[nodiscard]] bool read_hevc_nal_header(std::span<const std::uint8_t> unit, HevcNalHeader& header);

// One array of the record: units of one type, each a view into the record.
struct HevcParameterArray {
  bool array_completeness = false;
  std::uint8_t nal_unit_type = 0;
  std::vector<std::span<const std::uint8_t>> units;
};

// The record's fields (ISO/IEC 14496-15, 8.3.3.1); its views live as long as the
// record's bytes.
struct HevcConfig {
  std::uint8_t configuration_version = 0;
  std::uint8_t general_profile_space = 0;
  bool general_tier_flag = false;
  std::uint8_t general_profile_idc = 0;
  std::uint8_t general_level_idc = 0;
  std::uint8_t chroma_format_idc = 0;
  std::uint8_t bit_depth_luma = 8;
  std::uint8_t bit_depth_chroma = 8;
  std::uint8_t nal_length_size = 4;  // 1, 2 or 4
  std::vector<HevcParameterArray> arrays;
};

// Reads an hvcC body. False, with `config` unchanged, when the record ends inside
// its header or an array, a unit is too short for its NAL header, or the NAL length
// size is 3.
[[nodiscard]] bool parse_hevc_config(std::span<const std::uint8_t> record, HevcConfig& config);

// The VPS, SPS and PPS units of the record, in that order, each behind 00 00 00 01:
// what a raw HEVC stream opens with.
std::vector<std::uint8_t> hevc_annex_b_prologue(const HevcConfig& config);

}  // namespace vidsalvage
