#pragma once
// What an encoder says of its own settings in the stream: x264 writes its options
// as text in a user-data SEI message. They settle fields of the parameter sets a
// damaged recording lost and its slices cannot show.

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

}  // namespace vidsalvage
