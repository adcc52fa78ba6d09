#pragma once
// Cuts an AAC audio gap into frames at the recorder's frame-start patterns and
// writes each behind its ADTS header.

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/audio_config.h"
#include "io/input_window.h"
#include "io/pattern_set.h"
#include "recovery/audio_stream.h"
#include "recovery/input_copy.h"

namespace vidsalvage {

// How far past the start of the current frame the next start is looked for.
inline constexpr std::int64_t kFrameSearchBytes = 0x100001;

// The header of a frame of `payload_bytes`: the template with the 13-bit
// aac_frame_length (payload + 7; longer frames keep its low 13 bits) OR-ed in.
AdtsTemplate adts_frame_header(const AdtsTemplate& adts, std::uint64_t payload_bytes);

// The index of the next frame start in `bytes`, whose index 0 is the start of the
// current frame: the smallest index from 1 on at which a frame start matches
// wholly before `limit`; with `mono`, the single channel element search, which
// also reads the two bytes after a candidate. PatternSet::kNone when none does.
std::size_t find_frame_start(std::span<const std::uint8_t> bytes, std::size_t limit, bool mono,
                             const PatternSet& starts);

// Writes the frames of the gap [gap_start, gap_end) to the audio file with one
// trace line each; pieces of 32 bytes or less, and a tail without a further
// frame start while `at_stream_start` is set, are skipped and clear that flag.
[[nodiscard]] CopyOutcome split_aac_gap(InputWindow& input, AudioOutput& audio,
                                        const PatternSet& starts, bool& at_stream_start,
                                        std::int64_t gap_start, std::int64_t gap_end);

}  // namespace vidsalvage
