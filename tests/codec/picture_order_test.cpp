#include "codec/picture_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "codec/slice_header.h"
#include "support/bytes.h"
#include "support/media.h"
#include "support/temp_dir.h"

namespace vidsalvage::test {
namespace {

// The NAL units of an Annex B stream, without their start codes and the zero
// bytes in front of the next one.
std::vector<Bytes> split_annex_b(const Bytes& stream) {
  std::vector<Bytes> units;
  std::size_t i = 0;
  std::size_t start = std::string::npos;
  while (i + 3 <= stream.size()) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      if (start != std::string::npos)
        units.emplace_back(stream.begin() + static_cast<long>(start),
                           stream.begin() + static_cast<long>(i));
      i += 3;
      start = i;
    } else {
      ++i;
    }
  }
  if (start != std::string::npos)
    units.emplace_back(stream.begin() + static_cast<long>(start), stream.end());
  for (Bytes& unit : units) {
    while (!unit.empty() && unit.back() == 0) unit.pop_back();
  }
  return units;
}

// Where a picture stands in display order: the sequence it opens or belongs to,
// then its count.
struct DisplayKey {
  int sequence = 0;
  std::int32_t count = 0;
  bool operator<(const DisplayKey& o) const {
    return sequence != o.sequence ? sequence < o.sequence : count < o.count;
  }
};

struct StreamOrder {
  std::uint32_t pic_order_cnt_type = 99;
  std::vector<DisplayKey> pictures;  // decoding order
};

StreamOrder picture_order_of(const Bytes& annex_b) {
  StreamOrder result;
  AvcParameterSets sets;
  AvcPictureOrder order;
  SliceHeader previous;
  bool have_previous = false;
  int sequence = -1;
  for (const Bytes& unit : split_annex_b(annex_b)) {
    EXPECT_TRUE(add_parameter_set(sets, unit));
    SliceHeader slice;
    const SliceRead read = read_slice_header(unit, sets, slice);
    if (read == SliceRead::NotASlice) continue;
    EXPECT_EQ(read, SliceRead::Read);
    EXPECT_TRUE(slice.marking_known);
    if (have_previous && !starts_new_picture(previous, slice, sets)) continue;
    const SpsInfo& sps = *sets.sps[sets.pps[slice.pic_parameter_set_id]->seq_parameter_set_id];
    result.pic_order_cnt_type = sps.pic_order_cnt_type;
    const PictureOrder picture = order.next(slice, sps);
    if (picture.starts_sequence) ++sequence;
    result.pictures.push_back({sequence, picture.count});
    previous = slice;
    have_previous = true;
  }
  return result;
}

// The packets' presentation times in decoding order, as ffprobe reads the MP4.
std::vector<long long> probed_pts(const TempDir& dir, const std::string& name) {
  std::istringstream lines(run_and_capture(
      dir, "ffprobe -v error -select_streams v -show_entries packet=pts -of csv=p=0 " + name));
  std::vector<long long> pts;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) pts.push_back(std::stoll(line));
  }
  return pts;
}

// The index of each picture in display order, by `less`.
template <typename T>
std::vector<std::size_t> display_ranks(const std::vector<T>& keys) {
  std::vector<std::size_t> by_display(keys.size());
  std::iota(by_display.begin(), by_display.end(), 0);
  std::stable_sort(by_display.begin(), by_display.end(),
                   [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
  return by_display;
}

struct X264Case {
  const char* name;
  std::string options;
  std::uint32_t pic_order_cnt_type;
  bool reordered;  // display order differs from decoding order
};

TEST(AvcPictureOrder, PutsX264PicturesInFfprobesDisplayOrder) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  const X264Case cases[] = {
      {"three B-frames, pyramid, IDR every 12", "-bf 3 -x264-params keyint=12:b-adapt=0", 0, true},
      {"open GOP", "-bf 2 -x264-params keyint=10:b-adapt=0:open-gop=1", 0, true},
      {"interlaced, B-frames", "-bf 2 -flags +ildct -x264-params tff=1:b-adapt=0", 0, true},
      {"no B-frames", "-bf 0", 2, false},
  };
  for (const X264Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ASSERT_TRUE(
        run_ffmpeg(dir, "-f lavfi -i testsrc=size=128x96:rate=25 -frames:v 40 -c:v libx264 " +
                            c.options + " clip.mp4"));
    ASSERT_TRUE(run_ffmpeg(dir, "-i clip.mp4 -c copy -f h264 clip.h264"));
    const StreamOrder order = picture_order_of(dir.read("clip.h264"));
    const std::vector<long long> pts = probed_pts(dir, "clip.mp4");
    EXPECT_EQ(order.pic_order_cnt_type, c.pic_order_cnt_type);
    ASSERT_EQ(order.pictures.size(), 40u);
    ASSERT_EQ(pts.size(), 40u);
    const std::vector<std::size_t> expected = display_ranks(pts);
    EXPECT_EQ(display_ranks(order.pictures), expected);
    EXPECT_EQ(!std::is_sorted(pts.begin(), pts.end()), c.reordered);
  }
}

}  // namespace
}  // namespace vidsalvage::test

namespace vidsalvage::test {
namespace {

struct PictureCase {
  std::uint32_t frame_num;
  std::uint32_t nal_ref_idc;
  std::uint32_t lsb_or_delta;  // pic_order_cnt_lsb (type 0) or delta_pic_order_cnt[0] (type 1)
  bool idr;
  bool mmco5;
  std::int32_t count;  // PicOrderCnt, worked out by hand from 8.2.1
};

SliceHeader slice_of(const PictureCase& p, std::uint32_t pic_order_cnt_type) {
  SliceHeader s;
  s.nal_unit_type = p.idr ? 5 : 1;
  s.nal_ref_idc = p.nal_ref_idc;
  s.frame_num = p.frame_num;
  if (pic_order_cnt_type == 0) s.pic_order_cnt_lsb = p.lsb_or_delta;
  if (pic_order_cnt_type == 1) s.delta_pic_order_cnt[0] = static_cast<std::int32_t>(p.lsb_or_delta);
  s.memory_management_control_operation_5 = p.mmco5;
  return s;
}

void expect_counts(const SpsInfo& sps, const std::vector<PictureCase>& pictures) {
  AvcPictureOrder order;
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    SCOPED_TRACE(i);
    const PictureOrder o = order.next(slice_of(pictures[i], sps.pic_order_cnt_type), sps);
    EXPECT_EQ(o.count, pictures[i].count);
    EXPECT_EQ(o.starts_sequence, pictures[i].idr || pictures[i].mmco5);
  }
}

TEST(AvcPictureOrder, Type0FollowsTheLsbAcrossItsWrapAndOperation5) {
  SpsInfo sps;
  sps.log2_max_pic_order_cnt_lsb = 4;  // MaxPicOrderCntLsb 16
  expect_counts(sps, {
                         {0, 3, 0, true, false, 0},
                         {1, 2, 8, false, false, 8},
                         {2, 2, 14, false, false, 14},
                         {3, 2, 4, false, false, 20},   // 14 to 4 is a step forward: msb 16
                         {4, 0, 2, false, false, 18},   // a non-reference picture just before
                         {4, 0, 15, false, false, 15},  // 4 to 15 is a step back: msb 0
                         {4, 2, 6, false, true, 0},     // 22 before operation 5, 0 after
                         {5, 2, 2, false, false, 2},    // counts on from the reset
                         {0, 3, 9, true, false, -7},    // an IDR counts from 0: 9 is a step back
                     });
}

TEST(AvcPictureOrder, Type1ExpectsCountsFromTheFrameNumCycle) {
  SpsInfo sps;
  sps.pic_order_cnt_type = 1;
  sps.log2_max_frame_num = 4;
  sps.offset_for_ref_frame = {2, 4};  // 6 to a cycle
  sps.offset_for_non_ref_pic = -3;
  sps.offset_for_top_to_bottom_field = 1;
  expect_counts(sps, {
                         {0, 3, 0, true, false, 0},
                         {1, 2, 0, false, false, 2},
                         {2, 0, 0, false, false, -1},  // absFrameNum 1, then the non-ref offset
                         {2, 2, 0, false, false, 6},
                         {3, 2, 5, false, false, 13},  // 8, and delta_pic_order_cnt[0] 5
                         {15, 2, 0, false, false, 44},
                         {0, 2, 0, false, false, 48},  // frame_num wrapped: offset 16
                     });
}

TEST(AvcPictureOrder, Type2DoublesTheFrameNum) {
  SpsInfo sps;
  sps.pic_order_cnt_type = 2;
  sps.log2_max_frame_num = 4;
  expect_counts(sps, {
                         {0, 3, 0, true, false, 0},
                         {1, 2, 0, false, false, 2},
                         {2, 0, 0, false, false, 3},
                         {2, 2, 0, false, false, 4},
                         {15, 2, 0, false, false, 30},
                         {0, 2, 0, false, false, 32},
                         {1, 2, 0, false, true, 0},  // 34 before operation 5
                         {1, 2, 0, false, false, 2},
                     });
}

TEST(AvcPictureOrder, FieldsTakeTheirOwnCounts) {
  SpsInfo sps;
  sps.log2_max_pic_order_cnt_lsb = 8;
  AvcPictureOrder order;
  SliceHeader top;
  top.nal_unit_type = 5;
  top.nal_ref_idc = 3;
  top.field_pic_flag = true;
  top.pic_order_cnt_lsb = 0;
  SliceHeader bottom = top;
  bottom.nal_unit_type = 1;
  bottom.bottom_field_flag = true;
  bottom.pic_order_cnt_lsb = 1;
  SliceHeader frame;
  frame.nal_unit_type = 1;
  frame.nal_ref_idc = 2;
  frame.frame_num = 1;
  frame.pic_order_cnt_lsb = 5;
  frame.delta_pic_order_cnt_bottom = -2;  // bottom first
  const PictureOrder t = order.next(top, sps);
  const PictureOrder b = order.next(bottom, sps);
  const PictureOrder f = order.next(frame, sps);
  EXPECT_EQ(t.top, 0);
  EXPECT_EQ(b.bottom, 1);
  EXPECT_EQ(b.count, 1);
  EXPECT_EQ(f.top, 5);
  EXPECT_EQ(f.bottom, 3);
  EXPECT_EQ(f.count, 3);
}

}  // namespace
}  // namespace vidsalvage::test
