#pragma once
// The audio side of a recovery: the choice of the kind of audio and of its file,
// and the writing of each audio gap.

#include <cstdint>

#include "codec/audio_config.h"
#include "io/input_window.h"
#include "io/output_file.h"
#include "recovery/audio_stream.h"
#include "recovery/input_copy.h"
#include "recovery/recorder_profile.h"

namespace vidsalvage {

// Chooses the kind from the recorder, the audio configuration and argument 3,
// opens the audio file when argument 3 names one (a WAV header for PCM), and
// prints the line naming the assumed format. False after "Cannot write" when the
// audio file cannot be opened or written.
[[nodiscard]] bool choose_audio_output(AudioOutput& audio, int argc, const char* const* argv,
                                       const RecorderProfile& profile, const InputWindow& input);

// Writes the input bytes [gap_start, gap_end) in the chosen kind: PCM raw, MP3
// raw when it begins with a sync word, AAC cut into frames behind ADTS headers.
// Does nothing without an audio file. `at_stream_start` is the walk's flag, which
// the AAC splitter may clear.
[[nodiscard]] CopyOutcome write_audio_gap(InputWindow& input, AudioOutput& audio,
                                          const RecorderProfile& profile, bool& at_stream_start,
                                          std::int64_t gap_start, std::int64_t gap_end);

// Patches the RIFF and data sizes of a PCM output's WAV header. False when the
// write failed.
[[nodiscard]] bool finish_wav_header(AudioOutput& audio);

}  // namespace vidsalvage
