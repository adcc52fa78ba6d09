#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "codec/hevc_config.h"
#include "codec/hevc_parameter_sets.h"
#include "codec/hevc_picture_order.h"
#include "support/bit_writer.h"
#include "support/bytes.h"
#include "support/hevc_bytes.h"
#include "support/media.h"
#include "support/temp_dir.h"

namespace vidsalvage::test {
namespace {

const Bytes& kVps = kHevcVps;
const Bytes& kSps = kHevcSps;
const Bytes& kPps = kHevcPps;
const Bytes& kRecordHead = kHevcRecordHead;
const Bytes& kRecord = kHevcRecord;

Bytes array_of(std::uint8_t type, const std::vector<Bytes>& units) {
  return hevc_array_of(type, units);
}

Bytes record_of(const std::vector<Bytes>& arrays, const Bytes& head = kRecordHead) {
  return hevc_record_of(arrays, head);
}

TEST(HevcNalHeader, ChecksTheTwoBytesAtTheirEdges) {
  struct Case {
    const char* name;
    Bytes unit;
    bool valid;
    int type, layer, tid_plus1;
  };
  const Case cases[] = {
      {"VPS", {0x40, 0x01}, true, 32, 0, 1},
      {"type 63, highest temporal id", {0x7E, 0x07}, true, 63, 0, 7},
      {"layer 63 split over both bytes", {0x01, 0xF9}, true, 0, 63, 1},
      {"layer 1: the low bit of the first byte clear", {0x26, 0x09}, true, 19, 1, 1},
      {"forbidden_zero_bit set", {0xC0, 0x01}, false, 0, 0, 0},
      {"temporal id plus 1 of 0", {0x40, 0x00}, false, 0, 0, 0},
      {"one byte", {0x40}, false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes unit = c.unit;
    HevcNalHeader h;
    ASSERT_EQ(read_hevc_nal_header(unit, h), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(h.nal_unit_type, c.type);
    EXPECT_EQ(h.nuh_layer_id, c.layer);
    EXPECT_EQ(h.nuh_temporal_id_plus1, c.tid_plus1);
  }
}

TEST(HevcConfig, ReadsARecordAndWritesItsPrologue) {
  HevcConfig config;
  ASSERT_TRUE(parse_hevc_config(kRecord, config));
  EXPECT_EQ(config.nal_length_size, 4);
  EXPECT_EQ(config.general_profile_idc, 4);
  EXPECT_EQ(config.chroma_format_idc, 2);
  EXPECT_EQ(config.general_level_idc, 30);
  ASSERT_EQ(config.arrays.size(), 4u);
  EXPECT_EQ(config.arrays[3].nal_unit_type, 39);
  const Bytes start = {0, 0, 0, 1};
  const Bytes prologue = hevc_annex_b_prologue(config);
  EXPECT_EQ(prologue, concat({start, kVps, start, kSps, start, kPps}));
  // Arrays in another order still give VPS, SPS, PPS.
  const Bytes shuffled =
      record_of({array_of(34, {kPps}), array_of(33, {kSps}), array_of(32, {kVps})});
  ASSERT_TRUE(parse_hevc_config(shuffled, config));
  EXPECT_EQ(hevc_annex_b_prologue(config), prologue);
}

TEST(HevcConfig, RefusesEveryCutAndEveryOverLongArray) {
  for (std::size_t size = 0; size < kRecord.size(); ++size) {
    SCOPED_TRACE(size);
    const Bytes cut(kRecord.begin(), kRecord.begin() + static_cast<long>(size));
    HevcConfig config;
    config.nal_length_size = 9;
    EXPECT_FALSE(parse_hevc_config(cut, config));
    EXPECT_EQ(config.nal_length_size, 9);  // untouched
  }
  Bytes more_arrays = kRecord;
  more_arrays[22] = 5;
  Bytes more_units = record_of({array_of(32, {kVps})});
  more_units[25] = 2;  // numNalus
  Bytes long_unit = record_of({array_of(32, {kVps})});
  long_unit[27] = static_cast<std::uint8_t>(kVps.size() + 1);
  Bytes length_size_3 = kRecordHead;
  length_size_3[21] = 0x0E;
  struct Case {
    const char* name;
    Bytes record;
  };
  const Case cases[] = {
      {"more arrays than the record holds", more_arrays},
      {"more units than the array holds", more_units},
      {"a unit longer than the record", long_unit},
      {"a unit too short for its header", record_of({array_of(32, {{0x40}})})},
      {"a NAL length size of 3", record_of({array_of(32, {kVps})}, length_size_3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes record = c.record;
    HevcConfig config;
    EXPECT_FALSE(parse_hevc_config(record, config));
  }
}

TEST(HevcSps, ReadsTheConformanceWindowOf422AndRefusesEveryCut) {
  HevcSps sps;
  ASSERT_TRUE(parse_hevc_sps(kSps, sps));
  EXPECT_EQ(sps.chroma_format_idc, 2u);
  EXPECT_EQ(sps.pic_width_in_luma_samples, 208u);
  EXPECT_EQ(sps.pic_height_in_luma_samples, 96u);
  EXPECT_EQ(sps.crop_bottom, 6u);  // 4:2:2 counts the window down in single lines
  EXPECT_EQ(sps.width(), 208u);
  EXPECT_EQ(sps.height(), 90u);
  EXPECT_EQ(sps.general_profile_idc, 4u);
  EXPECT_FALSE(sps.general_tier_flag);
  EXPECT_EQ(sps.general_level_idc, 30u);
  EXPECT_EQ(sps.bit_depth_luma, 8u);
  // The parse ends at the coding block sizes: every cut before them fails and
  // leaves the output alone, every cut after them reads the same.
  std::size_t first_read = kSps.size();
  for (std::size_t size = 0; size < kSps.size(); ++size) {
    SCOPED_TRACE(size);
    const Bytes cut(kSps.begin(), kSps.begin() + static_cast<long>(size));
    HevcSps read;
    const bool ok = parse_hevc_sps(cut, read);
    if (ok && first_read == kSps.size()) first_read = size;
    EXPECT_EQ(ok, size >= first_read);
    EXPECT_EQ(read.pic_width_in_luma_samples, ok ? 208u : 0u);
  }
  EXPECT_GE(first_read, 22u);  // past the conformance window and the bit depths
}

// A minimal SPS: one sub-layer, profile Main, 4:2:0 unless told, the window given.
Bytes sps_with(std::uint32_t chroma, std::uint32_t width, std::uint32_t height,
               std::uint32_t window_right, std::uint32_t window_bottom,
               std::uint32_t log2_lsb_minus4 = 4) {
  BitWriter w;
  w.bits(0x4201, 16).bits(0, 4).bits(0, 3).bit(1);
  w.bits(1, 8).bits(0x60000000, 32).bits(0, 48).bits(93, 8);  // Main, level 3.1
  w.ue(0).ue(chroma);
  if (chroma == 3) w.bit(0);
  w.ue(width).ue(height).bit(1).ue(0).ue(window_right).ue(0).ue(window_bottom);
  w.ue(0).ue(0).ue(log2_lsb_minus4).bit(1).ue(4).ue(2).ue(0).ue(0).ue(2);
  return w.finish();
}

TEST(HevcSps, RefusesFieldsOutsideTheirRange) {
  struct Case {
    const char* name;
    Bytes sps;
    bool accepted;
  };
  const Case cases[] = {
      {"a window leaving one 4:2:0 column", sps_with(1, 16, 16, 7, 0), true},
      {"a window leaving nothing", sps_with(1, 16, 16, 8, 0), false},
      {"4:4:4 counts the window in samples", sps_with(3, 16, 16, 15, 0), true},
      {"chroma_format_idc 4", sps_with(4, 16, 16, 0, 0), false},
      {"a width not a multiple of the smallest block", sps_with(1, 20, 16, 0, 0), false},
      {"a width of 0", sps_with(1, 0, 16, 0, 0), false},
      {"the widest level 6.2 allows, rounded", sps_with(1, 16888, 16, 0, 0), true},
      {"wider", sps_with(1, 16896, 16, 0, 0), false},
      {"log2_max_pic_order_cnt_lsb_minus4 12", sps_with(1, 16, 16, 0, 0, 12), true},
      {"log2_max_pic_order_cnt_lsb_minus4 13", sps_with(1, 16, 16, 0, 0, 13), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HevcSps sps;
    EXPECT_EQ(parse_hevc_sps(c.sps, sps), c.accepted);
  }
}

TEST(HevcSliceHeader, ReadsThePictureOrderLsbAndSaysWhatStopsIt) {
  HevcParameterSets sets;
  ASSERT_TRUE(add_hevc_parameter_set(sets, kSps));
  ASSERT_TRUE(add_hevc_parameter_set(sets, kPps));
  const int lsb_bits = static_cast<int>(sets.sps[0]->log2_max_pic_order_cnt_lsb);
  // A first segment of type `type`: the flag, no_output_of_prior_pics_flag for IRAP
  // types, the PPS id, slice_type, then the lsb unless it is an IDR.
  const auto first_segment = [&](std::uint8_t type, std::uint32_t pps, std::uint32_t lsb) {
    BitWriter w;
    w.bits(static_cast<std::uint32_t>(type) << 9 | 1, 16).bit(1);
    if (type >= 16 && type <= 23) w.bit(0);
    w.ue(pps).ue(1);
    if (type != 19 && type != 20) w.bits(lsb, lsb_bits);
    w.bits(0x5A5A, 16);  // what follows in a real header
    return w.finish();
  };
  // 208x96 in blocks of 2^ctb_log2_size: slice_segment_address has
  // Ceil(Log2(blocks)) bits.
  const std::uint32_t ctb = 1u << sets.sps[0]->ctb_log2_size;
  const std::uint32_t blocks = ((208 + ctb - 1) / ctb) * ((96 + ctb - 1) / ctb);
  int address_bits = 0;
  while ((1u << address_bits) < blocks) ++address_bits;
  const auto later_segment = [&](std::uint32_t address) {
    BitWriter w;
    w.bits(0x0201, 16).bit(0).ue(0).bits(address, address_bits).bits(0x5A, 8);
    return w.finish();
  };
  struct Case {
    const char* name;
    Bytes unit;
    HevcSliceRead read;
    std::uint32_t lsb;
  };
  const Bytes trail = first_segment(1, 0, 5);
  const Case cases[] = {
      {"TRAIL_R", trail, HevcSliceRead::Read, 5},
      {"CRA", first_segment(21, 0, 9), HevcSliceRead::Read, 9},
      {"IDR: no lsb", first_segment(19, 0, 0), HevcSliceRead::Read, 0},
      {"a later segment", later_segment(3), HevcSliceRead::Read, 0},
      {"a later segment at address 0", later_segment(0), HevcSliceRead::Malformed, 0},
      {"a VPS", kVps, HevcSliceRead::NotASlice, 0},
      {"an unknown PPS", first_segment(1, 5, 5), HevcSliceRead::NoParameterSet, 0},
      {"PPS id 64", first_segment(1, 64, 5), HevcSliceRead::Malformed, 0},
      {"cut inside the lsb", Bytes(trail.begin(), trail.begin() + 3), HevcSliceRead::Malformed, 0},
      {"forbidden_zero_bit", {0x82, 0x01, 0xFF}, HevcSliceRead::Malformed, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes unit = c.unit;
    HevcSliceHeader h;
    ASSERT_EQ(read_hevc_slice_header(unit, sets, h), c.read);
    if (c.read == HevcSliceRead::Read) {
      EXPECT_EQ(h.slice_pic_order_cnt_lsb, c.lsb);
    }
  }
}

// The NAL units of an Annex B stream, without start codes and trailing zeros.
std::vector<Bytes> split_annex_b(const Bytes& stream) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i + 3 <= stream.size(); ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) starts.push_back(i + 3);
  }
  std::vector<Bytes> units;
  for (std::size_t k = 0; k < starts.size(); ++k) {
    const std::size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : stream.size();
    Bytes unit(stream.begin() + static_cast<long>(starts[k]),
               stream.begin() + static_cast<long>(end));
    while (!unit.empty() && unit.back() == 0) unit.pop_back();
    units.push_back(unit);
  }
  return units;
}

std::map<std::string, std::string> probe_stream(const TempDir& dir) {
  std::istringstream lines(
      run_and_capture(dir,
                      "ffprobe -v error -select_streams v -show_entries stream=width,height,level "
                      "-of default=nw=1 clip.mp4"));
  std::map<std::string, std::string> fields;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

std::vector<long long> probe_pts(const TempDir& dir) {
  std::istringstream lines(run_and_capture(
      dir, "ffprobe -v error -select_streams v -show_entries packet=pts -of csv=p=0 clip.mp4"));
  std::vector<long long> pts;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) pts.push_back(std::stoll(line));
  }
  return pts;
}

template <typename T>
std::vector<std::size_t> display_ranks(const std::vector<T>& keys) {
  std::vector<std::size_t> order(keys.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
  return order;
}

TEST(HevcPictureOrder, MatchesX265StreamsAsFfprobeReadsThem) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  struct Case {
    const char* name;
    const char* size;
    const char* pix_fmt;
    const char* params;
    std::uint32_t profile_idc, chroma, bit_depth;
  };
  const Case cases[] = {
      {"720p, B-frames, IDR every 12", "1280x720", "yuv420p", "bframes=4:keyint=12:open-gop=0", 1,
       1, 8},
      {"open GOP: CRA and RASL pictures", "320x240", "yuv420p", "bframes=3:keyint=10:open-gop=1", 1,
       1, 8},
      {"10-bit", "320x240", "yuv420p10le", "bframes=3", 2, 1, 10},
      {"4:2:2 with a window", "208x90", "yuv422p", "bframes=2", 4, 2, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ASSERT_TRUE(run_ffmpeg(
        dir, std::string("-f lavfi -i testsrc=size=") + c.size + ":rate=25 -frames:v 30 -pix_fmt " +
                 c.pix_fmt + " -c:v libx265 -preset ultrafast -x265-params log-level=error:" +
                 c.params + " -tag:v hvc1 clip.mp4"));
    ASSERT_TRUE(run_ffmpeg(dir, "-i clip.mp4 -c copy -f hevc clip.hevc"));
    const Bytes file = dir.read("clip.mp4");
    const std::optional<Bytes> record = box_body(file, "hvcC");
    ASSERT_TRUE(record.has_value());
    HevcConfig config;
    ASSERT_TRUE(parse_hevc_config(*record, config));
    HevcParameterSets sets;
    ASSERT_TRUE(read_hevc_config_parameter_sets(config, sets));
    ASSERT_TRUE(sets.sps[0].has_value());
    const HevcSps& sps = *sets.sps[0];
    const auto probed = probe_stream(dir);
    EXPECT_EQ(std::to_string(sps.width()), probed.at("width"));
    EXPECT_EQ(std::to_string(sps.height()), probed.at("height"));
    EXPECT_EQ(std::to_string(sps.general_level_idc), probed.at("level"));
    EXPECT_EQ(sps.general_profile_idc, c.profile_idc);
    EXPECT_EQ(sps.chroma_format_idc, c.chroma);
    EXPECT_EQ(sps.bit_depth_luma, c.bit_depth);

    // ffmpeg's raw stream opens with the record's sets too.
    const Bytes raw = dir.read("clip.hevc");
    const Bytes prologue = hevc_annex_b_prologue(config);
    ASSERT_GE(raw.size(), prologue.size());
    EXPECT_TRUE(std::equal(prologue.begin(), prologue.end(), raw.begin()));

    std::vector<std::pair<int, std::int32_t>> keys;  // (sequence, count), decoding order
    HevcPictureOrder order;
    int sequence = -1;
    for (const Bytes& unit : split_annex_b(raw)) {
      HevcNalHeader nal;
      ASSERT_TRUE(read_hevc_nal_header(unit, nal));
      if (nal.nal_unit_type == kHevcEndOfSequence) order.end_of_sequence();
      ASSERT_TRUE(add_hevc_parameter_set(sets, unit));
      HevcSliceHeader slice;
      const HevcSliceRead read = read_hevc_slice_header(unit, sets, slice);
      if (read == HevcSliceRead::NotASlice) continue;
      ASSERT_EQ(read, HevcSliceRead::Read);
      if (!slice.first_slice_segment_in_pic_flag) continue;
      const HevcPictureOrderCount poc = order.next(slice, sps);
      if (poc.starts_sequence) ++sequence;
      keys.emplace_back(sequence, poc.count);
    }
    const std::vector<long long> pts = probe_pts(dir);
    ASSERT_EQ(keys.size(), pts.size());
    EXPECT_EQ(display_ranks(keys), display_ranks(pts));
    EXPECT_FALSE(std::is_sorted(pts.begin(), pts.end()));  // B-frames reorder
  }
}

TEST(HevcPictureOrder, FollowsTheLsbAndResetsAtIrapPictures) {
  HevcSps sps;
  sps.log2_max_pic_order_cnt_lsb = 4;  // 16
  struct Picture {
    std::uint8_t type;
    std::uint8_t tid_plus1;
    std::uint32_t lsb;
    std::int32_t count;
    bool starts;
  };
  // Worked out by hand from H.265 8.3.1; half the lsb range is 8.
  const Picture pictures[] = {
      {21, 1, 5, 5, true},     // a CRA first in the stream: msb 0
      {1, 1, 12, 12, false},   // TRAIL_R
      {1, 1, 2, 18, false},    // 12 to 2 is a step forward: msb 16
      {0, 1, 9, 25, false},    // TRAIL_N: no prevTid0Pic
      {1, 2, 15, 15, false},   // a higher sub-layer: no prevTid0Pic either
      {8, 1, 0, 16, false},    // RASL_N: none either
      {1, 1, 11, 11, false},   // still counted from the lsb 2 at msb 16: a step back
      {21, 1, 13, 13, false},  // a CRA later on does not reset
      {19, 1, 0, 0, true},     // IDR
      {1, 1, 6, 6, false},    {16, 1, 7, 7, true},  // BLA
  };
  HevcPictureOrder order;
  for (const Picture& p : pictures) {
    SCOPED_TRACE(p.count);
    HevcSliceHeader slice;
    slice.nal.nal_unit_type = p.type;
    slice.nal.nuh_temporal_id_plus1 = p.tid_plus1;
    slice.first_slice_segment_in_pic_flag = true;
    slice.slice_pic_order_cnt_lsb = p.lsb;
    const HevcPictureOrderCount poc = order.next(slice, sps);
    EXPECT_EQ(poc.count, p.count);
    EXPECT_EQ(poc.starts_sequence, p.starts);
  }
  // After an end of sequence a CRA starts afresh.
  order.end_of_sequence();
  HevcSliceHeader cra;
  cra.nal.nal_unit_type = 21;
  cra.slice_pic_order_cnt_lsb = 3;
  EXPECT_EQ(order.next(cra, sps).count, 3);
}

TEST(HevcParsers, SurviveRandomAndFlippedBytes) {
  HevcParameterSets sets;
  ASSERT_TRUE(add_hevc_parameter_set(sets, kSps));
  ASSERT_TRUE(add_hevc_parameter_set(sets, kPps));
  const Bytes slice = {0x02, 0x01, 0xD0, 0x5A, 0x5A, 0x80};
  for (std::uint32_t seed = 1; seed <= 3000; ++seed) {
    const Bytes* valid[] = {&kRecord, &kSps, &kPps, &slice};
    Bytes bytes = pseudo_random_bytes(seed % 60, seed);
    if (seed % 2 == 0) {
      bytes = *valid[(seed / 2) % 4];
      bytes[seed % bytes.size()] ^= static_cast<std::uint8_t>(1u << (seed % 8));
      bytes.resize(seed % (bytes.size() + 1));  // its own vector: ASan sees the cut
    }
    HevcConfig config;
    if (parse_hevc_config(bytes, config)) (void)hevc_annex_b_prologue(config);
    HevcSps sps;
    (void)parse_hevc_sps(bytes, sps);
    HevcPps pps;
    (void)parse_hevc_pps(bytes, pps);
    HevcSliceHeader h;
    (void)read_hevc_slice_header(bytes, sets, h);
  }
}

}  // namespace
}  // namespace vidsalvage::test
