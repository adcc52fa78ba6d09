#include "codec/mpeg4_audio_config.h"

#include <gtest/gtest.h>

#include <string>

#include "support/bit_writer.h"
#include "support/bytes.h"

namespace vidsalvage::test {
namespace {

// An explicitly signalled HE-AAC config (ISO/IEC 14496-3, 1.6.2.1): the type, the
// core's rate and channels, the extension's rate, then the core's type.
Bytes explicit_sbr(std::uint32_t type, std::uint32_t core_index, std::uint32_t channels,
                   std::uint32_t extension_index, std::uint32_t core_type) {
  BitWriter w;
  w.bits(type, 5).bits(core_index, 4).bits(channels, 4).bits(extension_index, 4);
  w.bits(core_type, 5).bits(0, 3);  // GASpecificConfig's three flags
  return w.raw();
}

Bytes escaped_type(std::uint32_t type) {
  BitWriter w;
  w.bits(31, 5).bits(type - 32, 6).bits(3, 4).bits(2, 4).bits(0, 5);
  return w.raw();
}

Bytes explicit_rate(std::uint32_t type, std::uint32_t frequency, std::uint32_t channels) {
  BitWriter w;
  w.bits(type, 5).bits(15, 4).bits(frequency, 24).bits(channels, 4).bits(0, 3);
  return w.raw();
}

struct AscCase {
  const char* name;
  Bytes asc;
  AscOutcome outcome;
  int object_type;  // for Adts: the ADTS profile's type; for UnsupportedType: the refused one
  int sampling_index;
  int channel_config;
};

TEST(AudioSpecificConfig, DecidesWhatAnAdtsHeaderCarries) {
  const AscCase cases[] = {
      {"LC 48000 stereo (ffmpeg's aac)", {0x11, 0x90}, AscOutcome::Adts, 2, 3, 2},
      {"LC 22050 mono", {0x13, 0x88}, AscOutcome::Adts, 2, 7, 1},
      {"Main 44100 stereo", {0x0A, 0x10}, AscOutcome::Adts, 1, 4, 2},
      {"LTP 8000 5.1", {0x25, 0xB0}, AscOutcome::Adts, 4, 11, 6},
      {"LC 24000 with implicit SBR behind it",
       {0x13, 0x10, 0x56, 0xE5, 0x98},
       AscOutcome::Adts,
       2,
       6,
       2},
      {"HE-AAC: the core's 24000, not the extension's 48000", explicit_sbr(5, 6, 2, 3, 2),
       AscOutcome::Adts, 2, 6, 2},
      {"HE-AAC v2: a mono core at 22050", explicit_sbr(29, 7, 1, 4, 2), AscOutcome::Adts, 2, 7, 1},
      {"HE-AAC over an ER core", explicit_sbr(5, 6, 2, 3, 22), AscOutcome::UnsupportedType, 22, 0,
       0},
      {"an explicit 44100 Hz", explicit_rate(2, 44100, 2), AscOutcome::Adts, 2, 4, 2},
      {"an explicit 45000 Hz", explicit_rate(2, 45000, 2), AscOutcome::UnsupportedRate, 0, 0, 0},
      {"a reserved index falls back to 48000 stereo", {0x16, 0x88}, AscOutcome::Adts, 2, 3, 2},
      {"channels from a program config fall back too", {0x11, 0x80}, AscOutcome::Adts, 2, 3, 2},
      {"USAC behind the escape", escaped_type(42), AscOutcome::UnsupportedType, 42, 0, 0},
      {"ER AAC LD", {0xB9, 0x90}, AscOutcome::UnsupportedType, 23, 0, 0},
      {"no object", {0x01, 0x90}, AscOutcome::UnsupportedType, 0, 0, 0},
      {"empty", {}, AscOutcome::TooShort, 0, 0, 0},
      {"one byte", {0x11}, AscOutcome::TooShort, 0, 0, 0},
      {"HE-AAC without its core type", {0x2B, 0x11}, AscOutcome::TooShort, 0, 0, 0},
      {"an explicit rate cut off", {0x17, 0x80, 0x00}, AscOutcome::TooShort, 0, 0, 0},
  };
  for (const AscCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes asc = c.asc;  // its own vector: AddressSanitizer sees its end
    AudioConfig config;
    config.object_type = 9;
    const AscDecision d = adts_config_from_asc(asc, config);
    EXPECT_EQ(d.outcome, c.outcome);
    if (c.outcome == AscOutcome::Adts) {
      EXPECT_EQ(config.object_type, c.object_type);
      EXPECT_EQ(config.sampling_index, c.sampling_index);
      EXPECT_EQ(config.channel_config, c.channel_config);
    } else {
      EXPECT_EQ(config.object_type, 9);  // untouched
    }
    if (c.outcome == AscOutcome::UnsupportedType) {
      EXPECT_EQ(d.refused_type, c.object_type);
      EXPECT_FALSE(std::string(audio_object_type_name(d.refused_type)).empty());
    }
  }
}

TEST(AudioSpecificConfig, HeadReadsTheTwoByteLayoutWhateverTheType) {
  // mp4a.hdr's reading takes the first two bytes as they lie, escape or not.
  const AscHead head = read_asc_head(0xF9, 0x90);
  EXPECT_EQ(head.object_type, 31);
  EXPECT_EQ(head.sampling_index, 3);
  EXPECT_EQ(head.channel_config, 2);
}

}  // namespace
}  // namespace vidsalvage::test
