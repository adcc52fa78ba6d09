#include "recovery/input_copy.h"

#include <algorithm>

namespace vidsalvage {
namespace {
// A covered position has at least this much of the window after it: the window
// minus the reload limit.
constexpr std::int64_t kHeldAfterCoveredBytes = kWindowBytes - kReloadLimitBytes;
}  // namespace

CopyOutcome copy_input(InputWindow& input, std::int64_t offset, std::int64_t length,
                       OutputFile& out) {
  while (length > 0) {
    const std::int64_t chunk = std::min(length, kHeldAfterCoveredBytes);
    const std::span<const std::uint8_t> bytes = read_input(input, offset, chunk);
    if (bytes.empty()) return CopyOutcome::ReadFailed;
    if (!out.write(bytes)) return CopyOutcome::WriteFailed;
    offset += chunk;
    length -= chunk;
  }
  return CopyOutcome::Done;
}

}  // namespace vidsalvage
