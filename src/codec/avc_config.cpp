#include "codec/avc_config.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <span>

#include "codec/bit_reader.h"
#include "codec/header_file.h"
#include "codec/sps_parser.h"
#include "io/byte_reader.h"

namespace vidsalvage {
namespace {

constexpr const char* kAvcConfigName = "avcc.hdr";
constexpr std::array<std::uint8_t, 4> kStartCode = {0x00, 0x00, 0x00, 0x01};
constexpr std::size_t kRecordHeaderBytes = 6;
constexpr std::uint8_t kNalTypeSps = 7;

// The three messages of one list of parameter sets.
struct ParameterSetMessages {
  const char* missing_length;  // %u: index
  const char* length;          // %u: index, %u: length
  const char* overrun;         // %u: index, %u: length
};
constexpr ParameterSetMessages kSpsMessages = {
    "Invalid AVC Configuration: sequenceParameterSetLength[%u]\n", "AVC SPS[%u] len: %u\n",
    "Invalid AVC Configuration: sequenceParameterSetLength[%u]=%u\n"};
constexpr ParameterSetMessages kPpsMessages = {
    "Invalid AVC Configuration: pictureParameterSetLength[%u]\n", "AVC PPS[%u] len: %u\n",
    "Invalid AVC Configuration: pictureParameterSetLength[%u]=%u\n"};

enum class SetStep { Unit, Malformed, WriteFailed };

// Reads the length of parameter set `index`, prints it and writes the start code;
// `unit` is then the set's bytes. Malformed, after its message, when the length or
// the bytes run past the record: the start code stays in the output.
SetStep begin_parameter_set(ByteReader& record, unsigned index, const ParameterSetMessages& text,
                            OutputFile& video, std::span<const std::uint8_t>& unit) {
  std::uint16_t length = 0;
  if (!record.read_u16(length)) {
    std::printf(text.missing_length, index);
    return SetStep::Malformed;
  }
  std::printf(text.length, index, unsigned{length});
  if (!video.write(kStartCode)) return SetStep::WriteFailed;
  if (!record.read_bytes(length, unit)) {
    std::printf(text.overrun, index, unsigned{length});
    return SetStep::Malformed;
  }
  return SetStep::Unit;
}

const char* profile_name(std::uint8_t profile_idc) {
  switch (profile_idc) {
    case 66:
      return "Baseline Profile";
    case 77:
      return "Main Profile";
    case 88:
      return "Extended Profile";
    case 100:
      return "High Profile";
    case 110:
      return "High 10 Profile";
    case 122:
      return "High 4:2:2 Profile";
    case 144:
      return "High 4:4:4 Profile";
    default:
      return "Unknown Profile";
  }
}

void print_sps_summary(std::span<const std::uint8_t> sps) {
  SpsInfo info;
  NALUnit nal(sps.data(), static_cast<std::uint32_t>(sps.size()));
  if (sps.empty() || (sps[0] & 0x1F) != kNalTypeSps || !parse_sps(info, nal)) {
    std::printf("Invalid AVC SPS!\n");
    return;
  }
  const CropRect& crop = info.crop;
  std::uint32_t width = info.width;
  std::uint32_t height = info.height;
  if (crop.left != 0 || crop.top != 0 || crop.right != 0 || crop.bottom != 0) {
    width = static_cast<std::uint32_t>(crop.right) - static_cast<std::uint32_t>(crop.left);
    height = static_cast<std::uint32_t>(crop.bottom) - static_cast<std::uint32_t>(crop.top);
  }
  std::printf("Assuming AVC video %ux%u, %s", width, height, profile_name(info.profile_idc));
  // Level 1b of the Baseline and Main profiles: level 11 with constraint_set3_flag.
  if (info.level_idc == 11 && (info.constraint_flags & 0x10) != 0) {
    std::printf(", Level 1b\n");
  } else {
    std::printf(", Level %d.%d\n", info.level_idc / 10, info.level_idc % 10);
  }
}

// False only when a write failed. A record that ends inside its header or before
// the PPS count ends the walk there, without a message of its own.
bool write_parameter_sets(std::span<const std::uint8_t> record, OutputFile& video) {
  if (record.size() > 0 && record[0] != 1) {
    std::printf("Invalid AVC Configuration: Version %u\n", unsigned{record[0]});
  }
  if (record.size() > 4 && (record[4] & 3) + 1 == 3) {
    std::printf("Invalid AVC Configuration: NALUnitLength\n");
  }
  if (record.size() < kRecordHeaderBytes) return true;
  const unsigned sps_count = record[5] & 0x1Fu;
  std::printf("AVC SPS count: %u\n", sps_count);
  ByteReader reader(record.subspan(kRecordHeaderBytes));
  for (unsigned i = 0; i < sps_count; ++i) {
    std::span<const std::uint8_t> sps;
    const SetStep step = begin_parameter_set(reader, i, kSpsMessages, video, sps);
    if (step == SetStep::WriteFailed) return false;
    if (step == SetStep::Malformed) break;
    print_sps_summary(sps);
    if (!video.write(sps)) return false;
  }
  std::uint8_t pps_count = 0;
  if (!reader.read_u8(pps_count)) return true;
  std::printf("AVC PPS count: %u\n", unsigned{pps_count});
  for (unsigned j = 0; j < pps_count; ++j) {
    std::span<const std::uint8_t> pps;
    const SetStep step = begin_parameter_set(reader, j, kPpsMessages, video, pps);
    if (step == SetStep::WriteFailed) return false;
    if (step == SetStep::Malformed) break;
    if (!video.write(pps)) return false;
  }
  return true;
}

}  // namespace

bool load_avc_config(AvcConfig& config) {
  return read_header_file(kAvcConfigName, config.bytes, config.size) == HeaderRead::Loaded;
}

bool write_video_prologue(AvcConfig& config, OutputFile& video) {
  const bool written =
      write_parameter_sets({config.bytes.get(), static_cast<std::size_t>(config.size)}, video);
  config.bytes.reset();
  config.size = 0;
  return written;
}

}  // namespace vidsalvage
