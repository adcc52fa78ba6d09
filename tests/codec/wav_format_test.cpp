#include "codec/wav_format.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "support/bytes.h"
#include "support/media.h"
#include "support/temp_dir.h"

namespace vidsalvage::test {
namespace {

Bytes header_of(const WavFormat& format) {
  Bytes header;
  EXPECT_TRUE(make_wav_header(format, header));
  return header;
}

TEST(WavFormat, SixteenBitStereoIsThePlainHeaderOfOld) {
  // clang-format off
  const Bytes expected = {
      'R', 'I', 'F', 'F', ' ', ' ', ' ', ' ', 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
      16, 0, 0, 0, 1, 0, 2, 0, 0x80, 0xBB, 0x00, 0x00, 0x00, 0xEE, 0x02, 0x00, 4, 0, 16, 0,
      'd', 'a', 't', 'a', ' ', ' ', ' ', ' '};
  // clang-format on
  EXPECT_EQ(header_of(WavFormat{}), expected);
}

TEST(WavFormat, ExtensibleHeaderCarriesValidBitsMaskAndSubtype) {
  WavFormat format;
  format.kind = WavSampleKind::Float;
  format.bits = 32;
  format.channels = 6;
  format.rate = 44100;
  format.channel_mask = 0x3F;
  const Bytes h = header_of(format);
  ASSERT_EQ(h.size(), 68u);
  EXPECT_EQ(slice(h, 16, 4), (Bytes{40, 0, 0, 0}));
  EXPECT_EQ(slice(h, 20, 2), (Bytes{0xFE, 0xFF}));
  EXPECT_EQ(slice(h, 32, 4), (Bytes{24, 0, 32, 0}));  // block align, bits
  EXPECT_EQ(slice(h, 36, 8), (Bytes{22, 0, 32, 0, 0x3F, 0, 0, 0}));
  // KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 00000003-0000-0010-8000-00aa00389b71.
  EXPECT_EQ(slice(h, 44, 16), (Bytes{0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                     0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}));
  EXPECT_EQ(slice(h, 60, 8), bytes_of("data    "));
}

TEST(WavFormat, RefusesWhatWavCannotDescribe) {
  struct Case {
    const char* name;
    WavFormat format;
  };
  const auto with = [](WavSampleKind kind, std::uint32_t bits, std::uint32_t channels,
                       std::uint32_t rate, std::uint32_t valid_bits = 0) {
    WavFormat f;
    f.kind = kind;
    f.bits = bits;
    f.channels = channels;
    f.rate = rate;
    f.valid_bits = valid_bits;
    return f;
  };
  const WavSampleKind i = WavSampleKind::Integer;
  const Case cases[] = {
      {"12 bits", with(i, 12, 2, 48000)},
      {"40 bits", with(i, 40, 2, 48000)},
      {"16-bit float", with(WavSampleKind::Float, 16, 2, 48000)},
      {"no channels", with(i, 16, 0, 48000)},
      {"65,536 channels", with(i, 8, 65536, 48000)},
      {"a block beyond 16 bits", with(i, 32, 16384, 8000)},
      {"a byte rate beyond 32 bits", with(i, 32, 8, 200000000)},
      {"no rate", with(i, 16, 2, 0)},
      {"more valid bits than stored", with(i, 16, 2, 48000, 20)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes header = {0xAA};
    EXPECT_FALSE(make_wav_header(c.format, header));
    EXPECT_EQ(header, Bytes{0xAA});
  }
}

TEST(WavFormat, SizePatchFollowsTheHeaderAndStopsAtFourGigabytes) {
  struct Case {
    std::int64_t header, file;
    std::uint32_t riff, data;
    std::int64_t data_offset;
    bool clamped;
  };
  const Case cases[] = {
      {44, 44, 36, 0, 40, false},
      {68, 1068, 1060, 1000, 64, false},
      {44, 0xFFFFFFFF, 0xFFFFFFF7, 0xFFFFFFFF - 44, 40, false},
      {68, 0x100000000, 0xFFFFFFF7, 0xFFFFFFFF - 68, 64, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const WavSizePatch p = wav_size_patch(c.header, c.file);
    EXPECT_EQ(p.riff_size_offset, 4);
    EXPECT_EQ(p.riff_size, c.riff);
    EXPECT_EQ(p.data_size_offset, c.data_offset);
    EXPECT_EQ(p.data_size, c.data);
    EXPECT_EQ(p.clamped, c.clamped);
  }
}

// What ffprobe reads from a WAV file.
std::map<std::string, std::string> probe(const TempDir& dir, const std::string& name) {
  std::istringstream lines(run_and_capture(
      dir,
      "ffprobe -v error -show_entries stream=codec_name,channels,sample_rate,duration_ts "
      "-of default=nw=1 " +
          name));
  std::map<std::string, std::string> fields;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

TEST(WavFormat, FfprobeReadsEveryKindWithItsLength) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  struct Case {
    WavSampleKind kind;
    std::uint32_t bits, channels, rate;
    const char* codec;
  };
  const WavSampleKind i = WavSampleKind::Integer;
  const WavSampleKind f = WavSampleKind::Float;
  const Case cases[] = {
      {i, 8, 1, 8000, "pcm_u8"},      {i, 16, 1, 22050, "pcm_s16le"},
      {i, 16, 6, 48000, "pcm_s16le"}, {i, 24, 2, 48000, "pcm_s24le"},
      {i, 32, 4, 96000, "pcm_s32le"}, {f, 32, 2, 44100, "pcm_f32le"},
      {f, 64, 1, 48000, "pcm_f64le"}, {f, 32, 8, 48000, "pcm_f32le"},
  };
  constexpr std::uint32_t kFrames = 1000;
  for (const Case& c : cases) {
    const std::string name = std::string(c.codec) + "_" + std::to_string(c.channels) + ".wav";
    SCOPED_TRACE(name);
    WavFormat format;
    format.kind = c.kind;
    format.bits = c.bits;
    format.channels = c.channels;
    format.rate = c.rate;
    Bytes file = header_of(format);
    const std::int64_t header_bytes = static_cast<std::int64_t>(file.size());
    file.resize(file.size() + kFrames * c.channels * c.bits / 8, 0);
    const WavSizePatch patch = wav_size_patch(header_bytes, static_cast<std::int64_t>(file.size()));
    for (int b = 0; b < 4; ++b) {
      file[static_cast<std::size_t>(patch.riff_size_offset + b)] =
          static_cast<std::uint8_t>(patch.riff_size >> (8 * b));
      file[static_cast<std::size_t>(patch.data_size_offset + b)] =
          static_cast<std::uint8_t>(patch.data_size >> (8 * b));
    }
    TempDir dir;
    dir.write(name, file);
    const auto fields = probe(dir, name);
    EXPECT_EQ(fields.count("codec_name") ? fields.at("codec_name") : "", c.codec);
    EXPECT_EQ(fields.count("channels") ? fields.at("channels") : "", std::to_string(c.channels));
    EXPECT_EQ(fields.count("sample_rate") ? fields.at("sample_rate") : "", std::to_string(c.rate));
    EXPECT_EQ(fields.count("duration_ts") ? fields.at("duration_ts") : "", std::to_string(kFrames));
  }
}

}  // namespace
}  // namespace vidsalvage::test
