#include "model/audio_inference.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/bytes.h"

namespace vidsalvage {
namespace {

using test::Bytes;

TEST(PickRates, FindsThePairWhoseFrameCountFits) {
  struct Case {
    const char* name;
    double ratio;
    std::uint32_t rate;
    double fps;
    bool fps_guessed;
    bool rate_guessed;
  };
  const Case cases[] = {
      // 30 and 29.97 lie 0.1% apart: frames cannot tell them, 30 comes first.
      {"48 kHz at 30 fps", 48000.0 / 1024 / 30, 48000, 30, true, false},
      {"48 kHz at 25 fps", 48000.0 / 1024 / 25, 48000, 25, false, false},
      {"48 kHz at 60 fps, a frame short", 48000.0 / 1024 / 60 * 0.995, 48000, 60, true, false},
      {"44.1 kHz at 30 fps", 44100.0 / 1024 / 30, 44100, 30, true, false},
      {"48 kHz at 24 fps", 48000.0 / 1024 / 24, 48000, 24, true, false},
      {"no audio", 0, 48000, 30, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RatePick pick = pick_rates(c.ratio);
    EXPECT_EQ(pick.sampling_rate, c.rate);
    EXPECT_NEAR(static_cast<double>(pick.fps_numerator) / pick.fps_denominator, c.fps, 0.05);
    EXPECT_EQ(pick.fps_guessed, c.fps_guessed);
    EXPECT_EQ(pick.rate_guessed, c.rate_guessed);
  }
}

// ISO/IEC 14496-3 1.6.2.1: object type 2, the rate's index, the channels.
TEST(AacLcConfig, PacksTypeRateAndChannels) {
  EXPECT_EQ(aac_lc_config(48000, 2), (Bytes{0x11, 0x90}));
  EXPECT_EQ(aac_lc_config(44100, 1), (Bytes{0x12, 0x08}));
}

// A frame beginning with `head`, `size` bytes long, the rest counting up.
Bytes frame(Bytes head, std::size_t size) {
  for (std::size_t i = head.size(); i < size; ++i)
    head.push_back(static_cast<std::uint8_t>(0x40 + i % 64));
  return head;
}

std::vector<AudioStretch> stretches_of(const std::vector<Bytes>& bytes) {
  std::vector<AudioStretch> out;
  std::int64_t offset = 1000;
  for (const Bytes& b : bytes) {
    out.push_back({offset, b});
    offset += static_cast<std::int64_t>(b.size()) + 5000;
  }
  return out;
}

TEST(InferAac, CutsStretchesWhereTheirFirstBytesComeAgain) {
  const Bytes pair = {0x21, 0x1A, 0x8F};  // a channel pair element
  std::vector<Bytes> bytes;
  for (int i = 0; i < 10; ++i) {
    bytes.push_back(i % 2 == 0 ? frame(pair, 300)
                               : test::concat({frame(pair, 310), frame(pair, 290)}));
  }
  const AacInference aac = infer_aac(stretches_of(bytes));
  ASSERT_TRUE(aac.found);
  EXPECT_EQ(aac.channel_config, 2u);
  EXPECT_EQ(aac.stretches, 10u);
  ASSERT_EQ(aac.frames.size(), 15u);
  EXPECT_EQ(aac.frames[0].offset, 1000);
  EXPECT_EQ(aac.frames[0].size, 300u);
  EXPECT_EQ(aac.frames[1].size, 310u);
  EXPECT_EQ(aac.frames[2].size, 290u);
  EXPECT_EQ(aac.frames[2].offset, aac.frames[1].offset + 310);
}

TEST(InferAac, TellsMonoAndRefusesWhatIsNotAac) {
  const Bytes single = {0x00, 0x9A, 0x10};
  std::vector<Bytes> mono(8, frame(single, 120));
  const AacInference one = infer_aac(stretches_of(mono));
  EXPECT_TRUE(one.found);
  EXPECT_EQ(one.channel_config, 1u);

  std::vector<Bytes> other;
  for (std::uint8_t i = 0; i < 8; ++i)
    other.push_back(frame({static_cast<std::uint8_t>(i << 5), 1, 2}, 100));
  EXPECT_FALSE(infer_aac(stretches_of(other)).found);
  EXPECT_FALSE(infer_aac({}).found);
  EXPECT_FALSE(infer_aac(stretches_of({Bytes{0x21, 0x1A}})).found);
}

}  // namespace
}  // namespace vidsalvage
