// The slice data parse against x264 streams made by ffmpeg: every slice of every
// picture ends clean and the pictures are covered to their last macroblock, and
// a picture read with one wrong parameter does not.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

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
  const char* source;  // lavfi source with its size
  int frames;
  const char* codec_args;
};

// I, P and B slices; CAVLC and CABAC; 8x8 transform on and off; one and four
// slices a picture; 1080 lines coded as 1088 and cropped.
const Clip kClips[] = {
    {"qcif_baseline_intra", "testsrc2=size=176x144:rate=25", 3,
     "-pix_fmt yuv420p -profile:v baseline -x264-params keyint=1"},
    {"qvga_main_intra", "testsrc2=size=320x240:rate=25", 3,
     "-pix_fmt yuv420p -profile:v main -x264-params keyint=1"},
    {"qvga_high_cabac_8x8_intra", "mandelbrot=size=320x240:rate=25", 3,
     "-pix_fmt yuv420p -profile:v high -x264-params keyint=1:8x8dct=1"},
    {"qvga_high_cavlc_8x8_intra", "mandelbrot=size=320x240:rate=25", 3,
     "-pix_fmt yuv420p -profile:v high -x264-params keyint=1:8x8dct=1:cabac=0"},
    {"qvga_baseline_p", "mandelbrot=size=320x240:rate=25", 8,
     "-pix_fmt yuv420p -profile:v baseline -x264-params ref=3"},
    {"qvga_main_pb", "mandelbrot=size=320x240:rate=25", 10,
     "-pix_fmt yuv420p -profile:v main -x264-params bframes=3:ref=3:partitions=all"},
    {"qvga_high_cavlc_pb", "testsrc2=size=320x240:rate=25", 10,
     "-pix_fmt yuv420p -profile:v high -x264-params bframes=3:cabac=0:8x8dct=1:partitions=all"},
    {"qvga_high_temporal_slices4", "mandelbrot=size=320x240:rate=25", 8,
     "-pix_fmt yuv420p -profile:v high -x264-params bframes=2:direct=temporal:slices=4:weightp=2"},
    {"hd720_high_pb", "testsrc2=size=1280x720:rate=25", 5,
     "-pix_fmt yuv420p -profile:v high -x264-params bframes=2:8x8dct=0"},
    {"hd1080_high", "testsrc2=size=1920x1080:rate=25", 3,
     "-pix_fmt yuv420p -profile:v high -x264-params bframes=1"},
    {"hd1080_cavlc_slices4", "testsrc2=size=1920x1080:rate=25", 2,
     "-pix_fmt yuv420p -profile:v high -x264-params cabac=0:slices=4:keyint=1"},
    {"uhd_high_intra", "testsrc2=size=3840x2160:rate=25", 1,
     "-pix_fmt yuv420p -profile:v high -x264-params keyint=1"},
    {"qvga_frames_of_interlaced_sequence", "mandelbrot=size=320x240:rate=25", 6,
     "-pix_fmt yuv420p -x264-params fake-interlaced=1:bframes=2"},
    {"qvga_422_cabac", "mandelbrot=size=320x240:rate=25", 6,
     "-pix_fmt yuv422p -profile:v high422 -x264-params bframes=2"},
    {"qvga_422_cavlc", "mandelbrot=size=320x240:rate=25", 6,
     "-pix_fmt yuv422p -profile:v high422 -x264-params bframes=2:cabac=0"},
    {"qvga_monochrome", "mandelbrot=size=320x240:rate=25", 6,
     "-pix_fmt gray -profile:v high -x264-params bframes=2"},
    {"qvga_10bit", "mandelbrot=size=320x240:rate=25", 4,
     "-pix_fmt yuv420p10le -profile:v high10 -x264-params bframes=2"},
};

// Forms the parse leaves alone.
const Clip kUnsupportedClips[] = {
    {"qvga_mbaff", "mandelbrot=size=320x240:rate=25", 2,
     "-pix_fmt yuv420p -x264-params interlaced=1"},
    {"qvga_444", "mandelbrot=size=320x240:rate=25", 2, "-pix_fmt yuv444p -profile:v high444"},
};

// One coded picture: its slice NAL units in order.
using Picture = std::vector<Bytes>;

struct Stream {
  AvcParameterSets sets;
  std::vector<Picture> pictures;
};

Stream read_stream(const Bytes& annexb) {
  Stream stream;
  SliceHeader previous;
  for (const Bytes& unit : test::annexb_units(annexb)) {
    if (unit.empty()) continue;
    const std::uint32_t type = unit[0] & 0x1Fu;
    if (type == 7 || type == 8) {
      EXPECT_TRUE(add_parameter_set(stream.sets, unit));
      continue;
    }
    if (type != 1 && type != 5) continue;
    SliceHeader header;
    EXPECT_EQ(read_slice_header(unit, stream.sets, header), SliceRead::Read);
    if (stream.pictures.empty() || starts_new_picture(previous, header, stream.sets)) {
      stream.pictures.emplace_back();
    }
    stream.pictures.back().push_back(unit);
    previous = header;
  }
  return stream;
}

// The encodes, made once for the whole suite.
class SliceDataE2e : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::have_ffmpeg()) return;
    dir_ = std::make_unique<test::TempDir>();
    for (const Clip& clip : kClips) make(clip);
    for (const Clip& clip : kUnsupportedClips) make(clip);
  }
  static void make(const Clip& clip) {
    const std::string file = std::string(clip.name) + ".h264";
    const std::string args = std::string("-f lavfi -i ") + clip.source + " -frames:v " +
                             std::to_string(clip.frames) + " -c:v libx264 " + clip.codec_args +
                             " -f h264 " + file;
    if (test::run_ffmpeg(*dir_, args)) streams_[clip.name] = read_stream(dir_->read(file));
  }
  static void TearDownTestSuite() {
    streams_.clear();
    dir_.reset();
  }
  void SetUp() override { VIDSALVAGE_REQUIRE_FFMPEG(); }

  static const Stream* stream(const char* name) {
    const auto it = streams_.find(name);
    return it == streams_.end() ? nullptr : &it->second;
  }

  static std::unique_ptr<test::TempDir> dir_;
  static std::map<std::string, Stream> streams_;
};
std::unique_ptr<test::TempDir> SliceDataE2e::dir_;
std::map<std::string, Stream> SliceDataE2e::streams_;

// Every slice clean, each starting where the one before ended, the last at the
// picture's end.
bool parses_to_picture_end(const Picture& picture, const AvcParameterSets& sets) {
  std::uint32_t next_mb = 0;
  SliceDataResult last;
  for (const Bytes& unit : picture) {
    last = parse_slice_data(unit, sets);
    if (last.end != SliceDataEnd::Clean || last.first_mb != next_mb) return false;
    next_mb = last.first_mb + last.macroblocks;
  }
  return last.reaches_picture_end;
}

TEST_F(SliceDataE2e, EverySliceOfEveryPictureEndsCleanAtThePictureEnd) {
  for (const Clip& clip : kClips) {
    SCOPED_TRACE(clip.name);
    const Stream* s = stream(clip.name);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->pictures.size(), static_cast<std::size_t>(clip.frames));
    for (std::size_t i = 0; i < s->pictures.size(); ++i) {
      SCOPED_TRACE("picture " + std::to_string(i));
      const Picture& picture = s->pictures[i];
      std::uint32_t next_mb = 0;
      for (std::size_t j = 0; j < picture.size(); ++j) {
        const SliceDataResult r = parse_slice_data(picture[j], s->sets);
        EXPECT_EQ(r.end, SliceDataEnd::Clean) << "slice " << j;
        EXPECT_EQ(r.first_mb, next_mb) << "slice " << j;
        EXPECT_EQ(r.reaches_picture_end, j + 1 == picture.size()) << "slice " << j;
        next_mb = r.first_mb + r.macroblocks;
      }
    }
  }
}

// The parameters the inference guesses, each set one step wrong for the first
// picture of a stream.
struct WrongSets {
  const char* name;
  void (*change)(AvcParameterSets& sets);
  bool cabac_only;
};
void for_each_sps(AvcParameterSets& sets, void (*change)(SpsInfo&)) {
  for (auto& sps : sets.sps) {
    if (sps) change(*sps);
  }
}
void for_each_pps(AvcParameterSets& sets, void (*change)(PpsInfo&)) {
  for (auto& pps : sets.pps) {
    if (pps) change(*pps);
  }
}
const WrongSets kWrongSets[] = {
    {"one macroblock column more",
     [](AvcParameterSets& s) { for_each_sps(s, [](SpsInfo& sps) { ++sps.pic_width_in_mbs; }); },
     false},
    {"one macroblock column less",
     [](AvcParameterSets& s) { for_each_sps(s, [](SpsInfo& sps) { --sps.pic_width_in_mbs; }); },
     false},
    {"the other entropy coder",
     [](AvcParameterSets& s) {
       for_each_pps(
           s, [](PpsInfo& pps) { pps.entropy_coding_mode_flag = !pps.entropy_coding_mode_flag; });
     },
     false},
    {"8x8 transform switched",
     [](AvcParameterSets& s) {
       for_each_pps(
           s, [](PpsInfo& pps) { pps.transform_8x8_mode_flag = !pps.transform_8x8_mode_flag; });
     },
     false},
    {"initial QP one higher",
     [](AvcParameterSets& s) { for_each_pps(s, [](PpsInfo& pps) { ++pps.pic_init_qp_minus26; }); },
     true},
    {"initial QP one lower",
     [](AvcParameterSets& s) { for_each_pps(s, [](PpsInfo& pps) { --pps.pic_init_qp_minus26; }); },
     true},
};

// Other encoders than x264: a GoPro's CABAC, a Samsung phone's 4K CABAC with
// cabac_init_idc 2 and the 8x8 transform, an older phone's CAVLC.
TEST_F(SliceDataE2e, RealRecordingsParseCleanToEachPictureEnd) {
  for (const char* name :
       {"gopro-hero7.mp4", "samsung-android12-4k60.mp4", "android601-moovfront.mp4"}) {
    SCOPED_TRACE(name);
    const std::string path = std::string(VIDSALVAGE_RECORDINGS_DIR) + name;
    if (!std::filesystem::exists(path)) continue;  // not on this machine
    const std::string file = std::string(name) + ".h264";
    ASSERT_TRUE(test::run_ffmpeg(
        *dir_, "-i '" + path + "' -map 0:v:0 -c copy -bsf:v h264_mp4toannexb -f h264 " + file));
    const Stream s = read_stream(dir_->read(file));
    ASSERT_FALSE(s.pictures.empty());
    for (std::size_t i = 0; i < s.pictures.size(); ++i) {
      EXPECT_TRUE(parses_to_picture_end(s.pictures[i], s.sets)) << "picture " << i;
    }
  }
}

TEST_F(SliceDataE2e, MbaffAnd444AreUnsupported) {
  for (const Clip& clip : kUnsupportedClips) {
    SCOPED_TRACE(clip.name);
    const Stream* s = stream(clip.name);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->pictures.size(), static_cast<std::size_t>(clip.frames));
    for (const Picture& picture : s->pictures) {
      for (const Bytes& unit : picture) {
        EXPECT_EQ(parse_slice_data(unit, s->sets).end, SliceDataEnd::Unsupported);
      }
    }
  }
}

TEST_F(SliceDataE2e, KeyFrameWithOneWrongParameterDoesNotReachItsEnd) {
  const char* const kKeyFrameClips[] = {
      "qcif_baseline_intra",       "qvga_main_intra", "qvga_high_cabac_8x8_intra",
      "qvga_high_cavlc_8x8_intra", "hd720_high_pb",   "hd1080_cavlc_slices4"};
  for (const char* name : kKeyFrameClips) {
    SCOPED_TRACE(name);
    const Stream* s = stream(name);
    ASSERT_NE(s, nullptr);
    ASSERT_FALSE(s->pictures.empty());
    const Picture& key = s->pictures.front();
    ASSERT_TRUE(parses_to_picture_end(key, s->sets));
    const bool cabac = s->sets.pps[0] && s->sets.pps[0]->entropy_coding_mode_flag;
    for (const WrongSets& wrong : kWrongSets) {
      if (wrong.cabac_only && !cabac) continue;
      SCOPED_TRACE(wrong.name);
      AvcParameterSets sets = s->sets;
      wrong.change(sets);
      EXPECT_FALSE(parses_to_picture_end(key, sets));
    }
  }
}

// Not a check: the time a key frame takes, for the bench notes.
TEST_F(SliceDataE2e, KeyFrameParseTime) {
  for (const char* name : {"hd1080_high", "uhd_high_intra"}) {
    const Stream* s = stream(name);
    ASSERT_NE(s, nullptr);
    const auto start = std::chrono::steady_clock::now();
    constexpr int kRuns = 5;
    for (int i = 0; i < kRuns; ++i)
      EXPECT_TRUE(parses_to_picture_end(s->pictures.front(), s->sets));
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    std::size_t bytes = 0;
    for (const Bytes& unit : s->pictures.front()) bytes += unit.size();
    std::printf("[ parse    ] %s key frame, %zu bytes: %.1f ms\n", name, bytes,
                took.count() / kRuns);
  }
}

}  // namespace
}  // namespace vidsalvage
