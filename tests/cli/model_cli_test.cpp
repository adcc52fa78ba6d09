#include <gtest/gtest.h>

#include "support/camera_layout.h"
#include "support/cli.h"
#include "support/media.h"

namespace vidsalvage::test {
namespace {

TEST(CliLearnModel, Scratch) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir,
                         "-f lavfi -i testsrc2=size=320x240:rate=30 -f lavfi "
                         "-i sine=frequency=440:sample_rate=48000 -t 2 -c:v libx264 -c:a aac -ac 2 src.mp4"));
  const CameraRecording rec = build_camera_recording(dir.read("src.mp4"));
  dir.write("cam.mp4", rec.file);
  system(("cp " + dir.path("cam.mp4") + " /tmp/mw/cam.mp4").c_str());
  const CliResult r = run_cli(dir, {"cam.mp4", "--model"});
  std::printf("%s", r.output.c_str());
  const Bytes model = dir.read("reference.model");
  std::printf("%s", std::string(model.begin(), model.end()).c_str());
}

}  // namespace
}  // namespace vidsalvage::test
