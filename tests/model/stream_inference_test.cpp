#include "model/stream_inference.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/esds.h"
#include "support/bytes.h"
#include "support/media.h"
#include "support/temp_dir.h"
#include "support/tracks.h"

namespace vidsalvage {
namespace {

using test::Bytes;

bool infer(const Bytes& bytes, const SliceJudge& judge, StreamModel& model, InferenceReport& report,
           InferStatus& status) {
  InputWindow window;
  open_memory_input(window, bytes);
  const bool ok = infer_model(window, judge, model, report, status);
  release_input(window);
  return ok;
}

TEST(InferModel, RefusesBytesThatOnlyLookLikeUnits) {
  for (const std::uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    const Bytes noise =
        test::concat({test::box("ftyp", test::bytes_of("isom\0\0\0\0")),
                      test::box("mdat", test::pseudo_random_bytes(2 * 1024 * 1024, seed))});
    StreamModel model;
    InferenceReport report;
    InferStatus status = InferStatus::Ok;
    EXPECT_FALSE(infer(noise, SliceJudge{}, model, report, status));
    EXPECT_TRUE(status == InferStatus::NoPictures || status == InferStatus::NoVideo);
  }
}

TEST(InferModel, MakesAModelOfAnX264RecordingWithoutItsMovie) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  test::TempDir dir;
  ASSERT_TRUE(test::run_ffmpeg(
      dir,
      "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=sample_rate=44100 -t 4 "
      "-c:v libx264 -preset veryfast -c:a aac -ac 1 a.mp4"));
  const Bytes intact = dir.read("a.mp4");
  const Bytes damaged = test::cut_moov(intact);
  ASSERT_FALSE(damaged.empty());
  for (const bool with_judge : {false, true}) {
    SCOPED_TRACE(with_judge ? "with a judge" : "without a judge");
    // Clean at 320x240 alone: a parser of slice data finds no other size.
    const SliceJudge judge = [](std::span<const std::uint8_t>, const AvcParameterSets& sets) {
      const bool right =
          sets.sps[0]->pic_width_in_mbs == 20 && sets.sps[0]->pic_height_in_map_units == 15;
      return SliceVerdict{right ? SliceEnd::Clean : SliceEnd::Invalid, 0, 300, right};
    };
    StreamModel model;
    InferenceReport report;
    InferStatus status = InferStatus::Ok;
    ASSERT_TRUE(infer(damaged, with_judge ? judge : SliceJudge{}, model, report, status));
    EXPECT_EQ(report.nal_length_size, 4u);
    EXPECT_EQ(report.chains, 100u);
    EXPECT_EQ(report.size_measured, with_judge);
    EXPECT_EQ(report.width, with_judge ? 320u : 1920u);
    EXPECT_EQ(report.audio, AudioFinding::Aac);
    EXPECT_EQ(report.channels, 1u);
    EXPECT_EQ(report.rates.sampling_rate, 44100u);
    EXPECT_EQ(report.rates.fps_numerator, 25u);
    EXPECT_TRUE(report.hints.found);
    const std::string comments = guess_comments(report);
    EXPECT_EQ(comments.find("# guessed picture size") != std::string::npos, !with_judge);
    ASSERT_EQ(model.tracks.size(), 2u);
    EXPECT_EQ(model.audio.config, (Bytes{0x12, 0x08}));
    std::string text;
    ModelFault fault;
    EXPECT_TRUE(format_model(model, text, fault)) << fault.record << ": " << fault.reason;
  }
}

TEST(SampleEntries, CarryTheConfigurationsWhole) {
  const Bytes config = {0x11, 0x90};
  EsdsInfo info;
  const Bytes esds = esds_body(config);
  ASSERT_EQ(parse_esds(esds, info), kDescriptorOk);
  EXPECT_EQ(info.object_type_indication, kObjectTypeMpeg4Audio);
  EXPECT_EQ(Bytes(esds.begin() + static_cast<std::ptrdiff_t>(info.dsi_offset),
                  esds.begin() + static_cast<std::ptrdiff_t>(info.dsi_offset + info.dsi_length)),
            config);
  // ISO/IEC 14496-12 12.1.3 and 12.2.3: the entries' fixed fields, then the box.
  const Bytes avcc = {1, 0x64, 0, 0x28, 0xFF, 0xE0, 0};
  const Bytes avc1 = avc1_entry(avcc, 1280, 720);
  EXPECT_EQ(test::read_be(avc1, 0, 4), avc1.size());
  EXPECT_EQ(std::string(avc1.begin() + 4, avc1.begin() + 8), "avc1");
  EXPECT_EQ(test::read_be(avc1, 32, 2), 1280u);
  EXPECT_EQ(test::read_be(avc1, 34, 2), 720u);
  EXPECT_EQ(std::string(avc1.begin() + 90, avc1.begin() + 94), "avcC");
  EXPECT_EQ(avc1.size(), 86 + 8 + avcc.size());
  const Bytes mp4a = mp4a_entry(config, 2, 48000);
  EXPECT_EQ(test::read_be(mp4a, 0, 4), mp4a.size());
  EXPECT_EQ(test::read_be(mp4a, 24, 2), 2u);
  EXPECT_EQ(test::read_be(mp4a, 32, 4), 48000u << 16);
  EXPECT_EQ(std::string(mp4a.begin() + 40, mp4a.begin() + 44), "esds");
}

}  // namespace
}  // namespace vidsalvage
