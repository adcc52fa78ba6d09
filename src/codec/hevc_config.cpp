#include "codec/hevc_config.h"

#include <array>

#include "io/byte_reader.h"

namespace vidsalvage {
namespace {

constexpr std::size_t kFixedFieldBytes = 22;  // up to numOfArrays
constexpr std::size_t kNalHeaderBytes = 2;
constexpr std::array<std::uint8_t, 4> kStartCode = {0x00, 0x00, 0x00, 0x01};

bool read_array(ByteReader& r, HevcParameterArray& array) {
  std::uint8_t head = 0;
  std::uint16_t count = 0;
  if (!r.read_u8(head) || !r.read_u16(count)) return false;
  array.array_completeness = (head & 0x80) != 0;
  array.nal_unit_type = head & 0x3F;
  // Each unit takes at least its length field and a NAL header.
  if (count > r.remaining() / (2 + kNalHeaderBytes)) return false;
  array.units.reserve(count);
  for (std::uint16_t i = 0; i < count; ++i) {
    std::uint16_t length = 0;
    std::span<const std::uint8_t> unit;
    if (!r.read_u16(length) || length < kNalHeaderBytes || !r.read_bytes(length, unit)) {
      return false;
    }
    array.units.push_back(unit);
  }
  return true;
}

}  // namespace

bool read_hevc_nal_header(std::span<const std::uint8_t> unit, HevcNalHeader& header) {
  if (unit.size() < kNalHeaderBytes) return false;
  if ((unit[0] & 0x80) != 0 || (unit[1] & 0x07) == 0) return false;
  header.nal_unit_type = static_cast<std::uint8_t>((unit[0] >> 1) & 0x3F);
  header.nuh_layer_id = static_cast<std::uint8_t>(((unit[0] & 1) << 5) | (unit[1] >> 3));
  header.nuh_temporal_id_plus1 = static_cast<std::uint8_t>(unit[1] & 0x07);
  return true;
}

bool parse_hevc_config(std::span<const std::uint8_t> record, HevcConfig& config) {
  if (record.size() < kFixedFieldBytes + 1) return false;
  HevcConfig read;
  read.configuration_version = record[0];
  read.general_profile_space = static_cast<std::uint8_t>(record[1] >> 6);
  read.general_tier_flag = (record[1] & 0x20) != 0;
  read.general_profile_idc = static_cast<std::uint8_t>(record[1] & 0x1F);
  read.general_level_idc = record[12];
  read.chroma_format_idc = static_cast<std::uint8_t>(record[16] & 0x03);
  read.bit_depth_luma = static_cast<std::uint8_t>((record[17] & 0x07) + 8);
  read.bit_depth_chroma = static_cast<std::uint8_t>((record[18] & 0x07) + 8);
  read.nal_length_size = static_cast<std::uint8_t>((record[21] & 0x03) + 1);
  if (read.nal_length_size == 3) return false;
  ByteReader r(record.subspan(kFixedFieldBytes));
  std::uint8_t array_count = 0;
  if (!r.read_u8(array_count)) return false;
  read.arrays.resize(array_count);
  for (HevcParameterArray& array : read.arrays) {
    if (!read_array(r, array)) return false;
  }
  config = std::move(read);
  return true;
}

std::vector<std::uint8_t> hevc_annex_b_prologue(const HevcConfig& config) {
  std::vector<std::uint8_t> out;
  for (const std::uint8_t type : {kHevcVps, kHevcSps, kHevcPps}) {
    for (const HevcParameterArray& array : config.arrays) {
      if (array.nal_unit_type != type) continue;
      for (const std::span<const std::uint8_t> unit : array.units) {
        out.insert(out.end(), kStartCode.begin(), kStartCode.end());
        out.insert(out.end(), unit.begin(), unit.end());
      }
    }
  }
  return out;
}

}  // namespace vidsalvage
