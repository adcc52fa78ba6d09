#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/cli.h"
#include "support/media.h"

namespace vidsalvage::test {
namespace {

const std::string kWindowWarning = "WARNING: Used slow file read method\n";

// What a run left behind: its result and every file of its directory.
struct Outcome {
  CliResult result;
  std::map<std::string, Bytes> files;
};

Outcome run_in(const std::map<std::string, Bytes>& files, const std::vector<std::string>& args,
               bool force_window) {
  TempDir dir;
  for (const auto& [name, bytes] : files) dir.write(name, bytes);
  Outcome outcome;
  outcome.result = run_cli(dir, args, {.force_window = force_window});
  for (const std::string& name : dir.list()) outcome.files[name] = dir.read(name);
  return outcome;
}

// Runs the command on a mapped input and on the window, each in a fresh directory
// holding `files`; expects the same status, output and files from both, the
// window's warning aside, and returns the mapped run.
Outcome run_both(const std::map<std::string, Bytes>& files, const std::vector<std::string>& args) {
  const Outcome mapped = run_in(files, args, false);
  const Outcome windowed = run_in(files, args, true);
  std::string expected = mapped.result.raw_output;
  if (expected.rfind(banner(), 0) == 0) expected.insert(banner().size(), kWindowWarning);
  EXPECT_EQ(windowed.result.status, mapped.result.status);
  EXPECT_EQ(windowed.result.raw_output, expected);
  EXPECT_EQ(windowed.files, mapped.files);
  return mapped;
}

Outcome extract(const Bytes& recording) {
  return run_both({{"rec.mp4", recording}}, {"rec.mp4", "--avcc"});
}

std::string created(const char* name, std::size_t bytes) {
  return "'" + std::string(name) + "' created (" + std::to_string(bytes) + " bytes)\n";
}

const char* const kNoAvcc =
    "Cannot find 'avcC' atom (AVCDecoderConfigurationRecord) in 'rec.mp4'\n"
    "Be sure your file is MP4/MOV with the codec MPEG-4 part 10 (AVC/H.264).\n"
    "This program does not support MPEG-4 part 2 (mp42) codec.\n";
const char* const kNoMp4a =
    "Cannot find 'mp4a' atom in 'rec.mp4'\n"
    "The default settings 48kHz 2 channels will be used for AAC stream during recovering.\n";

// A box of `size` bytes whose body is filled with `fill`.
Bytes sized_box(std::string_view type, std::size_t size, std::uint8_t fill) {
  return box(type, Bytes(size - 8, fill));
}

struct AcceptCase {
  const char* name;
  Bytes recording;
  Bytes avcc;
  Bytes mp4a;
};

std::vector<AcceptCase> accept_cases() {
  const Bytes mp4a_71 = sized_box("mp4a", 71, 0x4A);
  return {
      {"avcC sizes 15 and 1024 are passed over for 16",
       concat({sized_box("avcC", 15, 1), sized_box("avcC", 1024, 2), sized_box("avcC", 16, 3),
               mp4a_71, Bytes(8)}),
       Bytes(8, 3), Bytes(63, 0x4A)},
      {"avcC size 1023 is accepted", concat({sized_box("avcC", 1023, 4), mp4a_71, Bytes(8)}),
       Bytes(1015, 4), Bytes(63, 0x4A)},
      {"mp4a size 70 is passed over for 71, and mp4a before avcC is found",
       concat({sized_box("mp4a", 70, 5), sized_box("mp4a", 71, 6), sized_box("mp4a", 1024, 7),
               sized_box("avcC", 16, 8), Bytes(8)}),
       Bytes(8, 8), Bytes(63, 6)},
      {"mp4a size 1023 is accepted",
       concat({sized_box("avcC", 16, 9), sized_box("mp4a", 1023, 10), Bytes(8)}), Bytes(8, 9),
       Bytes(1015, 10)},
      {"a size with its top bit set is passed over",
       concat({Bytes{0x80, 0, 0, 0x10}, bytes_of("avcC"), Bytes(8, 11), sized_box("avcC", 17, 12),
               mp4a_71, Bytes(8)}),
       Bytes(9, 12), Bytes(63, 0x4A)},
      {"a type code in the first four bytes has no size and is passed over",
       concat(
           {bytes_of("avcCmp4a"), Bytes(56, 0x10), sized_box("avcC", 16, 13), mp4a_71, Bytes(8)}),
       Bytes(8, 13), Bytes(63, 0x4A)},
      {"a body ending exactly at the end of the input is copied",
       concat({sized_box("avcC", 16, 14), Bytes{0, 0, 0, 71}, bytes_of("mp4a"), Bytes(63, 15)}),
       Bytes(8, 14), Bytes(63, 15)},
  };
}

TEST(CliExtractHeaders, WritesTheBodyOfTheFirstAcceptedCandidate) {
  for (const AcceptCase& c : accept_cases()) {
    SCOPED_TRACE(c.name);
    const Outcome o = extract(c.recording);
    EXPECT_EQ(o.result.status, 0);
    EXPECT_EQ(o.result.raw_output,
              banner() + created("avcc.hdr", c.avcc.size()) + created("mp4a.hdr", c.mp4a.size()));
    EXPECT_EQ(o.files.at("avcc.hdr"), c.avcc);
    EXPECT_EQ(o.files.at("mp4a.hdr"), c.mp4a);
  }
}

TEST(CliExtractHeaders, ReportsAMissingBoxAndKeepsWhatWasWritten) {
  Bytes cut_mp4a = concat({sized_box("avcC", 16, 1), Bytes{0, 0, 0, 71}, bytes_of("mp4a")});
  append(cut_mp4a, Bytes(62, 2));  // one byte short of its body
  struct Case {
    const char* name;
    Bytes recording;
    std::string output;
    std::vector<std::string> files;
  };
  const std::vector<Case> cases = {
      {"no avcC at all", concat({sized_box("mp4a", 71, 1), Bytes(8)}), kNoAvcc, {"rec.mp4"}},
      {"an avcC body that runs past the end of the input",
       concat({sized_box("mp4a", 71, 1), Bytes{0, 0, 0, 16}, bytes_of("avcC"), Bytes(7)}),
       kNoAvcc,
       {"rec.mp4"}},
      {"video without audio",
       concat({sized_box("avcC", 16, 1), Bytes(8)}),
       created("avcc.hdr", 8) + kNoMp4a,
       {"avcc.hdr", "rec.mp4"}},
      {"an mp4a body that runs past the end of the input",
       cut_mp4a,
       created("avcc.hdr", 8) + kNoMp4a,
       {"avcc.hdr", "rec.mp4"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome o = extract(c.recording);
    EXPECT_EQ(o.result.status, -1);
    EXPECT_EQ(o.result.raw_output, banner() + c.output);
    std::vector<std::string> names;
    for (const auto& [name, bytes] : o.files) names.push_back(name);
    EXPECT_EQ(names, c.files);
    if (o.files.count("avcc.hdr") != 0) {
      EXPECT_EQ(o.files.at("avcc.hdr"), Bytes(8, 1));
    }
  }
}

TEST(CliExtractHeaders, ReplacesLongerHeaderFilesWhole) {
  const Outcome o =
      run_both({{"rec.mp4", concat({sized_box("avcC", 16, 1), sized_box("mp4a", 71, 2), Bytes(8)})},
                {"avcc.hdr", Bytes(2000, 0xAA)},
                {"mp4a.hdr", Bytes(2000, 0xBB)}},
               {"rec.mp4", "--AVCC", "ignored"});
  EXPECT_EQ(o.result.status, 0);
  EXPECT_EQ(o.files.at("avcc.hdr"), Bytes(8, 1));
  EXPECT_EQ(o.files.at("mp4a.hdr"), Bytes(63, 2));
}

TEST(CliExtractHeaders, NeverEmptiesItsOwnInput) {
  for (const char* name : {"avcc.hdr", "mp4a.hdr"}) {
    SCOPED_TRACE(name);
    const Bytes recording = concat({sized_box("avcC", 16, 1), sized_box("mp4a", 71, 2), Bytes(8)});
    const Outcome o = run_both({{name, recording}}, {name, "--avcc"});
    EXPECT_EQ(o.result.status, -1);
    const std::string avcc_line = std::string(name) == "mp4a.hdr" ? created("avcc.hdr", 8) : "";
    EXPECT_EQ(o.result.raw_output, banner() + avcc_line + "Cannot write '" + name + "'\n");
    EXPECT_EQ(o.files.at(name), recording);
  }
}

TEST(CliExtractHeaders, AFailedWriteIsReportedNotCreated) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full to make writes fail";
  const Bytes recording = concat({sized_box("avcC", 16, 1), sized_box("mp4a", 71, 2), Bytes(8)});
  for (const char* name : {"avcc.hdr", "mp4a.hdr"}) {
    SCOPED_TRACE(name);
    TempDir dir;
    dir.write("rec.mp4", recording);
    ASSERT_EQ(symlink("/dev/full", dir.path(name).c_str()), 0);
    const CliResult r = run_cli(dir, {"rec.mp4", "--avcc"});
    EXPECT_EQ(r.status, -1);
    const std::string avcc_line = std::string(name) == "mp4a.hdr" ? created("avcc.hdr", 8) : "";
    EXPECT_EQ(r.raw_output, banner() + avcc_line + "Cannot write '" + name + "'\n");
  }
}

// Media data with one chunk at 0x10 and one at 0x20, then two stco tables.
Bytes two_tables() {
  Bytes data(0x30, 0xEE);
  const Bytes first = {0, 0, 0, 1, 0x09, 0x10, 0x00};
  const Bytes second = {0xFF, 0xF1, 0x50, 0x80, 0x01, 0x7F, 0xFC};
  std::copy(first.begin(), first.end(), data.begin() + 0x10);
  std::copy(second.begin(), second.end(), data.begin() + 0x20);
  Bytes video = {0, 0, 0, 0, 0, 0, 0, 1};
  append_u32(video, 0x10);
  Bytes audio = {0, 0, 0, 0, 0, 0, 0, 1};
  append_u32(audio, 0x20);
  return concat({data, box("stco", video), box("stco", audio)});
}
const char* const kVideoLine =
    "0x00000010: H264[0x00000001]: 0x09 0x10 0x00, AAC: 0x00 0x00 0x00\n";
const char* const kAudioLine =
    "0x00000020: H264[0xFFF15080]: 0x01 0x7F 0xFC, AAC: 0xFF 0xF1 0x50\n";

TEST(CliChunkOffsets, TheTableNumberArgumentChoosesTheTable) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string output;
  };
  const std::vector<Case> cases = {
      {{"rec.mp4", "--stco"}, 0, kVideoLine},
      {{"rec.mp4", "--STCO", "1", "ignored"}, 0, kVideoLine},
      {{"rec.mp4", "--stco", "2"}, 0, kAudioLine},
      {{"rec.mp4", "--stco", " +2abc"}, 0, kAudioLine},
      {{"rec.mp4", "--stco", "3"}, -1, "Cannot find the atom stco #2.\n"},
      {{"rec.mp4", "--stco", "99999999999999999999"}, -1, "Cannot find the atom stco #2.\n"},
      {{"rec.mp4", "--co64"}, -1, "Cannot find the atom co64 #0.\n"},
      {{"rec.mp4", "--stco", "0"}, -1, ""},
      {{"rec.mp4", "--stco", "-3"}, -1, ""},
      {{"rec.mp4", "--co64", "abc"}, -1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1] + (c.args.size() > 2 ? " " + c.args[2] : ""));
    const Outcome o = run_both({{"rec.mp4", two_tables()}}, c.args);
    EXPECT_EQ(o.result.status, c.status);
    EXPECT_EQ(o.result.raw_output, banner() + c.output);
    EXPECT_EQ(o.files.size(), 1u);
  }
}

// ---- Real recordings made by ffmpeg.

const char* const kSources =
    "-f lavfi -i testsrc2=size=320x240:rate=30 -f lavfi -i sine=frequency=440:sample_rate=48000 "
    "-t 2 -c:v libx264 ";

// The lines a listing of `table` prints, from the file's own entries.
std::string expected_listing(const Bytes& file, const BoxRef& table) {
  std::string lines;
  for (std::uint64_t chunk : chunk_offset_entries(file, table)) {
    const auto b = file.begin() + static_cast<std::ptrdiff_t>(chunk);
    char line[128];
    std::snprintf(line, sizeof line,
                  "0x%08llX: H264[0x%02X%02X%02X%02X]: 0x%02X 0x%02X 0x%02X, AAC: 0x%02X 0x%02X "
                  "0x%02X\n",
                  static_cast<unsigned long long>(chunk), b[0], b[1], b[2], b[3], b[4], b[5], b[6],
                  b[0], b[1], b[2]);
    lines += line;
  }
  return lines;
}

// Lists every table of the kind in the recording and compares each listing with
// the table's entries as the box-tree walk finds them.
void expect_listings(const Bytes& recording, const char* kind) {
  const std::vector<BoxRef> tables = find_boxes(recording, kind);
  ASSERT_EQ(tables.size(), 2u);  // one per track
  for (std::size_t n = 1; n <= tables.size(); ++n) {
    SCOPED_TRACE(std::string(kind) + " #" + std::to_string(n));
    ASSERT_GT(chunk_offset_entries(recording, tables[n - 1]).size(), 1u);
    const Outcome o = run_both({{"rec.mp4", recording}},
                               {"rec.mp4", std::string("--") + kind, std::to_string(n)});
    EXPECT_EQ(o.result.status, 0);
    EXPECT_EQ(o.result.raw_output, banner() + expected_listing(recording, tables[n - 1]));
  }
}

TEST(CliReferenceFiles, Mp4WithAacGivesItsBoxBodiesAndChunkTables) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir, std::string(kSources) + "-c:a aac rec.mp4"));
  const Bytes recording = dir.read("rec.mp4");
  const Outcome o = extract(recording);
  EXPECT_EQ(o.result.status, 0);
  EXPECT_EQ(o.files.at("avcc.hdr"), box_body(recording, "avcC"));
  EXPECT_EQ(o.files.at("mp4a.hdr"), box_body(recording, "mp4a"));
  EXPECT_EQ(o.result.raw_output, banner() + created("avcc.hdr", o.files.at("avcc.hdr").size()) +
                                     created("mp4a.hdr", o.files.at("mp4a.hdr").size()));
  expect_listings(recording, "stco");
}

TEST(CliReferenceFiles, MovWithAacGivesTheSampleEntryNotTheOneInsideIt) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir, std::string(kSources) + "-c:a aac rec.mov"));
  const Bytes recording = dir.read("rec.mov");
  const Outcome o = extract(recording);
  EXPECT_EQ(o.result.status, 0);
  EXPECT_EQ(o.files.at("avcc.hdr"), box_body(recording, "avcC"));
  EXPECT_EQ(o.files.at("mp4a.hdr"), box_body(recording, "mp4a"));
  expect_listings(recording, "stco");
}

TEST(CliReferenceFiles, MovWithPcmGivesTheVideoHeaderOnly) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir, std::string(kSources) + "-c:a pcm_s16le rec.mov"));
  const Bytes recording = dir.read("rec.mov");
  ASSERT_TRUE(find_boxes(recording, "mp4a").empty());
  const Outcome o = extract(recording);
  EXPECT_EQ(o.result.status, -1);
  EXPECT_EQ(o.files.at("avcc.hdr"), box_body(recording, "avcC"));
  EXPECT_EQ(o.files.count("mp4a.hdr"), 0u);
  EXPECT_EQ(o.result.raw_output,
            banner() + created("avcc.hdr", o.files.at("avcc.hdr").size()) + kNoMp4a);
  expect_listings(recording, "stco");
}

TEST(CliReferenceFiles, Co64TablesListLikeTheStcoTablesTheyReplace) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir, std::string(kSources) + "-c:a aac rec.mp4"));
  const Bytes original = dir.read("rec.mp4");
  const Bytes recording = with_co64_tables(original);
  ASSERT_TRUE(find_boxes(recording, "stco").empty());
  ASSERT_EQ(find_boxes(recording, "co64").size(), 2u);
  for (std::size_t n = 0; n < 2; ++n) {
    EXPECT_EQ(chunk_offset_entries(recording, find_boxes(recording, "co64")[n]),
              chunk_offset_entries(original, find_boxes(original, "stco")[n]));
  }
  expect_listings(recording, "co64");
  EXPECT_EQ(expected_listing(recording, find_boxes(recording, "co64")[0]),
            expected_listing(original, find_boxes(original, "stco")[0]));
}

}  // namespace
}  // namespace vidsalvage::test
