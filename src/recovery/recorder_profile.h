#pragma once
// The byte patterns by which the recovery tells a recorder's video units from
// its audio frames, one constant profile per recorder family.

#include <cstdint>
#include <span>

#include "io/pattern_set.h"

namespace vidsalvage {

enum class RecorderKind { Ambarella, Eos, Apple, Android, Motorola, Samsung };

struct RecorderProfile {
  RecorderKind kind;
  const char* option;  // the command-line option; nullptr for the default
  // The bytes at which a video unit begins, its 4-byte length field included;
  // empty for the profiles that test NAL heads instead.
  std::span<const std::uint8_t> video_signature;
  // The NAL header byte and the byte after it that follow a video unit's length
  // field; nullptr for the signature profiles.
  const PatternSet* nal_heads;
  // The first bytes of an AAC frame (three bytes; two for Motorola).
  const PatternSet* aac_frame_starts;
  std::int64_t mdat_skip;  // bytes the walk's start skips after the media data's start
  bool pcm_default;        // the audio is taken to be PCM unless argument 3 says otherwise
};

// Scans arguments 2 up to the last for a recorder option; the first one wins.
// Without one the default (Ambarella) profile is chosen.
const RecorderProfile& select_recorder_profile(int argc, const char* const* argv);

// The profile of one recorder.
const RecorderProfile& recorder_profile(RecorderKind kind);

}  // namespace vidsalvage
