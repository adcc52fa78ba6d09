#pragma once
// The audio side of a recovery as the writers of audio see it: the kind of audio
// the recording is taken to carry and the file it goes to.

#include <cstdint>

#include "codec/audio_config.h"
#include "codec/wav_format.h"
#include "io/output_file.h"

namespace vidsalvage {

// Where both PCM and MP3 could be chosen, PCM wins.
enum class AudioMode { Pcm, Mp3, Aac };

struct AudioOutput {
  AudioMode mode = AudioMode::Aac;
  OutputFile file;             // open when argument 3 names a file
  const char* name = nullptr;  // that name
  bool aac_mono = false;       // AAC with one channel: the mono frame-start search
  AudioConfig config;
  AdtsTemplate adts{};
  std::int64_t wav_header_bytes = kPlainWavHeaderBytes;  // as written, for the size patch
  bool write_failed = false;                             // a walk could not write `file`
};

}  // namespace vidsalvage
