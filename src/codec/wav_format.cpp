#include "codec/wav_format.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace vidsalvage {
namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatFloat = 3;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
constexpr std::uint32_t kPlainFmtBytes = 16;
constexpr std::uint32_t kExtensibleFmtBytes = 40;
constexpr std::uint16_t kExtensionBytes = 22;  // cbSize of WAVEFORMATEXTENSIBLE
constexpr std::uint32_t kMaskMono = 0x4;       // SPEAKER_FRONT_CENTER
constexpr std::uint32_t kMaskStereo = 0x3;     // SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT
constexpr std::uint32_t kMaxChannels = 0xFFFF;

// The KSDATAFORMAT_SUBTYPE GUID after its first two bytes, which hold the format tag.
constexpr std::array<std::uint8_t, 14> kSubtypeTail = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                       0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

void put_le(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void put_text(std::vector<std::uint8_t>& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

bool bits_allowed(const WavFormat& f) {
  if (f.kind == WavSampleKind::Float) return f.bits == 32 || f.bits == 64;
  return f.bits >= 8 && f.bits <= 32 && f.bits % 8 == 0;
}

std::uint32_t valid_bits(const WavFormat& f) { return f.valid_bits == 0 ? f.bits : f.valid_bits; }

bool needs_extensible(const WavFormat& f) {
  return f.channels > 2 || f.bits > 16 || valid_bits(f) != f.bits;
}

std::uint32_t channel_mask(const WavFormat& f) {
  if (f.channel_mask != 0) return f.channel_mask;
  if (f.channels == 1) return kMaskMono;
  return f.channels == 2 ? kMaskStereo : 0;
}

}  // namespace

bool make_wav_header(const WavFormat& format, std::vector<std::uint8_t>& header) {
  if (!bits_allowed(format) || valid_bits(format) > format.bits || format.channels == 0 ||
      format.channels > kMaxChannels || format.rate == 0) {
    return false;
  }
  const std::uint64_t block = std::uint64_t{format.channels} * (format.bits / 8);
  const std::uint64_t byte_rate = block * format.rate;
  if (block > 0xFFFF || byte_rate > 0xFFFFFFFF) return false;
  const bool extensible = needs_extensible(format);
  const std::uint16_t tag = format.kind == WavSampleKind::Float ? kFormatFloat : kFormatPcm;

  std::vector<std::uint8_t> h;
  put_text(h, "RIFF    WAVEfmt ");  // the RIFF size blank until the data is written
  put_le(h, extensible ? kExtensibleFmtBytes : kPlainFmtBytes, 4);
  put_le(h, extensible ? kFormatExtensible : tag, 2);
  put_le(h, format.channels, 2);
  put_le(h, format.rate, 4);
  put_le(h, static_cast<std::uint32_t>(byte_rate), 4);
  put_le(h, static_cast<std::uint32_t>(block), 2);
  put_le(h, format.bits, 2);
  if (extensible) {
    put_le(h, kExtensionBytes, 2);
    put_le(h, valid_bits(format), 2);
    put_le(h, channel_mask(format), 4);
    put_le(h, tag, 2);
    h.insert(h.end(), kSubtypeTail.begin(), kSubtypeTail.end());
  }
  put_text(h, "data    ");  // the data size blank too
  header = std::move(h);
  return true;
}

WavSizePatch wav_size_patch(std::int64_t header_bytes, std::int64_t file_bytes) {
  WavSizePatch patch;
  std::int64_t length = file_bytes;
  if (length > kLargestWavBytes) {
    length = kLargestWavBytes;
    patch.clamped = true;
  }
  patch.riff_size = static_cast<std::uint32_t>(length - 8);
  patch.data_size_offset = header_bytes - 4;
  patch.data_size = static_cast<std::uint32_t>(std::max<std::int64_t>(length - header_bytes, 0));
  return patch;
}

PcmToWav pcm_to_wav(std::uint32_t bits, bool little_endian, bool signed_samples) {
  if (bits == 8) return signed_samples ? PcmToWav::FlipSign : PcmToWav::Copy;
  return little_endian ? PcmToWav::Copy : PcmToWav::Swap;
}

void convert_pcm_to_wav(std::span<std::uint8_t> samples, std::uint32_t bits, PcmToWav conversion) {
  const std::size_t width = bits / 8;
  if (width == 0) return;
  for (std::size_t s = 0; s + width <= samples.size(); s += width) {
    if (conversion == PcmToWav::Swap) {
      std::reverse(samples.begin() + static_cast<std::ptrdiff_t>(s),
                   samples.begin() + static_cast<std::ptrdiff_t>(s + width));
    } else if (conversion == PcmToWav::FlipSign) {
      samples[s] ^= 0x80;
    }
  }
}

}  // namespace vidsalvage
