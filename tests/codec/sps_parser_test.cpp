#include "codec/sps_parser.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/bit_writer.h"
#include "support/bytes.h"

namespace vidsalvage::test {
namespace {

// The fields a test varies; the defaults are a progressive 1920x1088 Baseline SPS.
struct SpsFields {
  std::uint8_t profile_idc = 66;
  std::uint8_t constraint_flags = 0;
  std::uint8_t level_idc = 40;
  std::uint32_t seq_parameter_set_id = 0;
  bool chroma_fields = false;  // chroma_format_idc and what follows it
  std::uint32_t chroma_format_idc = 1;
  int scaling_list_slots = 0;  // slots written, each with a list present
  std::uint32_t pic_order_cnt_type = 0;
  std::uint32_t poc_cycle = 0;  // num_ref_frames_in_pic_order_cnt_cycle
  std::uint32_t width_in_mbs_minus1 = 119;
  std::uint32_t height_in_map_units_minus1 = 67;
  bool frame_mbs_only = true;
  bool cropping = false;
  std::uint32_t crop_left = 0, crop_right = 0, crop_top = 0, crop_bottom = 0;
};

// The SPS up to and including frame_cropping's offsets; the VUI flag is the caller's.
BitWriter sps_head(const SpsFields& f) {
  BitWriter w;
  w.bits(0x67, 8).bits(f.profile_idc, 8).bits(f.constraint_flags, 8).bits(f.level_idc, 8);
  w.ue(f.seq_parameter_set_id);
  if (f.chroma_fields) {
    w.ue(f.chroma_format_idc);
    if (f.chroma_format_idc == 3) w.bit(0);
    w.ue(0).ue(0).bit(0).bit(f.scaling_list_slots > 0 ? 1 : 0);
    for (int slot = 0; slot < f.scaling_list_slots; ++slot) {
      w.bit(1);
      // A list whose deltas reach next == 0 on the third entry, then stop.
      w.se(5).se(-3).se(-10);
    }
  }
  w.ue(0).ue(f.pic_order_cnt_type);  // log2_max_frame_num_minus4
  if (f.pic_order_cnt_type == 0) w.ue(2);
  if (f.pic_order_cnt_type == 1) {
    w.bit(0).se(-1).se(2).ue(f.poc_cycle);
    for (std::uint32_t i = 0; i < f.poc_cycle && i < 16; ++i) w.se(static_cast<std::int32_t>(i));
  }
  w.ue(4).bit(0).ue(f.width_in_mbs_minus1).ue(f.height_in_map_units_minus1);
  w.bit(f.frame_mbs_only ? 1 : 0);
  if (!f.frame_mbs_only) w.bit(1);
  w.bit(1).bit(f.cropping ? 1 : 0);
  if (f.cropping) w.ue(f.crop_left).ue(f.crop_right).ue(f.crop_top).ue(f.crop_bottom);
  return w;
}

bool parse(const Bytes& sps, SpsInfo& info) {
  NALUnit nal(sps.data(), static_cast<std::uint32_t>(sps.size()));
  return parse_sps(info, nal);
}

struct SizeCase {
  const char* name;
  SpsFields fields;
  std::uint32_t width, height;
  CropRect crop;
};

SpsFields cropped(SpsFields f, std::uint32_t right, std::uint32_t bottom) {
  f.cropping = true;
  f.crop_right = right;
  f.crop_bottom = bottom;
  return f;
}
SpsFields with_chroma(std::uint8_t profile, std::uint32_t chroma_format_idc, int slots) {
  SpsFields f;
  f.profile_idc = profile;
  f.chroma_fields = true;
  f.chroma_format_idc = chroma_format_idc;
  f.scaling_list_slots = slots;
  return f;
}

TEST(SpsParser, ReadsPictureSizeAndCropRectangle) {
  SpsFields fields_1080i = cropped({}, 0, 2);
  fields_1080i.height_in_map_units_minus1 = 33;
  fields_1080i.frame_mbs_only = false;
  SpsFields profile_144;  // takes no chroma fields although its number is above 100
  profile_144.profile_idc = 144;
  SpsFields poc_cycle = cropped({}, 0, 4);
  poc_cycle.pic_order_cnt_type = 1;
  poc_cycle.poc_cycle = 3;
  const SizeCase cases[] = {
      {"1080p, bottom offset 4", cropped({}, 0, 4), 1920, 1088, {0, 0, 1920, 1080}},
      {"1080i as fields, bottom offset 2", fields_1080i, 1920, 1088, {0, 0, 1920, 1080}},
      {"cropping with four zero offsets", cropped({}, 0, 0), 1920, 1088, {0, 0, 0, 0}},
      {"profile 144", profile_144, 1920, 1088, {0, 0, 0, 0}},
      {"pic_order_cnt_type 1", poc_cycle, 1920, 1088, {0, 0, 1920, 1080}},
      {"High, 8 scaling lists",
       cropped(with_chroma(100, 1, 8), 0, 4),
       1920,
       1088,
       {0, 0, 1920, 1080}},
      {"profile 244 with 4:4:4, 12 scaling lists",
       with_chroma(244, 3, 12),
       1920,
       1088,
       {0, 0, 0, 0}},
      // Crop steps follow the chroma format: one line in 4:2:2, one pixel in 4:4:4
      // and monochrome.
      {"4:2:2, bottom offset 8",
       cropped(with_chroma(122, 2, 0), 0, 8),
       1920,
       1088,
       {0, 0, 1920, 1080}},
      {"4:4:4, right 8 and bottom 8",
       cropped(with_chroma(244, 3, 0), 8, 8),
       1920,
       1088,
       {0, 0, 1912, 1080}},
      {"monochrome, bottom offset 8",
       cropped(with_chroma(100, 0, 0), 0, 8),
       1920,
       1088,
       {0, 0, 1920, 1080}},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    BitWriter w = sps_head(c.fields);
    w.bit(0);  // no VUI
    SpsInfo info;
    ASSERT_TRUE(parse(w.finish(), info));
    EXPECT_EQ(info.width, c.width);
    EXPECT_EQ(info.height, c.height);
    EXPECT_EQ(info.crop.left, c.crop.left);
    EXPECT_EQ(info.crop.top, c.crop.top);
    EXPECT_EQ(info.crop.right, c.crop.right);
    EXPECT_EQ(info.crop.bottom, c.crop.bottom);
    EXPECT_EQ(info.profile_idc, c.fields.profile_idc);
    EXPECT_EQ(info.tick_divisor, 2);
  }
}

TEST(SpsParser, RejectsPicOrderCntTypeThree) {
  SpsFields f;
  f.pic_order_cnt_type = 3;
  BitWriter w = sps_head(f);
  w.bit(0);
  SpsInfo info;
  EXPECT_FALSE(parse(w.finish(), info));
}

TEST(SpsParser, ReadsVuiTimingAndHrd) {
  BitWriter w = sps_head({});
  w.bit(1);                                        // vui_parameters_present_flag
  w.bit(1).bits(13, 8);                            // aspect ratio 13: 160:99 (Table E-1)
  w.bit(0).bit(0).bit(0);                          // overscan, video signal, chroma location
  w.bit(1).bits(1001, 32).bits(60000, 32).bit(1);  // timing, fixed frame rate
  w.bit(1).ue(1).bits(0, 8);                       // NAL HRD: two entries
  for (int i = 0; i < 2; ++i) w.ue(1000).ue(2000).bit(0);
  w.bits(23, 5).bits(23, 5).bits(4, 5).bits(24, 5);
  w.bit(0).bit(0);  // no VCL HRD, low_delay_hrd_flag
  w.bit(0).bit(0);  // pic_struct_present_flag, no restrictions
  SpsInfo info;
  ASSERT_TRUE(parse(w.finish(), info));
  EXPECT_TRUE(info.vui_complete);
  EXPECT_EQ(info.sar_width, 160u);
  EXPECT_EQ(info.sar_height, 99u);
  EXPECT_EQ(info.num_units_in_tick, 1001u);
  EXPECT_EQ(info.time_scale, 60000);
  EXPECT_TRUE(info.nal_hrd_parameters_present_flag);
  EXPECT_EQ(info.cpb_removal_delay_length_minus1, 23u);
  EXPECT_EQ(info.dpb_output_delay_length_minus1, 4u);
  EXPECT_EQ(info.tick_divisor, 1);
}

TEST(SpsParser, AspectRatioOutsideTheTableKeepsZero) {
  for (std::uint32_t idc : {0u, 17u, 200u, 255u}) {
    SCOPED_TRACE(idc);
    BitWriter w = sps_head({});
    w.bit(1).bit(1).bits(idc, 8);
    if (idc == 255) w.bits(4, 16).bits(3, 16);
    w.bits(0, 8);
    SpsInfo info;
    ASSERT_TRUE(parse(w.finish(), info));
    EXPECT_EQ(info.sar_width, idc == 255 ? 4u : 0u);
    EXPECT_EQ(info.sar_height, idc == 255 ? 3u : 0u);
  }
}

// Where the data ends decides: before the VUI flag the SPS fails, inside the VUI
// it stands. The cut must fall on a byte boundary for the reader to see its end, so
// the SPS id and the picture order type are chosen to put it there.
Bytes cut_at_byte_boundary(const std::function<void(BitWriter&)>& after_head) {
  for (std::uint32_t poc_type : {0u, 2u}) {
    for (std::uint32_t id = 0; id < 16; ++id) {
      SpsFields f = cropped({}, 0, 4);
      f.seq_parameter_set_id = id;
      f.pic_order_cnt_type = poc_type;
      BitWriter w = sps_head(f);
      after_head(w);
      if (w.bit_count() % 8 == 0) return w.raw();
    }
  }
  ADD_FAILURE() << "no byte-aligned cut";
  return {};
}

TEST(SpsParser, EndOfDataInsideCroppingFailsAndInsideVuiStands) {
  // A bottom offset of 0xFFFF is a 33-bit code led by 16 zeros; cut inside them.
  const BitWriter head = sps_head(cropped({}, 0, 0xFFFF));
  const Bytes whole_head = head.raw();
  const std::size_t cut = (head.bit_count() - 33 + 8) / 8;
  SpsInfo info;
  EXPECT_FALSE(parse(Bytes(whole_head.begin(), whole_head.begin() + static_cast<long>(cut)), info));

  const Bytes after_aspect_ratio =
      cut_at_byte_boundary([](BitWriter& w) { w.bit(1).bit(1).bits(1, 8); });
  info = SpsInfo{};
  EXPECT_TRUE(parse(after_aspect_ratio, info));
  EXPECT_FALSE(info.vui_complete);
  EXPECT_EQ(info.crop.bottom, 1080);

  const Bytes after_timing = cut_at_byte_boundary([](BitWriter& w) {
    w.bit(1).bit(0).bit(0).bit(0).bit(0).bit(1).bits(1, 32).bits(50, 32).bit(1);
  });
  info = SpsInfo{};
  EXPECT_TRUE(parse(after_timing, info));
  EXPECT_FALSE(info.vui_complete);
  EXPECT_EQ(info.time_scale, 0);  // not stored when the data ends with it
  EXPECT_EQ(info.tick_divisor, 2);
}

TEST(SpsParser, DamagedCountsDoNotSpin) {
  SpsFields cycle;
  cycle.pic_order_cnt_type = 1;
  cycle.poc_cycle = 0xFFFFFFFE;
  BitWriter w = sps_head(cycle);
  SpsInfo info;
  (void)parse(w.finish(), info);  // returns at all: the count is bounded

  BitWriter hrd = sps_head({});
  hrd.bit(1).bits(0, 5).bit(1).ue(0x7FFFFFFE);
  info = SpsInfo{};
  EXPECT_TRUE(parse(hrd.finish(), info));
}

TEST(SpsParser, SurvivesRandomAndFlippedUnits) {
  BitWriter w = sps_head(cropped(with_chroma(100, 1, 8), 0, 4));
  w.bit(1).bit(1).bits(255, 8).bits(1, 16).bits(1, 16).bits(0, 4).bit(1).bits(1, 32).bits(50, 32);
  const Bytes valid = w.finish();
  for (std::uint32_t seed = 1; seed <= 3000; ++seed) {
    Bytes sps = pseudo_random_bytes(seed % 40, seed);
    if (seed % 2 == 0) {
      sps = valid;
      sps[seed % sps.size()] ^= static_cast<std::uint8_t>(1u << (seed % 8));
      sps.resize(seed % (sps.size() + 1));  // its own vector: ASan sees the cut
    }
    SpsInfo info;
    (void)parse(sps, info);
  }
}

}  // namespace
}  // namespace vidsalvage::test
