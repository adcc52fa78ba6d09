#include "model/parameter_ranking.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "codec/bit_reader.h"
#include "codec/intra_picture.h"
#include "codec/slice_data.h"

namespace vidsalvage {
namespace {

// Enough pictures to outvote damage and chance, few enough to stay fast.
constexpr std::size_t kRankPictures = 400;
constexpr std::size_t kRankSlices = 600;
constexpr std::uint32_t kMinLog2 = 4;
constexpr std::uint32_t kMaxLog2 = 16;
// The most the picture order count moves between pictures in decoding order:
// two per frame, over the reordering of a run of B-frames.
constexpr std::int64_t kMaxOrderStep = 16;
constexpr double kUnreadPenalty = 8;
constexpr std::size_t kJudgedCandidates = 4;
constexpr int kMaxQp = 51;
// Where clipping sets in: this share of the luma samples above its floor, and
// how far below that the encoder's QP may lie.
constexpr double kClipOnsetShare = 0.0005;
constexpr int kQpsBelowClipOnset = 3;

enum Kind : std::uint32_t { P = 0, B = 1, I = 2 };

constexpr PictureSize kCameraSizes[] = {
    {1920, 1080}, {1280, 720},  {3840, 2160}, {1920, 1440}, {2704, 1520}, {2704, 2028},
    {2560, 1440}, {848, 480},   {640, 480},   {640, 360},   {720, 480},   {720, 576},
    {960, 540},   {960, 720},   {1440, 1080}, {1280, 960},  {1024, 576},  {1080, 1920},
    {720, 1280},  {352, 288},   {320, 240},   {176, 144},   {4096, 2160}, {2048, 1080},
    {2688, 1512}, {2880, 2160}, {4000, 3000}, {1600, 1200}, {1024, 768},  {800, 600},
    {480, 360},   {480, 270},   {426, 240},   {1280, 1024}, {1440, 1440}, {1080, 1080},
    {2160, 3840}, {1440, 1920}, {3840, 2880}, {5312, 2988}, {7680, 4320}, {1920, 960},
};

// The evidence of a picture order count step that passes the window check:
// log2 of the values a random field of `bits` bits takes over those it may take.
double order_step_bits(std::uint32_t bits) {
  const std::int64_t modulus = std::int64_t{1} << bits;
  std::int64_t allowed = 0;
  for (std::int64_t d = -modulus / 2 + 1; d <= modulus / 2; ++d) {
    if (d != 0 && d % 2 == 0 && std::abs(d) <= kMaxOrderStep) ++allowed;
  }
  return std::log2(static_cast<double>(modulus) / static_cast<double>(allowed));
}

// `value` minus `previous` modulo 2^bits, taken in (-2^(bits-1), 2^(bits-1)].
std::int64_t wrapped_step(std::uint32_t value, std::uint32_t previous, std::uint32_t bits) {
  const std::int64_t modulus = std::int64_t{1} << bits;
  std::int64_t d = (static_cast<std::int64_t>(value) - previous) % modulus;
  if (d < 0) d += modulus;
  return d > modulus / 2 ? d - modulus : d;
}

// H.264 7.4.3: after a reference picture frame_num steps by one, else it stays.
double frame_num_score(const SliceHeader& h, const SliceHeader* previous, std::uint32_t bits) {
  const auto weight = static_cast<double>(bits);
  if (h.idr()) return h.frame_num == 0 ? weight : -2 * weight;
  if (previous == nullptr) return 0;
  const std::uint32_t modulus = 1u << bits;
  const std::uint32_t expected =
      previous->nal_ref_idc != 0 ? (previous->frame_num + 1) % modulus : previous->frame_num;
  return h.frame_num == expected ? weight : -2 * weight;
}

// Recorders start every IDR picture at order 0 and step by small even amounts:
// two per frame, which B-frames reorder.
double order_score(const SliceHeader& h, const SliceHeader* previous, std::uint32_t bits,
                   std::uint32_t informative_bits, double step_bits) {
  const auto weight = static_cast<double>(informative_bits);
  if (h.idr()) return h.pic_order_cnt_lsb == 0 ? weight : -2 * weight;
  if (previous == nullptr) return 0;
  const std::int64_t d = wrapped_step(h.pic_order_cnt_lsb, previous->pic_order_cnt_lsb, bits);
  const bool step = d != 0 && d % 2 == 0 && std::abs(d) <= kMaxOrderStep;
  return step ? step_bits : -2 * step_bits;
}

// The order bits that carry information: when every order count read has its
// low bits zero beyond the one that steps by two, those bits belong to the next
// field (often a zero flag) and a longer field must not win by them.
std::uint32_t informative_order_bits(const std::vector<std::optional<SliceHeader>>& headers,
                                     std::uint32_t bits) {
  std::uint32_t seen = 0;
  for (const std::optional<SliceHeader>& h : headers) {
    if (h) seen |= h->pic_order_cnt_lsb;
  }
  if (seen == 0) return 0;
  const auto zeros = static_cast<std::uint32_t>(std::countr_zero(seen));
  return zeros > 1 && zeros - 1 < bits ? bits - (zeros - 1) : bits;
}

double score_sequence(const std::vector<RankPicture>& pictures, const AvcParameterSets& sets,
                      const SpsInfo& sps, SequenceRank& counts) {
  std::vector<std::optional<SliceHeader>> headers;
  for (std::size_t i = 0; i < pictures.size() && i < kRankPictures; ++i) {
    SliceHeader h;
    const bool ok = read_slice_header(pictures[i].slices.front(), sets, h) == SliceRead::Read;
    headers.push_back(ok ? std::optional<SliceHeader>(h) : std::nullopt);
  }
  const std::uint32_t order_bits = informative_order_bits(headers, sps.log2_max_pic_order_cnt_lsb);
  const double step_bits = order_step_bits(sps.log2_max_pic_order_cnt_lsb) -
                           (sps.log2_max_pic_order_cnt_lsb - order_bits);
  double score = 0;
  counts = SequenceRank{};
  for (std::size_t i = 0; i < headers.size(); ++i) {
    if (!headers[i]) {
      score -= kUnreadPenalty;
      continue;
    }
    const SliceHeader& h = *headers[i];
    ++counts.pictures;
    const SliceHeader* before =
        i > 0 && headers[i - 1] && pictures[i].follows ? &*headers[i - 1] : nullptr;
    score += h.marking_known ? 1 : -4;
    const double frame_num = frame_num_score(h, before, sps.log2_max_frame_num);
    score += frame_num;
    if (before != nullptr || h.idr()) ++counts.checked;
    if (frame_num > 0) ++counts.consistent;
    if (sps.pic_order_cnt_type == 0) {
      score += order_score(h, before, sps.log2_max_pic_order_cnt_lsb, order_bits,
                           std::max(step_bits, 0.0));
    }
  }
  return score;
}

// The PPS id most first slices name.
std::uint32_t common_pps_id(const std::vector<RankPicture>& pictures) {
  std::vector<std::uint32_t> counts(256, 0);
  for (const RankPicture& p : pictures) {
    const std::span<const std::uint8_t> unit = p.slices.front();
    NALUnit reader(unit.data() + 1, static_cast<std::uint32_t>(unit.size() - 1));
    std::uint32_t value = 0;
    if (reader.read_ue_upto(kLargestFrameMbs, value) && reader.read_ue_upto(9, value) &&
        reader.read_ue_upto(255, value)) {
      ++counts[value];
    }
  }
  return static_cast<std::uint32_t>(std::max_element(counts.begin(), counts.end()) -
                                    counts.begin());
}

// The evidence of one whole slice header under `sets`: read to its end, CABAC's
// alignment bits all ones, a slice QP in range.
double slice_score(std::span<const std::uint8_t> unit, const AvcParameterSets& sets,
                   const PpsInfo& pps) {
  SliceHeader h;
  NALUnit reader(unit.data() + 1, static_cast<std::uint32_t>(unit.size() - 1));
  if (read_slice_header_to_data(unit, sets, h, reader) != SliceRead::Read) return -4;
  double score = 1;
  const std::int32_t qp = 26 + pps.pic_init_qp_minus26 + h.slice_qp_delta;
  score += qp >= 0 && qp <= 51 ? 0.5 : -2;
  if (pps.entropy_coding_mode_flag) {
    const std::uint32_t bits = reader.bits_left();
    bool ones = true;
    for (std::uint32_t i = 0; i < bits; ++i) ones = reader.read_bit() == 1 && ones;
    // A pass counts the same however many bits it covers: fields of all ones in
    // front of the alignment (deblocking offsets of 0) must not favour the
    // candidate that leaves them unread.
    score += ones ? 4 : -8;
  }
  return score;
}

// The slices of one kind (slice_type % 5), up to kRankSlices.
std::vector<std::span<const std::uint8_t>> slices_of_kind(const std::vector<RankPicture>& pictures,
                                                          std::uint32_t kind) {
  std::vector<std::span<const std::uint8_t>> out;
  for (const RankPicture& p : pictures) {
    for (const std::span<const std::uint8_t> unit : p.slices) {
      NALUnit reader(unit.data() + 1, static_cast<std::uint32_t>(unit.size() - 1));
      std::uint32_t first_mb = 0;
      std::uint32_t type = 0;
      if (!reader.read_ue_upto(kLargestFrameMbs, first_mb) || !reader.read_ue_upto(9, type)) {
        continue;
      }
      if (type % 5 == kind && out.size() < kRankSlices) out.push_back(unit);
    }
  }
  return out;
}

struct Scored {
  PpsInfo pps;
  double score = 0;
};

double score_slices(const std::vector<std::span<const std::uint8_t>>& slices, const SpsInfo& sps,
                    const PpsInfo& pps) {
  const AvcParameterSets sets = sets_of(sps, pps);
  double score = 0;
  for (const std::span<const std::uint8_t> unit : slices) score += slice_score(unit, sets, pps);
  return score;
}

// The candidates `vary` makes from `base`, best first; ties keep the order made.
std::vector<Scored> rank_variants(const std::vector<std::span<const std::uint8_t>>& slices,
                                  const SpsInfo& sps, const std::vector<PpsInfo>& variants) {
  std::vector<Scored> scored;
  for (const PpsInfo& pps : variants) scored.push_back({pps, score_slices(slices, sps, pps)});
  std::stable_sort(scored.begin(), scored.end(),
                   [](const Scored& a, const Scored& b) { return a.score > b.score; });
  return scored;
}

// Whether the best candidate's reference count beats every other count under the
// same weighted prediction flag.
bool unique_count(const std::vector<Scored>& scored) {
  const Scored& best = scored.front();
  for (std::size_t i = 1; i < scored.size(); ++i) {
    if (scored[i].pps.weighted_pred_flag == best.pps.weighted_pred_flag &&
        scored[i].score == best.score) {
      return false;
    }
  }
  return true;
}

// The values a field may take: the hint's alone when there is one.
std::vector<int> choices(const std::optional<int>& hint, std::vector<int> all) {
  if (hint) return {*hint};
  return all;
}

std::vector<PpsInfo> intra_variants(const PpsInfo& base, const EncoderHints& hints) {
  std::vector<PpsInfo> out;
  const std::optional<int> cabac =
      hints.cabac ? std::optional<int>(*hints.cabac != 0) : std::nullopt;
  // x264 always writes the deblocking control.
  const std::optional<int> control = hints.found ? std::optional<int>(1) : std::nullopt;
  for (const int entropy : choices(cabac, {1, 0})) {
    for (const int deblock : choices(control, {1, 0})) {
      PpsInfo p = base;
      p.entropy_coding_mode_flag = entropy != 0;
      p.deblocking_filter_control_present_flag = deblock != 0;
      out.push_back(p);
    }
  }
  return out;
}

std::vector<PpsInfo> predicted_variants(const PpsInfo& base, const EncoderHints& hints) {
  std::vector<PpsInfo> out;
  const std::optional<int> weighted =
      hints.weightp ? std::optional<int>(*hints.weightp > 0) : std::nullopt;
  for (const int w : choices(weighted, {0, 1})) {
    for (std::uint32_t l0 = 0; l0 < 16; ++l0) {
      PpsInfo p = base;
      p.weighted_pred_flag = w != 0;
      p.num_ref_idx_l0_default_active_minus1 = l0;
      out.push_back(p);
    }
  }
  // The encoder's reference count first: it breaks ties among counts the slices override.
  if (hints.ref && *hints.ref >= 1 && *hints.ref <= 16) {
    std::stable_partition(out.begin(), out.end(), [&](const PpsInfo& p) {
      return p.num_ref_idx_l0_default_active_minus1 == static_cast<std::uint32_t>(*hints.ref - 1);
    });
  }
  return out;
}

std::vector<PpsInfo> bipredicted_variants(const PpsInfo& base, const EncoderHints& hints) {
  std::vector<PpsInfo> out;
  const std::optional<int> implicit =
      hints.weightb ? std::optional<int>(*hints.weightb != 0 ? 2 : 0) : std::nullopt;
  for (const int idc : choices(implicit, {0, 2, 1})) {
    for (std::uint32_t l1 = 0; l1 < 4; ++l1) {
      PpsInfo p = base;
      p.weighted_bipred_idc = static_cast<std::uint32_t>(idc);
      p.num_ref_idx_l1_default_active_minus1 = l1;
      out.push_back(p);
    }
  }
  return out;
}

}  // namespace

AvcParameterSets sets_of(const SpsInfo& sps, const PpsInfo& pps) {
  AvcParameterSets sets;
  sets.sps[sps.seq_parameter_set_id] = sps;
  sets.pps[pps.pic_parameter_set_id] = pps;
  return sets;
}

SequenceRank rank_sequence_fields(const std::vector<RankPicture>& pictures, const SpsInfo& base) {
  SequenceRank best;
  best.sps = base;
  best.score = -1e300;
  PpsInfo pps;
  pps.pic_parameter_set_id = common_pps_id(pictures);
  pps.seq_parameter_set_id = base.seq_parameter_set_id;
  for (const bool frames_only : {true, false}) {
    for (std::uint32_t frame_bits = kMinLog2; frame_bits <= kMaxLog2; ++frame_bits) {
      for (std::uint32_t order_bits = kMinLog2 - 1; order_bits <= kMaxLog2; ++order_bits) {
        SpsInfo sps = base;
        sps.frame_mbs_only_flag = frames_only;
        sps.log2_max_frame_num = frame_bits;
        // kMinLog2 - 1 stands for pic_order_cnt_type 2, which sends no order bits.
        sps.pic_order_cnt_type = order_bits < kMinLog2 ? 2 : 0;
        sps.log2_max_pic_order_cnt_lsb = order_bits < kMinLog2 ? 0 : order_bits;
        SequenceRank counts;
        const double score = score_sequence(pictures, sets_of(sps, pps), sps, counts);
        if (score > best.score)
          best = {sps, score, counts.pictures, counts.checked, counts.consistent};
      }
    }
  }
  return best;
}

std::vector<PpsInfo> rank_picture_fields(const std::vector<RankPicture>& pictures,
                                         const SpsInfo& sps, const PpsInfo& base,
                                         const EncoderHints& hints, bool* references_shown) {
  PpsInfo start = base;
  start.pic_parameter_set_id = common_pps_id(pictures);
  start.seq_parameter_set_id = sps.seq_parameter_set_id;
  if (hints.chroma_qp_offset) {
    start.chroma_qp_index_offset = *hints.chroma_qp_offset;
    start.second_chroma_qp_index_offset = *hints.chroma_qp_offset;
  }
  if (hints.constrained_intra) start.constrained_intra_pred_flag = *hints.constrained_intra != 0;
  const std::optional<int> init_qp = hinted_init_qp(hints);
  if (init_qp && *init_qp >= 0 && *init_qp <= 51) start.pic_init_qp_minus26 = *init_qp - 26;
  // The entropy coder and the deblocking flag show in every slice: each pair is
  // judged by the best the P and B slices make of it too.
  const auto p_slices = slices_of_kind(pictures, P);
  const auto b_slices = slices_of_kind(pictures, B);
  std::vector<Scored> whole;
  for (const Scored& intra :
       rank_variants(slices_of_kind(pictures, I), sps, intra_variants(start, hints))) {
    const std::vector<Scored> all_predicted =
        rank_variants(p_slices, sps, predicted_variants(intra.pps, hints));
    const Scored& predicted = all_predicted.front();
    if (references_shown != nullptr && whole.empty()) {
      *references_shown = !p_slices.empty() && unique_count(all_predicted);
    }
    const Scored bipredicted =
        rank_variants(b_slices, sps, bipredicted_variants(predicted.pps, hints)).front();
    whole.push_back({bipredicted.pps, intra.score + predicted.score + bipredicted.score});
  }
  std::stable_sort(whole.begin(), whole.end(),
                   [](const Scored& a, const Scored& b) { return a.score > b.score; });
  std::vector<PpsInfo> out;
  for (std::size_t i = 0; i < whole.size() && i < kJudgedCandidates; ++i)
    out.push_back(whole[i].pps);
  return out;
}

std::span<const PictureSize> camera_sizes() { return kCameraSizes; }

void set_picture_size(SpsInfo& sps, const PictureSize& size) {
  const std::uint32_t map_unit_rows = sps.frame_mbs_only_flag ? 16 : 32;
  sps.pic_width_in_mbs = (size.width + 15) / 16;
  sps.pic_height_in_map_units = (size.height + map_unit_rows - 1) / map_unit_rows;
  sps.width = sps.pic_width_in_mbs * 16;
  sps.height = sps.pic_height_in_map_units * map_unit_rows;
  sps.crop = CropRect{};
  if (sps.width != size.width || sps.height != size.height) {
    sps.crop = {0, 0, static_cast<std::int32_t>(size.width),
                static_cast<std::int32_t>(size.height)};
  }
}

namespace {

// The slices of the first picture whose first slice is an I slice.
const RankPicture* first_key_picture(const std::vector<RankPicture>& pictures) {
  for (const RankPicture& p : pictures) {
    const std::span<const std::uint8_t> unit = p.slices.front();
    NALUnit reader(unit.data() + 1, static_cast<std::uint32_t>(unit.size() - 1));
    std::uint32_t first_mb = 0;
    std::uint32_t type = 0;
    if (reader.read_ue_upto(kLargestFrameMbs, first_mb) && reader.read_ue_upto(9, type) &&
        type % 5 == I) {
      return &p;
    }
  }
  return nullptr;
}

// The first picture after `key` whose first slice is a P slice.
const RankPicture* first_p_picture(const std::vector<RankPicture>& pictures,
                                   const RankPicture* key) {
  for (const RankPicture* p = key + 1; p < pictures.data() + pictures.size(); ++p) {
    const std::span<const std::uint8_t> unit = p->slices.front();
    NALUnit reader(unit.data() + 1, static_cast<std::uint32_t>(unit.size() - 1));
    std::uint32_t first_mb = 0;
    std::uint32_t type = 0;
    if (reader.read_ue_upto(kLargestFrameMbs, first_mb) && reader.read_ue_upto(9, type) &&
        type % 5 == P) {
      return p;
    }
  }
  return nullptr;
}

bool picture_parses(const RankPicture& picture, const AvcParameterSets& sets,
                    const SliceJudge& judge) {
  SliceVerdict last;
  for (const std::span<const std::uint8_t> unit : picture.slices) {
    last = judge(unit, sets);
    if (last.end != SliceEnd::Clean) return false;
  }
  return last.reaches_picture_end;
}

// pic_init_qp - 26 in the order tried: the candidate's own, then 0 and outward.
std::vector<std::int32_t> init_qp_order(const PpsInfo& candidate) {
  std::vector<std::int32_t> out = {candidate.pic_init_qp_minus26};
  if (!candidate.entropy_coding_mode_flag) return out;
  for (std::int32_t d = 0; d <= 26; ++d) {
    for (const std::int32_t v : {d, -d}) {
      if (v <= 25 && std::find(out.begin(), out.end(), v) == out.end()) out.push_back(v);
    }
  }
  return out;
}

}  // namespace

namespace {

// The default reference count under which the first P picture parses whole.
void judge_references(const std::vector<RankPicture>& pictures, const RankPicture* key,
                      const SliceJudge& judge, std::chrono::steady_clock::time_point deadline,
                      JudgedSets& out) {
  const RankPicture* p_picture = first_p_picture(pictures, key);
  if (p_picture == nullptr) return;
  for (std::uint32_t l0 = 0; l0 < 16; ++l0) {
    if (std::chrono::steady_clock::now() > deadline) return;
    PpsInfo p = out.pps;
    p.num_ref_idx_l0_default_active_minus1 = l0;
    if (picture_parses(*p_picture, sets_of(out.sps, p), judge)) {
      out.pps = p;
      out.references_measured = true;
      return;
    }
  }
}

// Non-key pictures that settle the 8x8 transform flag when the key picture read
// under both values: no macroblock of it asked.
constexpr std::size_t kTransformPictures = 4;

// When the key picture reads whether or not the 8x8 transform is on, the flag
// was never asked there; the pictures after it, whose inter macroblocks ask it
// too, decide. Where they cannot either, off: an encoder that codes no 8x8 intra
// block in a key picture most likely has the tool off.
// True when it turned the flag off.
bool settle_transform(const std::vector<RankPicture>& pictures, const RankPicture* key,
                      const SliceJudge& judge, std::chrono::steady_clock::time_point deadline,
                      JudgedSets& out) {
  if (!out.pps.transform_8x8_mode_flag) return false;
  PpsInfo off = out.pps;
  off.transform_8x8_mode_flag = false;
  if (!picture_parses(*key, sets_of(out.sps, off), judge)) return false;
  std::size_t parse_on = 0, parse_off = 0, tried = 0;
  for (const RankPicture* p = key + 1;
       p < pictures.data() + pictures.size() && tried < kTransformPictures; ++p, ++tried) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    parse_on += picture_parses(*p, sets_of(out.sps, out.pps), judge) ? 1 : 0;
    parse_off += picture_parses(*p, sets_of(out.sps, off), judge) ? 1 : 0;
  }
  if (parse_off < parse_on) return false;
  out.pps = off;
  return true;
}

}  // namespace

JudgedSets judge_sets(const std::vector<RankPicture>& pictures, const SpsInfo& sps,
                      const std::vector<PpsInfo>& candidates, const EncoderHints& hints,
                      const SliceJudge& judge, std::chrono::steady_clock::time_point deadline,
                      bool references_shown) {
  JudgedSets out;
  const RankPicture* key = first_key_picture(pictures);
  if (!judge || key == nullptr) return out;
  for (const PpsInfo& candidate : candidates) {
    for (const int transform : choices(hints.transform_8x8, {1, 0})) {
      for (const std::int32_t qp : init_qp_order(candidate)) {
        for (const PictureSize& size : kCameraSizes) {
          if (std::chrono::steady_clock::now() > deadline) return out;
          SpsInfo s = sps;
          set_picture_size(s, size);
          PpsInfo p = candidate;
          p.transform_8x8_mode_flag = transform != 0;
          p.pic_init_qp_minus26 = qp;
          if (!picture_parses(*key, sets_of(s, p), judge)) continue;
          out = {true, references_shown, s, p};
          if (!references_shown) judge_references(pictures, key, judge, deadline, out);
          if (!hints.transform_8x8 && settle_transform(pictures, key, judge, deadline, out) &&
              !references_shown && !out.references_measured) {
            judge_references(pictures, key, judge, deadline, out);
          }
          return out;
        }
      }
    }
  }
  return out;
}

namespace {

// The coded macroblocks of the first key picture, from its first slices, while
// every slice parses whole as frame slices of an 8-bit 4:2:0 stream.
bool key_macroblocks(const RankPicture& key, const AvcParameterSets& sets, const SpsInfo& sps,
                     std::vector<CodedMacroblock>& out) {
  // The rebuild knows flat scaling matrices only.
  if (sps.chroma_format_idc != 1 || sps.bit_depth_luma != 8 || sps.bit_depth_chroma != 8 ||
      !sps.frame_mbs_only_flag || sps.seq_scaling_matrix_present_flag ||
      sps.qpprime_y_zero_transform_bypass_flag) {
    return false;
  }
  for (const std::span<const std::uint8_t> unit : key.slices) {
    if (out.size() >= kQuantMeasureMbs) break;
    const SliceDataResult parsed = parse_slice_data(unit, sets, out, kQuantMeasureMbs);
    if (parsed.end != SliceDataEnd::Clean) return false;
  }
  return !out.empty();
}

// The picture under each trial initial QP: how blocky, and what share of its
// luma samples the rebuild had to clip. Rebuilt when first asked for.
struct QpTrial {
  double blockiness = 0;
  double clipped = 0;
};

class QpTrials {
 public:
  QpTrials(const std::vector<CodedMacroblock>& macroblocks, const SpsInfo& sps, const PpsInfo& pps)
      : macroblocks_(macroblocks), sps_(sps), pps_(pps), trials_(kMaxQp + 1) {
    // Only the rows that hold the macroblocks: a few rows of a large picture.
    std::uint32_t last = 0;
    for (const CodedMacroblock& mb : macroblocks) last = std::max(last, mb.address);
    rows_ = std::min(sps.pic_height_in_map_units, last / std::max(sps.pic_width_in_mbs, 1u) + 1);
  }

  // False when the picture cannot be rebuilt or shows no edge to measure.
  bool at(int qp, QpTrial& out) {
    std::optional<QpTrial>& trial = trials_[static_cast<std::size_t>(qp)];
    if (!trial) {
      const QuantSettings settings{qp, pps_.chroma_qp_index_offset};
      if (!rebuild_intra(macroblocks_, sps_.pic_width_in_mbs, rows_, settings, picture_)) {
        return false;
      }
      rebuilt_ = static_cast<std::size_t>(
          std::count(picture_.rebuilt.begin(), picture_.rebuilt.end(), std::uint8_t{1}));
      const double score = blockiness(picture_).luma;
      if (score <= 0 || rebuilt_ == 0) return false;
      trial = QpTrial{
          score, static_cast<double>(picture_.luma_clipped) / static_cast<double>(rebuilt_ * 256)};
    }
    out = *trial;
    return true;
  }
  std::size_t rebuilt() const { return rebuilt_; }

 private:
  const std::vector<CodedMacroblock>& macroblocks_;
  const SpsInfo& sps_;
  const PpsInfo& pps_;
  std::uint32_t rows_ = 0;
  std::vector<std::optional<QpTrial>> trials_;
  IntraPicture picture_;
  std::size_t rebuilt_ = 0;
};

// Past the encoder's QP every residual grows, and ringing at strong edges runs
// past black and white: the clipped share leaves its floor (at QP 0, where the
// residuals all but vanish) within a step or two of the encoder's QP. Below it
// the residuals shrink and the blocks show. So the least blocky picture among
// the few QPs up to where clipping sets in, found by bisection as clipping only
// grows with the QP. False when clipping never sets in (a picture without strong
// edges): nothing then bounds the QP from above.
bool chosen_qp(QpTrials& trials, int& chosen) {
  QpTrial low;
  QpTrial high;
  if (!trials.at(0, low) || !trials.at(kMaxQp, high)) return false;
  const double onset_share = low.clipped + kClipOnsetShare;
  if (high.clipped <= onset_share) return false;
  int below = 0;
  int onset = kMaxQp;
  while (onset - below > 1) {
    const int mid = (below + onset) / 2;
    QpTrial t;
    if (!trials.at(mid, t)) return false;
    (t.clipped > onset_share ? onset : below) = mid;
  }
  double best = 0;
  for (int qp = std::max(0, onset - kQpsBelowClipOnset); qp <= onset; ++qp) {
    QpTrial t;
    if (!trials.at(qp, t)) return false;
    if (qp == std::max(0, onset - kQpsBelowClipOnset) || t.blockiness < best) {
      best = t.blockiness;
      chosen = qp;
    }
  }
  return true;
}

}  // namespace

QuantMeasure measure_init_qp(const std::vector<RankPicture>& pictures, const SpsInfo& sps,
                             const PpsInfo& pps) {
  QuantMeasure out;
  const RankPicture* key = first_key_picture(pictures);
  std::vector<CodedMacroblock> macroblocks;
  if (key == nullptr || pps.pic_scaling_matrix_present_flag ||
      !key_macroblocks(*key, sets_of(sps, pps), sps, macroblocks)) {
    return out;
  }
  QpTrials trials(macroblocks, sps, pps);
  int qp = 0;
  if (!chosen_qp(trials, qp)) return out;
  out.measured = true;
  out.pic_init_qp = qp;
  out.macroblocks = static_cast<std::uint32_t>(trials.rebuilt());
  return out;
}

}  // namespace vidsalvage
