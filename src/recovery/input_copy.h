#pragma once
// Copies a stretch of the input to an output file.

#include <cstdint>

#include "io/input_window.h"
#include "io/output_file.h"

namespace vidsalvage {

// How a copy of input bytes, or the writing of a whole audio gap, ended: Done,
// ReadFailed (the input ends first, or a read of it failed), WriteFailed.
using CopyOutcome = InputCopy;

// Writes the `length` input bytes at `offset` to `out`, whole in either access
// mode.
[[nodiscard]] CopyOutcome copy_input(InputWindow& input, std::int64_t offset, std::int64_t length,
                                     OutputFile& out);

}  // namespace vidsalvage
