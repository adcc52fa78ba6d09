#pragma once
// Groups H.264 or HEVC NAL units, in stream order, into access units: the samples
// of a video track. A new access unit starts at a delimiter, at a parameter set
// or prefix SEI after a slice, or at a slice that begins a new picture (H.264's
// first_mb_in_slice 0, HEVC's first_slice_segment_in_pic_flag).

#include <cstdint>
#include <span>
#include <vector>

#include "codec/video_codec.h"
#include "mp4/movie_writer.h"

namespace vidsalvage {

// The bytes of a unit's start the assembler looks at: the header and a slice's
// first field, or the first SEI messages' types. Fewer when the unit is shorter.
inline constexpr std::size_t kAccessUnitHeadBytes = 32;

struct AccessUnit {
  std::vector<InputUnit> units;
  bool sync = false;  // holds an IDR or IRAP picture, or a recovery point where those count
};

struct AccessUnitOptions {
  VideoCodec codec = VideoCodec::Avc;
  // A recovery point SEI marks a random-access point, as recorders that write
  // open GOPs mark their key frames.
  bool recovery_point_is_sync = false;
};

class AccessUnitAssembler {
 public:
  explicit AccessUnitAssembler(AccessUnitOptions options = {}) : options_(options) {}

  // Adds the next unit; `head` holds its first bytes (its header first), up to
  // kAccessUnitHeadBytes. True when the unit begins a new access unit: `done` then
  // holds the previous one, complete. Units before the first slice wait for it.
  [[nodiscard]] bool add(const InputUnit& unit, std::span<const std::uint8_t> head,
                         AccessUnit& done);

  // Hands over the access unit in progress (at the end of the stream, or before
  // a gap); false when it holds no slice, its units then dropped.
  [[nodiscard]] bool flush(AccessUnit& done);

  // Whether the access unit in progress holds a slice: a picture flush() would give.
  bool has_picture() const { return has_slice_; }

 private:
  AccessUnitOptions options_;
  AccessUnit current_;
  bool has_slice_ = false;
};

}  // namespace vidsalvage
