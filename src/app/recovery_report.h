#pragma once
// The end of a recovery run, shared by the recovery with avcc.hdr and mp4a.hdr and
// the recovery with a learned model.

#include <cstdint>

#include "io/output_file.h"
#include "recovery/audio_output.h"
#include "recovery/sample_walk.h"

namespace vidsalvage {

// Prints "Cannot write" for the output and returns the failure status: the user
// must not take a short file for a salvage.
int write_failed(const char* name);

// Takes the output's size as the position of its end, closes it and prints its
// line. False when closing failed.
bool report_output(OutputFile& file, const char* name, std::int64_t input_size);

// After the walk: "Cannot write" for an output the walk could not write, else the
// run report: a PCM output's WAV header completed, both outputs closed and their
// sizes printed. Returns the exit status.
int finish_run(WalkOutcome outcome, OutputFile& video, const char* video_name, AudioOutput& audio,
               std::int64_t input_size);

}  // namespace vidsalvage
