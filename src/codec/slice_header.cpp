#include "codec/slice_header.h"

#include "io/byte_reader.h"

namespace vidsalvage {
namespace {

constexpr std::uint32_t kNalTypeSps = 7;
constexpr std::uint32_t kNalTypePps = 8;

// H.264 7.4.3: the ranges of the slice header fields read.
constexpr std::uint32_t kMaxSliceType = 9;
constexpr std::uint32_t kMaxPicParameterSetId = 255;
constexpr std::uint32_t kMaxIdrPicId = 65535;
constexpr std::uint32_t kMaxRedundantPicCnt = 127;
constexpr std::uint32_t kMaxRefIdxMinus1 = 31;
constexpr std::int32_t kMaxOffset = 0x7FFFFFFF;  // delta_pic_order_cnt: -(2^31 - 1) to 2^31 - 1
constexpr std::uint32_t kMaxCodedValue = 0xFFFFFFFE;
// Entries of a reference list modification or a marking: a valid slice has no
// more than there are reference indexes or frames, far below these.
constexpr int kMaxModifications = 33;
constexpr int kMaxMarkingOperations = 66;

enum SliceKind : std::uint32_t { P = 0, B = 1, I = 2, Sp = 3, Si = 4 };

bool is_slice_unit(std::uint32_t type) { return type == 1 || type == 2 || type == 5; }

// A slice's PPS and the SPS it names, when both are known.
struct ActiveSets {
  const PpsInfo* pps = nullptr;
  const SpsInfo* sps = nullptr;
};
ActiveSets active_sets(const AvcParameterSets& sets, std::uint32_t pps_id) {
  ActiveSets active;
  if (pps_id >= sets.pps.size() || !sets.pps[pps_id]) return active;
  const std::uint32_t sps_id = sets.pps[pps_id]->seq_parameter_set_id;
  if (sps_id >= sets.sps.size() || !sets.sps[sps_id]) return active;
  active.pps = &*sets.pps[pps_id];
  active.sps = &*sets.sps[sps_id];
  return active;
}

bool read_pic_order_fields(const SpsInfo& sps, const PpsInfo& pps, BitstreamReader& reader,
                           SliceHeader& h) {
  const bool bottom_present = pps.bottom_field_pic_order_in_frame_present_flag && !h.field_pic_flag;
  if (sps.pic_order_cnt_type == 0) {
    if (!reader.read_u(sps.log2_max_pic_order_cnt_lsb, h.pic_order_cnt_lsb)) return false;
    if (bottom_present &&
        !reader.read_se_within(-kMaxOffset, kMaxOffset, h.delta_pic_order_cnt_bottom)) {
      return false;
    }
  }
  if (sps.pic_order_cnt_type == 1 && !sps.delta_pic_order_always_zero_flag) {
    if (!reader.read_se_within(-kMaxOffset, kMaxOffset, h.delta_pic_order_cnt[0])) return false;
    if (bottom_present &&
        !reader.read_se_within(-kMaxOffset, kMaxOffset, h.delta_pic_order_cnt[1])) {
      return false;
    }
  }
  return true;
}

// H.264 7.3.3.1, one list: the modifications up to modification_of_pic_nums_idc 3.
bool skip_list_modification(BitstreamReader& reader) {
  bool present = false;
  if (!reader.read_flag(present)) return false;
  if (!present) return true;
  for (int i = 0; i < kMaxModifications; ++i) {
    std::uint32_t idc = 0;
    std::uint32_t value = 0;
    if (!reader.read_ue_upto(5, idc)) return false;
    if (idc == 3) return true;
    // 0 and 1: abs_diff_pic_num_minus1; 2: long_term_pic_num; 4 and 5 (MVC):
    // abs_diff_view_idx_minus1.
    if (!reader.read_ue_upto(kMaxCodedValue, value)) return false;
  }
  return false;
}

// H.264 7.3.3.2, one list's weights.
bool skip_weights(BitstreamReader& reader, std::uint32_t entries, bool chroma) {
  std::int32_t value = 0;
  for (std::uint32_t i = 0; i < entries; ++i) {
    bool present = false;
    if (!reader.read_flag(present)) return false;
    if (present &&
        (!reader.read_se_within(-128, 127, value) || !reader.read_se_within(-128, 127, value))) {
      return false;
    }
    if (!chroma) continue;
    if (!reader.read_flag(present)) return false;
    for (int j = 0; present && j < 4; ++j) {
      if (!reader.read_se_within(-128, 127, value)) return false;
    }
  }
  return true;
}

bool skip_pred_weight_table(const SpsInfo& sps, BitstreamReader& reader, std::uint32_t kind,
                            std::uint32_t l0_entries, std::uint32_t l1_entries) {
  const bool chroma = sps.chroma_format_idc != 0 && !sps.separate_colour_plane_flag;
  std::uint32_t denom = 0;
  if (!reader.read_ue_upto(7, denom)) return false;  // luma_log2_weight_denom
  if (chroma && !reader.read_ue_upto(7, denom)) return false;
  if (!skip_weights(reader, l0_entries, chroma)) return false;
  return kind != B || skip_weights(reader, l1_entries, chroma);
}

// H.264 7.3.3.3; notes an operation 5.
bool read_marking(BitstreamReader& reader, SliceHeader& h) {
  if (h.idr()) return reader.skip(2);  // no_output_of_prior_pics_flag, long_term_reference_flag
  bool adaptive = false;
  if (!reader.read_flag(adaptive)) return false;
  if (!adaptive) return true;
  for (int i = 0; i < kMaxMarkingOperations; ++i) {
    std::uint32_t operation = 0;
    std::uint32_t value = 0;
    if (!reader.read_ue_upto(6, operation)) return false;
    if (operation == 0) return true;
    if (operation == 5) h.memory_management_control_operation_5 = true;
    if ((operation == 1 || operation == 3) && !reader.read_ue_upto(kMaxCodedValue, value)) {
      return false;  // difference_of_pic_nums_minus1
    }
    if (operation == 2 && !reader.read_ue_upto(kMaxCodedValue, value)) return false;
    if ((operation == 3 || operation == 6) && !reader.read_ue_upto(kMaxCodedValue, value)) {
      return false;  // long_term_frame_idx
    }
    if (operation == 4 && !reader.read_ue_upto(kMaxCodedValue, value)) return false;
  }
  return false;
}

// From redundant_pic_cnt to the end of dec_ref_pic_marking.
bool read_to_marking(const SpsInfo& sps, const PpsInfo& pps, BitstreamReader& reader,
                     SliceHeader& h) {
  const std::uint32_t kind = h.slice_type % 5;
  std::uint32_t value = 0;
  if (pps.redundant_pic_cnt_present_flag && !reader.read_ue_upto(kMaxRedundantPicCnt, value)) {
    return false;
  }
  if (kind == B && !reader.read_flag(h.direct_spatial_mv_pred_flag)) return false;
  std::uint32_t& l0 = h.num_ref_idx_l0_active_minus1;
  std::uint32_t& l1 = h.num_ref_idx_l1_active_minus1;
  l0 = pps.num_ref_idx_l0_default_active_minus1;
  l1 = pps.num_ref_idx_l1_default_active_minus1;
  if (kind == P || kind == Sp || kind == B) {
    bool override_present = false;
    if (!reader.read_flag(override_present)) return false;
    // A frame has up to 16 references to a list, a field 32.
    const std::uint32_t max_minus1 = h.field_pic_flag ? kMaxRefIdxMinus1 : 15;
    if (override_present && !reader.read_ue_upto(max_minus1, l0)) return false;
    if (override_present && kind == B && !reader.read_ue_upto(max_minus1, l1)) return false;
  }
  if (kind != B) l1 = 0;
  if (kind == I || kind == Si) l0 = 0;
  if (kind != I && kind != Si && !skip_list_modification(reader)) return false;
  if (kind == B && !skip_list_modification(reader)) return false;
  const bool weighted = (pps.weighted_pred_flag && (kind == P || kind == Sp)) ||
                        (pps.weighted_bipred_idc == 1 && kind == B);
  if (weighted && !skip_pred_weight_table(sps, reader, kind, l0 + 1, l1 + 1)) return false;
  return h.nal_ref_idc == 0 || read_marking(reader, h);
}

// Ceil(Log2(n)), the bits of a field that counts up to n - 1.
std::uint32_t ceil_log2(std::uint32_t n) {
  std::uint32_t bits = 0;
  while (bits < 32 && (std::uint64_t{1} << bits) < n) ++bits;
  return bits;
}

// H.264 7.3.3, the fields after the marking: the entropy coder's table, the
// quantiser, the deblocking control and the slice group change cycle.
bool read_after_marking(const SpsInfo& sps, const PpsInfo& pps, BitstreamReader& reader,
                        SliceHeader& h) {
  const std::uint32_t kind = h.slice_type % 5;
  if (pps.entropy_coding_mode_flag && kind != I && kind != Si &&
      !reader.read_ue_upto(2, h.cabac_init_idc)) {
    return false;
  }
  // SliceQPY lies from -QpBdOffsetY to 51.
  const std::int32_t init_qp = 26 + pps.pic_init_qp_minus26;
  const std::int32_t qp_bd_offset = 6 * static_cast<std::int32_t>(sps.bit_depth_luma - 8);
  if (!reader.read_se_within(-qp_bd_offset - init_qp, 51 - init_qp, h.slice_qp_delta)) {
    return false;
  }
  if (kind == Sp || kind == Si) {
    std::int32_t qs_delta = 0;
    const std::int32_t init_qs = 26 + pps.pic_init_qs_minus26;
    if (kind == Sp && !reader.skip(1)) return false;  // sp_for_switch_flag
    if (!reader.read_se_within(-init_qs, 51 - init_qs, qs_delta)) return false;
  }
  if (pps.deblocking_filter_control_present_flag) {
    std::int32_t offset = 0;
    if (!reader.read_ue_upto(2, h.disable_deblocking_filter_idc)) return false;
    if (h.disable_deblocking_filter_idc != 1 &&
        (!reader.read_se_within(-6, 6, offset) || !reader.read_se_within(-6, 6, offset))) {
      return false;  // slice_alpha_c0_offset_div2, slice_beta_offset_div2
    }
  }
  if (pps.num_slice_groups_minus1 > 0 && pps.slice_group_map_type >= 3 &&
      pps.slice_group_map_type <= 5) {
    const std::uint32_t map_units = sps.pic_width_in_mbs * sps.pic_height_in_map_units;
    const std::uint32_t rate = pps.slice_group_change_rate_minus1 + 1;
    std::uint32_t cycle = 0;
    if (!reader.read_u(ceil_log2(map_units / rate + 1), cycle)) return false;
  }
  return true;
}

// The header up to its picture order fields, with the parameter sets it names.
SliceRead read_to_pic_order(std::span<const std::uint8_t> unit, const AvcParameterSets& sets,
                            BitstreamReader& reader, SliceHeader& h, ActiveSets& active) {
  if (unit.empty() || !is_slice_unit(unit[0] & 0x1Fu)) return SliceRead::NotASlice;
  h.nal_unit_type = unit[0] & 0x1Fu;
  h.nal_ref_idc = (unit[0] >> 5) & 3u;
  if (!reader.read_ue_upto(kMaxCodedValue, h.first_mb_in_slice) ||
      !reader.read_ue_upto(kMaxSliceType, h.slice_type) ||
      !reader.read_ue_upto(kMaxPicParameterSetId, h.pic_parameter_set_id)) {
    return SliceRead::Malformed;
  }
  active = active_sets(sets, h.pic_parameter_set_id);
  if (active.sps == nullptr) return SliceRead::NoParameterSet;
  const SpsInfo& sps = *active.sps;
  const PpsInfo& pps = *active.pps;
  // An IDR picture holds I or SI slices only, and is a reference picture.
  const std::uint32_t kind = h.slice_type % 5;
  if (h.idr() && ((kind != I && kind != Si) || h.nal_ref_idc == 0)) return SliceRead::Malformed;
  if (h.first_mb_in_slice >= kLargestFrameMbs) return SliceRead::Malformed;
  if (sps.separate_colour_plane_flag && !reader.skip(2)) return SliceRead::Malformed;
  if (!reader.read_u(sps.log2_max_frame_num, h.frame_num)) return SliceRead::Malformed;
  if (!sps.frame_mbs_only_flag) {
    if (!reader.read_flag(h.field_pic_flag)) return SliceRead::Malformed;
    if (h.field_pic_flag && !reader.read_flag(h.bottom_field_flag)) return SliceRead::Malformed;
  }
  if (h.idr() && !reader.read_ue_upto(kMaxIdrPicId, h.idr_pic_id)) return SliceRead::Malformed;
  if (!read_pic_order_fields(sps, pps, reader, h)) return SliceRead::Malformed;
  return SliceRead::Read;
}

}  // namespace

bool add_parameter_set(AvcParameterSets& sets, std::span<const std::uint8_t> unit) {
  if (unit.empty()) return true;
  const std::uint32_t type = unit[0] & 0x1Fu;
  NALUnit nal(unit.data(), static_cast<std::uint32_t>(unit.size()));
  if (type == kNalTypeSps) {
    SpsInfo sps;
    if (!parse_sps(sps, nal)) return false;
    sets.sps[sps.seq_parameter_set_id] = std::move(sps);
  } else if (type == kNalTypePps) {
    PpsInfo pps;
    if (!parse_pps(pps, nal)) return false;
    sets.pps[pps.pic_parameter_set_id] = pps;
  }
  return true;
}

bool read_config_parameter_sets(std::span<const std::uint8_t> avcc, AvcParameterSets& sets) {
  ByteReader r(avcc);
  std::uint8_t sps_count = 0;
  std::uint8_t pps_count = 0;
  // ISO/IEC 14496-15, 5.3.3.1: five bytes of header, then the SPS count in the
  // low five bits of the sixth.
  if (!r.skip(5) || !r.read_u8(sps_count)) return false;
  for (int list = 0; list < 2; ++list) {
    const unsigned count = list == 0 ? sps_count & 0x1Fu : pps_count;
    for (unsigned i = 0; i < count; ++i) {
      std::uint16_t length = 0;
      std::span<const std::uint8_t> unit;
      if (!r.read_u16(length) || !r.read_bytes(length, unit)) return false;
      if (!add_parameter_set(sets, unit)) return false;
    }
    if (list == 0 && !r.read_u8(pps_count)) return false;
  }
  return true;
}

SliceRead read_slice_header(std::span<const std::uint8_t> unit, const AvcParameterSets& sets,
                            SliceHeader& header) {
  SliceHeader h;
  ActiveSets active;
  NALUnit reader(unit.empty() ? nullptr : unit.data() + 1,
                 unit.empty() ? 0 : static_cast<std::uint32_t>(unit.size() - 1));
  const SliceRead read = read_to_pic_order(unit, sets, reader, h, active);
  if (read != SliceRead::Read) return read;
  SliceHeader rest = h;
  rest.marking_known = read_to_marking(*active.sps, *active.pps, reader, rest);
  header = rest.marking_known ? rest : h;
  return SliceRead::Read;
}

SliceRead read_slice_header_to_data(std::span<const std::uint8_t> unit,
                                    const AvcParameterSets& sets, SliceHeader& header,
                                    NALUnit& reader) {
  SliceHeader h;
  ActiveSets active;
  reader.reset();
  const SliceRead read = read_to_pic_order(unit, sets, reader, h, active);
  if (read != SliceRead::Read) return read;
  if (!read_to_marking(*active.sps, *active.pps, reader, h) ||
      !read_after_marking(*active.sps, *active.pps, reader, h)) {
    return SliceRead::Malformed;
  }
  h.marking_known = true;
  header = h;
  return SliceRead::Read;
}

bool starts_new_picture(const SliceHeader& previous, const SliceHeader& slice,
                        const AvcParameterSets& sets) {
  if (slice.frame_num != previous.frame_num ||
      slice.pic_parameter_set_id != previous.pic_parameter_set_id ||
      slice.field_pic_flag != previous.field_pic_flag ||
      slice.bottom_field_flag != previous.bottom_field_flag ||
      (slice.nal_ref_idc == 0) != (previous.nal_ref_idc == 0) || slice.idr() != previous.idr() ||
      (slice.idr() && slice.idr_pic_id != previous.idr_pic_id)) {
    return true;
  }
  const ActiveSets active = active_sets(sets, slice.pic_parameter_set_id);
  const std::uint32_t type = active.sps != nullptr ? active.sps->pic_order_cnt_type : 0;
  if (type == 0) {
    return slice.pic_order_cnt_lsb != previous.pic_order_cnt_lsb ||
           slice.delta_pic_order_cnt_bottom != previous.delta_pic_order_cnt_bottom;
  }
  return type == 1 && slice.delta_pic_order_cnt != previous.delta_pic_order_cnt;
}

}  // namespace vidsalvage
