#include "codec/pps_parser.h"

#include "codec/sps_parser.h"

namespace vidsalvage {
namespace {

// H.264 7.4.2.2: the ranges of the fields read.
constexpr std::uint32_t kMaxPicParameterSetId = 255;
constexpr std::uint32_t kMaxSeqParameterSetId = 31;
constexpr std::uint32_t kMaxSliceGroupsMinus1 = 7;
constexpr std::uint32_t kMaxSliceGroupMapType = 6;
constexpr std::uint32_t kMaxRefIdxMinus1 = 31;
constexpr std::uint32_t kMaxWeightedBipredIdc = 2;
constexpr std::int32_t kMinQpMinus26 = -26 - 6 * 6;  // QpBdOffset of 14 bits
constexpr std::int32_t kMaxQpMinus26 = 25;
constexpr std::int32_t kMaxChromaQpIndexOffset = 12;
// The map of slice_group_map_type 6 has one id for each map unit of a frame.
constexpr std::uint32_t kMaxPicSizeInMapUnits = 139264;

// Bits of each slice_group_id: Ceil(Log2(num_slice_groups_minus1 + 1)).
std::uint32_t slice_group_id_bits(std::uint32_t num_slice_groups_minus1) {
  std::uint32_t bits = 0;
  while ((1u << bits) < num_slice_groups_minus1 + 1) ++bits;
  return bits;
}

// H.264 7.3.2.2, from slice_group_map_type on; the map is not kept.
bool skip_slice_group_map(PpsInfo& info, BitstreamReader& reader) {
  if (!reader.read_ue_upto(kMaxSliceGroupMapType, info.slice_group_map_type)) return false;
  std::uint32_t value = 0;
  switch (info.slice_group_map_type) {
    case 0:  // run_length_minus1 of each group
      for (std::uint32_t i = 0; i <= info.num_slice_groups_minus1; ++i) {
        if (!reader.read_ue_upto(kMaxPicSizeInMapUnits - 1, value)) return false;
      }
      return true;
    case 2:  // top_left and bottom_right of each group but the last
      for (std::uint32_t i = 0; i < info.num_slice_groups_minus1; ++i) {
        if (!reader.read_ue_upto(kMaxPicSizeInMapUnits - 1, value) ||
            !reader.read_ue_upto(kMaxPicSizeInMapUnits - 1, value)) {
          return false;
        }
      }
      return true;
    case 3:
    case 4:
    case 5:  // slice_group_change_direction_flag, slice_group_change_rate_minus1
      return reader.skip(1) &&
             reader.read_ue_upto(kMaxPicSizeInMapUnits - 1, info.slice_group_change_rate_minus1);
    case 6: {
      std::uint32_t size_minus1 = 0;
      if (!reader.read_ue_upto(kMaxPicSizeInMapUnits - 1, size_minus1)) return false;
      const std::uint32_t bits = slice_group_id_bits(info.num_slice_groups_minus1);
      for (std::uint32_t i = 0; i <= size_minus1; ++i) {
        if (!reader.read_u(bits, value) || value > info.num_slice_groups_minus1) return false;
      }
      return true;
    }
    default:
      return true;
  }
}

// The fields after redundant_pic_cnt_present_flag, present when more data is.
bool read_pps_tail(PpsInfo& info, BitstreamReader& reader) {
  info.second_chroma_qp_index_offset = info.chroma_qp_index_offset;
  if (!reader.more_rbsp_data()) return true;
  if (!reader.read_flag(info.transform_8x8_mode_flag) ||
      !reader.read_flag(info.pic_scaling_matrix_present_flag)) {
    return false;
  }
  if (info.pic_scaling_matrix_present_flag &&
      !skip_scaling_matrix(reader, 6 + (info.transform_8x8_mode_flag ? 2 : 0))) {
    return false;
  }
  return reader.read_se_within(-kMaxChromaQpIndexOffset, kMaxChromaQpIndexOffset,
                               info.second_chroma_qp_index_offset);
}

}  // namespace

bool parse_pps(PpsInfo& info, BitstreamReader& reader) {
  PpsInfo read;
  reader.reset();
  if (!reader.skip(8) ||  // NAL header
      !reader.read_ue_upto(kMaxPicParameterSetId, read.pic_parameter_set_id) ||
      !reader.read_ue_upto(kMaxSeqParameterSetId, read.seq_parameter_set_id) ||
      !reader.read_flag(read.entropy_coding_mode_flag) ||
      !reader.read_flag(read.bottom_field_pic_order_in_frame_present_flag) ||
      !reader.read_ue_upto(kMaxSliceGroupsMinus1, read.num_slice_groups_minus1)) {
    return false;
  }
  if (read.num_slice_groups_minus1 > 0 && !skip_slice_group_map(read, reader)) return false;
  if (!reader.read_ue_upto(kMaxRefIdxMinus1, read.num_ref_idx_l0_default_active_minus1) ||
      !reader.read_ue_upto(kMaxRefIdxMinus1, read.num_ref_idx_l1_default_active_minus1) ||
      !reader.read_flag(read.weighted_pred_flag) || !reader.read_u(2, read.weighted_bipred_idc) ||
      read.weighted_bipred_idc > kMaxWeightedBipredIdc ||
      !reader.read_se_within(kMinQpMinus26, kMaxQpMinus26, read.pic_init_qp_minus26) ||
      !reader.read_se_within(-26, 25, read.pic_init_qs_minus26) ||
      !reader.read_se_within(-kMaxChromaQpIndexOffset, kMaxChromaQpIndexOffset,
                             read.chroma_qp_index_offset) ||
      !reader.read_flag(read.deblocking_filter_control_present_flag) ||
      !reader.read_flag(read.constrained_intra_pred_flag) ||
      !reader.read_flag(read.redundant_pic_cnt_present_flag) || !read_pps_tail(read, reader)) {
    return false;
  }
  info = read;
  return true;
}

}  // namespace vidsalvage
