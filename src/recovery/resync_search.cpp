#include "recovery/resync_search.h"

#include <algorithm>
#include <cstdlib>

#include "codec/pcm_test.h"
#include "io/byte_reader.h"
#include "recovery/video_unit.h"

namespace vidsalvage {
namespace {

// Lengths at a list profile's candidate: from 2 up to, not including, 1 MiB.
constexpr std::uint32_t kMinCandidateLength = 2;
constexpr std::uint32_t kMaxCandidateLengthExcluded = 0x100000;
// After a candidate that looks like PCM the search goes on past its first bytes.
constexpr std::int64_t kPcmRefusalStep = 5;

// The nearest NAL head at or after `search_start` that ends before `end` and
// whose length field passes; the offset of that length field, or kNotFound.
std::int64_t nearest_nal_head(InputWindow& input, std::int64_t search_start, std::int64_t end,
                              const PatternSet& heads) {
  if (search_start + 2 >= end) return kNotFound;
  // The length field of a head at search_start lies 4 bytes before it.
  const std::int64_t from = std::max<std::int64_t>(search_start - kLengthFieldBytes, 0);
  const std::span<const std::uint8_t> bytes = read_input(input, from, end - from);
  if (bytes.empty()) return kNotFound;
  // Every head ends before the last byte before `end`, as in find_pattern.
  const std::span<const std::uint8_t> scanned =
      bytes.first(static_cast<std::size_t>(end - 1 - from));
  std::size_t p = static_cast<std::size_t>(search_start - from);
  while ((p = heads.find_first(scanned, p)) != PatternSet::kNone) {
    if (p >= kLengthFieldBytes) {
      const std::uint32_t length = load_be32(bytes.subspan(p - kLengthFieldBytes));
      if (length >= kMinCandidateLength && length < kMaxCandidateLengthExcluded) {
        return from + static_cast<std::int64_t>(p) - kLengthFieldBytes;
      }
    }
    ++p;
  }
  return kNotFound;
}

}  // namespace

std::int64_t find_video_candidate(InputWindow& input, std::int64_t cursor,
                                  const RecorderProfile& profile, bool refuse_pcm) {
  // The end stays 1 MiB after the cursor however often a candidate is refused.
  const std::int64_t end = std::min(cursor + kResyncReachBytes, input.size);
  std::int64_t search_start = cursor;
  while (true) {
    const std::int64_t candidate =
        profile.nal_heads != nullptr
            ? nearest_nal_head(input, search_start, end, *profile.nal_heads)
            : find_pattern(input, end, search_start, profile.video_signature);
    if (candidate == kNotFound || !refuse_pcm) return candidate;
    const std::span<const std::uint8_t> at_candidate =
        read_input(input, candidate,
                   std::min(static_cast<std::int64_t>(kPcmTestBytes), input.size - candidate));
    if (at_candidate.empty()) return kNotFound;
    if (!looks_like_pcm(at_candidate)) return candidate;
    search_start = candidate + kPcmRefusalStep;
  }
}

ResyncResult resync_search(InputWindow& input, std::int64_t cursor, const RecorderProfile& profile,
                           AudioOutput& audio, bool& at_stream_start) {
  ResyncResult result;
  result.candidate = find_video_candidate(input, cursor, profile, audio.mode == AudioMode::Pcm);
  // A candidate at or before the cursor has no gap.
  if (result.candidate != kNotFound && result.candidate > cursor) {
    result.gap = write_audio_gap(input, audio, profile, at_stream_start, cursor, result.candidate);
  }
  return result;
}

}  // namespace vidsalvage
