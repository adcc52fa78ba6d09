// The ranking of SPS and PPS fields on the slices of real x264 encodes: the
// fields that shape a slice header come out as the encoder wrote them.

#include "model/parameter_ranking.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "codec/slice_data.h"
#include "support/media.h"
#include "support/temp_dir.h"
#include "support/tracks.h"

namespace vidsalvage {
namespace {

using test::Bytes;

struct Encoded {
  Bytes file;
  std::vector<Bytes> units;  // every unit, kept alive for the spans
  std::vector<RankPicture> pictures;
  AvcParameterSets truth;
  SpsInfo sps;
  PpsInfo pps;
};

// Encodes 176x144 for a second and splits the samples into pictures.
bool encode(const std::string& args, Encoded& out) {
  test::TempDir dir;
  if (!test::run_ffmpeg(dir, "-f lavfi -i testsrc2=size=176x144:rate=30 -t 1 -c:v libx264 " + args +
                                 " -an a.mp4")) {
    return false;
  }
  out.file = dir.read("a.mp4");
  const std::optional<Bytes> avcc = test::box_body(out.file, "avcC");
  if (!avcc || !read_config_parameter_sets(*avcc, out.truth)) return false;
  out.sps = *out.truth.sps[0];
  out.pps = *out.truth.pps[0];
  std::vector<std::vector<Bytes>> per_sample;
  for (const test::Track& t : test::read_tracks(out.file)) {
    if (t.handler != "vide") continue;
    for (const test::Sample& s : t.samples) {
      per_sample.push_back(test::length_prefixed_units(out.file, {s}));
    }
  }
  for (const auto& units : per_sample)
    out.units.insert(out.units.end(), units.begin(), units.end());
  std::size_t at = 0;
  for (const auto& units : per_sample) {
    RankPicture p;
    p.follows = !out.pictures.empty();
    for (std::size_t i = 0; i < units.size(); ++i, ++at) {
      const int type = out.units[at][0] & 0x1F;
      if (type == 1 || type == 5) p.slices.push_back(out.units[at]);
    }
    out.pictures.push_back(p);
  }
  return !out.pictures.empty();
}

SpsInfo plain_sps() {
  SpsInfo sps;
  sps.profile_idc = 100;
  sps.frame_mbs_only_flag = true;
  set_picture_size(sps, {1920, 1080});
  return sps;
}

struct EncodeCase {
  const char* name;
  const char* args;
};
const EncodeCase kEncodes[] = {
    {"CABAC with B-frames", "-preset veryfast -g 15"},
    {"CAVLC with B-frames", "-preset veryfast -g 15 -x264-params cabac=0"},
    {"Baseline, order type 2", "-profile:v baseline -g 20"},
    {"no B-frames, two references", "-preset fast -bf 0 -refs 2"},
    {"three references, weighted P, no deblocking control hint", "-preset medium -refs 3 -bf 3"},
    {"CAVLC, no weighted prediction", "-preset veryfast -x264-params cabac=0:weightp=0 -bf 2"},
    {"a run of five B-frames", "-preset veryfast -bf 5 -x264-params b-adapt=0"},
};

// Every slice reads to the same header fields and the same first bit of its data
// under the inferred sets as under the true ones.
void expect_same_reading(const Encoded& e, const SpsInfo& sps, const PpsInfo& pps,
                         bool references_shown) {
  SpsInfo sized = sps;
  sized.pic_width_in_mbs = e.sps.pic_width_in_mbs;
  sized.pic_height_in_map_units = e.sps.pic_height_in_map_units;
  const AvcParameterSets inferred = sets_of(sized, pps);
  int compared = 0;
  for (const RankPicture& p : e.pictures) {
    for (const std::span<const std::uint8_t> unit : p.slices) {
      SliceHeader a, b;
      NALUnit ra(unit.data() + 1, static_cast<std::uint32_t>(unit.size() - 1));
      NALUnit rb(unit.data() + 1, static_cast<std::uint32_t>(unit.size() - 1));
      ASSERT_EQ(read_slice_header_to_data(unit, e.truth, a, ra), SliceRead::Read);
      ASSERT_EQ(read_slice_header_to_data(unit, inferred, b, rb), SliceRead::Read);
      EXPECT_EQ(ra.position(), rb.position());
      EXPECT_EQ(ra.bits_left(), rb.bits_left());
      EXPECT_EQ(a.frame_num, b.frame_num);
      EXPECT_EQ(a.pic_order_cnt_lsb, b.pic_order_cnt_lsb);
      EXPECT_EQ(a.slice_qp_delta, b.slice_qp_delta);
      if (references_shown) {
        EXPECT_EQ(a.num_ref_idx_l0_active_minus1, b.num_ref_idx_l0_active_minus1);
      }
      ++compared;
    }
  }
  EXPECT_GT(compared, 20);
}

TEST(RankParameterSets, ReadsTheSlicesOfX264EncodesAsTheirOwnSetsDo) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  for (const EncodeCase& c : kEncodes) {
    SCOPED_TRACE(c.name);
    Encoded e;
    // The encoder's settings text stays out: the slices alone must tell.
    ASSERT_TRUE(encode(std::string(c.args) + " -bsf:v filter_units=remove_types=6", e));
    const SequenceRank sequence = rank_sequence_fields(e.pictures, plain_sps());
    EXPECT_EQ(sequence.sps.log2_max_frame_num, e.sps.log2_max_frame_num);
    EXPECT_EQ(sequence.sps.pic_order_cnt_type, e.sps.pic_order_cnt_type);
    EXPECT_EQ(sequence.sps.log2_max_pic_order_cnt_lsb, e.sps.log2_max_pic_order_cnt_lsb);
    EXPECT_EQ(sequence.sps.frame_mbs_only_flag, e.sps.frame_mbs_only_flag);
    bool references_shown = false;
    const std::vector<PpsInfo> ranked =
        rank_picture_fields(e.pictures, sequence.sps, PpsInfo{}, EncoderHints{}, &references_shown);
    ASSERT_FALSE(ranked.empty());
    EXPECT_EQ(ranked.front().entropy_coding_mode_flag, e.pps.entropy_coding_mode_flag);
    EXPECT_EQ(ranked.front().weighted_pred_flag, e.pps.weighted_pred_flag);
    EXPECT_EQ(ranked.front().deblocking_filter_control_present_flag,
              e.pps.deblocking_filter_control_present_flag);
    expect_same_reading(e, sequence.sps, ranked.front(), references_shown);
  }
}

// The sequence and picture fields ranked from the slices alone.
struct Ranked {
  SequenceRank sequence;
  std::vector<PpsInfo> pictures;
  bool references_shown = false;
};

Ranked ranked_without_hints(const Encoded& e) {
  Ranked r;
  r.sequence = rank_sequence_fields(e.pictures, plain_sps());
  r.pictures = rank_picture_fields(e.pictures, r.sequence.sps, PpsInfo{}, EncoderHints{},
                                   &r.references_shown);
  return r;
}

// A judge that knows the answer: clean exactly under the true size, initial QP
// and transform flag, as a parser of slice data would be.
SliceJudge knowing_judge(const Encoded& e, int& calls) {
  return [&e, &calls](std::span<const std::uint8_t> unit, const AvcParameterSets& sets) {
    ++calls;
    // Byte 1 of a P slice with first_mb_in_slice 0: 1, then slice_type 0 (1) or
    // 5 (00110), then pic_parameter_set_id 0 (1).
    const bool is_p = unit[1] >> 5 == 7 || unit[1] >> 2 == 0x26;
    const SpsInfo& s = *sets.sps[0];
    const PpsInfo& p = *sets.pps[0];
    const bool references =
        p.num_ref_idx_l0_default_active_minus1 == e.pps.num_ref_idx_l0_default_active_minus1;
    const bool right = (references || !is_p) && s.pic_width_in_mbs == e.sps.pic_width_in_mbs &&
                       s.pic_height_in_map_units == e.sps.pic_height_in_map_units &&
                       p.pic_init_qp_minus26 == e.pps.pic_init_qp_minus26 &&
                       p.transform_8x8_mode_flag == e.pps.transform_8x8_mode_flag;
    SliceVerdict v;
    v.end = right ? SliceEnd::Clean : SliceEnd::Invalid;
    v.reaches_picture_end = right;
    return v;
  };
}

TEST(JudgeSets, FindsTheSizeTheInitialQpAndTheTransformFlag) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  for (const EncodeCase& c : {kEncodes[0], kEncodes[1], kEncodes[2]}) {
    SCOPED_TRACE(c.name);
    Encoded e;
    ASSERT_TRUE(encode(c.args, e));
    const Ranked r = ranked_without_hints(e);
    const SequenceRank& sequence = r.sequence;
    const bool references_shown = r.references_shown;
    const std::vector<PpsInfo>& ranked = r.pictures;
    int calls = 0;
    // Under CAVLC the initial QP does not change the parse: the judge is told the
    // value tried, which is 26 unless the settings say otherwise.
    Encoded truth = e;
    if (!e.pps.entropy_coding_mode_flag) truth.pps.pic_init_qp_minus26 = 0;
    const JudgedSets judged =
        judge_sets(e.pictures, sequence.sps, ranked, EncoderHints{}, knowing_judge(truth, calls),
                   std::chrono::steady_clock::now() + std::chrono::seconds(10), references_shown);
    ASSERT_TRUE(judged.measured);
    EXPECT_EQ(judged.pps.num_ref_idx_l0_default_active_minus1,
              e.pps.num_ref_idx_l0_default_active_minus1);
    EXPECT_EQ(judged.sps.pic_width_in_mbs, 11u);
    EXPECT_EQ(judged.sps.pic_height_in_map_units, 9u);
    EXPECT_EQ(judged.sps.crop.right, 0);
    EXPECT_EQ(judged.pps.transform_8x8_mode_flag, e.pps.transform_8x8_mode_flag);
  }
}

// The parser of slice data as the judge, as the inference runs it.
SliceJudge parsing_judge() {
  return [](std::span<const std::uint8_t> unit, const AvcParameterSets& sets) {
    const SliceDataResult r = parse_slice_data(unit, sets);
    SliceVerdict v;
    v.end = r.end == SliceDataEnd::Clean ? SliceEnd::Clean : SliceEnd::Invalid;
    v.first_mb = r.first_mb;
    v.macroblocks = r.macroblocks;
    v.reaches_picture_end = r.reaches_picture_end;
    return v;
  };
}

// A key picture without 8x8 intra blocks reads whether the 8x8 transform is on or
// not: the pictures after it decide, and where none does the tool is taken as off.
TEST(JudgeSets, SettlesTheTransformFlagByThePicturesAfterAKeyThatCannot) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  struct Case {
    const char* name;
    const char* args;
  };
  const Case cases[] = {
      {"no partitions, no 8x8 transform", "-preset ultrafast -bsf:v filter_units=remove_types=6"},
      {"8x8 transform in inter blocks only",
       "-preset veryfast -x264-params partitions=p8x8:8x8dct=1 "
       "-bsf:v filter_units=remove_types=6"},
      {"8x8 transform", "-preset veryfast -bsf:v filter_units=remove_types=6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Encoded e;
    ASSERT_TRUE(encode(c.args, e));
    const Ranked r = ranked_without_hints(e);
    const SequenceRank& sequence = r.sequence;
    const bool references_shown = r.references_shown;
    const std::vector<PpsInfo>& ranked = r.pictures;
    const JudgedSets judged =
        judge_sets(e.pictures, sequence.sps, ranked, EncoderHints{}, parsing_judge(),
                   std::chrono::steady_clock::now() + std::chrono::seconds(10), references_shown);
    ASSERT_TRUE(judged.measured);
    EXPECT_EQ(judged.pps.transform_8x8_mode_flag, e.pps.transform_8x8_mode_flag);
  }
}

TEST(JudgeSets, GivesUpWithoutAJudgeOrAtTheDeadline) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  Encoded e;
  ASSERT_TRUE(encode("-preset veryfast", e));
  const std::vector<PpsInfo> ranked =
      rank_picture_fields(e.pictures, e.sps, PpsInfo{}, EncoderHints{});
  EXPECT_FALSE(judge_sets(e.pictures, e.sps, ranked, EncoderHints{}, SliceJudge{},
                          std::chrono::steady_clock::now() + std::chrono::seconds(10))
                   .measured);
  int calls = 0;
  EXPECT_FALSE(judge_sets(e.pictures, e.sps, ranked, EncoderHints{}, knowing_judge(e, calls),
                          std::chrono::steady_clock::now() - std::chrono::seconds(1))
                   .measured);
  EXPECT_EQ(calls, 0);
}

TEST(SetPictureSize, CropsSizesThatAreNotWholeMacroblocks) {
  struct Case {
    PictureSize size;
    std::uint32_t width_mbs;
    std::uint32_t height_units;
    std::int32_t crop_right;
    std::int32_t crop_bottom;
  };
  const Case cases[] = {{{1920, 1080}, 120, 68, 1920, 1080},
                        {{1280, 720}, 80, 45, 0, 0},
                        {{848, 480}, 53, 30, 0, 0},
                        {{854, 480}, 54, 30, 854, 480}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size.width) + "x" + std::to_string(c.size.height));
    SpsInfo sps = plain_sps();
    set_picture_size(sps, c.size);
    EXPECT_EQ(sps.pic_width_in_mbs, c.width_mbs);
    EXPECT_EQ(sps.pic_height_in_map_units, c.height_units);
    EXPECT_EQ(sps.crop.right, c.crop_right);
    EXPECT_EQ(sps.crop.bottom, c.crop_bottom);
  }
}

}  // namespace
}  // namespace vidsalvage
