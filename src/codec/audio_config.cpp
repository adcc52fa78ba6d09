#include "codec/audio_config.h"

namespace vidsalvage {

// TODO: reading mp4a.hdr and the descriptor walk arrive with the codec
// configuration; until then the defaults stand.
bool load_audio_config(AudioConfig& /*config*/) { return true; }

AdtsTemplate fill_adts_template(const AudioConfig& /*config*/) {
  return {0xFF, 0xF1, 0x00, 0x00, 0x00, 0x1F, 0xFC};
}

}  // namespace vidsalvage
