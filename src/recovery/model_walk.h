#pragma once
// The recovery with a learned model: the media data walked one sample at a time,
// each sample recognised by what the reference recording showed: the size the
// sample before announced, a class of another track, a chain of video units;
// what none of these explains up to the next recognised start is audio.

#include <cstdint>
#include <span>

#include "io/input_window.h"
#include "io/output_file.h"
#include "model/stream_model.h"
#include "recovery/audio_output.h"
#include "recovery/movie_sink.h"
#include "recovery/sample_walk.h"

namespace vidsalvage {

// Walks the media data from `cursor` to `media_end`, or to the end of the input
// where the recording was cut (kNotFound): video units to `video` behind start codes, audio to
// `audio` (ADTS frames for AAC, raw for PCM) when its file is open, samples of other tracks skipped
// and counted. Damage is passed over: the walk searches on, however far, for the next run of
// samples the model accepts, and skips what lies between. Prints progress, one trace line per unit,
// frame or skipped stretch, and at the end one line per kind of skipped bytes. Stops early only
// when an output cannot be written or the input cannot be read.
// `more_audio` holds the files of the model's more_audio tracks, in that order;
// a track without one is recovered only into a playable file.
WalkOutcome walk_with_model(InputWindow& input, std::int64_t cursor, const StreamModel& model,
                            AudioOutput& audio, OutputFile& video,
                            std::int64_t media_end = kNotFound,
                            std::span<AudioOutput> more_audio = {});

// The same walk writing a playable file: every sample it takes goes to `movie`
// (the audio also to `audio` when its file is open), and each stretch skipped as
// damage puts the movie's tracks back in step. The trace lines are the same.
WalkOutcome walk_to_movie(InputWindow& input, std::int64_t cursor, const StreamModel& model,
                          AudioOutput& audio, MovieSink& movie, std::int64_t media_end = kNotFound,
                          std::span<AudioOutput> more_audio = {});

}  // namespace vidsalvage
