#include "codec/mpeg4_audio_config.h"

#include "codec/bit_reader.h"

namespace vidsalvage {
namespace {

constexpr std::uint32_t kEscapeObjectType = 31;
constexpr std::uint32_t kExplicitRateIndex = 15;
constexpr int kHeAac = 5;
constexpr int kHeAacV2 = 29;
constexpr int kFirstAdtsType = 1;  // AAC Main
constexpr int kLastAdtsType = 4;   // AAC LTP: the last of ADTS's two profile bits
constexpr int kMaxSamplingIndex = 12;
constexpr int kMaxChannelConfig = 7;

// 1.6.2.1.1, GetAudioObjectType(): five bits, or 32 plus six more after 31.
bool read_object_type(BitstreamReader& r, int& type) {
  std::uint32_t value = 0;
  if (!r.read_u(5, value)) return false;
  if (value == kEscapeObjectType) {
    std::uint32_t extension = 0;
    if (!r.read_u(6, extension)) return false;
    value = 32 + extension;
  }
  type = static_cast<int>(value);
  return true;
}

// A sampling frequency index, or for 15 the index of the 24-bit frequency that
// follows; -1 when that frequency has no index.
bool read_sampling_index(BitstreamReader& r, int& index) {
  std::uint32_t value = 0;
  if (!r.read_u(4, value)) return false;
  index = static_cast<int>(value);
  if (value != kExplicitRateIndex) return true;
  std::uint32_t frequency = 0;
  if (!r.read_u(24, frequency)) return false;
  index = -1;
  for (std::size_t i = 0; i < kSamplingFrequencies.size() && kSamplingFrequencies[i] != 0; ++i) {
    if (kSamplingFrequencies[i] == frequency) index = static_cast<int>(i);
  }
  return true;
}

}  // namespace

AscHead read_asc_head(std::uint8_t b0, std::uint8_t b1) {
  AscHead head;
  head.object_type = b0 >> 3;
  head.sampling_index = ((b0 & 7) << 1) | (b1 >> 7);
  head.channel_config = (b1 >> 3) & 15;
  return head;
}

AscDecision adts_config_from_asc(std::span<const std::uint8_t> asc, AudioConfig& config) {
  AscDecision decision;
  BitstreamReader r(asc.data(), static_cast<std::uint32_t>(asc.size()));
  int object_type = 0;
  int sampling_index = 0;
  std::uint32_t channel_config = 0;
  if (!read_object_type(r, object_type) || !read_sampling_index(r, sampling_index) ||
      !r.read_u(4, channel_config)) {
    return decision;
  }
  if (object_type == kHeAac || object_type == kHeAacV2) {
    // 1.6.2.1: explicit signalling names the extension's rate, then the core's type.
    int extension_index = 0;
    if (!read_sampling_index(r, extension_index) || !read_object_type(r, object_type)) {
      return decision;
    }
  }
  if (object_type < kFirstAdtsType || object_type > kLastAdtsType) {
    decision.outcome = AscOutcome::UnsupportedType;
    decision.refused_type = object_type;
    return decision;
  }
  if (sampling_index < 0) {
    decision.outcome = AscOutcome::UnsupportedRate;
    return decision;
  }
  config.object_type = object_type;
  config.sampling_index = sampling_index;
  config.channel_config = static_cast<int>(channel_config);
  config.is_mp3 = false;
  if (config.sampling_index > kMaxSamplingIndex || config.channel_config == 0 ||
      config.channel_config > kMaxChannelConfig) {
    config.sampling_index = 3;
    config.channel_config = 2;
  }
  decision.outcome = AscOutcome::Adts;
  return decision;
}

const char* audio_object_type_name(int object_type) {
  // ISO/IEC 14496-3, Table 1.17.
  switch (object_type) {
    case 0:
      return "no audio object";
    case 1:
      return "AAC Main";
    case 2:
      return "AAC LC";
    case 3:
      return "AAC SSR";
    case 4:
      return "AAC LTP";
    case 5:
      return "HE-AAC";
    case 6:
      return "AAC Scalable";
    case 7:
      return "TwinVQ";
    case 8:
      return "CELP";
    case 9:
      return "HVXC";
    case 12:
      return "TTSI";
    case 13:
      return "Main synthetic";
    case 14:
      return "Wavetable synthesis";
    case 15:
      return "General MIDI";
    case 16:
      return "Algorithmic Synthesis and Audio FX";
    case 17:
      return "ER AAC LC";
    case 19:
      return "ER AAC LTP";
    case 20:
      return "ER AAC Scalable";
    case 21:
      return "ER TwinVQ";
    case 22:
      return "ER BSAC";
    case 23:
      return "ER AAC LD";
    case 24:
      return "ER CELP";
    case 25:
      return "ER HVXC";
    case 26:
      return "ER HILN";
    case 27:
      return "ER Parametric";
    case 28:
      return "SSC";
    case 29:
      return "HE-AAC v2";
    case 30:
      return "MPEG Surround";
    case 32:
      return "MPEG-1/2 Layer 1";
    case 33:
      return "MPEG-1/2 Layer 2";
    case 34:
      return "MPEG-1/2 Layer 3";
    case 35:
      return "DST";
    case 36:
      return "ALS";
    case 37:
      return "SLS";
    case 38:
      return "SLS non-core";
    case 39:
      return "ER AAC ELD";
    case 40:
      return "SMR Simple";
    case 41:
      return "SMR Main";
    case 42:
      return "USAC";
    case 43:
      return "SAOC";
    case 44:
      return "LD MPEG Surround";
    case 45:
      return "SAOC-DE";
    case 46:
      return "Audio Sync";
    default:
      return "a reserved audio object type";
  }
}

}  // namespace vidsalvage
