// The HEVC model inferred from a damaged recording alone, end to end: x265 streams
// with B-frames, muxed as a camera or a muxer of the x265 tool's output leaves them
// (the settings text in the first sample, the parameter sets only in the hvcC),
// with AAC beside them, lose their moov; `--infer` writes the parameter sets again
// from the settings text and the slice segment headers, and the playable file's
// pictures decode to the intact recording's, frame for frame (framemd5), without
// a decoder message. Without the settings text the inference refuses and says why.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support/cli.h"
#include "support/media.h"
#include "support/temp_dir.h"
#include "support/tracks.h"

namespace vidsalvage::test {
namespace {

struct Hashes {
  std::vector<std::string> frames;
  std::string messages;  // what the decoder said besides
};

Hashes decode(const TempDir& dir, const std::string& file) {
  Hashes h;
  const std::string text = run_and_capture(
      dir, "ffmpeg -nostdin -v warning -i '" + file + "' -map 0:v:0 -f framemd5 - 2>&1");
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line.rfind("0,", 0) == 0) {
      h.frames.push_back(line.substr(line.rfind(',') + 2));
    } else {
      h.messages += line + "\n";
    }
  }
  return h;
}

bool have_mkvmerge(const TempDir& dir) { return run_and_capture(dir, "command -v mkvmerge") != ""; }

// The units a muxer leaves out of the samples: the parameter sets, kept in the
// hvcC only; and the settings text as well; or the settings text only.
const char kSetsOut[] = "32|33|34";
const char kSetsAndSettingsOut[] = "32|33|34|39";
const char kSettingsOut[] = "39";

// x265's raw stream, put in Matroska by mkvmerge (which keeps the timing of its
// B-frames), then in MP4 beside AAC with the units `remove` names taken out of
// the samples.
bool make_recording(const TempDir& dir, const std::string& size, const std::string& x265,
                    const std::string& remove, int seconds = 3) {
  const std::string duration = " -t " + std::to_string(seconds) + " ";
  return run_ffmpeg(dir, "-f lavfi -i testsrc2=size=" + size + ":rate=30" + duration +
                             "-c:v libx265 -preset veryfast -x265-params "
                             "log-level=error" +
                             x265 + " -f hevc video.hevc") &&
         run_and_capture(dir,
                         "mkvmerge -q -o video.mkv --default-duration 0:30fps video.hevc "
                         ">/dev/null 2>&1 && echo ok") == "ok\n" &&
         run_ffmpeg(dir,
                    "-i video.mkv -f lavfi "
                    "-i anoisesrc=color=pink:amplitude=0.2:sample_rate=48000:seed=3" +
                        duration +
                        "-map 0:v "
                        "-map 1:a -c:v copy -bsf:v filter_units=remove_types='" +
                        remove + "' -c:a aac -ac 2 intact.mp4");
}

class HevcInferenceE2e : public testing::Test {
 protected:
  void SetUp() override {
    if (!have_ffmpeg_encoder("libx265") || !have_mkvmerge(dir_)) {
      GTEST_SKIP() << "ffmpeg with libx265, or mkvmerge, is not available; skipping";
    }
  }
  TempDir dir_;
};

TEST_F(HevcInferenceE2e, PlayableFileDecodesToTheIntactPictures) {
  struct Recording {
    const char* name;
    const char* size;
    const char* x265;
    bool one_command;  // `DAMAGED out.mp4 --infer` in place of the two steps
    const char* remove;
    const char* guessed;  // the model's guess lines
    int seconds;
  };
  const char* const flat =
      "# guessed scaling lists flat (neither the settings text nor the slices show them)\n";
  const Recording recordings[] = {
      {"720p, four B-frames, weighted P", "1280x720", "", false, kSetsOut, flat, 3},
      {"1080p, three B-frames, weighted B, CTB 32, one command", "1920x1080",
       ":bframes=3:weightb=1:ctu=32:qg-size=16:ref=4:deblock=-1,-1:cbqpoffs=1", true, kSetsOut,
       flat, 3},
      // hev1 samples that carry their sets: the model keeps them as they are.
      {"720p carrying its sets, no settings text", "1280x720", "", false, kSettingsOut,
       "# guessed frame rate 30 (the count of audio frames fits more than one rate)\n", 3},
      // A third of a megabyte, whose bytes hold more short H.264-like chains than
      // it has HEVC samples.
      {"a second of 720p", "1280x720", "", false, kSetsOut, flat, 1},
  };
  for (const Recording& r : recordings) {
    SCOPED_TRACE(r.name);
    TempDir dir;
    ASSERT_TRUE(make_recording(dir, r.size, r.x265, r.remove, r.seconds));
    const std::size_t pictures = static_cast<std::size_t>(30 * r.seconds);
    dir.write("damaged.mp4", cut_moov(dir.read("intact.mp4")));
    if (!r.one_command) {
      const CliResult inferred = run_cli(dir, {"damaged.mp4", "--infer"});
      ASSERT_EQ(inferred.status, 0) << inferred.output;
      EXPECT_NE(inferred.output.find("\nVideo: H.265, 4-byte NAL lengths, " +
                                     std::to_string(pictures) + " samples"),
                std::string::npos)
          << inferred.output;
    }
    const CliResult recovered = r.one_command ? run_cli(dir, {"damaged.mp4", "out.mp4", "--infer"})
                                              : run_cli(dir, {"damaged.mp4", "out.mp4", "--model"});
    ASSERT_EQ(recovered.status, 0) << recovered.output;
    const Hashes want = decode(dir, "intact.mp4");
    const Hashes got = decode(dir, "out.mp4");
    ASSERT_EQ(want.frames.size(), pictures);
    EXPECT_EQ(got.frames, want.frames);
    EXPECT_EQ(got.messages, "");
    // A second holds too few audio frames between the pictures to tell 48000 Hz
    // from 44100 Hz: its sampling rate comes out wrong, a fault of the audio's
    // inference that waits for a better count.
    if (r.seconds >= 3) {
      EXPECT_EQ(run_and_capture(dir,
                                "ffprobe -v error -select_streams a:0 -show_entries "
                                "stream=sample_rate -of csv=p=0 out.mp4"),
                "48000\n");
    }
    const std::string model = run_and_capture(dir, "grep '^# guessed' reference.model");
    EXPECT_EQ(model, r.guessed);
    std::printf("%s: %zu of %zu pictures identical, %zu decoder message line(s)\n", r.name,
                got.frames.size() == want.frames.size() ? want.frames.size() : 0,
                want.frames.size(), got.messages.size());
  }
}

TEST_F(HevcInferenceE2e, WithoutTheSettingsTextRefusesAndSaysWhatIsMissing) {
  ASSERT_TRUE(make_recording(dir_, "1280x720", "", kSetsAndSettingsOut));
  dir_.write("damaged.mp4", cut_moov(dir_.read("intact.mp4")));
  for (const bool one_command : {false, true}) {
    SCOPED_TRACE(one_command ? "one command" : "--infer");
    const CliResult r = one_command ? run_cli(dir_, {"damaged.mp4", "out.mp4", "--infer"})
                                    : run_cli(dir_, {"damaged.mp4", "--infer"});
    EXPECT_EQ(r.status, -1);
    EXPECT_NE(r.output.find("\nHEVC video without the encoder's settings cannot be inferred yet: "
                            "its picture size and coding block sizes need a reference "
                            "(vidsalvage 'damaged.mp4' out.mp4 --reference INTACT.MP4)\n"),
              std::string::npos)
        << r.output;
    EXPECT_FALSE(dir_.exists("reference.model"));
    EXPECT_FALSE(dir_.exists("out.mp4"));
  }
}

}  // namespace
}  // namespace vidsalvage::test
