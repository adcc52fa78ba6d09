#pragma once
// The byte patterns by which the recovery tells a recorder's video units from
// its audio frames, one constant profile per recorder family.

namespace vidsalvage {

enum class RecorderKind { Ambarella, Eos, Apple, Android, Motorola, Samsung };

struct RecorderProfile {
  RecorderKind kind;
  const char* option;  // the command-line option; nullptr for the default
};

// Scans arguments 2 up to the last for a recorder option; the first one wins.
// Without one the default (Ambarella) profile is chosen.
const RecorderProfile& select_recorder_profile(int argc, const char* const* argv);

}  // namespace vidsalvage
