#pragma once
// The audio side of a recovery: which kind of audio the recording is taken to
// carry, and the file it is written to, if any.

#include "codec/audio_config.h"
#include "io/input_window.h"
#include "io/output_file.h"
#include "recovery/recorder_profile.h"

namespace vidsalvage {

enum class AudioMode { Pcm, Mp3, Aac };

struct AudioOutput {
  AudioMode mode = AudioMode::Aac;
  OutputFile file;             // open when argument 3 names a file
  const char* name = nullptr;  // that name
  bool aac_mono = false;       // AAC with one channel: the mono frame-start search
  AudioConfig config;
  AdtsTemplate adts{};
};

// Chooses the kind from the recorder, the audio configuration and argument 3,
// opens the audio file when argument 3 names one (a WAV header for PCM), and
// prints the line naming the assumed format. False after "Cannot write" when the
// audio file cannot be opened or written.
[[nodiscard]] bool choose_audio_output(AudioOutput& audio, int argc, const char* const* argv,
                                       const RecorderProfile& profile, const InputWindow& input);

// Patches the RIFF and data sizes of a PCM output's WAV header. False when the
// write failed.
[[nodiscard]] bool finish_wav_header(AudioOutput& audio);

}  // namespace vidsalvage
