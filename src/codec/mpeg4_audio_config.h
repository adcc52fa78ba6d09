#pragma once
// The MPEG-4 AudioSpecificConfig (ISO/IEC 14496-3, 1.6.2.1) as far as an ADTS
// header needs it: the object type, the sampling frequency index and the channel
// configuration of the stream's AAC layer.

#include <cstdint>
#include <span>

#include "codec/audio_config.h"

namespace vidsalvage {

// The first two bytes as a config of types below 31 with an indexed rate lays
// them out: object type (5 bits), sampling frequency index (4), channels (4).
struct AscHead {
  int object_type = 0;
  int sampling_index = 0;
  int channel_config = 0;
};
AscHead read_asc_head(std::uint8_t b0, std::uint8_t b1);

enum class AscOutcome {
  Adts,             // `config` holds what the ADTS header needs
  TooShort,         // the config ends before the fields needed
  UnsupportedType,  // `refused_type` is an object type no ADTS stream carries
  UnsupportedRate,  // an explicit sampling rate that no ADTS index names
};

struct AscDecision {
  AscOutcome outcome = AscOutcome::TooShort;
  int refused_type = 0;  // for UnsupportedType
};

// The ADTS parameters of a stream described by `asc`. AAC Main, LC, SSR and LTP
// (types 1-4) as they are; HE-AAC (5) and HE-AAC v2 (29) as their AAC core, at the
// core's sampling rate, which is the first the config names. A sampling index
// without meaning or a channel configuration ADTS cannot name falls back to
// 48000 Hz stereo, as mp4a.hdr's does. `config` is changed only for Adts.
AscDecision adts_config_from_asc(std::span<const std::uint8_t> asc, AudioConfig& config);

// The name of an MPEG-4 audio object type, for messages ("ER AAC LD", "USAC").
const char* audio_object_type_name(int object_type);

}  // namespace vidsalvage
