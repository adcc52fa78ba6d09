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

// aac_frame_length has 13 bits and counts the 7 header bytes.
inline constexpr std::int64_t kAdtsHeaderBytes = 7;
inline constexpr std::int64_t kMaxAdtsPayload = 8191 - kAdtsHeaderBytes;

// The header of a frame of `payload_bytes`, at most kMaxAdtsPayload: the template
// with the 13-bit aac_frame_length (payload + 7) OR-ed in.
AdtsTemplate adts_frame_header(const AdtsTemplate& adts, std::uint64_t payload_bytes);

// Writes the `length` input bytes at `offset` behind ADTS headers: one frame, or
// when they are more than one frame carries, consecutive frames of at most
// kMaxAdtsPayload bytes, each header telling its own length, so that every byte
// stays and a reader stays in step. Prints nothing.
[[nodiscard]] CopyOutcome write_adts_frames(InputWindow& input, std::int64_t offset,
                                            std::int64_t length, AudioOutput& audio);

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
