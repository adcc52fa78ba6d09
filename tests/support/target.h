#pragma once
// What the unit tests were built for. The same tests are also cross-built for
// Windows and run under Wine: a test that needs what only POSIX has (a device
// such as /dev/full, fork) skips there with VIDSALVAGE_SKIP_ON_WINDOWS.

#include <gtest/gtest.h>

namespace vidsalvage::test {

// VIDSALVAGE_TEST_ON_WINDOWS comes from tests/CMakeLists.txt.
inline constexpr bool kWindowsBuild = VIDSALVAGE_TEST_ON_WINDOWS != 0;

#define VIDSALVAGE_SKIP_ON_WINDOWS(reason)                                          \
  do {                                                                              \
    if (::vidsalvage::test::kWindowsBuild) GTEST_SKIP() << "Windows: " << (reason); \
  } while (0)

}  // namespace vidsalvage::test
