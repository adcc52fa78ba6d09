#include "model/encoder_hints.h"

#include <charconv>
#include <functional>
#include <string>

#include "codec/bit_reader.h"
#include "codec/hevc_config.h"

namespace vidsalvage {
namespace {

constexpr std::uint32_t kUserDataUnregistered = 5;  // H.264 D.1, H.265 D.2.1
constexpr std::size_t kUuidBytes = 16;
constexpr std::size_t kMaxSettingsChars = 4096;

// The integer at the start of `text`, which may be signed.
std::optional<int> leading_int(std::string_view text) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

// The integer after the first `separator` of `text` ("1280x720", "30/1", "-1:-2").
std::optional<int> int_after(std::string_view text, char separator) {
  const std::size_t at = text.find(separator);
  if (at == std::string_view::npos) return std::nullopt;
  return leading_int(text.substr(at + 1));
}

struct HintName {
  std::string_view name;
  std::optional<int> EncoderHints::*field;
};
constexpr HintName kHintNames[] = {
    {"cabac", &EncoderHints::cabac},
    {"8x8dct", &EncoderHints::transform_8x8},
    {"weightp", &EncoderHints::weightp},
    {"weightb", &EncoderHints::weightb},
    {"bframes", &EncoderHints::bframes},
    {"ref", &EncoderHints::ref},
    {"chroma_qp_offset", &EncoderHints::chroma_qp_offset},
    {"deblock", &EncoderHints::deblock},
    {"constrained_intra", &EncoderHints::constrained_intra},
    {"crf", &EncoderHints::crf},
    {"qp", &EncoderHints::qp},
    {"stitchable", &EncoderHints::stitchable},
};

struct HevcHintName {
  std::string_view name;
  std::optional<int> HevcEncoderHints::*field;
};
constexpr HevcHintName kHevcHintNames[] = {
    {"input-res", &HevcEncoderHints::width},
    {"fps", &HevcEncoderHints::fps_numerator},
    {"bitdepth", &HevcEncoderHints::bitdepth},
    {"input-csp", &HevcEncoderHints::input_csp},
    {"interlace", &HevcEncoderHints::interlace},
    {"temporal-layers", &HevcEncoderHints::temporal_layers},
    {"ctu", &HevcEncoderHints::ctu},
    {"min-cu-size", &HevcEncoderHints::min_cu_size},
    {"max-tu-size", &HevcEncoderHints::max_tu_size},
    {"tu-intra-depth", &HevcEncoderHints::tu_intra_depth},
    {"tu-inter-depth", &HevcEncoderHints::tu_inter_depth},
    {"amp", &HevcEncoderHints::amp},
    {"sao", &HevcEncoderHints::sao},
    {"wpp", &HevcEncoderHints::wpp},
    {"bframes", &HevcEncoderHints::bframes},
    {"ref", &HevcEncoderHints::ref},
    {"weightp", &HevcEncoderHints::weightp},
    {"weightb", &HevcEncoderHints::weightb},
    {"signhide", &HevcEncoderHints::signhide},
    {"tskip", &HevcEncoderHints::tskip},
    {"cbqpoffs", &HevcEncoderHints::cbqpoffs},
    {"crqpoffs", &HevcEncoderHints::crqpoffs},
    {"constrained-intra", &HevcEncoderHints::constrained_intra},
    {"strong-intra-smoothing", &HevcEncoderHints::strong_intra_smoothing},
    {"temporal-mvp", &HevcEncoderHints::temporal_mvp},
    {"deblock", &HevcEncoderHints::deblock},
    {"log2-max-poc-lsb", &HevcEncoderHints::log2_max_poc_lsb},
    {"aq-mode", &HevcEncoderHints::aq_mode},
    {"cutree", &HevcEncoderHints::cutree},
    {"qg-size", &HevcEncoderHints::qg_size},
    {"lossless", &HevcEncoderHints::lossless},
    {"cu-lossless", &HevcEncoderHints::cu_lossless},
    {"opt-qp-pps", &HevcEncoderHints::opt_qp_pps},
    {"opt-ref-list-length-pps", &HevcEncoderHints::opt_ref_list_length_pps},
    {"multi-pass-opt-rps", &HevcEncoderHints::multi_pass_opt_rps},
    {"sar", &HevcEncoderHints::sar},
    {"videoformat", &HevcEncoderHints::videoformat},
    {"range", &HevcEncoderHints::range},
    {"colorprim", &HevcEncoderHints::colorprim},
    {"transfer", &HevcEncoderHints::transfer},
    {"colormatrix", &HevcEncoderHints::colormatrix},
    {"right", &HevcEncoderHints::crop_right},
    {"bottom", &HevcEncoderHints::crop_bottom},
};

// Calls `take` with every space-separated word after "options:"; false when the
// text has no options.
bool for_each_option(std::string_view text, const std::function<void(std::string_view)>& take) {
  const std::size_t options = text.find("options:");
  if (options == std::string_view::npos) return false;
  std::string_view rest = text.substr(options + 8);
  while (!rest.empty()) {
    const std::size_t space = rest.find(' ');
    take(rest.substr(0, space));
    rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
  }
  return true;
}

// Reads one ue(v)-like SEI size: bytes of 255 add up until a smaller one.
bool read_sei_value(NALUnit& reader, std::uint32_t& value) {
  value = 0;
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t byte = reader.read_bits(8);
    if (reader.overrun()) return false;
    value += byte;
    if (byte != 255) return true;
  }
  return false;
}

// Calls `take` with the text of every user_data_unregistered message of an SEI
// payload (the unit after its header), its UUID left out.
void for_each_user_data(std::span<const std::uint8_t> rbsp,
                        const std::function<void(std::string_view)>& take) {
  NALUnit reader(rbsp.data(), static_cast<std::uint32_t>(rbsp.size()));
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  while (read_sei_value(reader, type) && read_sei_value(reader, size)) {
    std::string payload;
    for (std::uint32_t i = 0; i < size && !reader.overrun(); ++i) {
      const auto c = static_cast<char>(reader.read_bits(8));
      if (payload.size() < kMaxSettingsChars + kUuidBytes) payload += c;
    }
    if (reader.overrun()) return;
    if (type == kUserDataUnregistered && payload.size() > kUuidBytes) {
      take(std::string_view(payload).substr(kUuidBytes));
    }
    if (!reader.more_rbsp_data()) return;
  }
}

// One x265 option: name=value, a bare name (1) or no-name (0).
void take_hevc_option(std::string_view word, HevcEncoderHints& hints) {
  const std::size_t equals = word.find('=');
  std::string_view name = word.substr(0, equals);
  std::optional<int> value = 1;
  if (equals != std::string_view::npos) {
    value = leading_int(word.substr(equals + 1));
  } else if (name.substr(0, 3) == "no-") {
    name = name.substr(3);
    value = 0;
  }
  for (const HevcHintName& h : kHevcHintNames) {
    if (name == h.name) hints.*h.field = value;
  }
  if (equals == std::string_view::npos) return;
  const std::string_view text = word.substr(equals + 1);
  if (name == "input-res") hints.height = int_after(text, 'x');
  if (name == "fps") hints.fps_denominator = int_after(text, '/');
  if (name == "deblock") {
    hints.deblock = 1;
    hints.deblock_tc = leading_int(text);
    hints.deblock_beta = int_after(text, ':');
  }
}

}  // namespace

void read_hints_text(std::string_view text, EncoderHints& hints) {
  const bool found = for_each_option(text, [&hints](std::string_view word) {
    const std::size_t equals = word.find('=');
    if (equals == std::string_view::npos) return;
    if (word == "rc=abr" || word == "rc=cbr") hints.bitrate_control = true;
    for (const HintName& h : kHintNames) {
      if (word.substr(0, equals) == h.name) hints.*h.field = leading_int(word.substr(equals + 1));
    }
  });
  if (found) hints.found = true;
}

std::optional<int> hinted_init_qp(const EncoderHints& hints) {
  if (!hints.found) return std::nullopt;
  if (hints.bitrate_control || (hints.stitchable && *hints.stitchable != 0)) return 26;
  if (hints.crf) return *hints.crf;
  return hints.qp;
}

void read_encoder_hints(std::span<const std::uint8_t> sei_unit, EncoderHints& hints) {
  if (sei_unit.size() < 2 || (sei_unit[0] & 0x1F) != 6) return;
  for_each_user_data(sei_unit.subspan(1),
                     [&hints](std::string_view text) { read_hints_text(text, hints); });
}

void read_hevc_hints_text(std::string_view text, HevcEncoderHints& hints) {
  // x264's text has options too; x265's names its codec.
  if (text.find("H.265/HEVC") == std::string_view::npos) return;
  const bool found =
      for_each_option(text, [&hints](std::string_view word) { take_hevc_option(word, hints); });
  if (found) hints.found = true;
}

void read_hevc_encoder_hints(std::span<const std::uint8_t> sei_unit, HevcEncoderHints& hints) {
  if (sei_unit.size() < 3 || (sei_unit[0] >> 1) != kHevcPrefixSei) return;
  for_each_user_data(sei_unit.subspan(2),
                     [&hints](std::string_view text) { read_hevc_hints_text(text, hints); });
}

}  // namespace vidsalvage
