// PCM samples of the layouts tracks hold: what reads as audio, and how a WAV
// file wants them.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "codec/pcm_test.h"
#include "codec/wav_format.h"
#include "support/bytes.h"

namespace vidsalvage {
namespace {
using test::Bytes;

struct LayoutCase {
  const char* name;
  PcmLayout layout;
  Bytes bytes;
  bool pcm;
};

TEST(PcmLayout, TakesSmoothFramesOfTheTracksLayoutForAudio) {
  const PcmLayout mono24{24, 1, true, false, true};
  const PcmLayout be16{16, 1, false, false, true};
  const PcmLayout float32{32, 2, true, true, true};
  const PcmLayout u8{8, 2, true, false, false};
  const PcmLayout six{16, 6, true, false, true};
  const LayoutCase cases[] = {
      {"24-bit mono, a small step", mono24, {0x10, 0x20, 0x00, 0x15, 0x20, 0x00}, true},
      {"24-bit mono, a step across zero", mono24, {0xF0, 0xFF, 0xFF, 0x10, 0x00, 0x00}, true},
      {"24-bit mono, half the scale", mono24, {0x00, 0x00, 0xC0, 0x00, 0x00, 0x40}, false},
      {"one frame is no test", mono24, {0x10, 0x20, 0x00, 0x15, 0x20}, false},
      {"16-bit big-endian", be16, {0x12, 0x34, 0x12, 0x50}, true},
      {"16-bit read the wrong way round", be16, {0x34, 0x12, 0x50, 0x12}, false},
      {"floats near zero",
       float32,
       {0, 0, 0, 0x3D, 0, 0, 0, 0xBD, 0, 0, 0x20, 0x3D, 0, 0, 0, 0xBD},
       true},
      {"NaN", float32, {0, 0, 0xC0, 0x7F, 0, 0, 0, 0, 0, 0, 0xC0, 0x7F, 0, 0, 0, 0}, false},
      {"8-bit offset binary at silence", u8, {0x80, 0x81, 0x7F, 0x80}, true},
      {"8-bit offset binary from top to bottom", u8, {0xFF, 0x80, 0x00, 0x80}, false},
      {"six channels, one of them jumping",
       six,
       {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x60, 0, 0},
       false},
      {"six channels of silence", six, Bytes(24, 0), true},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(looks_like_pcm(c.bytes, c.layout), c.pcm);
  }
}

struct StepCase {
  const char* name;
  PcmLayout layout;
  Bytes bytes;
  double step;  // as a share of full scale
};

// The step measures how far audio moves, to tell one sound's samples from where
// two meet: the largest channel's, on one scale for every layout.
TEST(PcmLayout, MeasuresTheLargestStepOfAnyChannel) {
  const double kNone = std::numeric_limits<double>::infinity();
  const PcmLayout stereo16{16, 2, true, false, true};
  const PcmLayout be24{24, 1, false, false, true};
  const PcmLayout u8{8, 1, true, false, false};
  const PcmLayout float32{32, 1, true, true, true};
  const StepCase cases[] = {
      {"silence", stereo16, Bytes(8, 0), 0.0},
      {"the second channel steps a quarter", stereo16, {0, 0, 0, 0, 0, 0, 0x00, 0x20}, 0.25},
      {"from minus a half to plus a half", be24, {0xC0, 0, 0, 0x40, 0, 0}, 1.0},
      {"offset binary from the middle to a quarter below", u8, {0x80, 0x60}, 0.25},
      {"a float stepping from 0 to 0.5", float32, {0, 0, 0, 0, 0, 0, 0, 0x3F}, 0.5},
      {"a float beyond full scale", float32, {0, 0, 0, 0x40, 0, 0, 0, 0}, kNone},
      {"one frame", stereo16, Bytes(4, 0), kNone},
  };
  for (const StepCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(pcm_step(c.bytes, c.layout), c.step);
  }
}

struct WavCase {
  const char* name;
  std::uint32_t bits;
  bool little_endian;
  bool signed_samples;
  Bytes in;
  Bytes out;  // as a WAV file holds them
};

TEST(PcmLayout, ConvertsSamplesToWhatWavHolds) {
  const WavCase cases[] = {
      // WAV's 8-bit samples are offset binary: -128 is 0x00, 0 is 0x80, 127 is 0xFF.
      {"signed 8-bit", 8, true, true, {0x80, 0x00, 0x7F, 0xFF}, {0x00, 0x80, 0xFF, 0x7F}},
      {"signed 8-bit, big-endian alike", 8, false, true, {0x80, 0x01}, {0x00, 0x81}},
      {"unsigned 8-bit stays", 8, true, false, {0x80, 0x00, 0x7F}, {0x80, 0x00, 0x7F}},
      {"16-bit big-endian", 16, false, true, {0x12, 0x34, 0xAB, 0xCD}, {0x34, 0x12, 0xCD, 0xAB}},
      {"24-bit big-endian, a partial sample left",
       24,
       false,
       true,
       {0x01, 0x02, 0x03, 0x0A, 0x0B},
       {0x03, 0x02, 0x01, 0x0A, 0x0B}},
      {"16-bit little-endian stays", 16, true, true, {0x12, 0x34}, {0x12, 0x34}},
  };
  for (const WavCase& c : cases) {
    SCOPED_TRACE(c.name);
    const PcmToWav conversion = pcm_to_wav(c.bits, c.little_endian, c.signed_samples);
    Bytes samples = c.in;
    convert_pcm_to_wav(samples, c.bits, conversion);
    EXPECT_EQ(samples, c.out);
    EXPECT_EQ(conversion == PcmToWav::Copy, c.in == c.out);
  }
}

}  // namespace
}  // namespace vidsalvage
