#pragma once
// Writing HEVC parameter sets: the VPS, SPS and PPS a damaged recording lost,
// made again from the fields inferred for them, and the HEVC decoder
// configuration record (hvcC) that carries them. One layer, one sub-layer, no
// scaling lists, tiles, PCM or SPS-held reference picture sets.

#include <cstdint>
#include <span>
#include <vector>

namespace vidsalvage {

// profile_tier_level(1, 0) and the sub-layer ordering of the VPS and the SPS.
struct HevcProfileFields {
  std::uint32_t general_profile_idc = 1;  // 1 Main, 2 Main 10, 4 format range extensions
  bool general_tier_flag = false;
  std::uint32_t general_level_idc = 93;  // 30 times the level number
  bool progressive_source = true;
  bool frame_only = true;
  std::uint32_t max_dec_pic_buffering_minus1 = 4;
  std::uint32_t max_num_reorder_pics = 2;
  std::uint32_t max_latency_increase_plus1 = 0;  // 0: no limit
};

// What the VUI says of the pictures' display; nothing of their decoding.
struct HevcVuiFields {
  std::uint32_t aspect_ratio_idc = 0;  // 0: not written
  // Written when set or when a field of the signal type differs from its default.
  bool video_signal_type_present_flag = false;
  std::uint32_t video_format = 5;
  bool video_full_range_flag = false;
  // 2 each: unspecified, and then the colour description is left out.
  std::uint32_t colour_primaries = 2;
  std::uint32_t transfer_characteristics = 2;
  std::uint32_t matrix_coeffs = 2;
  std::uint32_t num_units_in_tick = 0;  // 0: no timing
  std::uint32_t time_scale = 0;
};

struct HevcSpsFields {
  HevcProfileFields profile;
  std::uint32_t chroma_format_idc = 1;
  std::uint32_t pic_width_in_luma_samples = 0;
  std::uint32_t pic_height_in_luma_samples = 0;
  // The conformance window in luma samples, each a whole number of chroma samples.
  std::uint32_t crop_right = 0;
  std::uint32_t crop_bottom = 0;
  std::uint32_t bit_depth_luma = 8;
  std::uint32_t bit_depth_chroma = 8;
  std::uint32_t log2_max_pic_order_cnt_lsb = 8;
  std::uint32_t log2_min_luma_coding_block_size = 3;
  std::uint32_t ctb_log2_size = 6;
  std::uint32_t log2_min_luma_transform_block_size = 2;
  std::uint32_t log2_max_luma_transform_block_size = 5;
  std::uint32_t max_transform_hierarchy_depth_inter = 0;
  std::uint32_t max_transform_hierarchy_depth_intra = 0;
  bool amp_enabled_flag = false;
  bool sample_adaptive_offset_enabled_flag = true;
  bool long_term_ref_pics_present_flag = false;
  bool sps_temporal_mvp_enabled_flag = true;
  bool strong_intra_smoothing_enabled_flag = true;
  bool vui_parameters_present_flag = true;
  HevcVuiFields vui;
};

struct HevcPpsFields {
  bool dependent_slice_segments_enabled_flag = false;
  bool output_flag_present_flag = false;
  std::uint32_t num_extra_slice_header_bits = 0;
  bool sign_data_hiding_enabled_flag = true;
  bool cabac_init_present_flag = false;
  std::uint32_t num_ref_idx_l0_default_active_minus1 = 0;
  std::uint32_t num_ref_idx_l1_default_active_minus1 = 0;
  std::int32_t init_qp_minus26 = 0;
  bool constrained_intra_pred_flag = false;
  bool transform_skip_enabled_flag = false;
  bool cu_qp_delta_enabled_flag = false;
  std::uint32_t diff_cu_qp_delta_depth = 0;
  std::int32_t pps_cb_qp_offset = 0;
  std::int32_t pps_cr_qp_offset = 0;
  bool pps_slice_chroma_qp_offsets_present_flag = false;
  bool weighted_pred_flag = false;
  bool weighted_bipred_flag = false;
  bool transquant_bypass_enabled_flag = false;
  bool entropy_coding_sync_enabled_flag = false;
  bool pps_loop_filter_across_slices_enabled_flag = true;
  // deblocking_filter_control_present_flag is written when any of these four is set.
  bool deblocking_filter_override_enabled_flag = false;
  bool pps_deblocking_filter_disabled_flag = false;
  std::int32_t pps_beta_offset_div2 = 0;
  std::int32_t pps_tc_offset_div2 = 0;
  bool lists_modification_present_flag = false;
  std::uint32_t log2_parallel_merge_level = 2;
  bool slice_segment_header_extension_present_flag = false;
};

// The NAL units, two header bytes first, ids 0.
std::vector<std::uint8_t> write_hevc_vps(const HevcSpsFields& sps);
std::vector<std::uint8_t> write_hevc_sps(const HevcSpsFields& sps);
std::vector<std::uint8_t> write_hevc_pps(const HevcPpsFields& pps);

// The hvcC body (ISO/IEC 14496-15, 8.3.3.1) with one VPS, SPS and PPS array and
// 4-byte NAL lengths; the frame rate from the VUI timing when there is one.
std::vector<std::uint8_t> make_hevc_config(const HevcSpsFields& sps, const HevcPpsFields& pps);

// The hvcC body for three units a stream carries (two header bytes first), its
// profile, tier, level, chroma format and bit depths from the SPS; empty when the
// SPS does not parse. `avg_frame_rate` in frames per 256 s, 0 unknown.
std::vector<std::uint8_t> hevc_config_of_units(std::span<const std::uint8_t> vps,
                                               std::span<const std::uint8_t> sps,
                                               std::span<const std::uint8_t> pps,
                                               std::uint32_t avg_frame_rate, bool wavefronts);

}  // namespace vidsalvage
