#include <gtest/gtest.h>

#include "support/media.h"

namespace vidsalvage::test {
namespace {

// The box walk that other tests take as their independent reference.
TEST(MediaSupport, FindsTheBoxesOfAnFfmpegRecording) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir,
                         "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi "
                         "-i sine=frequency=440:sample_rate=48000 -t 1 -c:v libx264 -c:a aac rec.mp4"));
  const Bytes file = dir.read("rec.mp4");
  const auto avcc = box_body(file, "avcC");
  ASSERT_TRUE(avcc.has_value());
  EXPECT_EQ((*avcc)[0], 1);  // configurationVersion
  const auto mp4a = find_boxes(file, "mp4a");
  ASSERT_EQ(mp4a.size(), 1u);
  EXPECT_EQ(find_boxes(file, "esds").size(), 1u);
  EXPECT_EQ(find_boxes(file, "stco").size(), 2u);
  EXPECT_EQ(find_boxes(file, "mdat").size(), 1u);
}

}  // namespace
}  // namespace vidsalvage::test
