#pragma once
// The exit statuses every run mode returns to main.

namespace vidsalvage {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitFailure = -1;  // all bits set; a POSIX shell sees 255

}  // namespace vidsalvage
