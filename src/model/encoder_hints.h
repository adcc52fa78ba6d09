#pragma once
// What an encoder says of its own settings in the stream: x264 and x265 write their
// options as text in a user-data SEI message. They settle fields of the parameter
// sets a damaged recording lost and its slices cannot show.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vidsalvage {

struct EncoderHints {
  bool found = false;
  std::optional<int> cabac;
  std::optional<int> transform_8x8;  // 8x8dct
  std::optional<int> weightp;
  std::optional<int> weightb;
  std::optional<int> bframes;
  std::optional<int> ref;
  std::optional<int> chroma_qp_offset;
  std::optional<int> deblock;  // the flag before the two offsets
  std::optional<int> constrained_intra;
  // Rate control: x264 starts its pictures' QP (pic_init_qp) at the constant QP,
  // which under CRF is the rate factor's whole part, and at 26 under a bitrate
  // or when stitchable.
  std::optional<int> crf;  // whole part
  std::optional<int> qp;
  std::optional<int> stitchable;
  bool bitrate_control = false;  // rc=abr or rc=cbr
};

// The pic_init_qp the settings give, if they give one.
std::optional<int> hinted_init_qp(const EncoderHints& hints);

// The options of the settings text ("... options: cabac=1 ref=3 ...") in an SEI
// NAL unit (header byte first), from its user_data_unregistered messages. Leaves
// `hints` as it is when the unit holds none.
void read_encoder_hints(std::span<const std::uint8_t> sei_unit, EncoderHints& hints);

// The options of a settings text itself.
void read_hints_text(std::string_view text, EncoderHints& hints);

// x265's options ("options: ... input-res=1280x720 ... ctu=64 ... no-amp ..."): a
// bare name is 1, its "no-" form 0, a value its leading integer.
struct HevcEncoderHints {
  bool found = false;
  std::optional<int> width;  // input-res, the picture before any padding
  std::optional<int> height;
  std::optional<int> fps_numerator;
  std::optional<int> fps_denominator;
  std::optional<int> bitdepth;
  std::optional<int> input_csp;  // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
  std::optional<int> interlace;
  std::optional<int> temporal_layers;
  std::optional<int> ctu;  // luma samples across a coding tree block
  std::optional<int> min_cu_size;
  std::optional<int> max_tu_size;
  std::optional<int> tu_intra_depth;
  std::optional<int> tu_inter_depth;
  std::optional<int> amp;
  std::optional<int> sao;
  std::optional<int> wpp;
  std::optional<int> bframes;
  std::optional<int> ref;
  std::optional<int> weightp;
  std::optional<int> weightb;
  std::optional<int> signhide;
  std::optional<int> tskip;
  std::optional<int> cbqpoffs;
  std::optional<int> crqpoffs;
  std::optional<int> constrained_intra;
  std::optional<int> strong_intra_smoothing;
  std::optional<int> temporal_mvp;
  std::optional<int> deblock;  // 0 for no-deblock; deblock=tc:beta sets the offsets
  std::optional<int> deblock_tc;
  std::optional<int> deblock_beta;
  std::optional<int> log2_max_poc_lsb;
  // cu_qp_delta: x265 codes a QP per quantisation group when adaptive
  // quantisation or the lookahead's tree (cutree) moves it.
  std::optional<int> aq_mode;
  std::optional<int> cutree;
  std::optional<int> qg_size;
  std::optional<int> lossless;
  std::optional<int> cu_lossless;
  // Options under which x265 tunes its PPS or SPS to the stream: their fields are
  // then no longer what the other options say.
  std::optional<int> opt_qp_pps;
  std::optional<int> opt_ref_list_length_pps;
  std::optional<int> multi_pass_opt_rps;
  std::optional<int> sar;  // aspect_ratio_idc
  std::optional<int> videoformat;
  std::optional<int> range;
  std::optional<int> colorprim;
  std::optional<int> transfer;
  std::optional<int> colormatrix;
  std::optional<int> crop_right;  // conformance-window-offsets right=N bottom=N
  std::optional<int> crop_bottom;
};

// The x265 options of an SEI NAL unit (two header bytes first, prefix SEI); leaves
// `hints` as it is when the unit holds none.
void read_hevc_encoder_hints(std::span<const std::uint8_t> sei_unit, HevcEncoderHints& hints);
void read_hevc_hints_text(std::string_view text, HevcEncoderHints& hints);

}  // namespace vidsalvage
