#pragma once
// The AVC decoder configuration record saved in avcc.hdr: its parameter sets
// open the video output.

#include <cstdint>
#include <memory>

#include "io/output_file.h"

namespace vidsalvage {

// The whole of avcc.hdr, owned by the driver until the prologue is written.
struct AvcConfig {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::int64_t size = 0;
};

// Reads avcc.hdr from the current directory whole. Prints the reason and returns
// false when it cannot be opened, allocated or read in full.
[[nodiscard]] bool load_avc_config(AvcConfig& config);

// Writes every SPS, then every PPS, each behind 00 00 00 01, prints their counts,
// lengths and summary lines, and releases the record. Returns false only when a
// write to `video` failed; a malformed record is reported and walked on.
[[nodiscard]] bool write_video_prologue(AvcConfig& config, OutputFile& video);

}  // namespace vidsalvage
