#pragma once
// The heart of the recovery: find the media data, then walk it one
// length-prefixed unit at a time, copying video units to the video output and
// handing the stretches between them to the audio writer.

#include <cstdint>

#include "io/input_window.h"
#include "io/output_file.h"
#include "recovery/audio_output.h"
#include "recovery/recorder_profile.h"

namespace vidsalvage {

enum class SampleState { Start, AfterVideo, AfterSearch };

struct SampleWalk {
  std::int64_t cursor = 0;  // offset of the length field of the next unit
  SampleState state = SampleState::Start;
  bool at_stream_start = true;  // until the first video unit is written
  std::int32_t last_permille = 0;
};

// How a walk ended: every end is a finished run unless an output could not be written.
enum class WalkOutcome { Finished, VideoWriteFailed, AudioWriteFailed };

// The offset at which the walk starts, or kNotFound after
// "FATAL ERROR: File '%s' is empty!".
std::int64_t locate_media_data(InputWindow& input, const char* input_name,
                               const RecorderProfile& profile);

// Walks the media data from `cursor` to its end.
WalkOutcome walk_samples(InputWindow& input, std::int64_t cursor, const RecorderProfile& profile,
                         AudioOutput& audio, OutputFile& video);

}  // namespace vidsalvage
