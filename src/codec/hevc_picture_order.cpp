#include "codec/hevc_picture_order.h"

#include <algorithm>

namespace vidsalvage {
namespace {

constexpr std::uint8_t kLastSubLayerNonReference = 14;
constexpr std::uint32_t kMaxSliceType = 2;  // B, P, I

// Ceil(Log2(PicSizeInCtbsY)): the bits of slice_segment_address.
std::uint32_t address_bits(const HevcSps& sps) {
  const std::uint32_t ctb = 1u << sps.ctb_log2_size;
  const std::uint64_t across = (sps.pic_width_in_luma_samples + ctb - 1) / ctb;
  const std::uint64_t down = (sps.pic_height_in_luma_samples + ctb - 1) / ctb;
  std::uint32_t bits = 0;
  while ((std::uint64_t{1} << bits) < across * down) ++bits;
  return bits;
}

// RADL, RASL and sub-layer non-reference pictures (the even types up to 14) do
// not serve as prevTid0Pic.
bool may_be_prev_tid0(const HevcNalHeader& nal) {
  if (nal.nuh_temporal_id_plus1 != 1) return false;
  if (nal.nal_unit_type >= 6 && nal.nal_unit_type <= kHevcRaslR) return false;
  return !(nal.nal_unit_type <= kLastSubLayerNonReference && nal.nal_unit_type % 2 == 0);
}

}  // namespace

HevcSliceRead read_hevc_slice_header(std::span<const std::uint8_t> unit,
                                     const HevcParameterSets& sets, HevcSliceHeader& header) {
  HevcSliceHeader h;
  if (!read_hevc_nal_header(unit, h.nal)) return HevcSliceRead::Malformed;
  if (h.nal.nal_unit_type > kHevcLastVcl) return HevcSliceRead::NotASlice;
  NALUnit r(unit.data() + 2, static_cast<std::uint32_t>(unit.size() - 2));
  if (!r.read_flag(h.first_slice_segment_in_pic_flag)) return HevcSliceRead::Malformed;
  if (h.irap() && !r.skip(1)) return HevcSliceRead::Malformed;  // no_output_of_prior_pics_flag
  if (!r.read_ue_upto(static_cast<std::uint32_t>(sets.pps.size() - 1),
                      h.slice_pic_parameter_set_id)) {
    return HevcSliceRead::Malformed;
  }
  const std::optional<HevcPps>& pps = sets.pps[h.slice_pic_parameter_set_id];
  if (!pps || !sets.sps[pps->pps_seq_parameter_set_id]) return HevcSliceRead::NoParameterSet;
  const HevcSps& sps = *sets.sps[pps->pps_seq_parameter_set_id];
  if (h.first_slice_segment_in_pic_flag) {
    if (!r.skip(pps->num_extra_slice_header_bits) || !r.read_ue_upto(kMaxSliceType, h.slice_type) ||
        (pps->output_flag_present_flag && !r.skip(1)) ||   // pic_output_flag
        (sps.separate_colour_plane_flag && !r.skip(2)) ||  // colour_plane_id
        (!h.idr() && !r.read_u(sps.log2_max_pic_order_cnt_lsb, h.slice_pic_order_cnt_lsb))) {
      return HevcSliceRead::Malformed;
    }
  } else {
    // A later segment: its address must lie inside the picture.
    bool dependent = false;
    std::uint32_t address = 0;
    const std::uint32_t bits = address_bits(sps);
    if ((pps->dependent_slice_segments_enabled_flag && !r.read_flag(dependent)) ||
        (bits > 0 && !r.read_u(bits, address)) || address == 0) {
      return HevcSliceRead::Malformed;
    }
  }
  header = h;
  return HevcSliceRead::Read;
}

HevcPictureOrderCount HevcPictureOrder::next(const HevcSliceHeader& slice, const HevcSps& sps) {
  HevcPictureOrderCount order;
  const bool no_rasl_output =
      slice.irap() && (slice.idr() || slice.nal.nal_unit_type < kHevcIdrWRadl || first_after_end_);
  if (slice.irap()) first_after_end_ = false;
  const std::int64_t max_lsb = std::int64_t{1} << sps.log2_max_pic_order_cnt_lsb;
  const std::int64_t lsb = slice.slice_pic_order_cnt_lsb;
  std::int64_t msb = 0;
  if (!no_rasl_output) {
    msb = prev_msb_;
    if (lsb < prev_lsb_ && prev_lsb_ - lsb >= max_lsb / 2) {
      msb = prev_msb_ + max_lsb;
    } else if (lsb > prev_lsb_ && lsb - prev_lsb_ > max_lsb / 2) {
      msb = prev_msb_ - max_lsb;
    }
  }
  if (may_be_prev_tid0(slice.nal)) {
    prev_msb_ = msb;
    prev_lsb_ = lsb;
  }
  order.count =
      static_cast<std::int32_t>(std::clamp<std::int64_t>(msb + lsb, INT32_MIN, INT32_MAX));
  order.starts_sequence = no_rasl_output;
  return order;
}

}  // namespace vidsalvage
