#include "mp4/access_unit_assembler.h"

#include <utility>

#include "codec/bit_reader.h"

namespace vidsalvage {
namespace {

// nal_unit_type values, ISO/IEC 14496-10 table 7-1.
constexpr std::uint8_t kSlice = 1;
constexpr std::uint8_t kPartitionA = 2;
constexpr std::uint8_t kIdrSlice = 5;
constexpr std::uint8_t kSei = 6;
constexpr std::uint8_t kSps = 7;
constexpr std::uint8_t kPps = 8;
constexpr std::uint8_t kDelimiter = 9;
constexpr std::uint8_t kFirstReservedBefore = 14;  // 14 to 18 precede a picture
constexpr std::uint8_t kLastReservedBefore = 18;
constexpr std::uint32_t kRecoveryPointPayload = 6;

bool carries_slice_header(std::uint8_t type) {
  return type == kSlice || type == kPartitionA || type == kIdrSlice;
}

bool is_slice(std::uint8_t type) { return type >= kSlice && type <= kIdrSlice; }

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

}  // namespace

// ISO/IEC 14496-10, 7.4.1.2.3: after the last slice of a picture, a delimiter,
// SPS, PPS, SEI or a unit of type 14 to 18 begins the next access unit, and so
// does the first slice of the next picture. Pictures here are told apart by
// first_mb_in_slice alone: slices of one picture come in order.
bool AccessUnitAssembler::begins_access_unit(std::uint8_t type,
                                             std::span<const std::uint8_t> head) const {
  if (!has_slice_) return false;
  if (type == kDelimiter || type == kSei || type == kSps || type == kPps) return true;
  if (type >= kFirstReservedBefore && type <= kLastReservedBefore) return true;
  if (!carries_slice_header(type)) return false;
  // A head cut before the field ends reads as 0: a new picture, the safer guess
  // than gluing two pictures into one sample.
  NALUnit reader(head.data() + 1, static_cast<std::uint32_t>(head.size() - 1));
  return reader.read_ue() == 0;
}

// The SEI messages whose headers the head holds, for a recovery point.
bool AccessUnitAssembler::marks_recovery_point(std::span<const std::uint8_t> head) const {
  NALUnit reader(head.data() + 1, static_cast<std::uint32_t>(head.size() - 1));
  while (!reader.at_end()) {
    const std::uint32_t type = read_sei_number(reader);
    const std::uint32_t size = read_sei_number(reader);
    if (reader.at_end()) return false;
    if (type == kRecoveryPointPayload) return true;
    for (std::uint32_t i = 0; i < size && !reader.at_end(); ++i) reader.skip_bits(8);
  }
  return false;
}

bool AccessUnitAssembler::add(const InputUnit& unit, std::span<const std::uint8_t> head,
                              AccessUnit& done) {
  if (head.empty()) return false;
  if (head.size() > kUnitHeadBytes) head = head.first(kUnitHeadBytes);
  const auto type = static_cast<std::uint8_t>(head[0] & 0x1F);
  const bool begins = begins_access_unit(type, head);
  if (begins) {
    std::swap(done.units, current_.units);
    done.sync = current_.sync;
    current_.units.clear();
    current_.sync = false;
    has_slice_ = false;
  }
  current_.units.push_back(unit);
  if (is_slice(type)) has_slice_ = true;
  if (type == kIdrSlice) current_.sync = true;
  if (type == kSei && options_.recovery_point_is_sync && marks_recovery_point(head)) {
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
