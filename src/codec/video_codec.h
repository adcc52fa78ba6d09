#pragma once
// The video codings a recording's video track may hold, and how each spells the
// type of a NAL unit in its header.

#include <cstddef>
#include <cstdint>

namespace vidsalvage {

enum class VideoCodec { Avc, Hevc };

// NAL unit types as the model keeps them: five bits in H.264, six in HEVC.
inline constexpr std::size_t kNalTypes = 64;

// The type in a unit's first byte: H.264 7.3.1, H.265 7.3.1.2.
inline int nal_type(VideoCodec codec, std::uint8_t header) {
  return codec == VideoCodec::Hevc ? (header >> 1) & 0x3F : header & 0x1F;
}

}  // namespace vidsalvage
