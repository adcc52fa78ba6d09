#include "codec/hevc_slice_segment.h"

#include "codec/bit_reader.h"
#include "codec/hevc_config.h"

namespace vidsalvage {
namespace {

// H.265 7.4.7.1 and 7.4.8: the ranges of the fields read.
constexpr std::uint32_t kMaxPpsId = 63;
constexpr std::uint32_t kMaxRefPics = 16;
constexpr std::uint32_t kMaxRefIdxMinus1 = 14;
constexpr std::uint32_t kMaxDeltaPocMinus1 = 32767;
constexpr std::uint32_t kMaxMergeCandMinus = 4;
constexpr std::uint32_t kMaxLog2WeightDenom = 7;
constexpr std::uint32_t kMaxEntryOffsetBits = 32;
constexpr std::uint32_t kMaxHeaderExtensionBytes = 256;
constexpr std::uint32_t kSliceB = 0;
constexpr std::uint32_t kSliceP = 1;
constexpr std::uint32_t kSliceI = 2;

struct RefCounts {
  std::uint32_t l0 = 0;  // num_ref_idx_l0_active_minus1
  std::uint32_t l1 = 0;
  std::uint32_t total_curr = 0;  // NumPicTotalCurr
};

// st_ref_pic_set(num_short_term_ref_pic_sets) with no sets in the SPS: no
// prediction from another set (7.3.7).
bool read_short_term_set(BitstreamReader& r, HevcSliceSegment& s, RefCounts& refs) {
  if (!r.read_ue_upto(kMaxRefPics, s.num_negative_pics) ||
      !r.read_ue_upto(kMaxRefPics - s.num_negative_pics, s.num_positive_pics)) {
    return false;
  }
  for (std::uint32_t i = 0; i < s.num_negative_pics + s.num_positive_pics; ++i) {
    std::uint32_t delta_minus1 = 0;
    bool used = false;
    if (!r.read_ue_upto(kMaxDeltaPocMinus1, delta_minus1) || !r.read_flag(used)) return false;
    if (used) ++refs.total_curr;
  }
  return true;
}

bool read_long_term_pics(BitstreamReader& r, const HevcSpsFields& sps, RefCounts& refs) {
  std::uint32_t count = 0;
  if (!r.read_ue_upto(kMaxRefPics, count)) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t value = 0;
    bool used = false;
    bool msb_present = false;
    if (!r.read_u(sps.log2_max_pic_order_cnt_lsb, value) || !r.read_flag(used) ||
        !r.read_flag(msb_present) || (msb_present && !r.read_ue_upto(0xFFFFFFFE, value))) {
      return false;
    }
    if (used) ++refs.total_curr;
  }
  return true;
}

std::uint32_t ceil_log2(std::uint32_t value) {
  std::uint32_t bits = 0;
  while ((1u << bits) < value) ++bits;
  return bits;
}

bool read_list_modification(BitstreamReader& r, std::uint32_t count, std::uint32_t total_curr) {
  bool modified = false;
  if (!r.read_flag(modified)) return false;
  if (!modified) return true;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t entry = 0;
    if (!r.read_u(ceil_log2(total_curr), entry) || entry >= total_curr) return false;
  }
  return true;
}

// The weights of one list (7.3.6.3).
bool read_list_weights(BitstreamReader& r, std::uint32_t count, bool chroma) {
  bool luma_flags[kMaxRefIdxMinus1 + 1] = {};
  bool chroma_flags[kMaxRefIdxMinus1 + 1] = {};
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!r.read_flag(luma_flags[i])) return false;
  }
  for (std::uint32_t i = 0; chroma && i < count; ++i) {
    if (!r.read_flag(chroma_flags[i])) return false;
  }
  std::int32_t value = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (luma_flags[i] &&
        (!r.read_se_within(-128, 127, value) || !r.read_se_within(-128, 127, value))) {
      return false;
    }
    for (int j = 0; chroma_flags[i] && j < 2; ++j) {
      if (!r.read_se_within(-128, 127, value) || !r.read_se_within(-512, 511, value)) return false;
    }
  }
  return true;
}

bool read_pred_weight_table(BitstreamReader& r, bool chroma, std::uint32_t slice_type,
                            const RefCounts& refs) {
  std::uint32_t luma_denom = 0;
  std::int32_t chroma_delta = 0;
  if (!r.read_ue_upto(kMaxLog2WeightDenom, luma_denom)) return false;
  const auto denom = static_cast<std::int32_t>(luma_denom);
  if (chroma && !r.read_se_within(-denom, 7 - denom, chroma_delta)) return false;
  if (!read_list_weights(r, refs.l0 + 1, chroma)) return false;
  return slice_type != kSliceB || read_list_weights(r, refs.l1 + 1, chroma);
}

// From num_ref_idx_active_override_flag to five_minus_max_num_merge_cand.
bool read_inter_fields(BitstreamReader& r, const HevcSpsFields& sps, const HevcPpsFields& pps,
                       std::uint32_t slice_type, bool temporal_mvp, RefCounts& refs) {
  const bool b = slice_type == kSliceB;
  refs.l0 = pps.num_ref_idx_l0_default_active_minus1;
  refs.l1 = pps.num_ref_idx_l1_default_active_minus1;
  bool override_counts = false;
  bool flag = false;
  if (!r.read_flag(override_counts)) return false;
  if (override_counts && (!r.read_ue_upto(kMaxRefIdxMinus1, refs.l0) ||
                          (b && !r.read_ue_upto(kMaxRefIdxMinus1, refs.l1)))) {
    return false;
  }
  if (refs.total_curr == 0) return false;  // 7.4.7.1: inter slices refer to a picture
  if (pps.lists_modification_present_flag && refs.total_curr > 1 &&
      (!read_list_modification(r, refs.l0 + 1, refs.total_curr) ||
       (b && !read_list_modification(r, refs.l1 + 1, refs.total_curr)))) {
    return false;
  }
  if (b && !r.read_flag(flag)) return false;  // mvd_l1_zero_flag
  if (pps.cabac_init_present_flag && !r.read_flag(flag)) return false;
  if (temporal_mvp) {
    bool from_l0 = true;
    if (b && !r.read_flag(from_l0)) return false;
    const std::uint32_t last = from_l0 ? refs.l0 : refs.l1;
    std::uint32_t collocated = 0;
    if (last > 0 && !r.read_ue_upto(last, collocated)) return false;
  }
  const bool weighted = slice_type == kSliceP ? pps.weighted_pred_flag : pps.weighted_bipred_flag;
  if (weighted && !read_pred_weight_table(r, sps.chroma_format_idc != 0, slice_type, refs)) {
    return false;
  }
  std::uint32_t merge = 0;
  return r.read_ue_upto(kMaxMergeCandMinus, merge);
}

// From slice_qp_delta to slice_loop_filter_across_slices_enabled_flag.
bool read_filter_fields(BitstreamReader& r, const HevcSpsFields& sps, const HevcPpsFields& pps,
                        bool sao, HevcSliceSegment& s) {
  const auto bd_offset = static_cast<std::int32_t>(6 * (sps.bit_depth_luma - 8));
  const std::int32_t init_qp = 26 + pps.init_qp_minus26;
  std::int32_t value = 0;
  if (!r.read_se_within(-bd_offset - init_qp, 51 - init_qp, s.slice_qp_delta)) return false;
  if (pps.pps_slice_chroma_qp_offsets_present_flag &&
      (!r.read_se_within(-12, 12, value) || !r.read_se_within(-12, 12, value))) {
    return false;
  }
  bool override_filter = false;
  bool disabled = pps.pps_deblocking_filter_disabled_flag;
  if (pps.deblocking_filter_override_enabled_flag && !r.read_flag(override_filter)) return false;
  if (override_filter) {
    if (!r.read_flag(disabled)) return false;
    if (!disabled && (!r.read_se_within(-6, 6, value) || !r.read_se_within(-6, 6, value))) {
      return false;
    }
  }
  bool across = false;
  return !(pps.pps_loop_filter_across_slices_enabled_flag && (sao || !disabled)) ||
         r.read_flag(across);
}

// Entry points, the header extension and byte_alignment(); the offsets must
// leave data in the unit, and wavefronts start at most once per CTB row.
bool read_header_end(BitstreamReader& r, const HevcSpsFields& sps, const HevcPpsFields& pps,
                     std::size_t unit_bytes, HevcSliceSegment& s) {
  if (pps.entropy_coding_sync_enabled_flag) {
    const std::uint32_t ctb = 1u << sps.ctb_log2_size;
    const std::uint32_t rows = (sps.pic_height_in_luma_samples + ctb - 1) / ctb;
    std::uint32_t len_minus1 = 0;
    if (!r.read_ue_upto(rows - 1, s.num_entry_point_offsets)) return false;
    if (s.num_entry_point_offsets > 0 && !r.read_ue_upto(kMaxEntryOffsetBits - 1, len_minus1)) {
      return false;
    }
    std::uint64_t bytes = 0;
    for (std::uint32_t i = 0; i < s.num_entry_point_offsets; ++i) {
      std::uint32_t offset_minus1 = 0;
      if (!r.read_u(len_minus1 + 1, offset_minus1)) return false;
      bytes += std::uint64_t{offset_minus1} + 1;
    }
    if (bytes >= unit_bytes) return false;
  }
  if (pps.slice_segment_header_extension_present_flag) {
    std::uint32_t length = 0;
    if (!r.read_ue_upto(kMaxHeaderExtensionBytes, length) || !r.skip(8 * length)) return false;
  }
  // byte_alignment(): a one, then zeros to the byte's end.
  if (r.read_bit() != 1) return false;
  for (std::uint32_t bits = r.bits_left(); bits > 0; --bits) {
    if (r.read_bit() != 0) return false;
  }
  return !r.overrun();
}

}  // namespace

HevcSegmentRead read_hevc_slice_segment(std::span<const std::uint8_t> unit,
                                        const HevcSpsFields& sps, const HevcPpsFields& pps,
                                        HevcSliceSegment& segment) {
  HevcNalHeader header;
  if (!read_hevc_nal_header(unit, header) || header.nal_unit_type > kHevcLastVcl) {
    return HevcSegmentRead::Malformed;
  }
  NALUnit r(unit.data() + 2, static_cast<std::uint32_t>(unit.size() - 2));
  HevcSliceSegment s;
  s.nal_unit_type = header.nal_unit_type;
  const bool irap = header.nal_unit_type >= kHevcBlaWLp && header.nal_unit_type <= kHevcLastIrap;
  const bool idr = header.nal_unit_type == kHevcIdrWRadl || header.nal_unit_type == kHevcIdrNLp;
  bool first = false;
  bool flag = false;
  std::uint32_t value = 0;
  if (!r.read_flag(first)) return HevcSegmentRead::Malformed;
  if (!first) return HevcSegmentRead::NotFirst;
  if ((irap && !r.read_flag(flag)) || !r.read_ue_upto(kMaxPpsId, value) ||
      !r.skip(pps.num_extra_slice_header_bits) || !r.read_ue_upto(kSliceI, s.slice_type) ||
      (irap && s.slice_type != kSliceI) || (pps.output_flag_present_flag && !r.read_flag(flag))) {
    return HevcSegmentRead::Malformed;
  }
  RefCounts refs;
  bool temporal_mvp = false;
  if (!idr) {
    bool from_sps = false;
    if (!r.read_u(sps.log2_max_pic_order_cnt_lsb, s.slice_pic_order_cnt_lsb) ||
        !r.read_flag(from_sps)) {
      return HevcSegmentRead::Malformed;
    }
    if (from_sps) return HevcSegmentRead::SpsRefSets;
    if (!read_short_term_set(r, s, refs) ||
        (sps.long_term_ref_pics_present_flag && !read_long_term_pics(r, sps, refs)) ||
        (sps.sps_temporal_mvp_enabled_flag && !r.read_flag(temporal_mvp))) {
      return HevcSegmentRead::Malformed;
    }
  }
  bool sao_luma = false;
  bool sao_chroma = false;
  if (sps.sample_adaptive_offset_enabled_flag &&
      (!r.read_flag(sao_luma) || (sps.chroma_format_idc != 0 && !r.read_flag(sao_chroma)))) {
    return HevcSegmentRead::Malformed;
  }
  if (s.slice_type != kSliceI &&
      !read_inter_fields(r, sps, pps, s.slice_type, temporal_mvp, refs)) {
    return HevcSegmentRead::Malformed;
  }
  if (!read_filter_fields(r, sps, pps, sao_luma || sao_chroma, s) ||
      !read_header_end(r, sps, pps, unit.size(), s)) {
    return HevcSegmentRead::Malformed;
  }
  segment = s;
  return HevcSegmentRead::Read;
}

}  // namespace vidsalvage
