#include "recovery/sample_walk.h"

#include <gtest/gtest.h>

#include "support/cli.h"
#include "walk_harness.h"

namespace vidsalvage {
namespace {
using test::append;
using test::append_u32;
using test::Bytes;
using test::concat;
using test::run_walk;
using test::unit;
using test::WalkSetup;

const Bytes kAud = unit({0x09, 0x10});  // an access unit delimiter: the default signature

struct LocateCase {
  const char* name;
  Bytes input;
  RecorderKind recorder;
  std::int64_t expected;
  const char* messages;  // after the "Searching" line
};

Bytes with_word_at(std::size_t offset, std::size_t size) {
  Bytes b(size, 0);
  b[offset + 3] = 1;
  return b;
}

TEST(LocateMediaData, FindsMdatOrTheFirstNonZeroWord) {
  const Bytes mp4 = concat(
      {test::box("ftyp", Bytes(24, 1)), Bytes{0, 0, 1, 0}, test::bytes_of("mdat"), Bytes(64, 0)});
  const char* const kNotFoundLine = "Cannot find 'mdat' atom in first 64MB of 'input.bin'\n";
  const LocateCase cases[] = {
      {"mdat at 36", mp4, RecorderKind::Ambarella, 40, ""},
      {"android skips 8", mp4, RecorderKind::Android, 48, ""},
      {"word at 0", with_word_at(0, 64), RecorderKind::Ambarella, 4,
       "WARNING: Assuming the location of 'mdat' atom is 0x0\n"},
      {"word at 4", with_word_at(4, 64), RecorderKind::Ambarella, 8,
       "WARNING: Assuming the location of 'mdat' atom is 0x4\n"},
      {"word at 8", with_word_at(8, 64), RecorderKind::Ambarella, 8,
       "WARNING: Assuming the location of 'mdat' atom is 0x8\n"},
      {"android after a word at 8", with_word_at(8, 64), RecorderKind::Android, 16,
       "WARNING: Assuming the location of 'mdat' atom is 0x8\n"},
      {"word at 0 of 5 bytes", with_word_at(0, 5), RecorderKind::Ambarella, 4,
       "WARNING: Assuming the location of 'mdat' atom is 0x0\n"},
      {"last word ends at the end", with_word_at(60, 64), RecorderKind::Ambarella, kNotFound,
       "FATAL ERROR: File 'input.bin' is empty!\n"},
      {"4 bytes", Bytes{1, 2, 3, 4}, RecorderKind::Ambarella, kNotFound,
       "FATAL ERROR: File 'input.bin' is empty!\n"},
      {"all zero", Bytes(1000, 0), RecorderKind::Ambarella, kNotFound,
       "FATAL ERROR: File 'input.bin' is empty!\n"},
  };
  for (const LocateCase& c : cases) {
    for (bool windowed : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (windowed ? ", windowed" : ", mapped"));
      test::OpenInput in(c.input, windowed);
      testing::internal::CaptureStdout();
      EXPECT_EQ(locate_media_data(in.input, "input.bin", recorder_profile(c.recorder)), c.expected);
      const std::string messages = c.expected == 40 || c.expected == 48
                                       ? c.messages
                                       : std::string(kNotFoundLine) + c.messages;
      EXPECT_EQ(testing::internal::GetCapturedStdout(),
                "Searching 'mdat' atom in 'input.bin'...\n" + messages);
    }
  }
}

TEST(LocateMediaData, LooksForMdatOnlyInTheFirst64MB) {
  Bytes input(64 * 1024 * 1024 + 16, 0);
  input[3] = 0x20;
  const std::size_t last_found = 64 * 1024 * 1024 - 5;  // its match ends before the limit
  std::copy_n("mdat", 4, input.begin() + static_cast<long>(last_found));
  {
    test::OpenInput in(input, false);
    testing::internal::CaptureStdout();
    EXPECT_EQ(locate_media_data(in.input, "x", recorder_profile(RecorderKind::Ambarella)),
              static_cast<std::int64_t>(last_found) + 4);
    testing::internal::GetCapturedStdout();
  }
  std::copy_n("\0mdat", 5, input.begin() + static_cast<long>(last_found));
  test::OpenInput in(input, false);
  testing::internal::CaptureStdout();
  EXPECT_EQ(locate_media_data(in.input, "x", recorder_profile(RecorderKind::Ambarella)), 4);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Cannot find 'mdat'"), std::string::npos);
}

struct LengthCase {
  std::uint32_t length;
  bool written;
};

TEST(WalkSamples, TakesLengthsFromTwoToTheMaximum) {
  const LengthCase cases[] = {
      {0, false}, {1, false}, {2, true}, {15'349'759, true}, {15'349'760, false}};
  for (const LengthCase& c : cases) {
    SCOPED_TRACE(c.length);
    Bytes input = kAud;
    append_u32(input, c.length);
    input.resize(input.size() + 15'349'760 + 16, 0x5A);
    const auto run = run_walk(input, 0);
    const std::size_t expected = 6 + (c.written ? 4 + c.length : 0);
    EXPECT_EQ(run.video.size(), expected);
  }
}

TEST(WalkSamples, WritesAUnitEndingAtTheEndButNotOneRunningPastIt) {
  const Bytes body = concat({Bytes(10, 0x33), kAud, Bytes(10, 0x44)});
  const Bytes fits = concat({kAud, unit(body)});
  auto run = run_walk(fits, 0);
  EXPECT_EQ(run.video, concat({Bytes{0, 0, 0, 1, 0x09, 0x10, 0, 0, 0, 1}, body}));

  // One byte short: the unit is not written, and no search finds the AUD inside it.
  const Bytes short_by_one(fits.begin(), fits.end() - 1);
  run = run_walk(short_by_one, 0);
  EXPECT_EQ(run.video, (Bytes{0, 0, 0, 1, 0x09, 0x10}));
  EXPECT_EQ(test::terminal_view(run.output), "H264: 0x00000000 [0x       6] -> [0x       0]\n");
}

TEST(WalkSamples, TraceLineGivesOffsetSizeAndOutputPosition) {
  Bytes input(0x2C - 6, 0);
  append(input, kAud);  // the walk starts here, at 0x26
  append(input, unit(Bytes(9, 0x77)));
  append(input, Bytes(20, 0));
  WalkSetup setup;
  const auto run = run_walk(input, 0x26, setup);
  // Both units are written; the second lands at output position 6.
  EXPECT_NE(run.output.find("H264: 0x0000002C [0x       D] -> [0x       6]\n"), std::string::npos)
      << run.output;
}

TEST(WalkSamples, PrintsProgressOnlyWhenThePermilleChanges) {
  Bytes input(20000, 0);
  for (std::size_t at = 14; at < 14 + 8 * 6; at += 6) {
    std::copy(kAud.begin(), kAud.end(), input.begin() + static_cast<long>(at));
  }
  const auto run = run_walk(input, 14);
  // Cursors 14 (0 per mille), 20, 26, 32, 38 (1), 44, 50, 56 (2), 62 (3).
  // Only the progress lines end with a carriage return.
  std::string progress;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < run.output.size(); ++i) {
    if (run.output[i] == '\r') progress += run.output.substr(line_start, i + 1 - line_start);
    if (run.output[i] == '\r' || run.output[i] == '\n') line_start = i + 1;
  }
  EXPECT_EQ(progress, "  0.1%\r  0.2%\r  0.3%\r");
}

TEST(WalkSamples, DefaultProfileTestsTheSignatureOnlyAtTheStart) {
  const Bytes sei = unit({0x06, 0x05, 0x11});
  const Bytes slice = unit(Bytes(40, 0x65));
  WalkSetup setup;
  setup.audio_file = false;  // the SEI is passed over silently
  const auto run = run_walk(concat({sei, kAud, slice, Bytes(12, 0)}), 0, setup);
  EXPECT_EQ(test::terminal_view(run.output),
            "H264: 0x00000007 [0x       6] -> [0x       0]\n"
            "H264: 0x0000000D [0x      2C] -> [0x       6]\n");
}

TEST(WalkSamples, ListProfileMovesBackToAHeadInsideTheRejectedLengthField) {
  // The rejected unit at 8 reads 00 06 41 9A: a Samsung head at 10 whose length
  // field starts at 6, two bytes before the cursor.
  const Bytes input = concat({unit({0x65, 0x88, 0x00, 0x00}), Bytes{0x00, 0x06, 0x41, 0x9A},
                              Bytes{0x01, 0x02, 0x03, 0x04}, Bytes(12, 0)});
  WalkSetup setup;
  setup.recorder = RecorderKind::Samsung;
  const auto run = run_walk(input, 0, setup);
  EXPECT_EQ(test::terminal_view(run.output),
            "H264: 0x00000000 [0x       8] -> [0x       0]\n"
            "H264: 0x00000006 [0x       A] -> [0x       8]\n");
  EXPECT_EQ(run.video, (Bytes{0, 0, 0, 1, 0x65, 0x88, 0, 0, 0, 0, 0, 1, 0x41, 0x9A, 1, 2, 3, 4}));
}

}  // namespace
}  // namespace vidsalvage
