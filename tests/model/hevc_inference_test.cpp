#include "model/hevc_inference.h"

#include <gtest/gtest.h>

#include <string>

#include "support/bytes.h"

namespace vidsalvage {
namespace {

using test::Bytes;

TEST(HevcLevelFor, TakesTheSmallestLevelHoldingSizeAndRate) {
  struct Case {
    std::uint32_t width, height;
    double fps;
    std::uint32_t level;
  };
  // H.265 Table A.8: 2.1 holds 360p30, 3.1 720p30, 4 1080p30, 4.1 1080p60, 5 2160p30, 5.1 2160p60.
  const Case cases[] = {{1280, 720, 30, 93},   {1920, 1080, 30, 120}, {1920, 1080, 60, 123},
                        {3840, 2160, 30, 150}, {3840, 2160, 60, 153}, {640, 360, 30, 63},
                        {8192, 4320, 120, 186}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    EXPECT_EQ(hevc_level_for(c.width, c.height, c.fps), c.level);
  }
}

// A prefix SEI unit with one user_data_unregistered message holding `text`.
Bytes settings_sei(const std::string& text) {
  Bytes payload(text.begin(), text.end());
  payload.insert(payload.begin(), 16, 0xDC);
  Bytes unit = {39 << 1, 0x01, 0x05};
  std::size_t size = payload.size();
  for (; size >= 255; size -= 255) unit.push_back(0xFF);
  unit.push_back(static_cast<std::uint8_t>(size));
  test::append(unit, payload);
  unit.push_back(0x80);
  return unit;
}

// Pictures that are slices of junk: no settings, or settings the slices do not
// read under, end the inference with what is missing.
TEST(InferHevcSets, SaysWhatStopsIt) {
  struct Case {
    const char* name;
    std::string text;  // empty: no SEI
    HevcInferStatus status;
    std::uint8_t slice_byte = 0x00;  // the bits after the first-segment flag and PPS id
  };
  const std::string options = "x265 - H.265/HEVC codec - options: ";
  const Case cases[] = {
      {"no settings text", "", HevcInferStatus::NoSettings},
      {"no picture size", options + "ctu=64", HevcInferStatus::NoSettings},
      {"a tree block of 48", options + "input-res=1280x720 ctu=48", HevcInferStatus::NoSettings},
      {"coding blocks of 0", options + "input-res=1280x720 min-cu-size=0",
       HevcInferStatus::NoSettings},
      {"coding blocks above the tree block", options + "input-res=1280x720 ctu=16 min-cu-size=32",
       HevcInferStatus::NoSettings},
      {"transform blocks of 64", options + "input-res=1280x720 max-tu-size=64",
       HevcInferStatus::NoSettings},
      {"a transform tree too deep", options + "input-res=1280x720 ctu=16 tu-intra-depth=4",
       HevcInferStatus::NoSettings},
      {"17 picture order bits", options + "input-res=1280x720 log2-max-poc-lsb=17",
       HevcInferStatus::NoSettings},
      {"4:2:2", options + "input-res=1280x720 input-csp=2", HevcInferStatus::Unsupported},
      {"12-bit", options + "input-res=1280x720 bitdepth=12", HevcInferStatus::Unsupported},
      {"an odd height in 4:2:0", options + "input-res=1280x721", HevcInferStatus::Unsupported},
      {"slices that read under nothing", options + "input-res=1280x720", HevcInferStatus::Unread},
      // A B slice, its lsb all ones, then short_term_ref_pic_set_sps_flag 1.
      {"sets kept in the SPS", options + "input-res=1280x720", HevcInferStatus::SpsRefSets, 0xFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes;
    if (!c.text.empty()) test::append(bytes, test::length_prefixed(settings_sei(c.text)));
    for (int i = 0; i < 8; ++i) {
      // TRAIL_R, first segment, PPS 0; zeros make a slice type that never ends.
      const auto third = static_cast<std::uint8_t>(0xC0 | c.slice_byte);
      test::append(bytes, test::length_prefixed(Bytes{0x02, 0x01, third, c.slice_byte, c.slice_byte,
                                                      c.slice_byte, 0x01}));
    }
    ChainScan scan;
    scan.codec = VideoCodec::Hevc;
    scan.blocks.push_back({0, bytes, {}});
    scan.blocks[0].chains = find_chains(scan.blocks[0].bytes, 4, VideoCodec::Hevc);
    HevcInference out;
    EXPECT_EQ(infer_hevc_sets(scan, 30, 1, out), c.status);
  }
}

}  // namespace
}  // namespace vidsalvage
