#include "io/output_file.h"

#include <gtest/gtest.h>

#include "support/target.h"
#if !VIDSALVAGE_TEST_ON_WINDOWS
#include <sys/stat.h>
#endif
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

#if !VIDSALVAGE_TEST_ON_WINDOWS
// A salvaged video is the user's like any file they make: readable by whom the
// umask allows, not by its owner alone.
TEST(OutputFile, IsCreatedReadableAsTheUmaskAllows) {
  const struct {
    mode_t umask_bits;
    mode_t expected;
  } cases[] = {{022, 0644}, {077, 0600}, {0, 0666}, {002, 0664}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::oct << c.umask_bits);
    TempDir dir;
    const mode_t before = umask(c.umask_bits);
    OutputFile file;
    const bool opened = file.open(dir.path("out.bin").c_str());
    umask(before);
    ASSERT_TRUE(opened);
    ASSERT_TRUE(file.close());
    struct stat st;
    ASSERT_EQ(stat(dir.path("out.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.expected);
  }
}
#endif

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
