#include "tools/header_extraction.h"

#include <cstdio>
#include <optional>
#include <span>

#include "io/exit_status.h"
#include "io/output_file.h"
#include "tools/box_candidate.h"

namespace vidsalvage {
namespace {

constexpr std::uint32_t kBoxHeaderBytes = 8;

// A box whose body is copied, and the sizes accepted for it: other occurrences of
// its type code are passed over.
struct HeaderBox {
  TypeCode type;
  std::uint32_t min_size;
  std::uint32_t max_size;
};

constexpr HeaderBox kAvccBox = {type_code("avcC"), 16, 1023};
constexpr HeaderBox kMp4aBox = {type_code("mp4a"), 71, 1023};

// The body of the first occurrence of `box.type` whose size is accepted and whose
// body the input holds whole, searching from offset 0; nullopt when there is none.
std::optional<std::span<const std::uint8_t>> find_header_body(InputWindow& input,
                                                              const HeaderBox& box) {
  for (std::int64_t match = find_pattern(input, input.size, 0, box.type); match != kNotFound;
       match = find_pattern(input, input.size, match + 1, box.type)) {
    const std::optional<std::uint32_t> size = size_in_front(input, match);
    if (!size || *size < box.min_size || *size > box.max_size) continue;
    // No reload: the window holds at least 16 MB from the match on, far more than
    // the largest body accepted, so the body is missing only where the input ends.
    const auto body = held_bytes(input, match + 4, *size - kBoxHeaderBytes);
    if (body.empty()) continue;
    return body;
  }
  return std::nullopt;
}

// Creates or empties `path` in the current directory and writes `body` to it.
bool write_header_file(const InputWindow& input, const char* path,
                       std::span<const std::uint8_t> body) {
  OutputFile file;
  if (!open_output(file, path, input)) return false;
  const bool written = file.write(body);
  return file.close() && written;
}

}  // namespace

int extract_headers(InputWindow& input, const char* input_name) {
  const auto avcc = find_header_body(input, kAvccBox);
  if (!avcc) {
    if (input_failed(input)) return kExitFailure;  // the run ends with "Cannot read"
    std::printf("Cannot find 'avcC' atom (AVCDecoderConfigurationRecord) in '%s'\n", input_name);
    std::printf("Be sure your file is MP4/MOV with the codec MPEG-4 part 10 (AVC/H.264).\n");
    std::printf("This program does not support MPEG-4 part 2 (mp42) codec.\n");
    return kExitFailure;
  }
  if (!write_header_file(input, "avcc.hdr", *avcc)) {
    std::printf("Cannot write '%s'\n", "avcc.hdr");
    return kExitFailure;
  }
  std::printf("'%s' created (%u bytes)\n", "avcc.hdr", static_cast<unsigned>(avcc->size()));

  const auto mp4a = find_header_body(input, kMp4aBox);
  if (!mp4a) {
    if (input_failed(input)) return kExitFailure;
    std::printf("Cannot find 'mp4a' atom in '%s'\n", input_name);
    std::printf(
        "The default settings 48kHz 2 channels will be used for AAC stream during "
        "recovering.\n");
    return kExitFailure;
  }
  if (!write_header_file(input, "mp4a.hdr", *mp4a)) {
    std::printf("Cannot write '%s'\n", "mp4a.hdr");
    return kExitFailure;
  }
  std::printf("'%s' created (%u bytes)\n", "mp4a.hdr", static_cast<unsigned>(mp4a->size()));
  return kExitSuccess;
}

}  // namespace vidsalvage
