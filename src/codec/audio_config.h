#pragma once
// The audio parameters taken from mp4a.hdr, and the ADTS header built from them.

#include <array>
#include <cstdint>
#include <span>

namespace vidsalvage {

// Indexed by AudioConfig::sampling_index; 0 marks an index without meaning.
inline constexpr std::array<std::uint32_t, 16> kSamplingFrequencies = {
    96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
    16000, 12000, 11025, 8000,  7350,  0,     0,     0};
// Indexed by AudioConfig::channel_config; 0 marks an index without meaning.
inline constexpr std::array<std::uint32_t, 16> kChannelCounts = {0, 1, 2, 3, 4, 5, 6, 8,
                                                                 0, 0, 0, 0, 0, 0, 0, 0};

struct AudioConfig {
  int object_type = 1;     // MPEG-4 audio object type; 1 is AAC Main
  int sampling_index = 3;  // 48000 Hz
  int channel_config = 2;  // two channels
  bool is_mp3 = false;     // the decoder configuration names MPEG-1 audio
};

// The 7-byte ADTS header without CRC; the frame length is added per frame.
using AdtsTemplate = std::array<std::uint8_t, 7>;

// Reads mp4a.hdr from the current directory. A missing file is reported and the
// defaults stand. Returns false, after its message, only when the file cannot be
// allocated or read: the run then ends.
[[nodiscard]] bool load_audio_config(AudioConfig& config);

// Takes the parameters from the body of an mp4a sample entry, as mp4a.hdr holds
// it, starting from `config`; prints what it finds wrong and keeps what it cannot read.
void read_audio_entry(std::span<const std::uint8_t> entry, AudioConfig& config);

// The template ff f1 .. .. 00 1f fc with profile, sampling index and channels filled in.
AdtsTemplate fill_adts_template(const AudioConfig& config);

}  // namespace vidsalvage
