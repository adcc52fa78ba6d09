#pragma once
// The --avcc mode: copies the bodies of the avcC and mp4a boxes of an intact
// recording into avcc.hdr and mp4a.hdr in the current directory.

#include "io/input_window.h"

namespace vidsalvage {

// Returns the exit status: 0 when both files were written, -1 otherwise.
int extract_headers(InputWindow& input, const char* input_name);

}  // namespace vidsalvage
