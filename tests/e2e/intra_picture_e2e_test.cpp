// The intra rebuild against ffmpeg's decoder with its loop filter skipped: the
// first picture of x264 streams, rebuilt from the slice data parse under the
// stream's own parameter sets, matches sample for sample; under another initial
// QP it does not.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/intra_picture.h"
#include "codec/slice_data.h"
#include "codec/slice_header.h"
#include "support/media.h"
#include "support/temp_dir.h"
#include "support/tracks.h"

namespace vidsalvage {
namespace {

using test::Bytes;

struct Clip {
  const char* name;
  std::string args;  // input and encoder arguments; sizes whole macroblocks, so nothing is cropped
};

const Clip kClips[] = {
    {"baseline, 4x4 only",
     "-f lavfi -i mandelbrot=size=320x240 -pix_fmt yuv420p -profile:v baseline"},
    {"CAVLC, 8x8 transform, adaptive quantisation",
     "-f lavfi -i mandelbrot=size=320x240 -pix_fmt yuv420p -x264-params cabac=0:aq-mode=2"},
    {"CABAC, chroma offset -2 with psy",
     "-f lavfi -i testsrc2=size=320x240 -pix_fmt yuv420p -preset medium"},
    {"four slices, QP 40",
     "-f lavfi -i testsrc2=size=320x240 -pix_fmt yuv420p -qp 40 "
     "-x264-params slices=4:cabac=0"},
};

TEST(IntraPictureE2e, FirstPictureMatchesTheDecoderWithoutLoopFilter) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  for (const Clip& clip : kClips) {
    SCOPED_TRACE(clip.name);
    test::TempDir dir;
    ASSERT_TRUE(test::run_ffmpeg(dir, clip.args + " -frames:v 1 -c:v libx264 -f h264 a.264"));
    ASSERT_TRUE(test::run_ffmpeg(
        dir, "-skip_loop_filter all -i a.264 -frames:v 1 -f rawvideo -pix_fmt yuv420p a.yuv"));
    AvcParameterSets sets;
    std::vector<CodedMacroblock> mbs;
    for (const Bytes& unit : test::annexb_units(dir.read("a.264"))) {
      if (unit.empty()) continue;
      const std::uint32_t type = unit[0] & 0x1Fu;
      if (type == 7 || type == 8) {
        ASSERT_TRUE(add_parameter_set(sets, unit));
      }
      if (type == 5) {
        ASSERT_EQ(parse_slice_data(unit, sets, mbs, 1000).end, SliceDataEnd::Clean);
      }
    }
    const PpsInfo& pps = *sets.pps[0];
    ASSERT_EQ(pps.chroma_qp_index_offset, pps.second_chroma_qp_index_offset);
    const QuantSettings truth{26 + pps.pic_init_qp_minus26, pps.chroma_qp_index_offset};
    IntraPicture p;
    ASSERT_TRUE(rebuild_intra(mbs, 20, 15, truth, p));
    const Bytes want = dir.read("a.yuv");
    Bytes got = p.luma;
    got.insert(got.end(), p.chroma[0].begin(), p.chroma[0].end());
    got.insert(got.end(), p.chroma[1].begin(), p.chroma[1].end());
    ASSERT_EQ(got.size(), want.size());
    std::size_t differ = 0;
    for (std::size_t i = 0; i < got.size(); ++i) differ += got[i] != want[i] ? 1 : 0;
    EXPECT_EQ(differ, 0u);
    IntraPicture off;
    ASSERT_TRUE(
        rebuild_intra(mbs, 20, 15, {truth.pic_init_qp + 1, truth.chroma_qp_index_offset}, off));
    EXPECT_NE(off.luma, p.luma);
  }
}

}  // namespace
}  // namespace vidsalvage
