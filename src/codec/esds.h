#pragma once
// The MPEG-4 elementary-stream descriptors of an esds box: the ES_Descriptor,
// its DecoderConfigDescriptor and the DecoderSpecificInfo inside that.

#include <cstddef>
#include <cstdint>
#include <span>

namespace vidsalvage {

inline constexpr int kDescriptorOk = 0;
inline constexpr int kDescriptorFailed = -2;

inline constexpr std::uint8_t kObjectTypeMpeg4Audio = 0x40;
inline constexpr std::uint8_t kObjectTypeMpeg1Audio = 0x6B;

// What the walk found; offsets are into the esds payload.
struct EsdsInfo {
  std::uint8_t object_type_indication = 0;
  std::size_t dsi_offset = 0;  // DecoderSpecificInfo body; 0 when there is none
  std::size_t dsi_length = 0;
};

// Walks the esds payload (the box body after version and flags), which must
// begin with an ES_Descriptor. Returns kDescriptorOk, or kDescriptorFailed when
// a descriptor is missing, of the wrong tag or longer than what holds it.
[[nodiscard]] int parse_esds(std::span<const std::uint8_t> payload, EsdsInfo& info);

// The ES_Descriptor body of `length` bytes at `offset` in `payload`, and the
// DecoderConfigDescriptor in it. Every read stays inside that body.
[[nodiscard]] int parse_es_descriptor(std::span<const std::uint8_t> payload, std::size_t offset,
                                      std::size_t length, EsdsInfo& info);
// A DecoderConfigDescriptor body, likewise.
[[nodiscard]] int parse_decoder_config(std::span<const std::uint8_t> payload, std::size_t offset,
                                       std::size_t length, EsdsInfo& info);

}  // namespace vidsalvage
