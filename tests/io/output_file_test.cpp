#include <gtest/gtest.h>

#include "io/output_file.h"
#include "support/bytes.h"
#include "support/temp_dir.h"

namespace vidsalvage {
namespace {
using test::Bytes;
using test::TempDir;

TEST(OutputFile, BufferedWritesReachTheFileInOrder) {
  TempDir dir;
  const Bytes source = test::pseudo_random_bytes(6 * 1024 * 1024, 9);
  // Small units, units that just fit and overflow the buffer, and units larger than it.
  const std::size_t sizes[] = {4, 1, 13, 1024 * 1024 - 18, 1, 3 * 1024 * 1024, 7, 1024 * 1024, 0, 2};
  OutputFile file;
  ASSERT_TRUE(file.open(dir.path("out.bin").c_str()));
  std::size_t offset = 0;
  for (std::size_t size : sizes) {
    ASSERT_TRUE(file.write({source.data() + offset, size}));
    offset += size;
    EXPECT_EQ(file.position(), static_cast<std::int64_t>(offset));
  }
  ASSERT_TRUE(file.close());
  EXPECT_EQ(dir.read("out.bin"), Bytes(source.begin(), source.begin() + static_cast<long>(offset)));
}

TEST(OutputFile, WriteAtPatchesEarlierBytesAndKeepsTheEnd) {
  TempDir dir;
  OutputFile file;
  ASSERT_TRUE(file.open(dir.path("out.bin").c_str()));
  ASSERT_TRUE(file.write(Bytes{1, 2, 3, 4, 5, 6}));
  ASSERT_TRUE(file.write_at(1, Bytes{9, 9}));
  ASSERT_TRUE(file.write(Bytes{7}));
  EXPECT_EQ(file.position(), 7);
  ASSERT_TRUE(file.close());
  EXPECT_EQ(dir.read("out.bin"), (Bytes{1, 9, 9, 4, 5, 6, 7}));
}

TEST(OutputFile, EmptiesAnExistingLongerFile) {
  TempDir dir;
  dir.write("out.bin", Bytes(100, 0xEE));
  OutputFile file;
  ASSERT_TRUE(file.open(dir.path("out.bin").c_str()));
  ASSERT_TRUE(file.write(Bytes{1, 2}));
  ASSERT_TRUE(file.close());
  EXPECT_EQ(dir.read("out.bin"), (Bytes{1, 2}));
}

// /dev/full also serves the Windows build under Wine: the tests run in the build
// tree, on Wine's drive Z: that holds the whole Linux file tree.
TEST(OutputFile, ReportsAFullDevice) {
  OutputFile file;
  ASSERT_TRUE(file.open("/dev/full"));
  const Bytes unit(64, 0x42);
  bool all_written = true;
  // The failure shows at the latest when the buffer goes out, and at close.
  for (int i = 0; i < 40000 && all_written; ++i) all_written = file.write(unit);
  EXPECT_FALSE(all_written);
  EXPECT_FALSE(file.write(unit));
  EXPECT_FALSE(file.close());
}

TEST(OutputFile, ReportsAFailureAtCloseForASmallWrite) {
  OutputFile file;
  ASSERT_TRUE(file.open("/dev/full"));
  EXPECT_TRUE(file.write(Bytes{1}));
  EXPECT_FALSE(file.close());
}

}  // namespace
}  // namespace vidsalvage
