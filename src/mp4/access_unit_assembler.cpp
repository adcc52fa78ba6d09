#include "mp4/access_unit_assembler.h"

#include <utility>

#include "codec/bit_reader.h"
#include "codec/hevc_config.h"

namespace vidsalvage {
namespace {

// H.264 nal_unit_type values, ISO/IEC 14496-10 table 7-1.
constexpr std::uint8_t kSlice = 1;
constexpr std::uint8_t kPartitionA = 2;
constexpr std::uint8_t kIdrSlice = 5;
constexpr std::uint8_t kSei = 6;
constexpr std::uint8_t kSps = 7;
constexpr std::uint8_t kPps = 8;
constexpr std::uint8_t kDelimiter = 9;
constexpr std::uint8_t kFirstReservedBefore = 14;  // 14 to 18 precede a picture
constexpr std::uint8_t kLastReservedBefore = 18;

// More HEVC nal_unit_type values, H.265 table 7-1.
constexpr std::uint8_t kHevcFirstReservedBefore = 41;  // 41 to 44 precede a picture
constexpr std::uint8_t kHevcLastReservedBefore = 44;
constexpr std::uint8_t kHevcFirstUnspecifiedBefore = 48;  // and so do 48 to 55
constexpr std::uint8_t kHevcLastUnspecifiedBefore = 55;

// The SEI payloadType of a recovery point, in both codings.
constexpr std::uint32_t kRecoveryPointPayload = 6;

// What a unit means to the grouping.
struct UnitRole {
  bool slice = false;      // a coded slice: the access unit holds a picture
  bool opens = false;      // begins an access unit when one holding a slice is open
  bool key = false;        // a slice of an IDR (H.264) or IRAP (HEVC) picture
  bool sei = false;        // an SEI whose messages may hold a recovery point
  std::size_t header = 1;  // the bytes of the NAL unit header
};

// ISO/IEC 14496-10, 7.4.1.2.3: after the last slice of a picture, a delimiter,
// SPS, PPS, SEI or a unit of type 14 to 18 begins the next access unit, and so
// does the first slice of the next picture. Pictures here are told apart by
// first_mb_in_slice alone: slices of one picture come in order.
UnitRole avc_role(std::span<const std::uint8_t> head) {
  const auto type = static_cast<std::uint8_t>(head[0] & 0x1F);
  UnitRole role;
  role.slice = type >= kSlice && type <= kIdrSlice;
  role.key = type == kIdrSlice;
  role.sei = type == kSei;
  if (type == kDelimiter || type == kSei || type == kSps || type == kPps) role.opens = true;
  if (type >= kFirstReservedBefore && type <= kLastReservedBefore) role.opens = true;
  if (type == kSlice || type == kPartitionA || type == kIdrSlice) {
    // A head cut before the field ends reads as 0: a new picture, the safer guess
    // than gluing two pictures into one sample.
    NALUnit reader(head.data() + 1, static_cast<std::uint32_t>(head.size() - 1));
    role.opens = reader.read_ue() == 0;
  }
  return role;
}

// H.265 7.4.2.4.4: after the last slice segment of a picture, a delimiter, VPS,
// SPS, PPS, prefix SEI or a unit of types 41 to 44 or 48 to 55 begins the next
// access unit, and so does the first segment of the next picture. End of
// sequence and bitstream, filler data and suffix SEI stay with their picture.
UnitRole hevc_role(std::span<const std::uint8_t> head) {
  UnitRole role;
  role.header = 2;
  if (head.size() < role.header) return role;
  const auto type = static_cast<std::uint8_t>((head[0] >> 1) & 0x3F);
  if (type <= kHevcLastVcl) {
    role.slice = true;
    role.key = type >= kHevcBlaWLp && type <= kHevcLastIrap;
    // first_slice_segment_in_pic_flag, the first bit after the header; a head
    // without it is taken for a new picture, as in H.264.
    role.opens = head.size() == role.header || (head[2] & 0x80) != 0;
    return role;
  }
  role.sei = type == kHevcPrefixSei;
  role.opens = (type >= kHevcVps && type <= kHevcDelimiter) || type == kHevcPrefixSei ||
               (type >= kHevcFirstReservedBefore && type <= kHevcLastReservedBefore) ||
               (type >= kHevcFirstUnspecifiedBefore && type <= kHevcLastUnspecifiedBefore);
  return role;
}

// An SEI payloadType or payloadSize: bytes of 255 add up until a smaller one.
std::uint32_t read_sei_number(NALUnit& reader) {
  std::uint32_t value = 0;
  std::uint32_t byte = 0;
  do {
    byte = reader.read_bits(8);
    value += byte;
  } while (byte == 0xFF && !reader.at_end());
  return value;
}

// The SEI messages whose headers `payload` (the unit after its header) holds,
// for a recovery point. The message syntax is the same in both codings.
bool marks_recovery_point(std::span<const std::uint8_t> payload) {
  NALUnit reader(payload.data(), static_cast<std::uint32_t>(payload.size()));
  while (!reader.at_end()) {
    const std::uint32_t type = read_sei_number(reader);
    const std::uint32_t size = read_sei_number(reader);
    if (reader.at_end()) return false;
    if (type == kRecoveryPointPayload) return true;
    for (std::uint32_t i = 0; i < size && !reader.at_end(); ++i) reader.skip_bits(8);
  }
  return false;
}

}  // namespace

bool AccessUnitAssembler::add(const InputUnit& unit, std::span<const std::uint8_t> head,
                              AccessUnit& done) {
  if (head.empty()) return false;
  if (head.size() > kAccessUnitHeadBytes) head = head.first(kAccessUnitHeadBytes);
  const UnitRole role = options_.codec == VideoCodec::Hevc ? hevc_role(head) : avc_role(head);
  const bool begins = has_slice_ && role.opens;
  if (begins) {
    std::swap(done.units, current_.units);
    done.sync = current_.sync;
    current_.units.clear();
    current_.sync = false;
    has_slice_ = false;
  }
  current_.units.push_back(unit);
  if (role.slice) has_slice_ = true;
  if (role.key) current_.sync = true;
  if (role.sei && options_.recovery_point_is_sync && head.size() > role.header &&
      marks_recovery_point(head.subspan(role.header))) {
    current_.sync = true;
  }
  return begins;
}

bool AccessUnitAssembler::flush(AccessUnit& done) {
  const bool whole = has_slice_;
  if (whole) {
    std::swap(done.units, current_.units);
    done.sync = current_.sync;
  }
  current_.units.clear();
  current_.sync = false;
  has_slice_ = false;
  return whole;
}

}  // namespace vidsalvage
