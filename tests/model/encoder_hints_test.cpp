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

// The settings text libx265 3.5 writes, shortened where nothing is read; its
// last option runs into the conformance window's, as x265 writes it.
constexpr const char* kX265Settings =
    "x265 (build 199) - 3.5+1-f0c1022b6:[Linux][GCC 12.2.0][64 bit] 8bit+10bit+12bit - "
    "H.265/HEVC codec - Copyright 2013-2018 (c) Multicoreware, Inc - http://x265.org - "
    "options: cpuid=1111039 frame-threads=1 wpp no-pmode bitdepth=8 input-csp=1 fps=30000/1001 "
    "input-res=1366x768 interlace=0 no-temporal-layers ref=2 bframes=4 b-pyramid ctu=64 "
    "min-cu-size=8 no-rect no-amp max-tu-size=32 tu-inter-depth=1 tu-intra-depth=2 signhide "
    "no-tskip no-constrained-intra strong-intra-smoothing temporal-mvp weightp no-weightb "
    "deblock=-1:2 sao cbqpoffs=-2 crqpoffs=3 rc=crf crf=28.0 aq-mode=2 cutree qg-size=32 "
    "sar=1 videoformat=5 range=0 colorprim=2 transfer=2 colormatrix=2 log2-max-poc-lsb=8 "
    "no-opt-qp-pps scenecut-aware-qp=0conformance-window-offsets right=0 bottom=0";

TEST(ReadHevcHintsText, TakesValuesFlagsAndTheirNegations) {
  HevcEncoderHints h;
  read_hevc_hints_text(kX265Settings, h);
  ASSERT_TRUE(h.found);
  struct Field {
    const char* name;
    std::optional<int> got;
    int want;
  };
  const Field fields[] = {
      {"input-res width", h.width, 1366},
      {"input-res height", h.height, 768},
      {"fps numerator", h.fps_numerator, 30000},
      {"fps denominator", h.fps_denominator, 1001},
      {"bitdepth", h.bitdepth, 8},
      {"input-csp", h.input_csp, 1},
      {"no-temporal-layers", h.temporal_layers, 0},
      {"wpp", h.wpp, 1},
      {"ctu", h.ctu, 64},
      {"min-cu-size", h.min_cu_size, 8},
      {"no-amp", h.amp, 0},
      {"max-tu-size", h.max_tu_size, 32},
      {"tu-intra-depth", h.tu_intra_depth, 2},
      {"no-weightb", h.weightb, 0},
      {"weightp", h.weightp, 1},
      {"deblock", h.deblock, 1},
      {"deblock tc", h.deblock_tc, -1},
      {"deblock beta", h.deblock_beta, 2},
      {"cbqpoffs", h.cbqpoffs, -2},
      {"crqpoffs", h.crqpoffs, 3},
      {"cutree", h.cutree, 1},
      {"no-opt-qp-pps", h.opt_qp_pps, 0},
      {"conformance window right", h.crop_right, 0},
      {"conformance window bottom", h.crop_bottom, 0},
  };
  for (const Field& f : fields) {
    SCOPED_TRACE(f.name);
    EXPECT_EQ(f.got, f.want);
  }
  EXPECT_FALSE(h.lossless.has_value());
}

TEST(ReadHevcHintsText, TakesOnlyX265Text) {
  struct Case {
    const char* name;
    const char* text;
    bool found;
    std::optional<int> deblock;
  };
  const Case cases[] = {
      {"x264's text", kSettings, false, std::nullopt},
      {"no options", "x265 (build 199) - H.265/HEVC codec", false, std::nullopt},
      {"deblocking off", "H.265/HEVC codec - options: no-deblock", true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HevcEncoderHints h;
    read_hevc_hints_text(c.text, h);
    EXPECT_EQ(h.found, c.found);
    EXPECT_EQ(h.deblock, c.deblock);
  }
}

TEST(ReadHevcEncoderHints, FindsTheTextInAPrefixSeiUnit) {
  // The H.264 unit with its one-byte header made a prefix SEI with two.
  Bytes unit = settings_sei(kX265Settings, false);
  unit[0] = 39 << 1;
  unit.insert(unit.begin() + 1, 0x01);
  HevcEncoderHints h;
  read_hevc_encoder_hints(unit, h);
  EXPECT_TRUE(h.found);
  EXPECT_EQ(h.ctu, 64);
  HevcEncoderHints suffix;
  unit[0] = 40 << 1;  // a suffix SEI: x265 writes the text in a prefix one
  read_hevc_encoder_hints(unit, suffix);
  EXPECT_FALSE(suffix.found);
  HevcEncoderHints cut;
  read_hevc_encoder_hints(test::slice(unit, 0, 60), cut);
  EXPECT_FALSE(cut.found);
}

}  // namespace
}  // namespace vidsalvage
