#pragma once
// After a unit that is not video, finds the next place less than 1 MiB ahead
// where a video unit begins, and hands the stretch before it to the audio writer.

#include <cstdint>
#include <span>

#include "codec/pcm_test.h"
#include "io/input_window.h"
#include "recovery/audio_output.h"
#include "recovery/input_copy.h"
#include "recovery/recorder_profile.h"

namespace vidsalvage {

// How far ahead of the cursor a video unit is looked for.
inline constexpr std::int64_t kResyncReachBytes = 0x100000;

// The offset of the length field of the nearest video unit less than 1 MiB
// after `cursor` (a list profile's may lie up to 4 bytes before it), refusing
// places that look like PCM when `refuse_pcm`. kNotFound when there is none or
// the window cannot be reloaded.
std::int64_t find_video_candidate(InputWindow& input, std::int64_t cursor,
                                  const RecorderProfile& profile, bool refuse_pcm);

struct ResyncResult {
  std::int64_t candidate = kNotFound;  // kNotFound: no video within reach; the walk ends
  CopyOutcome gap = CopyOutcome::Done;
};

// Finds the candidate and, when an audio file is open and the candidate lies
// after the cursor, writes the gap [cursor, candidate) in the chosen audio kind.
ResyncResult resync_search(InputWindow& input, std::int64_t cursor, const RecorderProfile& profile,
                           AudioOutput& audio, bool& at_stream_start);

}  // namespace vidsalvage
