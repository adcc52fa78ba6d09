#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/cli.h"
#include "support/media.h"

namespace vidsalvage::test {
namespace {

// ffprobe's "key=value" lines as a map.
std::map<std::string, std::string> probe_video(const TempDir& dir, const std::string& file) {
  const std::string text = run_and_capture(
      dir,
      "ffprobe -v error -select_streams v:0 -show_entries stream=width,height,profile,level "
      "-of default=noprint_wrappers=1 " +
          file);
  std::map<std::string, std::string> fields;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return fields;
}

// Our names for ffprobe's; High 4:4:4 Predictive is profile 244, which we do not name.
std::string profile_text(const std::string& probed) {
  static const std::map<std::string, std::string> kNames = {
      {"Constrained Baseline", "Baseline Profile"},
      {"Baseline", "Baseline Profile"},
      {"Main", "Main Profile"},
      {"High", "High Profile"},
      {"High 4:2:2", "High 4:2:2 Profile"},
      {"High 4:4:4 Predictive", "Unknown Profile"}};
  const auto it = kNames.find(probed);
  return it == kNames.end() ? "(unexpected profile " + probed + ")" : it->second;
}

struct Encoding {
  const char* name;
  const char* size;
  const char* options;
};

// The summary line and the first bytes of the video output, for recordings that
// libx264 wrote at several profiles and sizes, against what ffprobe reports.
TEST(CliCodecConfig, SummaryOfRealParameterSetsMatchesFfprobe) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  const Encoding encodings[] = {
      {"baseline", "640x360", "-profile:v baseline -pix_fmt yuv420p"},
      {"main", "1280x720", "-profile:v main -pix_fmt yuv420p"},
      {"high, 8-line crop", "1920x1080", "-profile:v high -pix_fmt yuv420p"},
      {"interlaced", "1920x1080", "-pix_fmt yuv420p -flags +ildct -x264-params tff=1"},
      {"4:2:2", "640x360", "-profile:v high422 -pix_fmt yuv422p"},
      {"4:4:4", "640x360", "-profile:v high444 -pix_fmt yuv444p"},
  };
  for (const Encoding& e : encodings) {
    SCOPED_TRACE(e.name);
    TempDir dir;
    ASSERT_TRUE(run_ffmpeg(dir, std::string("-f lavfi -i testsrc2=size=") + e.size +
                                    ":rate=25 -frames:v 2 -c:v libx264 " + e.options + " rec.mp4"));
    const auto avcc = box_body(dir.read("rec.mp4"), "avcC");
    ASSERT_TRUE(avcc.has_value());
    dir.write("avcc.hdr", *avcc);

    std::map<std::string, std::string> probed = probe_video(dir, "rec.mp4");
    const int level = std::stoi(probed["level"]);
    const std::string summary = "Assuming AVC video " + probed["width"] + "x" + probed["height"] +
                                ", " + profile_text(probed["profile"]) + ", Level " +
                                std::to_string(level / 10) + "." + std::to_string(level % 10) +
                                "\n";
    const CliResult r = run_cli(dir, {"rec.mp4", "out.h264"});
    EXPECT_NE(r.output.find("AVC SPS count: 1\nAVC SPS[0] len: "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(summary), std::string::npos) << r.output << "expected " << summary;

    // The video output opens with the SPS behind a start code, as the record holds it.
    const std::size_t sps_length = std::size_t{(*avcc)[6]} << 8 | (*avcc)[7];
    Bytes prologue = {0, 0, 0, 1};
    prologue.insert(prologue.end(), avcc->begin() + 8,
                    avcc->begin() + 8 + static_cast<long>(sps_length));
    const Bytes video = dir.read("out.h264");
    ASSERT_GE(video.size(), prologue.size());
    EXPECT_EQ(Bytes(video.begin(), video.begin() + static_cast<long>(prologue.size())), prologue);
  }
}

TEST(CliCodecConfig, AudioLineFollowsTheEsds) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir,
                         "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi "
                         "-i sine=sample_rate=44100 -t 0.2 -c:v libx264 -c:a aac -ac 1 rec.mp4"));
  const Bytes file = dir.read("rec.mp4");
  dir.write("avcc.hdr", *box_body(file, "avcC"));
  dir.write("mp4a.hdr", *box_body(file, "mp4a"));
  const CliResult r = run_cli(dir, {"rec.mp4", "out.h264", "out.aac"});
  EXPECT_NE(
      r.output.find("Reading 'avcc.hdr'...\nReading 'mp4a.hdr'...\nmp4a codec data 0x12 0x08\n"),
      std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("Assuming audio stream is AAC, 44100 Hz, 1 channel(s), profile 2\n"),
            std::string::npos)
      << r.output;
}

}  // namespace
}  // namespace vidsalvage::test
