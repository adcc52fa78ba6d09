#include "recovery/audio_output.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>
#include <vector>

#include "codec/wav_format.h"
#include "io/text.h"
#include "recovery/aac_splitter.h"

namespace vidsalvage {
namespace {

// A table entry, 0 for an index outside the table.
unsigned table_entry(const std::array<std::uint32_t, 16>& table, int index) {
  return index >= 0 && index < 16 ? table[static_cast<std::size_t>(index)] : 0;
}

void print_assumed_format(const AudioOutput& audio) {
  const unsigned frequency = table_entry(kSamplingFrequencies, audio.config.sampling_index);
  const unsigned channels = table_entry(kChannelCounts, audio.config.channel_config);
  switch (audio.mode) {
    case AudioMode::Pcm:
      std::printf("Assuming audio stream is PCM, 16bit, 48kHz, stereo\n");
      break;
    case AudioMode::Mp3:
      std::printf("Assuming audio stream is MPEG 1 Layer 3, %d Hz, %d channel(s)\n",
                  static_cast<int>(frequency), static_cast<int>(channels));
      break;
    case AudioMode::Aac:
      std::printf("Assuming audio stream is AAC, %d Hz, %d channel(s), profile %d\n",
                  static_cast<int>(frequency), static_cast<int>(channels),
                  audio.config.object_type);
      break;
  }
}

// A file name's ending counts only when the name has at least 4 characters.
bool has_ending(std::string_view name, std::string_view ending) {
  return name.size() >= 4 && ends_with_ignore_case(name, ending);
}

// The kind a named audio file gets; prints the warnings for a name that does not
// fit the kind the recorder or the configuration suggests.
void choose_kind_for_name(const char* name, const RecorderProfile& profile, bool& pcm, bool& mp3) {
  if (has_ending(name, ".wav")) {
    pcm = true;
    mp3 = false;
  } else if (profile.kind == RecorderKind::Eos) {
    std::printf("WARNING: Please specify a .wav file for PCM audio instead of '%s'\n", name);
  }
  if (has_ending(name, ".mp3")) {
    mp3 = true;
    pcm = false;
  } else if (mp3) {
    std::printf("WARNING: Please specify a .mp3 file instead of '%s'\n", name);
  }
}

void put_le32(std::array<std::uint8_t, 4>& out, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// 16-bit stereo PCM at 48000 Hz, the format a recorder's PCM is taken to have.
bool write_wav_header(AudioOutput& audio) {
  std::vector<std::uint8_t> header;
  if (!make_wav_header(WavFormat{}, header) || !audio.file.write(header)) return false;
  audio.wav_header_bytes = static_cast<std::int64_t>(header.size());
  return true;
}

// MPEG-1 Layer III without CRC, or Layer II with CRC.
bool starts_with_mp3_sync(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 2 && bytes[0] == 0xFF && (bytes[1] == 0xFB || bytes[1] == 0xFC);
}

}  // namespace

bool choose_audio_output(AudioOutput& audio, int argc, const char* const* argv,
                         const RecorderProfile& profile, const InputWindow& input) {
  bool pcm = profile.pcm_default;
  bool mp3 = audio.config.is_mp3;
  if (argc > 3) {
    const char* choice = argv[3];
    if (equals_ignore_case(choice, "--aac")) {
      pcm = false;
      mp3 = false;
    } else if (equals_ignore_case(choice, "--pcm")) {
      pcm = true;
      mp3 = false;
    } else if (equals_ignore_case(choice, "--mp3")) {
      mp3 = true;
      pcm = false;
    } else {
      choose_kind_for_name(choice, profile, pcm, mp3);
      audio.name = choice;
      if (!open_output(audio.file, choice, input)) {
        std::printf("Cannot write '%s'\n", choice);
        return false;
      }
      std::printf("Writing '%s'...\n", choice);
    }
  }
  audio.mode = pcm ? AudioMode::Pcm : mp3 ? AudioMode::Mp3 : AudioMode::Aac;
  if (audio.file.is_open() && audio.mode == AudioMode::Pcm && !write_wav_header(audio)) {
    std::printf("Cannot write '%s'\n", audio.name);
    return false;
  }
  print_assumed_format(audio);
  audio.aac_mono =
      audio.mode == AudioMode::Aac && table_entry(kChannelCounts, audio.config.channel_config) == 1;
  return true;
}

CopyOutcome write_audio_gap(InputWindow& input, AudioOutput& audio, const RecorderProfile& profile,
                            bool& at_stream_start, std::int64_t gap_start, std::int64_t gap_end) {
  if (!audio.file.is_open()) return CopyOutcome::Done;
  const std::int64_t len = gap_end - gap_start;
  switch (audio.mode) {
    case AudioMode::Pcm:
      std::printf(" PCM: 0x%08llX [0x%8X] -> [0x%8llX]\n",
                  static_cast<unsigned long long>(gap_start), static_cast<unsigned>(len),
                  static_cast<unsigned long long>(audio.file.position()));
      return copy_input(input, gap_start, len, audio.file);
    case AudioMode::Mp3: {
      // The sync word is read even when the gap holds a single byte: the byte
      // after it, the next unit's first, is still input.
      const std::span<const std::uint8_t> head =
          read_input(input, gap_start, std::min<std::int64_t>(2, input.size - gap_start));
      if (head.empty()) return CopyOutcome::ReadFailed;
      if (!starts_with_mp3_sync(head)) {
        std::printf("skip: 0x%08llX [0x%8llX]\n", static_cast<unsigned long long>(gap_start),
                    static_cast<unsigned long long>(len));
        return CopyOutcome::Done;
      }
      std::printf(" MP3: 0x%08llX [0x%8X] -> [0x%8llX]\n",
                  static_cast<unsigned long long>(gap_start), static_cast<unsigned>(len),
                  static_cast<unsigned long long>(audio.file.position()));
      return copy_input(input, gap_start, len, audio.file);
    }
    case AudioMode::Aac:
      return split_aac_gap(input, audio, *profile.aac_frame_starts, at_stream_start, gap_start,
                           gap_end);
  }
  return CopyOutcome::Done;
}

bool finish_wav_header(AudioOutput& audio) {
  const WavSizePatch patch = wav_size_patch(audio.wav_header_bytes, audio.file.position());
  if (patch.clamped) std::printf("Too large WAV file '%s'\n", audio.name);
  std::array<std::uint8_t, 4> riff_size{};
  std::array<std::uint8_t, 4> data_size{};
  put_le32(riff_size, patch.riff_size);
  put_le32(data_size, patch.data_size);
  return audio.file.write_at(patch.riff_size_offset, riff_size) &&
         audio.file.write_at(patch.data_size_offset, data_size);
}

}  // namespace vidsalvage
