#pragma once
// The end of a recovery run, shared by the recovery with avcc.hdr and mp4a.hdr and
// the recovery with a learned model.

#include <cstdint>

#include "io/output_file.h"
#include "recovery/audio_output.h"

namespace vidsalvage {

// Prints "Cannot write" for the output and returns the failure status: the user
// must not take a short file for a salvage.
int write_failed(const char* name);

// Completes a PCM output's WAV header, closes both outputs and prints their sizes.
// Returns the exit status.
int report_run(OutputFile& video, const char* video_name, AudioOutput& audio,
               std::int64_t input_size);

}  // namespace vidsalvage
