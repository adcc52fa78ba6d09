#include "codec/audio_config.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "codec/mpeg4_audio_config.h"
#include "codec/esds.h"
#include "codec/header_file.h"
#include "io/byte_reader.h"

namespace vidsalvage {
namespace {

constexpr const char* kAudioConfigName = "mp4a.hdr";

// Offsets in the audio sample entry body (ISO/IEC 14496-12).
constexpr std::size_t kChannelCountLowByte = 17;
constexpr std::size_t kSampleRateOffset = 24;
constexpr std::size_t kSampleRateNeededBytes = 27;
constexpr std::size_t kMinEntryBytes = 63;

// esds: size, type, version and flags, then the descriptors.
constexpr std::size_t kEsdsHeaderBytes = 12;
constexpr std::uint32_t kMinEsdsBytes = 35;
constexpr std::string_view kEsdsType = "esds";

// AAC Main, LC, SSR and LTP: their first two bytes have the two-byte layout.
constexpr int kFirstPlainObjectType = 1;
constexpr int kLastPlainObjectType = 4;

constexpr std::size_t kMaxSamplingIndex = 12;
constexpr std::size_t kMaxChannelConfig = 7;

// The index of the first entry equal to `value`, searching from `first` up to the
// first zero entry; `fallback` when there is none.
int table_index(const std::array<std::uint32_t, 16>& table, std::size_t first, std::uint32_t value,
                int fallback) {
  for (std::size_t i = first; i < table.size() && table[i] != 0; ++i) {
    if (table[i] == value) return static_cast<int>(i);
  }
  return fallback;
}

// The sample entry's own view of the stream, which the esds may overrule.
struct EntryFields {
  std::uint32_t channels = 2;
  std::uint32_t sample_rate = 0;
};

EntryFields read_entry_fields(std::span<const std::uint8_t> entry) {
  EntryFields fields;
  if (entry.size() > kChannelCountLowByte) fields.channels = entry[kChannelCountLowByte];
  if (entry.size() >= kSampleRateNeededBytes) {
    fields.sample_rate = (std::uint32_t{entry[kSampleRateOffset]} << 8) |
                         std::uint32_t{entry[kSampleRateOffset + 1]};
  }
  return fields;
}

void decode_audio_specific_config(std::uint8_t b0, std::uint8_t b1, const EntryFields& entry,
                                  AudioConfig& config) {
  const AscHead head = read_asc_head(b0, b1);
  config.object_type = head.object_type;
  config.sampling_index = head.sampling_index;
  config.channel_config = head.channel_config;
  std::printf("mp4a codec data 0x%.2x 0x%.2x\n", unsigned{b0}, unsigned{b1});
  const auto sampling_index = static_cast<std::size_t>(config.sampling_index);
  const auto channel_config = static_cast<std::size_t>(config.channel_config);
  const std::uint32_t channels = kChannelCounts[channel_config];
  const std::uint32_t rate = kSamplingFrequencies[sampling_index];
  if (entry.channels != channels) {
    std::printf("Warning: mp4a channels %d, esds channels %d\n", static_cast<int>(entry.channels),
                static_cast<int>(channels));
  }
  if (entry.sample_rate != rate) {
    std::printf("Warning: mp4a freq %d, esds freq %d\n", static_cast<int>(entry.sample_rate),
                static_cast<int>(rate));
  }
  if (sampling_index > kMaxSamplingIndex || channel_config == 0 ||
      channel_config > kMaxChannelConfig) {
    std::printf("Invalid audio freq %d or channels %d\n", static_cast<int>(rate),
                static_cast<int>(channels));
    config.sampling_index = 3;
    config.channel_config = 2;
  }
}

// Applies what the descriptors say about the stream.
void apply_esds(std::span<const std::uint8_t> payload, const EsdsInfo& esds,
                const EntryFields& entry, AudioConfig& config) {
  if (esds.object_type_indication == kObjectTypeMpeg1Audio) {
    config.is_mp3 = true;
    return;
  }
  if (esds.object_type_indication != kObjectTypeMpeg4Audio || esds.dsi_length < 2) return;
  const std::uint8_t b0 = payload[esds.dsi_offset];
  const std::uint8_t b1 = payload[esds.dsi_offset + 1];
  // A longer AudioSpecificConfig (cameras pad it, or add extensions) still starts
  // with the two-byte layout for these object types; others are left alone.
  const int object_type = b0 >> 3;
  const bool plain_layout =
      object_type >= kFirstPlainObjectType && object_type <= kLastPlainObjectType;
  if (esds.dsi_length == 2 || plain_layout) decode_audio_specific_config(b0, b1, entry, config);
}

// `entry` holds at least kMinEntryBytes.
void read_esds(std::span<const std::uint8_t> entry, const EntryFields& fields,
               AudioConfig& config) {
  // Type codes starting at 0 to size - 5 are looked at, not one in the last four bytes.
  const auto search_end = entry.end() - 1;
  const auto found = std::search(entry.begin(), search_end, kEsdsType.begin(), kEsdsType.end());
  const auto type_at = static_cast<std::size_t>(found - entry.begin());
  if (found == search_end || type_at < 4) {
    std::printf("WARNING: Invalid esds atom in mp4a header!\n");
    return;
  }
  const std::size_t box_at = type_at - 4;
  const std::uint32_t box_size = load_be32(entry.subspan(box_at));
  if (box_size > entry.size() - box_at || box_size < kMinEsdsBytes) {
    std::printf("WARNING: Invalid esds atom or esds size %d\n", static_cast<int>(box_size));
    return;
  }
  // A copy of its own, so that a read past the payload is caught as such.
  const auto body = entry.subspan(box_at + kEsdsHeaderBytes, box_size - kEsdsHeaderBytes);
  const std::vector<std::uint8_t> payload(body.begin(), body.end());
  EsdsInfo esds;
  if (parse_esds(payload, esds) != kDescriptorOk) {
    std::printf("Cannot parse esds atom\n");
    return;
  }
  apply_esds(payload, esds, fields, config);
}

}  // namespace

bool load_audio_config(AudioConfig& config) {
  config = AudioConfig{};
  std::unique_ptr<std::uint8_t[]> bytes;
  std::int64_t size = 0;
  switch (read_header_file(kAudioConfigName, bytes, size)) {
    case HeaderRead::CannotOpen:
      return true;
    case HeaderRead::Failed:
      return false;
    case HeaderRead::Loaded:
      break;
  }
  read_audio_entry({bytes.get(), static_cast<std::size_t>(size)}, config);
  return true;
}

void read_audio_entry(std::span<const std::uint8_t> entry, AudioConfig& config) {
  const EntryFields fields = read_entry_fields(entry);
  config.channel_config = table_index(kChannelCounts, 1, fields.channels, config.channel_config);
  config.sampling_index =
      table_index(kSamplingFrequencies, 0, fields.sample_rate, config.sampling_index);
  if (entry.size() < kMinEntryBytes) {
    std::printf("WARNING: Invalid mp4a size %d\n", static_cast<int>(entry.size()));
    return;
  }
  read_esds(entry, fields, config);
}

AdtsTemplate fill_adts_template(const AudioConfig& config) {
  const auto profile = static_cast<unsigned>(config.object_type - 1) & 3u;
  const auto sampling_index = static_cast<unsigned>(config.sampling_index) & 15u;
  const auto channels = static_cast<unsigned>(config.channel_config);
  return {
      0xFF,
      0xF1,
      static_cast<std::uint8_t>((profile << 6) | (sampling_index << 2) | ((channels >> 2) & 1u)),
      static_cast<std::uint8_t>((channels & 3u) << 6),
      0x00,
      0x1F,
      0xFC};
}

}  // namespace vidsalvage
