#include "codec/audio_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "codec/esds.h"
#include "support/bytes.h"
#include "support/media.h"
#include "support/temp_dir.h"

namespace vidsalvage::test {
namespace {

// A descriptor: tag, the expandable length in `length_bytes` bytes, body.
Bytes descriptor(std::uint8_t tag, const Bytes& body, int length_bytes = 1) {
  Bytes b = {tag};
  for (int i = length_bytes - 1; i >= 0; --i) {
    const auto part = static_cast<std::uint8_t>((body.size() >> (7 * i)) & 0x7F);
    b.push_back(i == 0 ? part : static_cast<std::uint8_t>(part | 0x80));
  }
  append(b, body);
  return b;
}

// ES_Descriptor > DecoderConfigDescriptor > DecoderSpecificInfo, then SLConfig.
Bytes esds_payload(std::uint8_t oti, const Bytes& dsi, std::uint8_t flags = 0,
                   const Bytes& optional_fields = {}, int length_bytes = 1) {
  Bytes config = {oti, 0x15, 0x00, 0x03, 0x00, 0x00, 0x01, 0xF4, 0x00, 0x00, 0x01, 0xF4, 0x00};
  if (!dsi.empty()) append(config, descriptor(5, dsi, length_bytes));
  const Bytes es = concat({{0x00, 0x01, flags},
                           optional_fields,
                           descriptor(4, config, length_bytes),
                           descriptor(6, {0x02}, length_bytes)});
  return descriptor(3, es, length_bytes);
}

// The 28 bytes of an audio sample entry's own fields.
Bytes entry_fields(std::uint16_t channels, std::uint16_t rate) {
  Bytes b(16, 0);
  b[7] = 1;  // data_reference_index
  append_u16(b, channels);
  append(b, Bytes{0x00, 0x10, 0, 0, 0, 0});
  append_u16(b, rate);
  append_u16(b, 0);
  return b;
}
// An mp4a body: the entry's fields, then an esds box around `payload`.
Bytes mp4a_entry(std::uint16_t channels, std::uint16_t rate, const Bytes& payload) {
  return concat({entry_fields(channels, rate), box("esds", concat({Bytes(4, 0), payload}))});
}

struct AudioResult {
  std::string output;
  AudioConfig config;
  AdtsTemplate adts{};
};

// Runs the audio set-up in a directory holding `mp4a` as mp4a.hdr, if given.
AudioResult load_from(const std::optional<Bytes>& mp4a) {
  TempDir dir;
  if (mp4a) dir.write("mp4a.hdr", *mp4a);
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  AudioResult r;
  r.config.object_type = 99;  // the load must start from the defaults
  testing::internal::CaptureStdout();
  EXPECT_TRUE(load_audio_config(r.config));
  r.output = testing::internal::GetCapturedStdout();
  std::filesystem::current_path(previous);
  r.adts = fill_adts_template(r.config);
  return r;
}

struct AudioCase {
  const char* name;
  std::optional<Bytes> mp4a;
  std::string output;
  AudioConfig config;  // object type, sampling index, channel configuration, MP3
  AdtsTemplate adts;
};

const std::string kReading = "Reading 'mp4a.hdr'...\n";
const std::string kDecoded1190 = kReading + "mp4a codec data 0x11 0x90\n";
// ISO/IEC 14496-3 ADTS headers: AAC Main 48 kHz stereo, AAC LC 48 kHz stereo and
// AAC LC 44.1 kHz mono.
const AdtsTemplate kMain48Stereo = {0xFF, 0xF1, 0x0C, 0x80, 0x00, 0x1F, 0xFC};
const AdtsTemplate kLc48Stereo = {0xFF, 0xF1, 0x4C, 0x80, 0x00, 0x1F, 0xFC};
const AdtsTemplate kLc44Mono = {0xFF, 0xF1, 0x50, 0x40, 0x00, 0x1F, 0xFC};
const AdtsTemplate kMain44Mono = {0xFF, 0xF1, 0x10, 0x40, 0x00, 0x1F, 0xFC};

TEST(AudioConfig, DerivesParametersAndAdtsTemplate) {
  const Bytes lc_48k = {0x11, 0x90};
  const AudioCase cases[] = {
      {"no file: defaults",
       std::nullopt,
       "Cannot open 'mp4a.hdr'\n",
       {1, 3, 2, false},
       kMain48Stereo},
      {"11 90: AAC LC, 48 kHz, stereo",
       mp4a_entry(2, 48000, esds_payload(0x40, lc_48k)),
       kDecoded1190,
       {2, 3, 2, false},
       kLc48Stereo},
      {"12 08: AAC LC, 44.1 kHz, mono",
       mp4a_entry(1, 44100, esds_payload(0x40, {0x12, 0x08})),
       kReading + "mp4a codec data 0x12 0x08\n",
       {2, 4, 1, false},
       kLc44Mono},
      {"11 80: channel configuration 0 falls back",
       mp4a_entry(2, 48000, esds_payload(0x40, {0x11, 0x80})),
       kReading + "mp4a codec data 0x11 0x80\nWarning: mp4a channels 2, esds channels 0\n" +
           "Invalid audio freq 48000 or channels 0\n",
       {2, 3, 2, false},
       kLc48Stereo},
      {"esds overrules the sample entry",
       mp4a_entry(2, 48000, esds_payload(0x40, {0x12, 0x08})),
       kReading + "mp4a codec data 0x12 0x08\nWarning: mp4a channels 2, esds channels 1\n" +
           "Warning: mp4a freq 48000, esds freq 44100\n",
       {2, 4, 1, false},
       kLc44Mono},
      // Cameras pad the AudioSpecificConfig; its first two bytes still decode.
      {"5-byte 11 90 00 00 00 is AAC LC",
       mp4a_entry(2, 48000, esds_payload(0x40, {0x11, 0x90, 0, 0, 0})),
       kDecoded1190,
       {2, 3, 2, false},
       kLc48Stereo},
      {"5-byte object type 5 changes nothing",
       mp4a_entry(1, 44100, esds_payload(0x40, {0x2B, 0x92, 0x08, 0x80, 0x00})),
       kReading,
       {1, 4, 1, false},
       kMain44Mono},
      {"1-byte DecoderSpecificInfo changes nothing",
       mp4a_entry(1, 44100, esds_payload(0x40, {0x11})),
       kReading,
       {1, 4, 1, false},
       kMain44Mono},
      {"four-byte lengths",
       mp4a_entry(2, 48000, esds_payload(0x40, lc_48k, 0, {}, 4)),
       kDecoded1190,
       {2, 3, 2, false},
       kLc48Stereo},
      {"dependsOn_ES_ID, URL and OCR_ES_Id",
       mp4a_entry(2, 48000, esds_payload(0x40, lc_48k, 0xE0, {0, 1, 3, 'a', 'b', 'c', 0, 2})),
       kDecoded1190,
       {2, 3, 2, false},
       kLc48Stereo},
      {"OCR flag without its field",
       mp4a_entry(2, 48000, esds_payload(0x40, lc_48k, 0x20)),
       kDecoded1190,
       {2, 3, 2, false},
       kLc48Stereo},
      {"OCR_ES_Id of 4 is skipped",
       mp4a_entry(2, 48000, esds_payload(0x40, lc_48k, 0x20, {4, 4})),
       kDecoded1190,
       {2, 3, 2, false},
       kLc48Stereo},
      {"MPEG-1 audio",
       mp4a_entry(1, 44100, esds_payload(0x6B, {})),
       kReading,
       {1, 4, 1, true},
       kMain44Mono},
      {"channel count 7 and an unknown rate keep the defaults",
       mp4a_entry(7, 12345, esds_payload(0x6B, {})),
       kReading,
       {1, 3, 2, true},
       kMain48Stereo},
      {"entry of 62 bytes",
       concat({entry_fields(1, 44100), Bytes(34, 0)}),
       kReading + "WARNING: Invalid mp4a size 62\n",
       {1, 4, 1, false},
       kMain44Mono},
      {"no esds",
       concat({entry_fields(1, 44100), Bytes(35, 0)}),
       kReading + "WARNING: Invalid esds atom in mp4a header!\n",
       {1, 4, 1, false},
       kMain44Mono},
      {"esds of 34 bytes",
       concat({entry_fields(2, 48000), box("esds", Bytes(26, 0)), Bytes(10, 0)}),
       kReading + "WARNING: Invalid esds atom or esds size 34\n",
       {1, 3, 2, false},
       kMain48Stereo},
      {"descriptor walk fails",
       mp4a_entry(2, 48000, Bytes(30, 0x04)),
       kReading + "Cannot parse esds atom\n",
       {1, 3, 2, false},
       kMain48Stereo},
  };
  for (const AudioCase& c : cases) {
    SCOPED_TRACE(c.name);
    const AudioResult r = load_from(c.mp4a);
    EXPECT_EQ(r.output, c.output);
    EXPECT_EQ(r.config.object_type, c.config.object_type);
    EXPECT_EQ(r.config.sampling_index, c.config.sampling_index);
    EXPECT_EQ(r.config.channel_config, c.config.channel_config);
    EXPECT_EQ(r.config.is_mp3, c.config.is_mp3);
    EXPECT_EQ(r.adts, c.adts);
  }
}

// Real sample entries as ffmpeg's AAC encoder and MP4 writer made them.
TEST(AudioConfig, ReadsSampleEntriesOfRealRecordings) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  struct Recording {
    const char* audio;
    int sampling_index, channel_config;
    AdtsTemplate adts;
  };
  const Recording recordings[] = {
      {"-ar 48000 -ac 2", 3, 2, kLc48Stereo},
      {"-ar 44100 -ac 1", 4, 1, kLc44Mono},
  };
  for (const Recording& rec : recordings) {
    SCOPED_TRACE(rec.audio);
    TempDir dir;
    ASSERT_TRUE(run_ffmpeg(dir, std::string("-f lavfi -i sine=sample_rate=48000 -t 0.1 -c:a aac ") +
                                    rec.audio + " rec.mp4"));
    const auto mp4a = box_body(dir.read("rec.mp4"), "mp4a");
    ASSERT_TRUE(mp4a.has_value());
    const AudioResult r = load_from(*mp4a);
    EXPECT_EQ(r.config.object_type, 2) << r.output;
    EXPECT_EQ(r.config.sampling_index, rec.sampling_index);
    EXPECT_EQ(r.config.channel_config, rec.channel_config);
    EXPECT_EQ(r.adts, rec.adts);
  }
}

// Every prefix, one-bit flips and random bytes: the walk stays inside the payload.
TEST(EsdsWalk, SurvivesTruncatedFlippedAndRandomPayloads) {
  const Bytes payload = esds_payload(0x40, {0x11, 0x90}, 0xE0, {0, 1, 2, 'a', 'b', 0, 2}, 4);
  EsdsInfo info;
  ASSERT_EQ(parse_esds(payload, info), kDescriptorOk);
  EXPECT_EQ(info.object_type_indication, 0x40);
  ASSERT_EQ(info.dsi_length, 2u);
  EXPECT_EQ(payload[info.dsi_offset], 0x11);
  for (std::size_t n = 0; n < payload.size(); ++n) {
    const Bytes prefix(payload.begin(), payload.begin() + static_cast<long>(n));
    EsdsInfo cut;
    (void)parse_esds(prefix, cut);
  }
  for (std::size_t bit = 0; bit < payload.size() * 8; ++bit) {
    Bytes flipped = payload;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
    EsdsInfo flipped_info;
    if (parse_esds(flipped, flipped_info) == kDescriptorOk && flipped_info.dsi_length > 0) {
      EXPECT_LE(flipped_info.dsi_offset + flipped_info.dsi_length, flipped.size());
    }
  }
  for (std::uint32_t seed = 1; seed <= 2000; ++seed) {
    Bytes random = pseudo_random_bytes(seed % 64, seed);
    if (!random.empty()) random[0] = 3;
    EsdsInfo random_info;
    (void)parse_esds(random, random_info);
  }
}

TEST(AudioConfig, SurvivesTruncatedSampleEntries) {
  const Bytes entry = mp4a_entry(2, 48000, esds_payload(0x40, {0x11, 0x90}));
  for (std::size_t n = 0; n < entry.size(); n += 1) {
    SCOPED_TRACE(n);
    (void)load_from(Bytes(entry.begin(), entry.begin() + static_cast<long>(n)));
  }
}

}  // namespace
}  // namespace vidsalvage::test
