#include "model/hevc_inference.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "codec/hevc_config.h"
#include "codec/hevc_parameter_sets.h"
#include "codec/hevc_picture_order.h"
#include "codec/hevc_slice_segment.h"

namespace vidsalvage {
namespace {

// x265's defaults, for options a settings text leaves out.
constexpr int kDefaultCtu = 64;
constexpr int kDefaultMinCu = 8;
constexpr int kDefaultMaxTu = 32;
constexpr int kDefaultQgSize = 32;
constexpr int kDefaultPocLsbBits = 8;
constexpr std::uint32_t kMaxDpbMinus1 = 15;
// Rounds of the ranking: a field ranked early may read better once a later one
// is right.
constexpr int kRankRounds = 2;

std::uint32_t log2_of(int value) {
  std::uint32_t bits = 0;
  while (bits < 31 && (1 << (bits + 1)) <= value) ++bits;
  return bits;
}

int hint_or(const std::optional<int>& hint, int fallback) { return hint ? *hint : fallback; }

// The settings text is read from the damaged file: a value outside what H.265
// allows the field takes the fallback.
int hint_within(const std::optional<int>& hint, int first, int last, int fallback) {
  return hint && *hint >= first && *hint <= last ? *hint : fallback;
}

bool absent_or_within(const std::optional<int>& hint, int first, int last) {
  return !hint || (*hint >= first && *hint <= last);
}

bool power_of_two_within(int value, int first, int last) {
  return value >= first && value <= last && (value & (value - 1)) == 0;
}

// H.265 7.4.3.2.1 and 7.4.3.3.1: coding tree blocks of 16 to 64 samples, coding
// blocks of 8 up to them, transform blocks of 4 to 32 and no larger than a tree
// block, transform trees no deeper than the blocks allow, quantisation groups
// between the smallest coding block and the tree block.
bool block_sizes_valid(const HevcEncoderHints& h) {
  const int ctu = hint_or(h.ctu, kDefaultCtu);
  const int min_cu = hint_or(h.min_cu_size, kDefaultMinCu);
  const int max_tu = hint_or(h.max_tu_size, kDefaultMaxTu);
  const int qg = hint_or(h.qg_size, kDefaultQgSize);
  const int depth = static_cast<int>(log2_of(ctu)) - 2;  // CtbLog2SizeY - MinTbLog2SizeY
  return power_of_two_within(ctu, 16, 64) && power_of_two_within(min_cu, 8, ctu) &&
         power_of_two_within(max_tu, 4, std::min(ctu, 32)) &&
         (!h.qg_size || power_of_two_within(qg, min_cu, ctu)) &&
         absent_or_within(h.tu_intra_depth, 1, depth + 1) &&
         absent_or_within(h.tu_inter_depth, 1, depth + 1) &&
         absent_or_within(h.log2_max_poc_lsb, 4, 16);
}
bool flag_or(const std::optional<int>& hint, bool fallback) { return hint ? *hint != 0 : fallback; }

struct Sets {
  HevcSpsFields sps;
  HevcPpsFields pps;
};

// The first slice segment of every picture, in file order, block by block.
struct Picture {
  std::span<const std::uint8_t> slice;
  bool block_start = false;
};

std::vector<Picture> pictures_of(const ChainScan& scan, bool& more_segments) {
  std::vector<Picture> pictures;
  more_segments = false;
  for (const MediaBlock& block : scan.blocks) {
    bool start = true;
    for (const NalChain& chain : block.chains) {
      bool first = true;
      for (const ChainUnit& u : chain.units) {
        const std::span<const std::uint8_t> unit = block.unit(u);
        if (!is_slice_type(VideoCodec::Hevc, nal_type(VideoCodec::Hevc, unit[0]))) continue;
        if (first) pictures.push_back({unit, start});
        more_segments = more_segments || !first;
        first = false;
        start = false;
      }
    }
  }
  return pictures;
}

HevcSpsFields sps_from(const HevcEncoderHints& h) {
  HevcSpsFields s;
  const int min_cu = hint_or(h.min_cu_size, kDefaultMinCu);
  const auto pad = [min_cu](int side) {
    return static_cast<std::uint32_t>((min_cu - side % min_cu) % min_cu);
  };
  const int width = hint_or(h.width, 0);
  const int height = hint_or(h.height, 0);
  s.crop_right = pad(width);
  s.crop_bottom = pad(height);
  s.pic_width_in_luma_samples = static_cast<std::uint32_t>(width) + s.crop_right;
  s.pic_height_in_luma_samples = static_cast<std::uint32_t>(height) + s.crop_bottom;
  s.bit_depth_luma = static_cast<std::uint32_t>(hint_or(h.bitdepth, 8));
  s.bit_depth_chroma = s.bit_depth_luma;
  s.profile.general_profile_idc = s.bit_depth_luma == 8 ? 1 : 2;
  s.log2_max_pic_order_cnt_lsb =
      static_cast<std::uint32_t>(hint_or(h.log2_max_poc_lsb, kDefaultPocLsbBits));
  s.log2_min_luma_coding_block_size = log2_of(min_cu);
  s.ctb_log2_size = log2_of(hint_or(h.ctu, kDefaultCtu));
  s.log2_max_luma_transform_block_size = log2_of(hint_or(h.max_tu_size, kDefaultMaxTu));
  s.max_transform_hierarchy_depth_inter =
      static_cast<std::uint32_t>(std::max(hint_or(h.tu_inter_depth, 1) - 1, 0));
  s.max_transform_hierarchy_depth_intra =
      static_cast<std::uint32_t>(std::max(hint_or(h.tu_intra_depth, 1) - 1, 0));
  s.amp_enabled_flag = flag_or(h.amp, false);
  s.sample_adaptive_offset_enabled_flag = flag_or(h.sao, true);
  s.sps_temporal_mvp_enabled_flag = flag_or(h.temporal_mvp, true);
  s.strong_intra_smoothing_enabled_flag = flag_or(h.strong_intra_smoothing, true);
  HevcVuiFields& v = s.vui;
  // Table E.1: indices 1 to 16 name a ratio; 255 would need the ratio itself.
  v.aspect_ratio_idc = static_cast<std::uint32_t>(hint_within(h.sar, 1, 16, 0));
  v.video_signal_type_present_flag = h.videoformat.has_value();
  v.video_format = static_cast<std::uint32_t>(hint_within(h.videoformat, 0, 5, 5));
  v.video_full_range_flag = flag_or(h.range, false);
  v.colour_primaries = static_cast<std::uint32_t>(hint_within(h.colorprim, 0, 255, 2));
  v.transfer_characteristics = static_cast<std::uint32_t>(hint_within(h.transfer, 0, 255, 2));
  v.matrix_coeffs = static_cast<std::uint32_t>(hint_within(h.colormatrix, 0, 255, 2));
  return s;
}

HevcPpsFields pps_from(const HevcEncoderHints& h) {
  HevcPpsFields p;
  p.sign_data_hiding_enabled_flag = flag_or(h.signhide, true);
  p.constrained_intra_pred_flag = flag_or(h.constrained_intra, false);
  p.transform_skip_enabled_flag = flag_or(h.tskip, false);
  p.cu_qp_delta_enabled_flag = hint_or(h.aq_mode, 1) != 0 || flag_or(h.cutree, true);
  const std::uint32_t ctb = log2_of(hint_or(h.ctu, kDefaultCtu));
  const std::uint32_t group = log2_of(hint_or(h.qg_size, kDefaultQgSize));
  p.diff_cu_qp_delta_depth = p.cu_qp_delta_enabled_flag && ctb > group ? ctb - group : 0;
  p.pps_cb_qp_offset = hint_within(h.cbqpoffs, -12, 12, 0);
  p.pps_cr_qp_offset = hint_within(h.crqpoffs, -12, 12, 0);
  p.weighted_pred_flag = flag_or(h.weightp, false);
  p.weighted_bipred_flag = flag_or(h.weightb, false);
  p.transquant_bypass_enabled_flag = flag_or(h.lossless, false) || flag_or(h.cu_lossless, false);
  p.entropy_coding_sync_enabled_flag = flag_or(h.wpp, true);
  p.pps_deblocking_filter_disabled_flag = !flag_or(h.deblock, true);
  p.pps_tc_offset_div2 = hint_within(h.deblock_tc, -6, 6, 0);
  p.pps_beta_offset_div2 = hint_within(h.deblock_beta, -6, 6, 0);
  return p;
}

// The fields a slice segment header shows, in the order it shows them, with the
// values each may take.
struct RankedField {
  const char* name;
  std::uint32_t first;
  std::uint32_t last;
  std::uint32_t (*get)(const Sets&);
  void (*set)(Sets&, std::uint32_t);
};

#define VS_FLAG_FIELD(part, field)                                                                \
  {                                                                                               \
#field, 0, 1,                                                                                 \
        [](const Sets& s)                                                                         \
             -> std::uint32_t { return s.part.field ? 1 : 0; },                                   \
                                                             [](Sets & s,                         \
                                                                std::uint32_t                     \
                                                                    v) { s.part.field = v != 0; } \
  }
#define VS_VALUE_FIELD(part, field, first, last)                                                  \
  {                                                                                               \
#field, first, last,                                                                          \
        [](const Sets& s)                                                                         \
             -> std::uint32_t { return s.part.field; }, [](Sets & s,                              \
                                                           std::uint32_t v) { s.part.field = v; } \
  }

const RankedField kRankedFields[] = {
    VS_VALUE_FIELD(pps, num_extra_slice_header_bits, 0, 2),
    VS_FLAG_FIELD(pps, output_flag_present_flag),
    VS_VALUE_FIELD(sps, log2_max_pic_order_cnt_lsb, 4, 16),
    VS_FLAG_FIELD(sps, long_term_ref_pics_present_flag),
    VS_FLAG_FIELD(sps, sps_temporal_mvp_enabled_flag),
    VS_FLAG_FIELD(sps, sample_adaptive_offset_enabled_flag),
    VS_VALUE_FIELD(pps, num_ref_idx_l0_default_active_minus1, 0, 3),
    VS_VALUE_FIELD(pps, num_ref_idx_l1_default_active_minus1, 0, 3),
    VS_FLAG_FIELD(pps, lists_modification_present_flag),
    VS_FLAG_FIELD(pps, cabac_init_present_flag),
    VS_FLAG_FIELD(pps, weighted_pred_flag),
    VS_FLAG_FIELD(pps, weighted_bipred_flag),
    VS_FLAG_FIELD(pps, pps_slice_chroma_qp_offsets_present_flag),
    VS_FLAG_FIELD(pps, deblocking_filter_override_enabled_flag),
    VS_FLAG_FIELD(pps, pps_loop_filter_across_slices_enabled_flag),
    VS_FLAG_FIELD(pps, entropy_coding_sync_enabled_flag),
    VS_FLAG_FIELD(pps, slice_segment_header_extension_present_flag),
};

#undef VS_FLAG_FIELD
#undef VS_VALUE_FIELD

struct Tally {
  std::uint64_t read = 0;
  std::uint64_t sps_sets = 0;
};

Tally tally(const std::vector<Picture>& pictures, const Sets& sets) {
  Tally t;
  HevcSliceSegment segment;
  for (const Picture& p : pictures) {
    switch (read_hevc_slice_segment(p.slice, sets.sps, sets.pps, segment)) {
      case HevcSegmentRead::Read:
        ++t.read;
        break;
      case HevcSegmentRead::SpsRefSets:
        ++t.sps_sets;
        break;
      case HevcSegmentRead::NotFirst:
      case HevcSegmentRead::Malformed:
        break;
    }
  }
  return t;
}

// Each field in turn takes the value under which most headers read; a tie
// keeps the value the settings gave.
std::uint64_t rank_fields(const std::vector<Picture>& pictures, Sets& sets) {
  std::uint64_t best = tally(pictures, sets).read;
  for (int round = 0; round < kRankRounds; ++round) {
    for (const RankedField& f : kRankedFields) {
      const std::uint32_t kept = f.get(sets);
      std::uint32_t chosen = kept;
      for (std::uint32_t v = f.first; v <= f.last; ++v) {
        if (v == kept) continue;
        f.set(sets, v);
        const std::uint64_t read = tally(pictures, sets).read;
        if (read > best) {
          best = read;
          chosen = v;
        }
      }
      f.set(sets, chosen);
    }
  }
  return best;
}

// What the picture order counts of the pictures read show: how many pictures
// wait for a later one in output order, how many the decoder keeps, and
// whether any slice is a B slice. Counts restart at IDR pictures and blocks.
void measure_order(const std::vector<Picture>& pictures, const Sets& sets, HevcInference& out) {
  const std::int64_t max_lsb = std::int64_t{1} << sets.sps.log2_max_pic_order_cnt_lsb;
  std::vector<std::int64_t> sequence;  // counts since the last restart
  std::int64_t prev_lsb = 0;
  std::int64_t prev_msb = 0;
  std::uint32_t reorder = 0;
  std::uint32_t held = 1;
  HevcSliceSegment s;
  for (const Picture& p : pictures) {
    if (read_hevc_slice_segment(p.slice, sets.sps, sets.pps, s) != HevcSegmentRead::Read) continue;
    const bool idr = s.nal_unit_type == kHevcIdrWRadl || s.nal_unit_type == kHevcIdrNLp;
    if (p.block_start || idr) {
      sequence.clear();
      prev_lsb = 0;
      prev_msb = 0;
    }
    // H.265 8.3.1: the msb steps when the lsb wraps either way.
    const auto lsb = static_cast<std::int64_t>(s.slice_pic_order_cnt_lsb);
    std::int64_t msb = prev_msb;
    if (lsb < prev_lsb && prev_lsb - lsb >= max_lsb / 2) msb += max_lsb;
    if (lsb > prev_lsb && lsb - prev_lsb > max_lsb / 2) msb -= max_lsb;
    const std::int64_t count = msb + lsb;
    // Sub-layer non-reference pictures (even types below 16) and RADL/RASL
    // pictures do not anchor the next count.
    const bool anchor = s.nal_unit_type >= 16 || (s.nal_unit_type % 2 == 1 && s.nal_unit_type < 6);
    if (anchor) {
      prev_lsb = lsb;
      prev_msb = msb;
    }
    const auto later = static_cast<std::uint32_t>(std::count_if(
        sequence.begin(), sequence.end(), [count](std::int64_t c) { return c > count; }));
    reorder = std::max(reorder, later);
    held = std::max(held, s.num_negative_pics + s.num_positive_pics);
    sequence.push_back(count);
    if (s.slice_type == 0) out.b_slices = true;
  }
  HevcProfileFields& profile = out.sps.profile;
  profile.max_num_reorder_pics = std::min(reorder, kMaxDpbMinus1);
  profile.max_dec_pic_buffering_minus1 = std::min(std::max(held, reorder), kMaxDpbMinus1);
  profile.max_latency_increase_plus1 = 0;
}

std::string text_of(std::uint32_t value) { return std::to_string(value); }

void note_guesses(const HevcEncoderHints& h, bool more_segments, HevcInference& out) {
  std::vector<Guess>& g = out.guesses;
  g.push_back({"scaling lists", "flat", "neither the settings text nor the slices show them"});
  if (flag_or(h.opt_qp_pps, false)) {
    g.push_back({"init_qp", "26", "the encoder tuned it to the stream; colours may be off"});
  }
  if (flag_or(h.opt_ref_list_length_pps, false)) {
    g.push_back({"num_ref_idx_default", text_of(out.pps.num_ref_idx_l0_default_active_minus1 + 1),
                 "the encoder tuned it to the stream"});
  }
  if (more_segments) {
    g.push_back({"dependent_slice_segments_enabled_flag", "0", "the slices do not show it"});
  }
  const char* missing = nullptr;
  if (!h.ctu) missing = "ctu";
  if (!h.min_cu_size) missing = "min-cu-size";
  if (!h.max_tu_size) missing = "max-tu-size";
  if (missing != nullptr) {
    g.push_back({"coding block sizes", "x265's defaults",
                 std::string("the settings text does not name ") + missing});
  }
}

// The first VPS, SPS and PPS among the chains' units.
struct CarriedUnits {
  std::span<const std::uint8_t> vps;
  std::span<const std::uint8_t> sps;
  std::span<const std::uint8_t> pps;
};

bool find_carried(const ChainScan& scan, CarriedUnits& c) {
  for (const MediaBlock& block : scan.blocks) {
    for (const NalChain& chain : block.chains) {
      for (const ChainUnit& u : chain.units) {
        const std::span<const std::uint8_t> unit = block.unit(u);
        const int type = nal_type(VideoCodec::Hevc, unit[0]);
        if (type == kHevcVps && c.vps.empty()) c.vps = unit;
        if (type == kHevcSps && c.sps.empty()) c.sps = unit;
        if (type == kHevcPps && c.pps.empty()) c.pps = unit;
        if (!c.vps.empty() && !c.sps.empty() && !c.pps.empty()) return true;
      }
    }
  }
  return false;
}

// The hvcC of the sets the samples carry, and what the SPS and the slices say
// of the pictures. Unread when the sets do not parse or no slice reads under
// them.
HevcInferStatus use_carried(const ChainScan& scan, const CarriedUnits& units,
                            std::uint32_t fps_numerator, std::uint32_t fps_denominator,
                            HevcInference& out) {
  HevcParameterSets sets;
  HevcSps sps;
  if (!add_hevc_parameter_set(sets, units.sps) || !add_hevc_parameter_set(sets, units.pps) ||
      !parse_hevc_sps(units.sps, sps)) {
    return HevcInferStatus::Unread;
  }
  bool more_segments = false;
  const std::vector<Picture> pictures = pictures_of(scan, more_segments);
  out.pictures = pictures.size();
  for (const Picture& p : pictures) {
    HevcSliceHeader header;
    if (read_hevc_slice_header(p.slice, sets, header) != HevcSliceRead::Read) continue;
    ++out.pictures_read;
    if (header.slice_type == 0) out.b_slices = true;
  }
  if (out.pictures_read == 0) return HevcInferStatus::Unread;
  const std::uint64_t rate = std::uint64_t{fps_numerator} * 256 / std::max(fps_denominator, 1u);
  out.hvcc = hevc_config_of_units(units.vps, units.sps, units.pps,
                                  rate > 0xFFFF ? 0 : static_cast<std::uint32_t>(rate), false);
  if (out.hvcc.empty()) return HevcInferStatus::Unread;
  out.carried = true;
  out.width = sps.width();
  out.height = sps.height();
  out.sps.bit_depth_luma = sps.bit_depth_luma;
  out.sps.profile.general_profile_idc = sps.general_profile_idc;
  out.sps.ctb_log2_size = sps.ctb_log2_size;
  out.sps.log2_max_pic_order_cnt_lsb = sps.log2_max_pic_order_cnt_lsb;
  out.sps.vui.num_units_in_tick = fps_denominator;
  out.sps.vui.time_scale = fps_numerator;
  return HevcInferStatus::Ok;
}

}  // namespace

HevcEncoderHints hevc_hints_of(const ChainScan& scan) {
  HevcEncoderHints hints;
  for (const MediaBlock& block : scan.blocks) {
    for (const NalChain& chain : block.chains) {
      for (const ChainUnit& u : chain.units) {
        const std::span<const std::uint8_t> unit = block.unit(u);
        if (nal_type(VideoCodec::Hevc, unit[0]) == kHevcPrefixSei) {
          read_hevc_encoder_hints(unit, hints);
        }
        if (hints.found) return hints;
      }
    }
  }
  return hints;
}

std::uint32_t hevc_level_for(std::uint32_t width, std::uint32_t height, double fps) {
  struct Level {
    std::uint32_t idc;
    double max_luma_ps;
    double max_luma_sr;
  };
  constexpr Level kLevels[] = {
      {30, 36864, 552960},        {60, 122880, 3686400},       {63, 245760, 7372800},
      {90, 552960, 16588800},     {93, 983040, 33177600},      {120, 2228224, 66846720},
      {123, 2228224, 133693440},  {150, 8912896, 267386880},   {153, 8912896, 534773760},
      {156, 8912896, 1069547520}, {180, 35651584, 1069547520}, {183, 35651584, 2139095040},
      {186, 35651584, 4278190080}};
  const double samples = static_cast<double>(width) * height;
  const double side = std::max(width, height);
  for (const Level& l : kLevels) {
    // A.4.1: neither side longer than the square root of eight times MaxLumaPs.
    if (samples <= l.max_luma_ps && side <= std::sqrt(8 * l.max_luma_ps) &&
        samples * fps <= l.max_luma_sr) {
      return l.idc;
    }
  }
  return 186;
}

HevcInferStatus infer_hevc_sets(const ChainScan& scan, std::uint32_t fps_numerator,
                                std::uint32_t fps_denominator, HevcInference& out) {
  out.hints = hevc_hints_of(scan);
  const HevcEncoderHints& h = out.hints;
  if (h.fps_numerator && h.fps_denominator && *h.fps_numerator > 0 && *h.fps_denominator > 0) {
    fps_numerator = static_cast<std::uint32_t>(*h.fps_numerator);
    fps_denominator = static_cast<std::uint32_t>(*h.fps_denominator);
  }
  CarriedUnits units;
  if (find_carried(scan, units)) {
    return use_carried(scan, units, fps_numerator, fps_denominator, out);
  }
  if (!h.found || !h.width || !h.height || *h.width <= 0 || *h.height <= 0 ||
      !block_sizes_valid(h)) {
    return HevcInferStatus::NoSettings;
  }
  const int bitdepth = hint_or(h.bitdepth, 8);
  if (hint_or(h.input_csp, 1) != 1 || (bitdepth != 8 && bitdepth != 10) ||
      hint_or(h.interlace, 0) != 0 || hint_or(h.temporal_layers, 0) != 0 || *h.width > 16888 ||
      *h.height > 16888 || *h.width % 2 != 0 || *h.height % 2 != 0) {
    return HevcInferStatus::Unsupported;
  }
  bool more_segments = false;
  const std::vector<Picture> pictures = pictures_of(scan, more_segments);
  Sets sets = {sps_from(h), pps_from(h)};
  out.pictures = pictures.size();
  out.pictures_read = rank_fields(pictures, sets);
  if (2 * out.pictures_read <= out.pictures) {
    const Tally t = tally(pictures, sets);
    return 2 * t.sps_sets > out.pictures ? HevcInferStatus::SpsRefSets : HevcInferStatus::Unread;
  }
  out.sps = sets.sps;
  out.pps = sets.pps;
  measure_order(pictures, sets, out);
  out.sps.vui.num_units_in_tick = fps_denominator;
  out.sps.vui.time_scale = fps_numerator;
  out.width = static_cast<std::uint32_t>(*h.width);
  out.height = static_cast<std::uint32_t>(*h.height);
  out.sps.profile.general_level_idc =
      hevc_level_for(out.sps.pic_width_in_luma_samples, out.sps.pic_height_in_luma_samples,
                     static_cast<double>(fps_numerator) / fps_denominator);
  note_guesses(h, more_segments, out);
  out.hvcc = make_hevc_config(out.sps, out.pps);
  return HevcInferStatus::Ok;
}

}  // namespace vidsalvage
