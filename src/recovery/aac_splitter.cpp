#include "recovery/aac_splitter.h"

#include <algorithm>
#include <cstdio>

namespace vidsalvage {
namespace {

constexpr std::int64_t kLongestSkippedPiece = 32;
// A mono frame start lies at least this far after the start of the frame before.
constexpr std::size_t kMonoMinFrameBytes = 64;

// The byte after a single channel element's global gain: window sequence, window
// shape and the first bits of max_sfb.
bool is_mono_third_byte(std::uint8_t b) {
  return b == 0x38 || b == 0x40 || b == 0x58 || b == 0x9C || b == 0x9D || b == 0xF8;
}

// A single channel element with instance tag 0 and a global gain from 117 to 174:
// 00 followed by an even byte from EA, or 01 followed by an even byte up to 5C.
bool is_mono_frame_start(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
  if ((b1 & 1) != 0 || !is_mono_third_byte(b2)) return false;
  return b0 == 0x00 ? b1 >= 0xEA : b0 == 0x01 && b1 <= 0x5C;
}

std::size_t find_mono_frame_start(std::span<const std::uint8_t> bytes, std::size_t limit) {
  // A start byte counts while it lies before the limit's last byte; the two bytes
  // after it may reach the limit.
  for (std::size_t p = kMonoMinFrameBytes; p + 1 < limit && p + 2 < bytes.size(); ++p) {
    if (bytes[p] <= 0x01 && is_mono_frame_start(bytes[p], bytes[p + 1], bytes[p + 2])) return p;
  }
  return PatternSet::kNone;
}

}  // namespace

AdtsTemplate adts_frame_header(const AdtsTemplate& adts, std::uint64_t payload_bytes) {
  const std::uint64_t frame_length = payload_bytes + kAdtsHeaderBytes;
  AdtsTemplate header = adts;
  header[3] = static_cast<std::uint8_t>(header[3] | (frame_length >> 11));
  header[4] = static_cast<std::uint8_t>(header[4] | ((frame_length >> 3) & 0xFF));
  header[5] = static_cast<std::uint8_t>(header[5] | ((frame_length & 0x07) << 5));
  return header;
}

CopyOutcome write_adts_frames(InputWindow& input, std::int64_t offset, std::int64_t length,
                              AudioOutput& audio) {
  do {
    const std::int64_t payload = std::min(length, kMaxAdtsPayload);
    const AdtsTemplate header = adts_frame_header(audio.adts, static_cast<std::uint64_t>(payload));
    if (!audio.file.write(header)) return CopyOutcome::WriteFailed;
    const CopyOutcome copied = copy_input(input, offset, payload, audio.file);
    if (copied != CopyOutcome::Done) return copied;
    offset += payload;
    length -= payload;
  } while (length > 0);
  return CopyOutcome::Done;
}

std::size_t find_frame_start(std::span<const std::uint8_t> bytes, std::size_t limit, bool mono,
                             const PatternSet& starts) {
  limit = std::min(limit, bytes.size() + 1);
  if (mono) return find_mono_frame_start(bytes, limit);
  // A match must end before the limit's last byte: p + width < limit.
  if (limit < 2) return PatternSet::kNone;
  return starts.find_first(bytes.first(limit - 1), 1);
}

CopyOutcome split_aac_gap(InputWindow& input, AudioOutput& audio, const PatternSet& starts,
                          bool& at_stream_start, std::int64_t gap_start, std::int64_t gap_end) {
  std::int64_t cur = gap_start;
  while (cur < gap_end) {
    const std::int64_t limit = std::min(gap_end, cur + kFrameSearchBytes);
    // The mono search reads up to the byte at the limit itself.
    const std::span<const std::uint8_t> bytes =
        read_input(input, cur, std::min(limit + 1, input.size) - cur);
    if (bytes.empty()) return CopyOutcome::ReadFailed;
    const std::size_t next =
        find_frame_start(bytes, static_cast<std::size_t>(limit - cur), audio.aac_mono, starts);
    const bool found = next != PatternSet::kNone;
    const std::int64_t len = found ? static_cast<std::int64_t>(next) : gap_end - cur;
    if (len <= kLongestSkippedPiece || (!found && at_stream_start)) {
      std::printf("skip: 0x%08llX [0x%8llX]\n", static_cast<unsigned long long>(cur),
                  static_cast<unsigned long long>(len));
      at_stream_start = false;
    } else {
      std::printf(" AAC: 0x%08llX [0x%8llX]\n", static_cast<unsigned long long>(cur),
                  static_cast<unsigned long long>(len));
      const CopyOutcome copied = write_adts_frames(input, cur, len, audio);
      if (copied != CopyOutcome::Done) return copied;
    }
    cur += len;
  }
  return CopyOutcome::Done;
}

}  // namespace vidsalvage
