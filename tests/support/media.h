#pragma once
// Real recordings for tests: made with ffmpeg in a test's directory, and read
// back by a small box-tree walk that is independent of the code under test.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/bytes.h"
#include "support/temp_dir.h"

namespace vidsalvage::test {

// True when ffmpeg and ffprobe are on the PATH and the tests can start them.
bool have_ffmpeg();

// True when ffmpeg is there and has the encoder `name` (libx265 is built in
// only where its library was).
bool have_ffmpeg_encoder(const std::string& name);

// Skips the current test, with a message, when ffmpeg is missing.
#define VIDSALVAGE_REQUIRE_FFMPEG()                                      \
  do {                                                                   \
    if (!::vidsalvage::test::have_ffmpeg()) {                            \
      GTEST_SKIP() << "ffmpeg is not available; skipping a real-file test"; \
    }                                                                    \
  } while (0)

// Runs `ffmpeg -y -hide_banner -loglevel error ARGS` in `dir`; true on success.
bool run_ffmpeg(const TempDir& dir, const std::string& args);

// Runs a shell command in `dir` and returns its standard output.
std::string run_and_capture(const TempDir& dir, const std::string& command);

// One box of an ISO BMFF file: where it starts, its header and its whole size.
struct BoxRef {
  std::string type;
  std::int64_t offset = 0;       // of the size field
  std::int64_t header_size = 8;  // 8, or 16 with a 64-bit size
  std::int64_t size = 0;         // header included
  std::int64_t body_offset() const { return offset + header_size; }
  std::int64_t body_size() const { return size - header_size; }
};

// Every box of the given type, in file order, found by walking the box tree:
// the usual containers, the sample description and the sample entries in it.
std::vector<BoxRef> find_boxes(const Bytes& file, std::string_view type);

// The body of the first box of the given type, if any.
std::optional<Bytes> box_body(const Bytes& file, std::string_view type);

// The chunk offsets of an `stco` or `co64` box found by find_boxes, as many as
// its entry count says.
std::vector<std::uint64_t> chunk_offset_entries(const Bytes& file, const BoxRef& table);

// The file with every `stco` box rewritten as a `co64` box of the same offsets and
// the sizes of the boxes around it grown to match. The offsets stay right when the
// media data comes before the `moov` box, as ffmpeg writes it by default.
Bytes with_co64_tables(const Bytes& file);

}  // namespace vidsalvage::test
