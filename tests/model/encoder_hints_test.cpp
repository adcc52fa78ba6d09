#include "model/encoder_hints.h"

#include <gtest/gtest.h>

#include <string>

#include "support/bytes.h"

namespace vidsalvage {
namespace {

using test::Bytes;

// The settings text x264 writes (core 164), shortened where nothing is read.
constexpr const char* kSettings =
    "x264 - core 164 - H.264/MPEG-4 AVC codec - Copyleft 2003-2022 - "
    "http://www.videolan.org/x264.html - options: cabac=1 ref=3 deblock=1:0:0 "
    "analyse=0x3:0x113 me=hex subme=7 psy=1 psy_rd=1.00:0.00 mixed_ref=1 me_range=16 "
    "chroma_me=1 trellis=1 8x8dct=1 cqm=0 deadzone=21,11 fast_pskip=1 chroma_qp_offset=-2 "
    "threads=3 constrained_intra=0 bframes=3 b_pyramid=2 weightb=1 weightp=2 keyint=250 "
    "rc=crf mbtree=1 crf=23.0 qcomp=0.60 qpmin=0 qpmax=69 qpstep=4 ip_ratio=1.40 aq=1:1.00";

TEST(ReadHintsText, TakesTheOptionsThatShapeTheParameterSets) {
  EncoderHints h;
  read_hints_text(kSettings, h);
  EXPECT_TRUE(h.found);
  EXPECT_EQ(h.cabac, 1);
  EXPECT_EQ(h.ref, 3);
  EXPECT_EQ(h.deblock, 1);
  EXPECT_EQ(h.transform_8x8, 1);
  EXPECT_EQ(h.chroma_qp_offset, -2);
  EXPECT_EQ(h.constrained_intra, 0);
  EXPECT_EQ(h.bframes, 3);
  EXPECT_EQ(h.weightb, 1);
  EXPECT_EQ(h.weightp, 2);
  EXPECT_EQ(h.crf, 23);
  EXPECT_FALSE(h.qp.has_value());  // qpmin, qpmax and qpstep are other options
}

TEST(HintedInitQp, FollowsTheRateControl) {
  struct Case {
    const char* name;
    const char* text;
    std::optional<int> qp;
  };
  const Case cases[] = {
      {"constant rate factor: its whole part", "options: rc=crf crf=18.5", 18},
      {"constant QP", "options: rc=cqp qp=30", 30},
      {"average bitrate: 26", "options: rc=abr bitrate=4000 crf=23.0", 26},
      {"stitchable: 26", "options: stitchable=1 rc=crf crf=20.0", 26},
      {"no rate control named", "options: cabac=1", std::nullopt},
      {"no settings text", "x264 - core 164", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EncoderHints h;
    read_hints_text(c.text, h);
    EXPECT_EQ(hinted_init_qp(h), c.qp);
  }
}

// An SEI unit with one user_data_unregistered message: a UUID and the text.
Bytes settings_sei(const std::string& text, bool emulation) {
  Bytes payload(text.begin(), text.end());
  payload.insert(payload.begin(), 16, 0xDC);
  payload.push_back(0);
  Bytes unit = {0x06, 0x05};
  std::size_t size = payload.size();
  for (; size >= 255; size -= 255) unit.push_back(0xFF);
  unit.push_back(static_cast<std::uint8_t>(size));
  if (emulation) {
    // A payload holding 00 00 02 is carried as 00 00 03 02.
    payload[0] = 0;
    payload[1] = 0;
    payload[2] = 2;
    payload.insert(payload.begin() + 2, 0x03);
  }
  test::append(unit, payload);
  unit.push_back(0x80);
  return unit;
}

TEST(ReadEncoderHints, FindsTheTextInAnSeiUnit) {
  for (const bool emulation : {false, true}) {
    SCOPED_TRACE(emulation ? "with an emulation prevention byte" : "plain");
    EncoderHints h;
    read_encoder_hints(settings_sei(kSettings, emulation), h);
    EXPECT_TRUE(h.found);
    EXPECT_EQ(h.crf, 23);
    EXPECT_EQ(h.weightp, 2);
  }
  EncoderHints none;
  read_encoder_hints(settings_sei("no options here", false), none);
  EXPECT_FALSE(none.found);
  const Bytes cut = test::slice(settings_sei(kSettings, false), 0, 40);
  read_encoder_hints(cut, none);
  EXPECT_FALSE(none.found);
}

}  // namespace
}  // namespace vidsalvage
