#include "io/input_window.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "io/output_file.h"
#include "support/bytes.h"
#include "support/environment.h"
#include "support/target.h"
#include "support/temp_dir.h"

namespace vidsalvage {
namespace {
using test::Bytes;
using test::TempDir;

// A window of 1000 bytes whose positions stay covered up to 750 bytes after its
// start: a few kilobytes cross several reloads.
constexpr InputOptions kSmallWindow = {
    .allow_mapping = false, .window_bytes = 1000, .reload_bytes = 750};

class WindowedInput : public testing::Test {
 protected:
  void open(std::int64_t size, const InputOptions& options = kSmallWindow) {
    data_ = test::pseudo_random_bytes(static_cast<std::size_t>(size), 3);
    dir_.write("input.bin", data_);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(open_input(window_, dir_.path("input.bin").c_str(), options));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "WARNING: Used slow file read method\n");
  }
  // The window holds the file's own bytes at every held offset.
  void expect_holds(std::int64_t offset, std::int64_t length) {
    const auto bytes = held_bytes(window_, offset, length);
    ASSERT_EQ(static_cast<std::int64_t>(bytes.size()), length);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), data_.begin() + offset));
  }
  void expect_held_range(std::int64_t first, std::int64_t count) {
    EXPECT_EQ(held_range(window_).first, first);
    EXPECT_EQ(held_range(window_).count, count);
  }
  TempDir dir_;
  Bytes data_;
  InputWindow window_;
};

TEST_F(WindowedInput, StartsEmpty) {
  open(1000);
  EXPECT_FALSE(window_.is_mapped());
  expect_held_range(-1, 0);
  EXPECT_EQ(window_.size, 1000);
  EXPECT_TRUE(held_bytes(window_, 0, 1).empty());
}

TEST_F(WindowedInput, ReloadsWithABackMarginOfEightBytes) {
  open(900);
  EXPECT_EQ(refill_window(window_, 5), 900);  // below 8: from offset 0
  expect_held_range(0, 900);
  EXPECT_EQ(refill_window(window_, 500), 0);  // covered: nothing read
  expect_holds(0, 900);
}

TEST_F(WindowedInput, ReloadsOnlyOutsideTheCoveredRange) {
  constexpr std::int64_t kSize = 10'000;
  open(kSize);
  ASSERT_EQ(refill_window(window_, 1000), 1000);
  expect_held_range(992, 1000);
  EXPECT_EQ(refill_window(window_, 992 + 749), 0);
  // Exactly the reload distance after the start reloads.
  EXPECT_EQ(refill_window(window_, 992 + 750), 1000);
  expect_held_range(992 + 742, 1000);
  expect_holds(992 + 742, 1000);
  // Any offset before the start reloads.
  EXPECT_EQ(refill_window(window_, 992 + 733), 1000);
  expect_held_range(992 + 725, 1000);
  expect_holds(992 + 725, 1000);
  // Near the end fewer bytes arrive, and no byte past the end is held.
  EXPECT_EQ(refill_window(window_, kSize - 100), 108);
  expect_holds(kSize - 108, 108);
  EXPECT_TRUE(held_bytes(window_, kSize - 1, 2).empty());
}

TEST_F(WindowedInput, ReadAtSaysFoundEndOrFailed) {
  open(3000);
  struct ReadCase {
    const char* name;
    std::int64_t offset;
    std::int64_t length;
    ReadStatus status;
  };
  const ReadCase cases[] = {
      {"inside the first window", 100, 50, ReadStatus::Found},
      {"ending on the last byte", 2950, 50, ReadStatus::Found},
      {"one byte past the end", 2951, 50, ReadStatus::End},
      {"starting past the end", 3001, 1, ReadStatus::End},
      {"before the start", -1, 1, ReadStatus::End},
      {"beyond the covered part of a window", 10, 990, ReadStatus::Found},
      {"longer than the window", 500, 2500, ReadStatus::Found},
      {"the whole input", 0, 3000, ReadStatus::Found},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    const InputRead read = read_at(window_, c.offset, c.length);
    EXPECT_EQ(read.status, c.status);
    if (c.status == ReadStatus::Found) {
      ASSERT_EQ(static_cast<std::int64_t>(read.bytes.size()), c.length);
      EXPECT_TRUE(std::equal(read.bytes.begin(), read.bytes.end(), data_.begin() + c.offset));
    } else {
      EXPECT_TRUE(read.bytes.empty());
    }
  }
  EXPECT_FALSE(input_failed(window_));
}

// The window's bytes must be the file's after every reload, also where a reload
// keeps the bytes it held and reads only the rest.
TEST_F(WindowedInput, EveryReadReturnsTheFilesBytesInAnyOrder) {
  constexpr std::int64_t kSize = 20'000;
  open(kSize);
  std::uint32_t state = 7;
  for (int i = 0; i < 2000; ++i) {
    state = state * 1'103'515'245u + 12'345u;
    const std::int64_t length = (state >> 8) % 1200;
    const std::int64_t forward = (state >> 20) % 600;
    // Mostly forward, as the walks read, with a jump back now and then.
    const std::int64_t offset =
        i % 50 == 0 ? (state >> 4) % kSize : (i * 9) % (kSize - 1200) + forward;
    SCOPED_TRACE(testing::Message() << offset << " +" << length);
    const InputRead read = read_at(window_, offset, std::min(length, kSize - offset));
    ASSERT_EQ(read.status, ReadStatus::Found);
    ASSERT_TRUE(std::equal(read.bytes.begin(), read.bytes.end(), data_.begin() + offset));
  }
}

TEST_F(WindowedInput, AFailedReadFailsEveryReadAfterIt) {
  test::ScopedVariable seam("VIDSALVAGE_TEST_FAIL_READ", "3");
  open(5000);
  EXPECT_EQ(read_at(window_, 0, 10).status, ReadStatus::Found);     // read 1
  EXPECT_EQ(read_at(window_, 2000, 10).status, ReadStatus::Found);  // read 2
  EXPECT_FALSE(input_failed(window_));
  EXPECT_EQ(find_pattern(window_, 5000, 3000, Bytes{0x01, 0x02, 0x03}), kNotFound);  // read 3
  EXPECT_TRUE(input_failed(window_));
  // Bytes past the end are still not there; every other read fails, held or not.
  EXPECT_EQ(read_at(window_, 2000, 10).status, ReadStatus::Failed);
  EXPECT_EQ(read_at(window_, 4999, 2).status, ReadStatus::End);
  EXPECT_LT(refill_window(window_, 0), 0);
}

TEST(InputWindow, MapsAFileWhole) {
  TempDir dir;
  const Bytes data = test::pseudo_random_bytes(4096, 1);
  dir.write("input.bin", data);
  InputWindow window;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(open_input(window, dir.path("input.bin").c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(window.is_mapped());
  EXPECT_EQ(held_range(window).first, 0);
  EXPECT_EQ(refill_window(window, 4000), 0);
  const auto bytes = held_bytes(window, 4000, 96);
  ASSERT_EQ(bytes.size(), 96u);
  EXPECT_EQ(bytes[95], data[4095]);
  EXPECT_TRUE(held_bytes(window, 4000, 97).empty());
  release_input(window);
  release_input(window);  // twice is harmless
  EXPECT_EQ(window.size, 0);
}

// Memory through the window moves as a file does: the same searches and reads
// find the same bytes, and a failing read fails it the same way.
TEST(InputWindow, MemoryThroughTheWindowBehavesAsAFile) {
  const Bytes data = test::pseudo_random_bytes(12'000, 4);
  InputWindow memory;
  ASSERT_TRUE(open_memory_input(memory, data, kSmallWindow));
  EXPECT_FALSE(memory.is_mapped());
  const Bytes pattern(data.begin() + 9000, data.begin() + 9003);
  EXPECT_EQ(find_pattern(memory, 12'000, 8500, pattern), 9000);
  EXPECT_LE(held_range(memory).count, 1000);
  const InputRead tail = read_at(memory, 11'000, 1000);
  ASSERT_EQ(tail.status, ReadStatus::Found);
  EXPECT_TRUE(std::equal(tail.bytes.begin(), tail.bytes.end(), data.begin() + 11'000));

  test::ScopedVariable seam("VIDSALVAGE_TEST_FAIL_READ", "1");
  InputWindow failing;
  ASSERT_TRUE(open_memory_input(failing, data, kSmallWindow));
  EXPECT_EQ(read_at(failing, 0, 1).status, ReadStatus::Failed);
  EXPECT_TRUE(input_failed(failing));
}

// Long stretches of a file go through the system's copy (from 64 KiB through the
// window, from 1 MiB when mapped), the rest from the view: every way gives the
// same file.
TEST(InputWindow, CopiesStretchesWholeInEveryAccessMode) {
  TempDir dir;
  const Bytes data = test::pseudo_random_bytes(2'500'000, 5);
  dir.write("mapped.bin", data);
  dir.write("windowed.bin", data);
  InputWindow mapped;
  InputWindow windowed;
  InputWindow memory;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(open_input(mapped, dir.path("mapped.bin").c_str()));
  ASSERT_TRUE(open_input(windowed, dir.path("windowed.bin").c_str(), kSmallWindow));
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(open_memory_input(memory, data, kSmallWindow));
  // Below and at both thresholds of the system copy, and the last byte.
  const std::pair<std::int64_t, std::int64_t> stretches[] = {
      {3, 100},      {1000, 65'535}, {70'000, 65'536}, {140'000, 1'048'575}, {1'200'000, 1'048'576},
      {2'499'999, 1}};
  for (InputWindow* input : {&mapped, &windowed, &memory}) {
    SCOPED_TRACE(input == &mapped ? "mapped" : input == &windowed ? "windowed" : "memory");
    OutputFile out;
    ASSERT_TRUE(out.open(dir.path("out.bin").c_str()));
    Bytes expected;
    for (const auto& [offset, length] : stretches) {
      ASSERT_EQ(copy_to_output(*input, offset, length, out), InputCopy::Done);
      expected.insert(expected.end(), data.begin() + offset, data.begin() + offset + length);
      EXPECT_EQ(out.position(), static_cast<std::int64_t>(expected.size()));
    }
    EXPECT_EQ(copy_to_output(*input, 2'499'999, 2, out), InputCopy::ReadFailed);
    ASSERT_TRUE(out.close());
    EXPECT_EQ(dir.read("out.bin"), expected);
  }
}

// Searches long and short, refills, reads and copies in any order: the window
// (1 MB, larger than what a read loads ahead) answers as the mapped file does.
TEST(InputWindow, WindowedAnswersAsMappedInAnyMixOfCalls) {
  TempDir dir;
  constexpr std::int64_t kSize = 4 * 1024 * 1024;
  const Bytes data = test::pseudo_random_bytes(static_cast<std::size_t>(kSize), 8);
  dir.write("mapped.bin", data);
  dir.write("windowed.bin", data);
  InputWindow mapped;
  InputWindow windowed;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(open_input(mapped, dir.path("mapped.bin").c_str()));
  ASSERT_TRUE(open_input(windowed, dir.path("windowed.bin").c_str(),
                         {.allow_mapping = false, .window_bytes = 1024 * 1024}));
  testing::internal::GetCapturedStdout();
  OutputFile from_mapped;
  OutputFile from_windowed;
  ASSERT_TRUE(from_mapped.open(dir.path("mapped.out").c_str()));
  ASSERT_TRUE(from_windowed.open(dir.path("windowed.out").c_str()));
  std::uint32_t state = 11;
  const auto next = [&state](std::int64_t bound) {
    state = state * 1'103'515'245u + 12'345u;
    return static_cast<std::int64_t>((state >> 4) % static_cast<std::uint32_t>(bound));
  };
  std::int64_t cursor = 0;
  for (int i = 0; i < 400; ++i) {
    cursor = next(8) == 0 ? next(kSize) : std::min(cursor + next(300'000), kSize - 1);
    SCOPED_TRACE(testing::Message() << "call " << i << " at " << cursor);
    switch (next(4)) {
      case 0: {
        const std::int64_t end = std::min(kSize, cursor + 1 + next(2 * 1024 * 1024));
        const std::int64_t from = std::min(cursor + next(400'000), kSize - 3);
        const Bytes pattern(data.begin() + from, data.begin() + from + 3);
        ASSERT_EQ(find_pattern(windowed, end, cursor, pattern),
                  find_pattern(mapped, end, cursor, pattern));
        break;
      }
      case 1:
        ASSERT_GE(refill_window(windowed, cursor), 0);
        break;
      case 2: {
        const std::int64_t length = std::min(next(600'000), kSize - cursor);
        const auto read = read_input(windowed, cursor, length);
        ASSERT_EQ(static_cast<std::int64_t>(read.size()), length);
        ASSERT_TRUE(std::equal(read.begin(), read.end(), data.begin() + cursor));
        break;
      }
      default: {
        const std::int64_t length = std::min(next(400'000), kSize - cursor);
        ASSERT_EQ(copy_to_output(windowed, cursor, length, from_windowed), InputCopy::Done);
        ASSERT_EQ(copy_to_output(mapped, cursor, length, from_mapped), InputCopy::Done);
      }
    }
  }
  ASSERT_TRUE(from_mapped.close());
  ASSERT_TRUE(from_windowed.close());
  EXPECT_EQ(dir.read("windowed.out"), dir.read("mapped.out"));
  EXPECT_FALSE(input_failed(windowed));
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

// An output the run opened is in use as much as the input: a second open of it
// would interleave two streams in one file.
TEST(InputWindow, RefusesAnOutputNamingAFileTheRunHasOpened) {
  TempDir dir;
  dir.write("rec.mp4", {1, 2, 3});
  InputWindow input;
  ASSERT_TRUE(open_input(input, dir.path("rec.mp4").c_str()));
  OutputFile video;
  ASSERT_TRUE(open_output(video, dir.path("video.h264").c_str(), input));
  ASSERT_TRUE(video.write(Bytes{7, 7}));
  std::filesystem::create_hard_link(dir.path("video.h264"), dir.path("hard.h264"));
  const std::string refused[] = {dir.path("video.h264"), dir.path() + "/./video.h264",
                                 dir.path("hard.h264"), dir.path("rec.mp4")};
  for (const std::string& name : refused) {
    SCOPED_TRACE(name);
    OutputFile audio;
    EXPECT_FALSE(open_output(audio, name.c_str(), input));
    EXPECT_FALSE(audio.is_open());
  }
  OutputFile audio;
  EXPECT_TRUE(open_output(audio, dir.path("audio.aac").c_str(), input));
  ASSERT_TRUE(video.close());
  EXPECT_EQ(dir.read("video.h264"), (Bytes{7, 7}));
}

}  // namespace
}  // namespace vidsalvage
