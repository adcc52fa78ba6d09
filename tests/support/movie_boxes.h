#pragma once
// A trak box built from the fields a test cares about, for recordings made in
// code: handler, sample entry, timing and the three sample tables.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/bytes.h"

namespace vidsalvage::test {

// A box whose body begins with a version byte and 24 bits of flags.
Bytes full_box(std::string_view type, std::uint8_t version, std::uint32_t flags, const Bytes& body);

struct TrackLayout {
  std::uint32_t id = 1;
  std::string handler = "vide";
  Bytes name = {'T', 'r', 'a', 'c', 'k', 0};  // hdlr's name field as stored
  std::string entry = "avc1";
  Bytes entry_fields;    // after the reserved bytes and the data reference index
  Bytes entry_children;  // configuration boxes after the fields
  std::uint32_t timescale = 1000;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> durations;  // stts: count, delta
  std::uint32_t uniform_size = 0;
  std::uint32_t uniform_count = 0;   // the sample count when uniform_size is not 0
  std::vector<std::uint32_t> sizes;  // stsz entries when uniform_size is 0
  std::vector<std::pair<std::uint32_t, std::uint32_t>> chunk_runs;  // stsc: first chunk, samples
  std::vector<std::uint64_t> chunk_offsets;
  bool co64 = false;
};

Bytes track_box(const TrackLayout& layout);

// One sample per chunk: the stsc run and the offsets of `offsets`, sizes `sizes`.
TrackLayout one_sample_per_chunk(TrackLayout layout, const std::vector<std::uint64_t>& offsets,
                                 const std::vector<std::uint32_t>& sizes);

// The fields of a visual sample entry (70 bytes) and of a version-0 sound entry (20).
Bytes visual_entry_fields();
Bytes sound_entry_fields(std::uint16_t channels, std::uint16_t bits, std::uint16_t rate);

// The fields of a version 1 sound entry (36 bytes), which QuickTime uses for
// samples wider than 16 bits: samplesize says 16, bytes per frame says more.
Bytes sound_entry_fields_v1(std::uint16_t channels, std::uint16_t rate,
                            std::uint32_t bytes_per_frame);
// The fields of a version 2 sound entry (56 bytes), as an 'lpcm' entry holds
// them: the rate as a double, and the Core Audio format flags.
Bytes sound_entry_fields_v2(std::uint32_t channels, std::uint32_t bits, double rate,
                            std::uint32_t format_flags, std::uint32_t bytes_per_frame);
// ISO/IEC 23003-5's pcmC box of an 'ipcm' or 'fpcm' entry.
Bytes pcm_config_box(bool little_endian, std::uint8_t sample_bits);

// An esds box whose descriptors name MPEG-4 audio with this AudioSpecificConfig.
Bytes aac_esds_box(const Bytes& audio_specific_config);

// A recording made in code, sample by sample: the samples go into the media data
// in the order they are added, and finish() follows them with a moov of one trak
// per track, one sample per chunk, each trak's fields from `layout_of`.
class RecordingBuilder {
 public:
  RecordingBuilder();
  void add(std::uint32_t track, const Bytes& sample);
  Bytes finish(const std::function<TrackLayout(std::uint32_t)>& layout_of) const;

 private:
  Bytes file_;
  std::size_t mdat_at_ = 0;
  std::map<std::uint32_t, std::vector<std::uint64_t>> offsets_;
  std::map<std::uint32_t, std::vector<std::uint32_t>> sizes_;
};

}  // namespace vidsalvage::test
