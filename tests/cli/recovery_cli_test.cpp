#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/bytes.h"
#include "support/cli.h"
#include "support/temp_dir.h"

namespace vidsalvage::test {
namespace {

// version 1, profile 64, level 1F, 4-byte lengths, no SPS, no PPS: a record
// whose prologue writes nothing.
const Bytes kEmptyAvcRecord = {0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE0, 0x00};
const Bytes kStartCode = {0x00, 0x00, 0x00, 0x01};

// A damaged recording: ftyp, an mdat header, then access units (a delimiter and
// slices of random bytes) between stretches of AAC frames; the frames start with
// 21 1B 8E, which the default and the Samsung lists both hold, and carry no byte
// below 0x80, so no video pattern can be found inside them.
struct Recording {
  Bytes file;
  Bytes all_units;    // every unit, Annex B
  Bytes slices_only;  // the slices, Annex B
};

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : x_(seed) {}
  std::uint32_t next(std::uint32_t bound) {
    x_ ^= x_ << 13;
    x_ ^= x_ >> 17;
    x_ ^= x_ << 5;
    return x_ % bound;
  }

 private:
  std::uint32_t x_;
};

void add_unit(Recording& r, const Bytes& body, bool slice) {
  append(r.file, length_prefixed(body));
  append(r.all_units, kStartCode);
  append(r.all_units, body);
  if (slice) {
    append(r.slices_only, kStartCode);
    append(r.slices_only, body);
  }
}

void add_audio(Recording& r, Generator& g, std::size_t bytes) {
  const std::size_t end = r.file.size() + bytes;
  while (r.file.size() < end) {
    append(r.file, Bytes{0x21, 0x1B, 0x8E});
    for (std::uint32_t n = 200 + g.next(600); n > 0; --n) {
      r.file.push_back(static_cast<std::uint8_t>(0x80 + g.next(0x80)));
    }
  }
}

// Slices of `largest` bytes at most (the first of an access unit below 1 MB),
// audio stretches of up to 900 KB.
Recording make_recording(std::size_t size, std::size_t largest, std::uint32_t seed) {
  Generator g(seed);
  Recording r;
  r.file = box("ftyp", bytes_of("isom\0\0\0\0isomavc1"));
  append(r.file, Bytes{0x00, 0x00, 0x00, 0x01});
  append(r.file, "mdat");
  while (r.file.size() < size) {
    add_unit(r, {0x09, 0x10}, false);
    for (std::uint32_t slice = 0, slices = 1 + g.next(3); slice < slices; ++slice) {
      Bytes body = {g.next(2) == 0 ? std::uint8_t{0x65} : std::uint8_t{0x41},
                    g.next(2) == 0 ? std::uint8_t{0x88} : std::uint8_t{0x9A}};
      if (body[0] == 0x65) body[1] = 0x88;
      // The search after audio takes a list profile's unit only below 1 MiB.
      const std::size_t bound = slice == 0 ? std::min<std::size_t>(largest, 1000 * 1000) : largest;
      append(body, pseudo_random_bytes(16 + g.next(static_cast<std::uint32_t>(bound)),
                                       g.next(1u << 30) + 1));
      add_unit(r, body, true);
    }
    add_audio(r, g, 1 + g.next(900 * 1024));
  }
  return r;
}

// The video output after its prologue, which the parameter sets open.
Bytes video_units(const Bytes& video, const Bytes& expected) {
  if (video.size() < expected.size()) return video;
  return Bytes(video.end() - static_cast<long>(expected.size()), video.end());
}

TEST(CliRecovery, RecoversEveryVideoUnitBetweenAudioStretches) {
  TempDir dir;
  const Recording r = make_recording(3 * 1024 * 1024, 64 * 1024, 1);
  dir.write("rec.mp4", r.file);
  dir.write("avcc.hdr", kEmptyAvcRecord);
  const struct {
    const char* recorder;
    const Bytes& expected;
  } cases[] = {{"--default", r.all_units}, {"--samsung", r.slices_only}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.recorder);
    const CliResult run = run_cli(dir, {"rec.mp4", "out.h264", "--aac", c.recorder});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(video_units(dir.read("out.h264"), c.expected), c.expected);
    EXPECT_NE(run.output.find("'out.h264' created, size "), std::string::npos) << run.output;
  }
}

// Above 64 MB the window reloads inside units of up to 14 MB and inside searches
// through audio stretches of up to 900 KB; the outputs must not change.
TEST(CliRecovery, WindowedRunWritesWhatTheMappedRunWrites) {
  TempDir dir;
  const Recording r = make_recording(80 * 1024 * 1024, 14 * 1024 * 1024, 2);
  dir.write("rec.mp4", r.file);
  dir.write("avcc.hdr", kEmptyAvcRecord);
  // "--default" names no recorder: the Ambarella profile stands.
  for (const char* recorder : {"--default", "--samsung"}) {
    SCOPED_TRACE(recorder);
    const CliResult mapped = run_cli(dir, {"rec.mp4", "mapped.h264", "mapped.aac", recorder});
    const CliResult windowed = run_cli(dir, {"rec.mp4", "windowed.h264", "windowed.aac", recorder},
                                       {.force_window = true});
    EXPECT_EQ(mapped.status, 0);
    EXPECT_EQ(windowed.status, 0);
    std::string expected = mapped.raw_output.substr(banner().size());
    for (std::size_t at = 0; (at = expected.find("mapped.", at)) != std::string::npos;) {
      expected.replace(at, 6, "windowed");
    }
    EXPECT_TRUE(windowed.raw_output.substr(banner().size()) ==
                "WARNING: Used slow file read method\n" + expected);
    EXPECT_TRUE(dir.read("mapped.h264") == dir.read("windowed.h264"));
    EXPECT_TRUE(dir.read("mapped.aac") == dir.read("windowed.aac"));
    const Bytes& units = std::string(recorder) == "--samsung" ? r.slices_only : r.all_units;
    EXPECT_TRUE(video_units(dir.read("windowed.h264"), units) == units);
  }
}

// An access unit, 1,000 bytes of PCM-like audio, and another access unit. The
// slice length 0x12345 keeps the delimiter in front of it from reading like PCM.
Bytes pcm_recording() {
  const Bytes slice = concat({Bytes{0x65, 0x88}, Bytes(0x12345 - 2, 0x3C)});
  const Bytes access_unit = concat({length_prefixed({0x09, 0x10}), length_prefixed(slice)});
  return concat({box("ftyp", bytes_of("isom")), Bytes{0, 0, 0, 1}, bytes_of("mdat"), access_unit,
                 Bytes(1000, 0x7F), access_unit, Bytes(12, 0)});
}

TEST(CliRecovery, WavOutputHoldsEachGapBehindAPatchedHeader) {
  TempDir dir;
  dir.write("rec.mp4", pcm_recording());
  dir.write("avcc.hdr", kEmptyAvcRecord);
  const CliResult run = run_cli(dir, {"rec.mp4", "out.h264", "a.wav"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.output.find(" PCM: 0x00012363 [0x     3E8] -> [0x      2C]\n"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("'a.wav' created, size 1044 (0%)\n"), std::string::npos);
  const Bytes wav = dir.read("a.wav");
  ASSERT_EQ(wav.size(), 1044u);
  EXPECT_EQ(Bytes(wav.begin(), wav.begin() + 8), (Bytes{'R', 'I', 'F', 'F', 0x0C, 0x04, 0, 0}));
  EXPECT_EQ(Bytes(wav.begin() + 36, wav.begin() + 44),
            (Bytes{'d', 'a', 't', 'a', 0xE8, 0x03, 0, 0}));
  EXPECT_EQ(Bytes(wav.begin() + 44, wav.end()), Bytes(1000, 0x7F));

  // PCM without a file: the gap is passed over without a line.
  const CliResult silent = run_cli(dir, {"rec.mp4", "out2.h264", "--pcm"});
  EXPECT_EQ(silent.status, 0);
  EXPECT_EQ(silent.output.find("PCM: "), std::string::npos);
  EXPECT_EQ(dir.read("out2.h264"), dir.read("out.h264"));
}

// A full disk must not pass for a finished salvage: the run stops and fails.
TEST(CliRecovery, FailsWhenAnOutputCannotBeWritten) {
  TempDir dir;
  dir.write("small.mp4", pcm_recording());
  dir.write("large.mp4", make_recording(4 * 1024 * 1024, 64 * 1024, 3).file);
  dir.write("avcc.hdr", kEmptyAvcRecord);
  const std::vector<std::string> command_lines[] = {
      {"large.mp4", "/dev/full"},           // fails during the walk
      {"small.mp4", "/dev/full", "a.aac"},  // fails when the output is closed
      {"large.mp4", "out.h264", "/dev/full"},
      {"small.mp4", "out.h264", "/dev/full"},  // the WAV header
  };
  for (const auto& args : command_lines) {
    SCOPED_TRACE(args[0] + " " + args[1] + " " + args.back());
    const CliResult run = run_cli(dir, args);
    EXPECT_EQ(run.status, -1);
    const std::string last_line = "Cannot write '/dev/full'\n";
    ASSERT_GE(run.output.size(), last_line.size());
    EXPECT_EQ(run.output.substr(run.output.size() - last_line.size()), last_line) << run.output;
    EXPECT_EQ(run.output.find("'/dev/full' created"), std::string::npos);
  }
}

}  // namespace
}  // namespace vidsalvage::test
