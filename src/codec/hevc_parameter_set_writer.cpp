#include "codec/hevc_parameter_set_writer.h"

#include "codec/bit_reader.h"
#include "codec/hevc_config.h"
#include "codec/hevc_parameter_sets.h"
#include "codec/parameter_set_writer.h"

namespace vidsalvage {
namespace {

// H.265 7.3.1.2: nuh_layer_id 0 and nuh_temporal_id_plus1 1 after the type.
std::vector<std::uint8_t> finish_unit(RbspWriter& w, std::uint8_t type) {
  std::vector<std::uint8_t> unit = w.finish(static_cast<std::uint8_t>(type << 1));
  // The second header byte is 01: it cannot make a start code with the payload's
  // zeros, so the emulation prevention done behind the first byte holds.
  unit.insert(unit.begin() + 1, 0x01);
  return unit;
}

// H.265 7.3.3 with sps_max_sub_layers_minus1 0; A.3: a Main picture decodes as
// Main 10 too.
void write_profile_tier_level(RbspWriter& w, const HevcProfileFields& p) {
  w.bits(0, 2);  // general_profile_space
  w.flag(p.general_tier_flag);
  w.bits(p.general_profile_idc, 5);
  for (std::uint32_t j = 0; j < 32; ++j) {
    w.flag(j == p.general_profile_idc || (p.general_profile_idc == 1 && j == 2));
  }
  w.flag(p.progressive_source);
  w.flag(!p.progressive_source);  // general_interlaced_source_flag
  w.flag(false);                  // general_non_packed_constraint_flag
  w.flag(p.frame_only);
  w.bits(0, 32);  // the 43 reserved bits and general_inbld_flag
  w.bits(0, 12);
  w.bits(p.general_level_idc, 8);
}

void write_sub_layer_ordering(RbspWriter& w, const HevcProfileFields& p) {
  w.flag(true);  // the one sub-layer's values follow
  w.ue(p.max_dec_pic_buffering_minus1);
  w.ue(p.max_num_reorder_pics);
  w.ue(p.max_latency_increase_plus1);
}

// H.265 E.2.1, without HRD parameters or bitstream restrictions.
void write_vui(RbspWriter& w, const HevcVuiFields& v) {
  w.flag(v.aspect_ratio_idc != 0);
  if (v.aspect_ratio_idc != 0) w.bits(v.aspect_ratio_idc, 8);
  w.flag(false);  // overscan_info_present_flag
  const bool colour =
      v.colour_primaries != 2 || v.transfer_characteristics != 2 || v.matrix_coeffs != 2;
  const bool signal =
      v.video_signal_type_present_flag || colour || v.video_format != 5 || v.video_full_range_flag;
  w.flag(signal);
  if (signal) {
    w.bits(v.video_format, 3);
    w.flag(v.video_full_range_flag);
    w.flag(colour);
    if (colour) {
      w.bits(v.colour_primaries, 8);
      w.bits(v.transfer_characteristics, 8);
      w.bits(v.matrix_coeffs, 8);
    }
  }
  w.flag(false);  // chroma_loc_info_present_flag
  w.flag(false);  // neutral_chroma_indication_flag
  w.flag(false);  // field_seq_flag
  w.flag(false);  // frame_field_info_present_flag
  w.flag(false);  // default_display_window_flag
  const bool timing = v.num_units_in_tick != 0 && v.time_scale != 0;
  w.flag(timing);
  if (timing) {
    w.bits(v.num_units_in_tick, 32);
    w.bits(v.time_scale, 32);
    w.flag(false);  // vui_poc_proportional_to_timing_flag
    w.flag(false);  // vui_hrd_parameters_present_flag
  }
  w.flag(false);  // bitstream_restriction_flag
}

// Table 6-1: the conformance window counts chroma samples.
void write_conformance_window(RbspWriter& w, const HevcSpsFields& s) {
  const bool window = s.crop_right != 0 || s.crop_bottom != 0;
  w.flag(window);
  if (!window) return;
  const std::uint32_t unit_x = s.chroma_format_idc == 1 || s.chroma_format_idc == 2 ? 2 : 1;
  const std::uint32_t unit_y = s.chroma_format_idc == 1 ? 2 : 1;
  w.ue(0);
  w.ue(s.crop_right / unit_x);
  w.ue(0);
  w.ue(s.crop_bottom / unit_y);
}

void put_u16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

void put_array(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> unit) {
  out.push_back(static_cast<std::uint8_t>(0x80 | (unit[0] >> 1)));  // array_completeness 1
  put_u16(out, 1);
  put_u16(out, static_cast<std::uint32_t>(unit.size()));
  out.insert(out.end(), unit.begin(), unit.end());
}

}  // namespace

std::vector<std::uint8_t> write_hevc_vps(const HevcSpsFields& sps) {
  RbspWriter w;
  w.bits(0, 4);        // vps_video_parameter_set_id
  w.bits(3, 2);        // vps_base_layer_internal_flag, vps_base_layer_available_flag
  w.bits(0, 6);        // vps_max_layers_minus1
  w.bits(0, 3);        // vps_max_sub_layers_minus1
  w.flag(true);        // vps_temporal_id_nesting_flag
  w.bits(0xFFFF, 16);  // vps_reserved_0xffff_16bits
  write_profile_tier_level(w, sps.profile);
  write_sub_layer_ordering(w, sps.profile);
  w.bits(0, 6);   // vps_max_layer_id
  w.ue(0);        // vps_num_layer_sets_minus1
  w.flag(false);  // vps_timing_info_present_flag
  w.flag(false);  // vps_extension_flag
  return finish_unit(w, kHevcVps);
}

std::vector<std::uint8_t> write_hevc_sps(const HevcSpsFields& s) {
  RbspWriter w;
  w.bits(0, 4);  // sps_video_parameter_set_id
  w.bits(0, 3);  // sps_max_sub_layers_minus1
  w.flag(true);  // sps_temporal_id_nesting_flag
  write_profile_tier_level(w, s.profile);
  w.ue(0);  // sps_seq_parameter_set_id
  w.ue(s.chroma_format_idc);
  if (s.chroma_format_idc == 3) w.flag(false);  // separate_colour_plane_flag
  w.ue(s.pic_width_in_luma_samples);
  w.ue(s.pic_height_in_luma_samples);
  write_conformance_window(w, s);
  w.ue(s.bit_depth_luma - 8);
  w.ue(s.bit_depth_chroma - 8);
  w.ue(s.log2_max_pic_order_cnt_lsb - 4);
  write_sub_layer_ordering(w, s.profile);
  w.ue(s.log2_min_luma_coding_block_size - 3);
  w.ue(s.ctb_log2_size - s.log2_min_luma_coding_block_size);
  w.ue(s.log2_min_luma_transform_block_size - 2);
  w.ue(s.log2_max_luma_transform_block_size - s.log2_min_luma_transform_block_size);
  w.ue(s.max_transform_hierarchy_depth_inter);
  w.ue(s.max_transform_hierarchy_depth_intra);
  w.flag(false);  // scaling_list_enabled_flag
  w.flag(s.amp_enabled_flag);
  w.flag(s.sample_adaptive_offset_enabled_flag);
  w.flag(false);  // pcm_enabled_flag
  w.ue(0);        // num_short_term_ref_pic_sets: every slice codes its own
  w.flag(s.long_term_ref_pics_present_flag);
  if (s.long_term_ref_pics_present_flag) w.ue(0);  // num_long_term_ref_pics_sps
  w.flag(s.sps_temporal_mvp_enabled_flag);
  w.flag(s.strong_intra_smoothing_enabled_flag);
  w.flag(s.vui_parameters_present_flag);
  if (s.vui_parameters_present_flag) write_vui(w, s.vui);
  w.flag(false);  // sps_extension_present_flag
  return finish_unit(w, kHevcSps);
}

std::vector<std::uint8_t> write_hevc_pps(const HevcPpsFields& p) {
  RbspWriter w;
  w.ue(0);  // pps_pic_parameter_set_id
  w.ue(0);  // pps_seq_parameter_set_id
  w.flag(p.dependent_slice_segments_enabled_flag);
  w.flag(p.output_flag_present_flag);
  w.bits(p.num_extra_slice_header_bits, 3);
  w.flag(p.sign_data_hiding_enabled_flag);
  w.flag(p.cabac_init_present_flag);
  w.ue(p.num_ref_idx_l0_default_active_minus1);
  w.ue(p.num_ref_idx_l1_default_active_minus1);
  w.se(p.init_qp_minus26);
  w.flag(p.constrained_intra_pred_flag);
  w.flag(p.transform_skip_enabled_flag);
  w.flag(p.cu_qp_delta_enabled_flag);
  if (p.cu_qp_delta_enabled_flag) w.ue(p.diff_cu_qp_delta_depth);
  w.se(p.pps_cb_qp_offset);
  w.se(p.pps_cr_qp_offset);
  w.flag(p.pps_slice_chroma_qp_offsets_present_flag);
  w.flag(p.weighted_pred_flag);
  w.flag(p.weighted_bipred_flag);
  w.flag(p.transquant_bypass_enabled_flag);
  w.flag(false);  // tiles_enabled_flag
  w.flag(p.entropy_coding_sync_enabled_flag);
  w.flag(p.pps_loop_filter_across_slices_enabled_flag);
  const bool deblocking = p.deblocking_filter_override_enabled_flag ||
                          p.pps_deblocking_filter_disabled_flag || p.pps_beta_offset_div2 != 0 ||
                          p.pps_tc_offset_div2 != 0;
  w.flag(deblocking);
  if (deblocking) {
    w.flag(p.deblocking_filter_override_enabled_flag);
    w.flag(p.pps_deblocking_filter_disabled_flag);
    if (!p.pps_deblocking_filter_disabled_flag) {
      w.se(p.pps_beta_offset_div2);
      w.se(p.pps_tc_offset_div2);
    }
  }
  w.flag(false);  // pps_scaling_list_data_present_flag
  w.flag(p.lists_modification_present_flag);
  w.ue(p.log2_parallel_merge_level - 2);
  w.flag(p.slice_segment_header_extension_present_flag);
  w.flag(false);  // pps_extension_present_flag
  return finish_unit(w, kHevcPps);
}

std::vector<std::uint8_t> make_hevc_config(const HevcSpsFields& sps, const HevcPpsFields& pps) {
  const HevcVuiFields& v = sps.vui;
  // avgFrameRate in frames per 256 seconds, 0 when unknown or too large.
  std::uint64_t rate = 0;
  if (v.num_units_in_tick != 0) rate = std::uint64_t{v.time_scale} * 256 / v.num_units_in_tick;
  return hevc_config_of_units(write_hevc_vps(sps), write_hevc_sps(sps), write_hevc_pps(pps),
                              rate > 0xFFFF ? 0 : static_cast<std::uint32_t>(rate),
                              pps.entropy_coding_sync_enabled_flag);
}

std::vector<std::uint8_t> hevc_config_of_units(std::span<const std::uint8_t> vps,
                                               std::span<const std::uint8_t> sps,
                                               std::span<const std::uint8_t> pps,
                                               std::uint32_t avg_frame_rate, bool wavefronts) {
  HevcSps read;
  if (!parse_hevc_sps(sps, read)) return {};
  std::vector<std::uint8_t> out = {1};  // configurationVersion
  // H.265 7.3.3: the twelve bytes of general_profile_space to general_level_idc,
  // copied from the SPS after its first byte.
  NALUnit r(sps.data() + 2, static_cast<std::uint32_t>(sps.size() - 2));
  r.skip_bits(8);
  for (int i = 0; i < 12; ++i) out.push_back(static_cast<std::uint8_t>(r.read_bits(8)));
  put_u16(out, 0xF000);  // min_spatial_segmentation_idc 0
  // parallelismType: 3 for wavefront parallel decoding, 0 unknown.
  out.push_back(wavefronts ? 0xFF : 0xFC);
  out.push_back(static_cast<std::uint8_t>(0xFC | read.chroma_format_idc));
  out.push_back(static_cast<std::uint8_t>(0xF8 | (read.bit_depth_luma - 8)));
  out.push_back(static_cast<std::uint8_t>(0xF8 | (read.bit_depth_chroma - 8)));
  put_u16(out, avg_frame_rate);
  // constantFrameRate 0, numTemporalLayers 1, temporalIdNested 1, 4-byte lengths.
  out.push_back(0x0F);
  out.push_back(3);  // numOfArrays
  put_array(out, vps);
  put_array(out, sps);
  put_array(out, pps);
  return out;
}

}  // namespace vidsalvage
