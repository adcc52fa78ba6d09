#pragma once
// The WAV header: one description of its layout for writing it and for patching
// its sizes once the data is written.

#include <cstdint>
#include <span>
#include <vector>

namespace vidsalvage {

enum class WavSampleKind { Integer, Float };

// Samples as they lie in the data chunk: little-endian, interleaved; 8-bit
// integer samples are unsigned, wider ones signed.
struct WavFormat {
  WavSampleKind kind = WavSampleKind::Integer;
  std::uint32_t bits = 16;         // per sample as stored: 8 to 32 in steps of 8, float 32 or 64
  std::uint32_t valid_bits = 0;    // significant bits of each sample; 0: all of `bits`
  std::uint32_t channels = 2;      // 1 to 65,535
  std::uint32_t rate = 48000;      // samples per second and channel, above 0
  std::uint32_t channel_mask = 0;  // speaker positions; 0: mono or stereo, else none assigned
};

// The header of 16-bit mono or stereo: RIFF, a 16-byte format, the data chunk's head.
inline constexpr std::int64_t kPlainWavHeaderBytes = 44;
// The largest WAV file: its sizes are 32-bit fields.
inline constexpr std::int64_t kLargestWavBytes = 0xFFFFFFFF;

// The header up to the data chunk's size field included, with both sizes blank
// (four spaces) until wav_size_patch fills them. WAVE_FORMAT_EXTENSIBLE above two
// channels, above 16 bits or with fewer valid bits than stored, else the plain
// 16-byte PCM format. False, with `header` untouched, when WAV cannot describe the
// format (bits, channels, or a byte rate beyond 32 bits).
[[nodiscard]] bool make_wav_header(const WavFormat& format, std::vector<std::uint8_t>& header);

// The two size fields of a finished file of `file_bytes` bytes whose header was
// `header_bytes` long. A file beyond kLargestWavBytes gets the sizes of its first
// kLargestWavBytes bytes and `clamped`.
struct WavSizePatch {
  std::int64_t riff_size_offset = 4;
  std::uint32_t riff_size = 0;
  std::int64_t data_size_offset = 0;
  std::uint32_t data_size = 0;
  bool clamped = false;
};
WavSizePatch wav_size_patch(std::int64_t header_bytes, std::int64_t file_bytes);

// What PCM samples need to become a WAV file's: nothing, their bytes reversed
// (big-endian samples), or their sign bit flipped (signed 8-bit samples: WAV's
// 8-bit samples are offset binary).
enum class PcmToWav { Copy, Swap, FlipSign };

PcmToWav pcm_to_wav(std::uint32_t bits, bool little_endian, bool signed_samples);

// Converts whole samples of `bits` in place; bytes of a partial sample at the end
// stay as they are.
void convert_pcm_to_wav(std::span<std::uint8_t> samples, std::uint32_t bits, PcmToWav conversion);

}  // namespace vidsalvage
