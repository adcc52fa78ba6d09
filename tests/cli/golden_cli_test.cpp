// Every mode on one small recording made in code, compared byte for byte with
// the standard output and the files stored in tests/data/golden. A change of any
// mode's output shows here; where the change is meant, rewrite the expectations:
//   VIDSALVAGE_REGENERATE_GOLDEN=1 build/tests/vidsalvage_cli_tests --gtest_filter='CliGolden*'
// and review the difference with git diff.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/camera_bytes.h"
#include "support/cli.h"
#include "support/media.h"
#include "support/movie_boxes.h"
#include "support/tracks.h"

namespace vidsalvage::test {
namespace {

constexpr const char* kRegenerateVariable = "VIDSALVAGE_REGENERATE_GOLDEN";

TrackLayout golden_track_layout(std::uint32_t track) {
  TrackLayout layout;
  layout.id = track;
  if (track == 1) {
    layout.entry_fields = visual_entry_fields();
    layout.entry_children = box("avcC", camera_avcc());
  } else if (track == 2) {
    layout.handler = "soun";
    layout.entry = "mp4a";
    layout.entry_fields = sound_entry_fields(2, 16, 48000);
    layout.entry_children = aac_esds_box({0x11, 0x90});
    layout.co64 = true;  // so that --co64 has a table to list
  } else {
    layout.handler = "meta";
    layout.entry = "camd";
  }
  return layout;
}

// A small camera: groups of pictures of an IDR and P and B slices behind
// delimiters, AAC frames between them, a descriptor in front of every sample.
Bytes golden_recording() {
  RecordingBuilder b;
  std::uint8_t sequence = 0;
  const auto add = [&](std::uint32_t track, const Bytes& sample) {
    b.add(3, descriptor(static_cast<std::uint8_t>(track), sample.size(), sequence++));
    b.add(track, sample);
  };
  for (std::size_t gop = 0; gop < 6; ++gop) {
    add(1, concat({delimiter(), idr_slice(900 + gop)}));
    add(2, aac_frame(200 + gop));
    add(1, concat({delimiter(), p_slice(300 + gop)}));
    add(1, concat({delimiter(), b_slice(120)}));
    add(2, aac_frame(210, 0x67));
    add(1, concat({delimiter(), p_slice(250)}));
  }
  return b.finish(golden_track_layout);
}

struct GoldenStep {
  const char* name;  // names the stored files: <name>.stdout, <name>.<output>
  std::vector<std::string> args;
  std::vector<std::string> outputs;  // files the step writes in the directory
  int status;
};

// In order: the recovery reads the headers that --avcc writes, the model
// recovery the model that --model writes.
const GoldenStep kSteps[] = {
    {"avcc", {"intact.mp4", "--avcc"}, {"avcc.hdr", "mp4a.hdr"}, 0},
    {"stco", {"intact.mp4", "--stco"}, {}, 0},
    {"co64", {"intact.mp4", "--co64"}, {}, 0},
    {"recovery", {"damaged.mp4", "video.h264", "audio.aac"}, {"video.h264", "audio.aac"}, 0},
    {"learning", {"intact.mp4", "--model"}, {"reference.model"}, 0},
    {"model-recovery",
     {"damaged.mp4", "model.h264", "model.aac", "--model"},
     {"model.h264", "model.aac"},
     0},
    // The playable file: the Windows build must write it byte for byte as well.
    {"movie-recovery", {"damaged.mp4", "model.mp4", "--model"}, {"model.mp4"}, 0},
};

std::string golden_path(const std::string& name) {
  return std::string(VIDSALVAGE_TEST_DATA_DIR) + "/golden/" + name;
}

Bytes read_golden(const std::string& name) {
  const std::filesystem::path path = golden_path(name);
  if (!std::filesystem::exists(path)) return bytes_of("(missing " + name + ")");
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_golden(const std::string& name, const Bytes& bytes) {
  std::ofstream out(golden_path(name), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::string text_of(const Bytes& b) { return std::string(b.begin(), b.end()); }

// The window adds its warning after the banner and changes nothing else.
std::string without_window_warning(std::string output) {
  const std::string warning = "WARNING: Used slow file read method\n";
  if (const std::size_t at = output.find(warning); at != std::string::npos) {
    output.erase(at, warning.size());
  }
  return output;
}

// A window of 4 KB reloaded after 2 KB: the recording crosses several reloads,
// and a box body of up to 1023 bytes after a match stays in the window.
constexpr int kSmallWindowBytes = 4096;

TEST(CliGolden, EveryModeWritesWhatItWroteBefore) {
  const bool regenerate = std::getenv(kRegenerateVariable) != nullptr;
  const Bytes intact = golden_recording();
  for (const bool windowed : {false, true}) {
    SCOPED_TRACE(windowed ? "windowed" : "mapped");
    TempDir dir;
    dir.write("intact.mp4", intact);
    dir.write("damaged.mp4", cut_moov(intact));
    for (const GoldenStep& step : kSteps) {
      SCOPED_TRACE(step.name);
      const CliResult r =
          run_cli(dir, step.args,
                  {.force_window = windowed, .window_bytes = windowed ? kSmallWindowBytes : 0});
      EXPECT_EQ(r.status, step.status) << r.output;
      const std::string name = step.name;
      const std::string output = without_window_warning(r.raw_output);
      if (regenerate && !windowed) {
        write_golden(name + ".stdout", bytes_of(output));
        for (const std::string& file : step.outputs) {
          write_golden(name + "." + file, dir.read(file));
        }
        continue;
      }
      EXPECT_EQ(output, text_of(read_golden(name + ".stdout")));
      for (const std::string& file : step.outputs) {
        SCOPED_TRACE(file);
        ASSERT_TRUE(dir.exists(file));
        EXPECT_EQ(dir.read(file), read_golden(name + "." + file));
      }
    }
  }
}

// Names outside any one ANSI code page reach the files they name (on Windows
// through the manifest's UTF-8 code page).
TEST(CliGolden, NamesInAnyScriptAreFilesLikeOthers) {
  const std::string reference = "r\u00e9f-\u65e5\u672c.mp4";
  const std::string input = "vid\u00e9o-\u65e5\u672c.mp4";
  const std::string video = "vid\u00e9o-\u65e5\u672c.h264";
  TempDir dir;
  dir.write(reference, golden_recording());
  dir.write(input, cut_moov(golden_recording()));
  ASSERT_EQ(run_cli(dir, {reference, "--avcc"}).status, 0);
  const CliResult r = run_cli(dir, {input, video});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Searching 'mdat' atom in '" + input + "'...\n"), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("'" + video + "' created, size "), std::string::npos) << r.output;
  EXPECT_EQ(dir.read(video), read_golden("recovery.video.h264"));
}

bool is_prefix(const Bytes& part, const Bytes& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// Every mode, made to fail at each of its reads in turn: the run ends with
// "Cannot read" and 255, and what it wrote up to there is the start of what the
// whole run writes, or for a playable file a whole movie of it.
TEST(CliGolden, EveryModeReportsAFailedReadAndKeepsItsOutputs) {
  const Bytes intact = golden_recording();
  for (const GoldenStep& step : kSteps) {
    SCOPED_TRACE(step.name);
    bool finished = false;
    int failed_runs = 0;
    for (int n = 1; n <= 100 && !finished; ++n) {
      SCOPED_TRACE(testing::Message() << "read " << n);
      TempDir dir;
      dir.write("intact.mp4", intact);
      dir.write("damaged.mp4", cut_moov(intact));
      // What earlier steps leave for this one.
      dir.write("avcc.hdr", read_golden("avcc.avcc.hdr"));
      dir.write("mp4a.hdr", read_golden("avcc.mp4a.hdr"));
      dir.write("reference.model", read_golden("learning.reference.model"));
      const CliResult r =
          run_cli(dir, step.args,
                  {.force_window = true, .window_bytes = kSmallWindowBytes, .failing_read = n});
      const std::string golden = text_of(read_golden(std::string(step.name) + ".stdout"));
      if (without_window_warning(r.raw_output) == golden && r.status == step.status) {
        finished = true;  // the run needed fewer reads than n
        continue;
      }
      ++failed_runs;
      EXPECT_EQ(r.status, -1);
      const std::string last_line = "Cannot read '" + step.args[0] + "'\n";
      ASSERT_GE(r.raw_output.size(), last_line.size()) << r.raw_output;
      EXPECT_EQ(r.raw_output.substr(r.raw_output.size() - last_line.size()), last_line)
          << r.raw_output;
      EXPECT_EQ(r.raw_output.find("Cannot read '"), r.raw_output.size() - last_line.size())
          << r.raw_output;
      for (const std::string& file : step.outputs) {
        SCOPED_TRACE(file);
        if (!dir.exists(file)) continue;
        // A playable file is finished around what was read before the failure.
        if (file.ends_with(".mp4")) {
          const Bytes movie = dir.read(file);
          EXPECT_FALSE(find_boxes(movie, "moov").empty());
          for (const Track& track : read_tracks(movie)) {
            for (const Sample& sample : track.samples) {
              EXPECT_LE(sample.offset + sample.size, static_cast<std::int64_t>(movie.size()));
            }
          }
        } else {
          EXPECT_TRUE(is_prefix(dir.read(file), read_golden(std::string(step.name) + "." + file)));
        }
      }
    }
    EXPECT_TRUE(finished) << "still failing after 100 reads";
    // The recording is three windows long: a walk over it reads more than once.
    EXPECT_GE(failed_runs, std::string(step.name).find("recovery") != std::string::npos ? 3 : 1);
  }
}

}  // namespace
}  // namespace vidsalvage::test
