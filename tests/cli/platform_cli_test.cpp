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

// version 1, profile 64, level 1F, 4-byte lengths, no SPS, no PPS: a record
// whose prologue writes nothing.
const Bytes kEmptyAvcRecord = {0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE0, 0x00};

// Standard output stays in text mode, as a console program's does: on Windows
// each "\n" arrives as CR LF and the progress line's lone CR stays as it is.
// Output files are binary: a line-end byte in a video unit stays one byte.
TEST(CliPlatform, TextOnStandardOutputBinaryInFiles) {
  const Bytes slice = {0x65, 0x88, 0x0A, 0x0D, 0x0A, 0x1A, 0x0D, 0x0A, 0x0A};
  const Bytes access_unit = concat({length_prefixed({0x09, 0x10}), length_prefixed(slice)});
  TempDir dir;
  dir.write("rec.mp4", concat({box("ftyp", bytes_of("isom")), Bytes{0, 0, 0, 1}, bytes_of("mdat"),
                               access_unit, access_unit, Bytes(12, 0)}));
  dir.write("avcc.hdr", kEmptyAvcRecord);
  const CliResult r = run_cli(dir, {"rec.mp4", "out.h264", "--aac"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.native_output, runs_windows_build() ? with_crlf(r.raw_output) : r.raw_output);
  EXPECT_NE(r.raw_output.find("%\r"), std::string::npos) << "no progress line";
  EXPECT_EQ(r.raw_output.find("\r\n"), std::string::npos);

  const Bytes start_code = {0x00, 0x00, 0x00, 0x01};
  const Bytes annex_b = concat({start_code, Bytes{0x09, 0x10}, start_code, slice});
  EXPECT_EQ(dir.read("out.h264"), concat({annex_b, annex_b}));
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
