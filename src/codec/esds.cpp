#include "codec/esds.h"

#include "io/byte_reader.h"

namespace vidsalvage {
namespace {

// ISO/IEC 14496-1 class tags.
constexpr std::uint8_t kEsDescriptorTag = 3;
constexpr std::uint8_t kDecoderConfigTag = 4;
constexpr std::uint8_t kDecoderSpecificInfoTag = 5;

// objectTypeIndication, streamType, bufferSizeDB and the two bit rates.
constexpr std::size_t kDecoderConfigFixedBytes = 13;

constexpr std::uint8_t kStreamDependenceFlag = 0x80;
constexpr std::uint8_t kUrlFlag = 0x40;
constexpr std::uint8_t kOcrStreamFlag = 0x20;

// A tag and its expandable length (7 bits a byte, high bit: more follow), which
// must not exceed the bytes left behind it. False when it runs out of bytes.
bool read_descriptor_header(ByteReader& reader, std::uint8_t& tag, std::size_t& length) {
  if (!reader.read_u8(tag)) return false;
  std::uint64_t value = 0;
  std::uint8_t byte = 0;
  do {
    if (!reader.read_u8(byte)) return false;
    value = (value << 7) | (byte & 0x7Fu);
  } while ((byte & 0x80) != 0);
  if (value > reader.remaining()) return false;
  length = static_cast<std::size_t>(value);
  return true;
}

// The body of `length` bytes at `offset`; false when the payload does not hold it.
bool descriptor_body(std::span<const std::uint8_t> payload, std::size_t offset, std::size_t length,
                     std::span<const std::uint8_t>& body) {
  if (offset > payload.size() || length > payload.size() - offset) return false;
  body = payload.subspan(offset, length);
  return true;
}

// Steps over OCR_ES_Id. Some writers set OCRstreamFlag without the field: when
// the DecoderConfigDescriptor's tag stands right here and not two bytes on, the
// field is taken as absent.
bool skip_ocr_es_id(ByteReader& reader, std::span<const std::uint8_t> body) {
  const std::size_t at = reader.position();
  const bool tag_here = at < body.size() && body[at] == kDecoderConfigTag;
  const bool tag_after_field = at + 2 < body.size() && body[at + 2] == kDecoderConfigTag;
  if (tag_here && !tag_after_field) return true;
  return reader.skip(2);
}

}  // namespace

int parse_esds(std::span<const std::uint8_t> payload, EsdsInfo& info) {
  ByteReader reader(payload);
  std::uint8_t tag = 0;
  std::size_t length = 0;
  if (!read_descriptor_header(reader, tag, length) || tag != kEsDescriptorTag) {
    return kDescriptorFailed;
  }
  return parse_es_descriptor(payload, reader.position(), length, info);
}

int parse_es_descriptor(std::span<const std::uint8_t> payload, std::size_t offset,
                        std::size_t length, EsdsInfo& info) {
  std::span<const std::uint8_t> body;
  if (!descriptor_body(payload, offset, length, body)) return kDescriptorFailed;
  ByteReader reader(body);
  std::uint8_t flags = 0;
  if (!reader.skip(2) || !reader.read_u8(flags)) return kDescriptorFailed;  // ES_ID, flags
  if ((flags & kStreamDependenceFlag) != 0 && !reader.skip(2)) return kDescriptorFailed;
  if ((flags & kUrlFlag) != 0) {
    std::uint8_t url_length = 0;
    if (!reader.read_u8(url_length) || !reader.skip(url_length)) return kDescriptorFailed;
  }
  if ((flags & kOcrStreamFlag) != 0 && !skip_ocr_es_id(reader, body)) return kDescriptorFailed;

  std::uint8_t tag = 0;
  std::size_t config_length = 0;
  if (!read_descriptor_header(reader, tag, config_length) || tag != kDecoderConfigTag) {
    return kDescriptorFailed;
  }
  return parse_decoder_config(payload, offset + reader.position(), config_length, info);
}

int parse_decoder_config(std::span<const std::uint8_t> payload, std::size_t offset,
                         std::size_t length, EsdsInfo& info) {
  std::span<const std::uint8_t> body;
  if (!descriptor_body(payload, offset, length, body)) return kDescriptorFailed;
  if (body.size() < kDecoderConfigFixedBytes) return kDescriptorFailed;
  info.object_type_indication = body[0];
  if (body.size() == kDecoderConfigFixedBytes) {
    info.dsi_offset = 0;
    info.dsi_length = 0;
    return kDescriptorOk;
  }
  ByteReader reader(body.subspan(kDecoderConfigFixedBytes));
  std::uint8_t tag = 0;
  std::size_t dsi_length = 0;
  if (!read_descriptor_header(reader, tag, dsi_length) || tag != kDecoderSpecificInfoTag) {
    return kDescriptorFailed;
  }
  info.dsi_offset = offset + kDecoderConfigFixedBytes + reader.position();
  info.dsi_length = dsi_length;
  return kDescriptorOk;
}

}  // namespace vidsalvage
