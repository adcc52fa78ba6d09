#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "io/input_window.h"
#include "io/output_file.h"
#include "io/reference_file.h"
#include "support/bytes.h"
#include "support/environment.h"
#include "support/target.h"
#include "support/temp_dir.h"

namespace vidsalvage {
namespace {
using test::Bytes;
using test::TempDir;

constexpr int kSharingViolation = 32;  // ERROR_SHARING_VIOLATION
constexpr std::int64_t kGigabyte = 1024LL * 1024 * 1024;

bool open_quietly(InputWindow& window, const std::string& path, const InputOptions& options = {}) {
  testing::internal::CaptureStdout();
  const bool opened = open_input(window, path.c_str(), options);
  testing::internal::GetCapturedStdout();
  return opened;
}

// A sparse file of `size` bytes, zero but for `bytes` at each of `offsets`.
void write_sparse(const std::string& path, std::int64_t size,
                  std::initializer_list<std::int64_t> offsets, const Bytes& bytes) {
  { std::ofstream create(path, std::ios::binary); }
  std::filesystem::resize_file(path, static_cast<std::uintmax_t>(size));
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  for (std::int64_t offset : offsets) {
    file.seekp(offset);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  ASSERT_TRUE(file.good());
}

TEST(PlatformFile, HoldsTheInputExclusivelyOnWindows) {
  if (!test::kWindowsBuild) GTEST_SKIP() << "POSIX has no share-deny open";
  TempDir dir;
  const Bytes recording = test::pseudo_random_bytes(1000, 4);
  dir.write("rec.mp4", recording);
  const std::string path = dir.path("rec.mp4");
  InputWindow input;
  ASSERT_TRUE(open_quietly(input, path));

  InputWindow second;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(open_input(second, path.c_str()));
  EXPECT_EQ(platform::last_error(), kSharingViolation);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot open '" + path + "'\n");
  // Even an open that skips the same-file test cannot empty the input.
  OutputFile output;
  EXPECT_FALSE(output.open(path.c_str()));
  ReferenceFile reference;
  EXPECT_FALSE(reference.open(path.c_str()));

  release_input(input);
  EXPECT_TRUE(open_quietly(second, path));
  release_input(second);
  EXPECT_EQ(dir.read("rec.mp4"), recording);
}

// A 64-bit process maps any real file whole, so a failed view is forced.
TEST(PlatformFile, FailedViewClosesTheMappingAndFallsBackToTheWindow) {
  TempDir dir;
  const Bytes recording = test::pseudo_random_bytes(5000, 6);
  dir.write("rec.mp4", recording);
  const std::string path = dir.path("rec.mp4");
  {
    test::ScopedVariable seam("VIDSALVAGE_TEST_FAIL_MAP_VIEW", "8");
    InputWindow input;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(open_input(input, path.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot map file '" + path +
                                                          "', MapViewOfFile error 8\n"
                                                          "WARNING: Used slow file read method\n");
    EXPECT_FALSE(input.is_mapped());
    EXPECT_EQ(held_range(input).first, -1);
    const auto bytes = read_input(input, 4000, 1000);
    ASSERT_EQ(bytes.size(), 1000u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), recording.begin() + 4000));
  }
  // A mapping object left open would keep the file from being emptied (on
  // Windows, error 1224) and from being mapped again.
  InputWindow again;
  ASSERT_TRUE(open_quietly(again, path));
  EXPECT_TRUE(again.is_mapped());
  release_input(again);
  OutputFile output;
  EXPECT_TRUE(output.open(path.c_str()));
}

TEST(PlatformFile, ReadsOffsetsPastFourGigabytesInBothModes) {
  constexpr std::int64_t kSize = 5 * kGigabyte;
  const std::int64_t past_four = 4 * kGigabyte + 0x123;
  const std::int64_t near_end = kSize - 20;
  const Bytes marker = {0x4D, 0x41, 0x52, 0x4B, 0x45, 0x52, 0x21};
  TempDir dir;
  // Two files, since each input is held exclusively.
  write_sparse(dir.path("mapped.bin"), kSize, {past_four, near_end}, marker);
  write_sparse(dir.path("windowed.bin"), kSize, {past_four, near_end}, marker);
  InputWindow mapped;
  InputWindow windowed;
  ASSERT_TRUE(open_quietly(mapped, dir.path("mapped.bin")));
  ASSERT_TRUE(open_quietly(windowed, dir.path("windowed.bin"), {.allow_mapping = false}));
  ASSERT_TRUE(mapped.is_mapped());
  EXPECT_EQ(mapped.size, kSize);
  EXPECT_EQ(windowed.size, kSize);

  for (InputWindow* input : {&mapped, &windowed}) {
    SCOPED_TRACE(input->is_mapped() ? "mapped" : "windowed");
    // A search across the 4 GiB line, kept short: it starts 16 MB before it.
    EXPECT_EQ(find_pattern(*input, kSize, 4 * kGigabyte - 16 * 1024 * 1024, marker), past_four);
    const auto found = read_input(*input, past_four, 7);
    EXPECT_EQ(Bytes(found.begin(), found.end()), marker);
    EXPECT_EQ(find_pattern(*input, kSize, near_end - 1024 * 1024, marker), near_end);
    const auto last = read_input(*input, near_end, 20);
    ASSERT_EQ(last.size(), 20u);
    EXPECT_EQ(Bytes(last.begin(), last.begin() + 7), marker);
  }
  EXPECT_EQ(held_range(windowed).first + held_range(windowed).count, kSize);
}

// Outputs and reference headers are binary: no byte is added, dropped or ends the file.
TEST(PlatformFile, OutputsAndReferenceHeadersKeepEveryByte) {
  Bytes contents = {0x0A, 0x0D, 0x0A, 0x1A, 0x0D, 0x0D, 0x0A};
  for (int value = 0; value < 256; ++value) contents.push_back(static_cast<std::uint8_t>(value));
  TempDir dir;
  OutputFile output;
  ASSERT_TRUE(output.open(dir.path("avcc.hdr").c_str()));
  ASSERT_TRUE(output.write(contents));
  ASSERT_TRUE(output.close());
  EXPECT_EQ(dir.read("avcc.hdr"), contents);

  ReferenceFile reference;
  ASSERT_TRUE(reference.open(dir.path("avcc.hdr").c_str()));
  ASSERT_EQ(reference.size(), static_cast<std::int64_t>(contents.size()));
  Bytes read_back(contents.size());
  ASSERT_TRUE(reference.read(read_back));
  EXPECT_EQ(read_back, contents);
}

}  // namespace
}  // namespace vidsalvage
