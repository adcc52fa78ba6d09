#include "codec/parameter_set_writer.h"

namespace vidsalvage {
namespace {

// H.264 7.3.2.1.1: the profiles whose SPS holds chroma_format_idc and the rest.
bool has_chroma_fields(std::uint32_t profile_idc) {
  switch (profile_idc) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
      return true;
    default:
      return false;
  }
}

// H.264 7.4.2.1.1, Table 6-1: the crop step across and down in pixels.
void crop_steps(const SpsInfo& sps, std::uint32_t& x, std::uint32_t& y) {
  const bool planes = sps.chroma_format_idc == 0 || sps.separate_colour_plane_flag;
  x = planes || sps.chroma_format_idc == 3 ? 1 : 2;
  y = planes || sps.chroma_format_idc != 1 ? 1 : 2;
  y *= sps.frame_mbs_only_flag ? 1 : 2;
}

void write_cropping(RbspWriter& w, const SpsInfo& sps) {
  const CropRect& c = sps.crop;
  const bool cropping = c.left != 0 || c.top != 0 || c.right != 0 || c.bottom != 0;
  w.flag(cropping);
  if (!cropping) return;
  std::uint32_t x = 1;
  std::uint32_t y = 1;
  crop_steps(sps, x, y);
  const auto width = static_cast<std::int64_t>(sps.pic_width_in_mbs) * 16;
  const auto height = static_cast<std::int64_t>(sps.pic_height_in_map_units) * 16 *
                      (sps.frame_mbs_only_flag ? 1 : 2);
  w.ue(static_cast<std::uint32_t>(c.left / x));
  w.ue(static_cast<std::uint32_t>((width - c.right) / x));
  w.ue(static_cast<std::uint32_t>(c.top / y));
  w.ue(static_cast<std::uint32_t>((height - c.bottom) / y));
}

}  // namespace

void RbspWriter::bits(std::uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    current_ = current_ << 1 | ((value >> i) & 1u);
    if (++used_ == 8) {
      bytes_.push_back(static_cast<std::uint8_t>(current_));
      current_ = 0;
      used_ = 0;
    }
  }
}

void RbspWriter::ue(std::uint32_t value) {
  const std::uint64_t code = std::uint64_t{value} + 1;
  int width = 0;
  while ((code >> (width + 1)) != 0) ++width;
  bits(0, width);
  // The code has width + 1 bits, at most 33: its top bit goes first on its own.
  bits(1, 1);
  bits(static_cast<std::uint32_t>(code), width);
}

void RbspWriter::se(std::int32_t value) {
  const std::int64_t v = value;
  ue(static_cast<std::uint32_t>(v > 0 ? 2 * v - 1 : -2 * v));
}

std::vector<std::uint8_t> RbspWriter::finish(std::uint8_t header) {
  bits(1, 1);
  while (used_ != 0) bits(0, 1);
  std::vector<std::uint8_t> out = {header};
  int zeros = 0;
  for (const std::uint8_t byte : bytes_) {
    if (zeros == 2 && byte <= 3) {
      out.push_back(0x03);
      zeros = 0;
    }
    out.push_back(byte);
    zeros = byte == 0 ? zeros + 1 : 0;
  }
  bytes_.clear();
  return out;
}

std::vector<std::uint8_t> write_sps(const SpsInfo& sps) {
  RbspWriter w;
  w.bits(sps.profile_idc, 8);
  w.bits(sps.constraint_flags, 8);
  w.bits(sps.level_idc, 8);
  w.ue(sps.seq_parameter_set_id);
  if (has_chroma_fields(sps.profile_idc)) {
    w.ue(sps.chroma_format_idc);
    if (sps.chroma_format_idc == 3) w.flag(sps.separate_colour_plane_flag);
    w.ue(sps.bit_depth_luma - 8);
    w.ue(sps.bit_depth_chroma - 8);
    w.flag(sps.qpprime_y_zero_transform_bypass_flag);
    w.flag(false);  // seq_scaling_matrix_present_flag: flat
  }
  w.ue(sps.log2_max_frame_num - 4);
  w.ue(sps.pic_order_cnt_type);
  if (sps.pic_order_cnt_type == 0) {
    w.ue(sps.log2_max_pic_order_cnt_lsb - 4);
  } else if (sps.pic_order_cnt_type == 1) {
    w.flag(sps.delta_pic_order_always_zero_flag);
    w.se(sps.offset_for_non_ref_pic);
    w.se(sps.offset_for_top_to_bottom_field);
    w.ue(static_cast<std::uint32_t>(sps.offset_for_ref_frame.size()));
    for (const std::int32_t offset : sps.offset_for_ref_frame) w.se(offset);
  }
  w.ue(sps.max_num_ref_frames);
  w.flag(false);  // gaps_in_frame_num_value_allowed_flag
  w.ue(sps.pic_width_in_mbs - 1);
  w.ue(sps.pic_height_in_map_units - 1);
  w.flag(sps.frame_mbs_only_flag);
  if (!sps.frame_mbs_only_flag) w.flag(sps.mb_adaptive_frame_field_flag);
  w.flag(sps.direct_8x8_inference_flag);
  write_cropping(w, sps);
  w.flag(false);  // vui_parameters_present_flag
  return w.finish(0x67);
}

std::vector<std::uint8_t> write_pps(const PpsInfo& pps) {
  RbspWriter w;
  w.ue(pps.pic_parameter_set_id);
  w.ue(pps.seq_parameter_set_id);
  w.flag(pps.entropy_coding_mode_flag);
  w.flag(pps.bottom_field_pic_order_in_frame_present_flag);
  w.ue(0);  // num_slice_groups_minus1
  w.ue(pps.num_ref_idx_l0_default_active_minus1);
  w.ue(pps.num_ref_idx_l1_default_active_minus1);
  w.flag(pps.weighted_pred_flag);
  w.bits(pps.weighted_bipred_idc, 2);
  w.se(pps.pic_init_qp_minus26);
  w.se(pps.pic_init_qs_minus26);
  w.se(pps.chroma_qp_index_offset);
  w.flag(pps.deblocking_filter_control_present_flag);
  w.flag(pps.constrained_intra_pred_flag);
  w.flag(pps.redundant_pic_cnt_present_flag);
  if (pps.transform_8x8_mode_flag ||
      pps.second_chroma_qp_index_offset != pps.chroma_qp_index_offset) {
    w.flag(pps.transform_8x8_mode_flag);
    w.flag(false);  // pic_scaling_matrix_present_flag
    w.se(pps.second_chroma_qp_index_offset);
  }
  return w.finish(0x68);
}

std::vector<std::uint8_t> make_avc_config(const std::vector<std::uint8_t>& sps_unit,
                                          const std::vector<std::uint8_t>& pps_unit,
                                          const SpsInfo& sps, std::uint32_t nal_length_size) {
  std::vector<std::uint8_t> out = {1,
                                   sps.profile_idc,
                                   sps.constraint_flags,
                                   sps.level_idc,
                                   static_cast<std::uint8_t>(0xFC | (nal_length_size - 1)),
                                   0xE1};
  const auto put_unit = [&out](const std::vector<std::uint8_t>& unit) {
    out.push_back(static_cast<std::uint8_t>(unit.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(unit.size()));
    out.insert(out.end(), unit.begin(), unit.end());
  };
  put_unit(sps_unit);
  out.push_back(1);
  put_unit(pps_unit);
  if (has_chroma_fields(sps.profile_idc)) {
    out.push_back(static_cast<std::uint8_t>(0xFC | sps.chroma_format_idc));
    out.push_back(static_cast<std::uint8_t>(0xF8 | (sps.bit_depth_luma - 8)));
    out.push_back(static_cast<std::uint8_t>(0xF8 | (sps.bit_depth_chroma - 8)));
    out.push_back(0);  // numOfSequenceParameterSetExt
  }
  return out;
}

}  // namespace vidsalvage
