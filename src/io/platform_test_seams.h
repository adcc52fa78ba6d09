#pragma once
// Failures that a real file never produces, forced by tests through the
// environment. Nothing outside the test suite sets these variables.

#include <cstdlib>

namespace vidsalvage::platform {

// VIDSALVAGE_TEST_FAIL_MAP_VIEW=<error number>: mapping a view fails with that
// error number after the mapping object was created. A 64-bit process can always
// map a real file whole, so only this shows the fall-back to the window.
inline int forced_map_view_error() {
  const char* value = std::getenv("VIDSALVAGE_TEST_FAIL_MAP_VIEW");
  return value == nullptr ? 0 : std::atoi(value);
}

// VIDSALVAGE_TEST_FAIL_READ=<n>: the n-th read of the input through the window
// fails, as a failing disk would make it (counted from 1; reads of a mapped
// input never fail).
inline long long forced_failing_read() {
  const char* value = std::getenv("VIDSALVAGE_TEST_FAIL_READ");
  return value == nullptr ? 0 : std::atoll(value);
}

}  // namespace vidsalvage::platform
