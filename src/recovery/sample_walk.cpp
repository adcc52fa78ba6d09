#include "recovery/sample_walk.h"

#include <algorithm>
#include <cstdio>

#include "io/byte_reader.h"
#include "recovery/input_copy.h"
#include "recovery/resync_search.h"

namespace vidsalvage {
namespace {

// `mdat` is looked for only this far into the input.
constexpr std::int64_t kMdatSearchBytes = 64 * 1024 * 1024;
constexpr std::uint8_t kMdatType[] = {'m', 'd', 'a', 't'};
constexpr std::int64_t kWordBytes = 4;
constexpr std::uint8_t kStartCode[] = {0x00, 0x00, 0x00, 0x01};
constexpr std::int64_t kPermilleScale = 1000;
constexpr std::int64_t kZeroScanBlockBytes = 1024 * 1024;

// The first 4-aligned offset o with o + 4 < size whose word is not zero, or
// kNotFound (also when a read of the input failed).
std::int64_t first_nonzero_word(InputWindow& input) {
  std::int64_t o = 0;
  while (o + kWordBytes < input.size) {
    const InputRead block = read_at(input, o, std::min(kZeroScanBlockBytes, input.size - o));
    if (block.status != ReadStatus::Found) return kNotFound;
    const std::span<const std::uint8_t> bytes = block.bytes;
    for (std::size_t k = 0; o + kWordBytes < input.size && k + kWordBytes <= bytes.size();
         k += kWordBytes, o += kWordBytes) {
      if ((bytes[k] | bytes[k + 1] | bytes[k + 2] | bytes[k + 3]) != 0) return o;
    }
  }
  return kNotFound;
}

}  // namespace

void print_progress(SampleWalk& walk, std::int64_t size) {
  const auto permille = static_cast<std::int32_t>(walk.cursor * kPermilleScale / size);
  if (permille == walk.last_permille) return;
  walk.last_permille = permille;
  std::printf("  %.1f%%\r", permille / 10.0);
}

CopyOutcome write_video_unit(InputWindow& input, std::int64_t cursor, std::uint32_t length,
                             OutputFile& video, std::uint32_t length_field_bytes,
                             const char* label) {
  std::printf("%s: 0x%08llX [0x%8llX] -> [0x%8llX]\n", label,
              static_cast<unsigned long long>(cursor),
              static_cast<unsigned long long>(length) + length_field_bytes,
              static_cast<unsigned long long>(video.position()));
  if (!video.write(kStartCode)) return CopyOutcome::WriteFailed;
  return copy_input(input, cursor + length_field_bytes, length, video);
}

std::int64_t locate_media_data(InputWindow& input, const char* input_name,
                               const RecorderProfile& profile) {
  std::printf("Searching 'mdat' atom in '%s'...\n", input_name);
  std::int64_t cursor = kNotFound;
  const std::int64_t type_at =
      find_pattern(input, std::min(input.size, kMdatSearchBytes), 0, kMdatType);
  if (type_at != kNotFound) {
    // The first payload byte of a box with a 32-bit size field.
    cursor = type_at + 4;
  } else {
    // A failed read is not a missing atom: the run ends with "Cannot read".
    if (input_failed(input)) return kNotFound;
    std::printf("Cannot find 'mdat' atom in first 64MB of '%s'\n", input_name);
    const std::int64_t word_at = first_nonzero_word(input);
    if (input_failed(input)) return kNotFound;
    if (word_at == kNotFound) {
      std::printf("FATAL ERROR: File '%s' is empty!\n", input_name);
      return kNotFound;
    }
    std::printf("WARNING: Assuming the location of 'mdat' atom is 0x%X\n",
                static_cast<unsigned>(word_at));
    // A word at 0 or 4 is taken for a box's size or type: the data follows it.
    cursor = word_at > 4 ? word_at : word_at + 4;
  }
  return cursor + profile.mdat_skip;
}

bool accepts_video(const RecorderProfile& profile, SampleState state,
                   std::span<const std::uint8_t> at_cursor) {
  if (state == SampleState::AfterSearch) return true;
  if (profile.nal_heads == nullptr) {
    if (state == SampleState::AfterVideo) return true;
    const std::span<const std::uint8_t> signature = profile.video_signature;
    return at_cursor.size() >= signature.size() &&
           std::equal(signature.begin(), signature.end(), at_cursor.begin());
  }
  return at_cursor.size() >= kLengthFieldBytes + 2 &&
         profile.nal_heads->matches_at(at_cursor.data() + kLengthFieldBytes);
}

WalkOutcome walk_samples(InputWindow& input, std::int64_t cursor, const RecorderProfile& profile,
                         AudioOutput& audio, OutputFile& video) {
  SampleWalk walk;
  walk.cursor = cursor;
  while (walk.cursor + kTailMarginBytes < input.size) {
    // A failed read ends the walk like the end of the data; the run then reports it.
    const InputRead at_cursor = read_at(input, walk.cursor, kUnitHeadBytes);
    if (at_cursor.status != ReadStatus::Found) break;
    const std::span<const std::uint8_t> head = at_cursor.bytes;
    print_progress(walk, input.size);
    const std::uint32_t length = load_be32(head);
    if (accepts_video(profile, walk.state, head) && length >= kMinUnitLength &&
        length <= kMaxUnitLength) {
      const std::int64_t end = walk.cursor + kLengthFieldBytes + length;
      if (end > input.size) break;
      walk.at_stream_start = false;
      const CopyOutcome written = write_video_unit(input, walk.cursor, length, video);
      if (written == CopyOutcome::WriteFailed) return WalkOutcome::VideoWriteFailed;
      if (written == CopyOutcome::ReadFailed) break;
      walk.cursor = end;
      walk.state = SampleState::AfterVideo;
      continue;
    }
    const ResyncResult found =
        resync_search(input, walk.cursor, profile, audio, walk.at_stream_start);
    if (found.gap == CopyOutcome::WriteFailed) return WalkOutcome::AudioWriteFailed;
    if (found.gap == CopyOutcome::ReadFailed || found.candidate == kNotFound) break;
    walk.cursor = found.candidate;
    walk.state = SampleState::AfterSearch;
  }
  return WalkOutcome::Finished;
}

}  // namespace vidsalvage
