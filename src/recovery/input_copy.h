#pragma once
// Copies a stretch of the input to an output file straight from the input view.

#include <cstdint>

#include "io/input_window.h"
#include "io/output_file.h"

namespace vidsalvage {

// How a copy of input bytes, or the writing of a whole audio gap, ended.
enum class CopyOutcome {
  Done,
  ReadFailed,   // the window could not be reloaded (its message printed) or the input is short
  WriteFailed,  // the output could not be written
};

// Writes the `length` input bytes at `offset` to `out`, reloading the window as
// needed, so any length is copied whole in either access mode.
[[nodiscard]] CopyOutcome copy_input(InputWindow& input, std::int64_t offset, std::int64_t length,
                                     OutputFile& out);

}  // namespace vidsalvage
