#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "support/bytes.h"
#include "support/cli.h"
#include "support/media.h"

namespace vidsalvage::test {
namespace {

std::string with_crlf(const std::string& text) {
  std::string converted;
  for (char c : text) {
    if (c == '\n') converted += '\r';
    converted += c;
  }
  return converted;
}

// Standard output stays in text mode, as a console program's does.
TEST(CliPlatform, StandardOutputEndsLinesAsThePlatformDoes) {
  TempDir dir;
  const CliResult r = run_cli(dir, {});
  const std::string text = banner() + "This utility can recover H.264/AVC stream";
  const std::string expected = runs_windows_build() ? with_crlf(text) : text;
  EXPECT_EQ(r.native_output.substr(0, expected.size()), expected);
}

TEST(CliPlatform, EmptyInputIsReadThroughTheWindow) {
  TempDir dir;
  dir.write("empty.mp4", {});
  const CliResult r = run_cli(dir, {"empty.mp4", "--avcc"});
  // The system refuses to map an empty file: Windows with ERROR_FILE_INVALID.
  const int error = runs_windows_build() ? 1006 : EINVAL;
  const std::string expected = banner() + "Cannot map file 'empty.mp4', CreateFileMapping error " +
                               std::to_string(error) + "\nWARNING: Used slow file read method\n";
  EXPECT_EQ(r.raw_output.substr(0, expected.size()), expected);
}

// A 64-bit process maps any real file whole, so the failed view is forced; the
// run then goes on exactly as one that was sent through the window.
TEST(CliPlatform, FailedViewRunsAsTheWindowDoes) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  TempDir windowed;
  TempDir failed_view;
  for (const TempDir* dir : {&windowed, &failed_view}) {
    ASSERT_TRUE(run_ffmpeg(*dir,
                           "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi "
                           "-i sine=frequency=440:sample_rate=48000 -t 1 -c:v libx264 "
                           "-c:a aac rec.mp4"));
  }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"rec.mp4", "--avcc"}, {"rec.mp4", "out.h264", "out.aac"}}) {
    SCOPED_TRACE(args[1]);
    const CliResult expected = run_cli(windowed, args, {.force_window = true});
    const CliResult r = run_cli(failed_view, args, {.map_view_error = 8});
    EXPECT_EQ(r.status, expected.status);
    const std::string note = "Cannot map file 'rec.mp4', MapViewOfFile error 8\n";
    EXPECT_EQ(r.raw_output, banner() + note + expected.raw_output.substr(banner().size()));
  }
  ASSERT_EQ(failed_view.list(), windowed.list());
  for (const std::string& name : windowed.list()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(failed_view.read(name), windowed.read(name));
  }
}

}  // namespace
}  // namespace vidsalvage::test
