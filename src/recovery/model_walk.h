#pragma once
// The recovery with a learned model: the media data walked one sample at a time,
// each sample recognised by what the reference recording showed: the size the
// sample before announced, a class of another track, a chain of video units;
// what none of these explains up to the next recognised start is audio.

#include <cstdint>

#include "model/stream_model.h"
#include "io/input_window.h"
#include "io/output_file.h"
#include "recovery/audio_output.h"
#include "recovery/movie_sink.h"
#include "recovery/sample_walk.h"

namespace vidsalvage {

// Walks the media data from `cursor` to its end: video units to `video` behind
// start codes, audio to `audio` (ADTS frames for AAC, raw for PCM) when its file
// is open, samples of other tracks skipped and counted. Prints progress, one trace
// line per unit, frame or stretch, and at the end one line per kind of skipped
// sample. Stops early only when an output cannot be written.
WalkOutcome walk_with_model(InputWindow& input, std::int64_t cursor, const StreamModel& model,
                            AudioOutput& audio, OutputFile& video);

// The same walk writing a playable file: every sample it takes goes to `movie`
// (the audio also to `audio` when its file is open), and each stretch skipped as
// damage puts the movie's tracks back in step. The trace lines are the same.
WalkOutcome walk_to_movie(InputWindow& input, std::int64_t cursor, const StreamModel& model,
                          AudioOutput& audio, MovieSink& movie);

}  // namespace vidsalvage
