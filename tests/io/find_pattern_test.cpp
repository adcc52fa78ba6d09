#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "io/input_window.h"
#include "support/bytes.h"
#include "support/target.h"
#include "support/temp_dir.h"

namespace vidsalvage {
namespace {
using test::Bytes;
using test::TempDir;

// The search by its definition: every position i with i + length < end.
std::int64_t naive_find(const Bytes& data, std::int64_t end, std::int64_t start, const Bytes& pattern) {
  const auto length = static_cast<std::int64_t>(pattern.size());
  for (std::int64_t i = start; i + length < end; ++i) {
    if (std::memcmp(data.data() + i, pattern.data(), pattern.size()) == 0) return i;
  }
  return kNotFound;
}

// The same contents opened mapped and through the window; two copies, since an
// input is held exclusively (on Windows a second open of it fails).
struct BothModes {
  explicit BothModes(const Bytes& contents) {
    dir.write("mapped.bin", contents);
    dir.write("windowed.bin", contents);
    testing::internal::CaptureStdout();  // the window's warning
    const bool opened = open_input(mapped, dir.path("mapped.bin").c_str()) &&
                        open_input(windowed, dir.path("windowed.bin").c_str(), {.allow_mapping = false});
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(opened);
  }
  TempDir dir;
  InputWindow mapped;
  InputWindow windowed;
};

struct SearchCase {
  const char* name;
  std::int64_t end;
  std::int64_t start;
  Bytes pattern;
  std::int64_t expected;
};

TEST(FindPattern, ExaminesOnlyPositionsBeforeTheEndRule) {
  // 0  1  2  3  4  5  6  7  8  9
  const Bytes data = {0xAA, 0x01, 0x02, 0x03, 0xAA, 0x01, 0x02, 0x03, 0x04, 0x05};
  const SearchCase cases[] = {
      {"first match", 10, 0, {0x01, 0x02}, 1},
      {"match at start", 10, 1, {0x01, 0x02}, 1},
      {"next match after start", 10, 2, {0x01, 0x02}, 5},
      {"match ending just before end is not examined", 8, 6, {0x02, 0x03}, kNotFound},
      {"match ending two before end is found", 9, 6, {0x02, 0x03}, 6},
      {"last bytes of the input are never matched", 10, 0, {0x04, 0x05}, kNotFound},
      {"start + length == end", 4, 2, {0x02, 0x03}, kNotFound},
      {"start past end", 5, 8, {0x04}, kNotFound},
      {"end beyond the input is the input's end", 100, 0, {0x04, 0x05}, kNotFound},
      {"negative start reads from the beginning", 10, -5, {0xAA}, 0},
      {"seven-byte pattern", 10, 0, {0x01, 0x02, 0x03, 0xAA, 0x01, 0x02, 0x03}, 1},
      {"zero-led pattern", 10, 0, {0x03, 0x04}, 7},
      {"absent pattern", 10, 0, {0x05, 0x05}, kNotFound},
  };
  BothModes input(data);
  for (const SearchCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(find_pattern(input.mapped, c.end, c.start, c.pattern), c.expected);
    EXPECT_EQ(find_pattern(input.windowed, c.end, c.start, c.pattern), c.expected);
  }
}

TEST(FindPattern, AgreesWithTheDefinitionOnRandomData) {
  // Few byte values, so that partial matches and zero runs are common.
  Bytes data = test::pseudo_random_bytes(20000, 7);
  for (auto& b : data) b = static_cast<std::uint8_t>(b % 4 == 0 ? 0 : b % 3);
  BothModes input(data);
  const Bytes patterns[] = {{0x00}, {0x01, 0x02}, {0x00, 0x00, 0x01}, {0x02, 0x00, 0x00, 0x01, 0x02},
                            {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
  for (const Bytes& pattern : patterns) {
    for (std::int64_t start = 0; start < 20000; start += 997) {
      SCOPED_TRACE(start);
      const std::int64_t end = 20000 - start / 3;
      const std::int64_t expected = naive_find(data, end, start, pattern);
      EXPECT_EQ(find_pattern(input.mapped, end, start, pattern), expected);
      EXPECT_EQ(find_pattern(input.windowed, end, start, pattern), expected);
    }
  }
}

TEST(FindPattern, EmptyInputIsReadThroughTheWindowAndHoldsNothing) {
  TempDir dir;
  dir.write("empty.bin", {});
  InputWindow window;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(open_input(window, dir.path("empty.bin").c_str()));
  // The system refuses to map an empty file: Windows with ERROR_FILE_INVALID.
  const int error = test::kWindowsBuild ? 1006 : EINVAL;
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Cannot map file '" + dir.path("empty.bin") + "', CreateFileMapping error " +
                std::to_string(error) + "\nWARNING: Used slow file read method\n");
  EXPECT_FALSE(window.is_mapped());
  const Bytes pattern = {0x00};
  EXPECT_EQ(find_pattern(window, 10, 0, pattern), kNotFound);
  EXPECT_EQ(find_pattern(window, 0, 0, pattern), kNotFound);
}

// Offsets around the reloads of a windowed pass over 150 MB with the default
// window: 48 MB, 96 MB, 144 MB.
TEST(FindPattern, CrossesWindowReloadsAndReachesTheEnd) {
  constexpr std::int64_t kSize = 150 * 1024 * 1024;
  constexpr std::int64_t kReloadLimitBytes = 48 * 1024 * 1024;
  constexpr std::int64_t kWindowBytes = 64 * 1024 * 1024;
  Bytes data(kSize, 0x11);
  const Bytes pattern = {0x00, 0x00, 0x00, 0x02, 0x09};
  // Matches straddling the reload limits, and one ending two bytes before the end.
  const std::int64_t planted[] = {kReloadLimitBytes - 2, 2 * kReloadLimitBytes - 8 - 3,
                                  3 * kReloadLimitBytes + 40, kSize - 6};
  for (std::int64_t at : planted) std::memcpy(data.data() + at, pattern.data(), pattern.size());
  BothModes input(data);
  std::int64_t start = 0;
  for (std::int64_t at : planted) {
    SCOPED_TRACE(at);
    EXPECT_EQ(find_pattern(input.mapped, kSize, start, pattern), at);
    EXPECT_EQ(find_pattern(input.windowed, kSize, start, pattern), at);
    // The window is left where the search stopped: the match and the 8 bytes in
    // front of it are readable without a reload.
    EXPECT_FALSE(held_bytes(input.windowed, at - 8, 8 + 5).empty());
    start = at + 1;
  }
  EXPECT_EQ(find_pattern(input.windowed, kSize, start, pattern), kNotFound);
  // A match ending on the last byte is outside the end rule.
  std::memcpy(data.data() + kSize - 5, pattern.data(), pattern.size());
  BothModes at_end(data);
  EXPECT_EQ(find_pattern(at_end.mapped, kSize, kSize - 6, pattern), kNotFound);
  EXPECT_EQ(find_pattern(at_end.windowed, kSize, kSize - 6, pattern), kNotFound);
  // The window that reaches the end of the input holds fewer than 64 MB.
  const HeldRange held = held_range(at_end.windowed);
  EXPECT_LT(held.count, kWindowBytes);
  EXPECT_EQ(held.first + held.count, kSize);
}

}  // namespace
}  // namespace vidsalvage
