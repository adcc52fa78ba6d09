#include "model/encoder_hints.h"

#include <charconv>
#include <string>

#include "codec/bit_reader.h"

namespace vidsalvage {
namespace {

constexpr std::uint32_t kUserDataUnregistered = 5;  // H.264 D.1
constexpr std::size_t kUuidBytes = 16;
constexpr std::size_t kMaxSettingsChars = 4096;

// The integer at the start of `text`, which may be signed.
std::optional<int> leading_int(std::string_view text) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  return value;
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

}  // namespace

void read_hints_text(std::string_view text, EncoderHints& hints) {
  const std::size_t options = text.find("options:");
  if (options == std::string_view::npos) return;
  std::string_view rest = text.substr(options + 8);
  hints.found = true;
  while (!rest.empty()) {
    const std::size_t space = rest.find(' ');
    const std::string_view word = rest.substr(0, space);
    rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    const std::size_t equals = word.find('=');
    if (equals == std::string_view::npos) continue;
    if (word == "rc=abr" || word == "rc=cbr") hints.bitrate_control = true;
    for (const HintName& h : kHintNames) {
      if (word.substr(0, equals) == h.name) hints.*h.field = leading_int(word.substr(equals + 1));
    }
  }
}

std::optional<int> hinted_init_qp(const EncoderHints& hints) {
  if (!hints.found) return std::nullopt;
  if (hints.bitrate_control || (hints.stitchable && *hints.stitchable != 0)) return 26;
  if (hints.crf) return *hints.crf;
  return hints.qp;
}

void read_encoder_hints(std::span<const std::uint8_t> sei_unit, EncoderHints& hints) {
  if (sei_unit.size() < 2 || (sei_unit[0] & 0x1F) != 6) return;
  NALUnit reader(sei_unit.data() + 1, static_cast<std::uint32_t>(sei_unit.size() - 1));
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
      read_hints_text(std::string_view(payload).substr(kUuidBytes), hints);
    }
    if (!reader.more_rbsp_data()) return;
  }
}

}  // namespace vidsalvage
