#pragma once
// The heart of the recovery: find the media data, then walk it one
// length-prefixed unit at a time, copying video units to the video output and
// handing the stretches between them to the audio writer.

#include <cstdint>
#include <span>

#include "io/input_window.h"
#include "io/output_file.h"
#include "recovery/audio_output.h"
#include "recovery/input_copy.h"
#include "recovery/recorder_profile.h"
#include "recovery/video_unit.h"

namespace vidsalvage {

enum class SampleState {
  Start,        // the first position of the walk
  AfterVideo,   // right behind a video unit just written
  AfterSearch,  // on a candidate the resynchronisation search has matched
};

struct SampleWalk {
  std::int64_t cursor = 0;  // offset of the length field of the next unit
  SampleState state = SampleState::Start;
  bool at_stream_start = true;  // until the first video unit is written
  std::int32_t last_permille = 0;
};

// How a walk ended: every end is a finished run unless an output could not be
// written or the input could not be read (what was written up to there stays).
enum class WalkOutcome { Finished, VideoWriteFailed, AudioWriteFailed, ReadFailed };

// The offset at which the walk starts, or kNotFound after
// "FATAL ERROR: File '%s' is empty!" or, with nothing printed, after a failed read.
std::int64_t locate_media_data(InputWindow& input, const char* input_name,
                               const RecorderProfile& profile);

// Whether the unit whose first bytes (length field included, kUnitHeadBytes of
// them) are `at_cursor` is video for `profile` in `state`; the length is tested
// apart.
bool accepts_video(const RecorderProfile& profile, SampleState state,
                   std::span<const std::uint8_t> at_cursor);

// Prints the progress line when the per-mille value of the cursor changed.
void print_progress(SampleWalk& walk, std::int64_t size);

// Writes the unit whose length field is at `cursor` behind a start code, with its
// trace line, which names the unit's coding by `label`; the field is 4 bytes wide
// unless the stream says otherwise.
[[nodiscard]] CopyOutcome write_video_unit(InputWindow& input, std::int64_t cursor,
                                           std::uint32_t length, OutputFile& video,
                                           std::uint32_t length_field_bytes = 4,
                                           const char* label = "H264");

// Walks the media data from `cursor` to its end, printing progress and one trace
// line per unit. Stops early when an output cannot be written, or at a failed read
// of the input (which leaves the input failed).
WalkOutcome walk_samples(InputWindow& input, std::int64_t cursor, const RecorderProfile& profile,
                         AudioOutput& audio, OutputFile& video);

}  // namespace vidsalvage
