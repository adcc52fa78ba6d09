#include <gtest/gtest.h>

#include <filesystem>

#include "io/input_window.h"
#include "support/bytes.h"
#include "support/target.h"
#include "support/temp_dir.h"

namespace vidsalvage {
namespace {
using test::Bytes;
using test::TempDir;

class WindowedInput : public testing::Test {
 protected:
  void open(std::int64_t size) {
    data_ = test::pseudo_random_bytes(static_cast<std::size_t>(size), 3);
    dir_.write("input.bin", data_);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(open_input(window_, dir_.path("input.bin").c_str(), {.allow_mapping = false}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "WARNING: Used slow file read method\n");
  }
  // The window holds the file's own bytes at every held offset.
  void expect_holds(std::int64_t offset, std::int64_t length) {
    const auto bytes = held_bytes(window_, offset, length);
    ASSERT_EQ(static_cast<std::int64_t>(bytes.size()), length);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), data_.begin() + offset));
  }
  TempDir dir_;
  Bytes data_;
  InputWindow window_;
};

TEST_F(WindowedInput, StartsEmpty) {
  open(1000);
  EXPECT_FALSE(window_.mapping);
  EXPECT_EQ(window_.base, -1);
  EXPECT_EQ(window_.size, 1000);
  EXPECT_TRUE(held_bytes(window_, 0, 1).empty());
}

TEST_F(WindowedInput, ReloadsWithABackMarginOfEightBytes) {
  open(1000);
  EXPECT_EQ(refill_window(window_, 5), 1000);  // below 8: from offset 0
  EXPECT_EQ(window_.base, 0);
  EXPECT_EQ(refill_window(window_, 500), 0);  // covered: nothing read
  EXPECT_EQ(window_.base, 0);
  expect_holds(0, 1000);
}

TEST_F(WindowedInput, ReloadsOnlyOutsideTheCoveredRange) {
  constexpr std::int64_t kSize = 120 * 1024 * 1024;
  open(kSize);
  ASSERT_EQ(refill_window(window_, 1000), kWindowBytes);
  EXPECT_EQ(window_.base, 992);
  EXPECT_EQ(refill_window(window_, 992 + 10 * 1024 * 1024), 0);
  EXPECT_EQ(refill_window(window_, 992 + kReloadLimitBytes - 1), 0);
  // Exactly the reload limit after base reloads.
  EXPECT_EQ(refill_window(window_, 992 + kReloadLimitBytes), kWindowBytes);
  EXPECT_EQ(window_.base, 992 + kReloadLimitBytes - 8);
  expect_holds(window_.base, kWindowBytes);
  // Any offset before base reloads.
  EXPECT_EQ(refill_window(window_, 992 + kReloadLimitBytes - 9), kWindowBytes);
  EXPECT_EQ(window_.base, 992 + kReloadLimitBytes - 17);
  // Near the end fewer bytes arrive, and no byte past the end is held.
  EXPECT_EQ(refill_window(window_, kSize - 100), 108);
  expect_holds(kSize - 108, 108);
  EXPECT_TRUE(held_bytes(window_, kSize - 1, 2).empty());
}

TEST_F(WindowedInput, ReadInputRefillsWhenNeeded) {
  open(200);
  const auto bytes = read_input(window_, 150, 50);
  ASSERT_EQ(bytes.size(), 50u);
  EXPECT_EQ(bytes[0], data_[150]);
  EXPECT_TRUE(read_input(window_, 150, 51).empty());
  EXPECT_TRUE(read_input(window_, -1, 1).empty());
}

TEST(InputWindow, MapsAFileWhole) {
  TempDir dir;
  const Bytes data = test::pseudo_random_bytes(4096, 1);
  dir.write("input.bin", data);
  InputWindow window;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(open_input(window, dir.path("input.bin").c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(window.mapping);
  EXPECT_EQ(window.base, 0);
  EXPECT_EQ(refill_window(window, 4000), 0);
  const auto bytes = held_bytes(window, 4000, 96);
  ASSERT_EQ(bytes.size(), 96u);
  EXPECT_EQ(bytes[95], data[4095]);
  EXPECT_TRUE(held_bytes(window, 4000, 97).empty());
  release_input(window);
  release_input(window);  // twice is harmless
  EXPECT_EQ(window.file, nullptr);
}

TEST(InputWindow, MissingFileCannotBeOpened) {
  TempDir dir;
  InputWindow window;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(open_input(window, dir.path("missing.mp4").c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot open '" + dir.path("missing.mp4") + "'\n");
}

TEST(InputWindow, NamesInputRecognisesEveryPathToTheFile) {
  TempDir dir;
  dir.write("rec.mp4", {1, 2, 3});
  dir.write("other.mp4", {1, 2, 3});
  std::filesystem::create_hard_link(dir.path("rec.mp4"), dir.path("hard.mp4"));
  InputWindow window;
  ASSERT_TRUE(open_input(window, dir.path("rec.mp4").c_str()));
  EXPECT_TRUE(names_input(window, dir.path("rec.mp4").c_str()));
  EXPECT_TRUE(names_input(window, (dir.path() + "/./rec.mp4").c_str()));
  EXPECT_TRUE(names_input(window, dir.path("hard.mp4").c_str()));
  // Wine cannot make symbolic links, nor can a Windows user without the privilege.
  if (!test::kWindowsBuild) {
    std::filesystem::create_symlink("rec.mp4", dir.path("soft.mp4"));
    EXPECT_TRUE(names_input(window, dir.path("soft.mp4").c_str()));
  }
  EXPECT_FALSE(names_input(window, dir.path("other.mp4").c_str()));
  EXPECT_FALSE(names_input(window, dir.path("new.mp4").c_str()));
}

}  // namespace
}  // namespace vidsalvage
