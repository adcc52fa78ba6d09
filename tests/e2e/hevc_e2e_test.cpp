// HEVC recordings libx265 made (B-frames, open GOPs with CRA and RASL pictures,
// hvc1 and hev1 entries, 10-bit samples, AAC in MP4 and PCM in MOV, and the camera
// layout with telemetry between the samples), cut at their moov and inside a
// sample, recovered with a model learned from the intact twin. Every NAL unit
// must come back byte for byte behind the record's parameter sets, and ffmpeg must
// decode the raw stream without an error.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "support/camera_layout.h"
#include "support/cli.h"
#include "support/media.h"
#include "support/salvage_check.h"
#include "support/tracks.h"

namespace vidsalvage::test {
namespace {

// Four seconds of 720p with a GOP of 24 pictures: B-frames, and CRA pictures whose
// leading RASL pictures refer to the GOP before.
const std::string kSource =
    "-f lavfi -i testsrc2=size=1280x720:rate=30 -f lavfi "
    "-i anoisesrc=color=pink:amplitude=0.2:sample_rate=48000:seed=7 -t 4 -c:v libx265 "
    "-preset ultrafast -x265-params "
    "bframes=3:open-gop=1:keyint=24:min-keyint=24:scenecut=0:log-level=error ";

// A sample of the intact recording: a video sample, or an audio one (PCM runs of
// consecutive samples taken together, as the model walk writes them).
struct Piece {
  bool video = false;
  std::int64_t offset = 0;
  std::int64_t size = 0;
};

std::vector<Piece> pieces_of(const Bytes& intact, bool pcm) {
  std::vector<Piece> pieces;
  for (const Track& t : read_tracks(intact)) {
    if (t.handler != "vide" && t.handler != "soun") continue;
    const bool video = t.handler == "vide";
    std::vector<Piece> own;
    for (const Sample& s : t.samples) {
      if (!video && pcm && !own.empty() && own.back().offset + own.back().size == s.offset) {
        own.back().size += s.size;
      } else {
        own.push_back({video, s.offset, s.size});
      }
    }
    pieces.insert(pieces.end(), own.begin(), own.end());
  }
  std::sort(pieces.begin(), pieces.end(),
            [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
  return pieces;
}

std::vector<Piece> pieces_of(const CameraRecording& rec) {
  std::vector<Piece> pieces;
  for (const CameraSample& s : rec.samples) {
    if (s.track == CameraTrack::Video || s.track == CameraTrack::Audio) {
      pieces.push_back({s.track == CameraTrack::Video, s.offset, s.size});
    }
  }
  return pieces;
}

struct Expected {
  std::vector<Bytes> units;
  std::vector<Bytes> frames;
};

// The units and frames of the samples that lie whole before `end`.
Expected expected_before(const Bytes& intact, const std::vector<Piece>& pieces, std::int64_t end) {
  Expected e;
  for (const Piece& p : pieces) {
    if (p.offset + p.size > end) break;
    if (p.video) {
      const std::vector<Bytes> units = length_prefixed_units(intact, {{p.offset, p.size}});
      e.units.insert(e.units.end(), units.begin(), units.end());
    } else {
      e.frames.push_back(sample_bytes(intact, {{p.offset, p.size}}));
    }
  }
  return e;
}

// A cut in the middle of the first video sample three quarters into the media.
Bytes cut_inside_video(const Bytes& moov_cut, const std::vector<Piece>& pieces) {
  const std::int64_t target = static_cast<std::int64_t>(moov_cut.size()) * 3 / 4;
  for (const Piece& p : pieces) {
    if (p.video && p.offset >= target) return slice(moov_cut, 0, p.offset + p.size / 2);
  }
  ADD_FAILURE() << "no video sample after three quarters";
  return moov_cut;
}

int hevc_type(const Bytes& unit) { return unit.empty() ? -1 : (unit[0] >> 1) & 0x3F; }

struct Share {
  std::size_t matched = 0;
  std::size_t expected = 0;
  double percent() const {
    return expected == 0 ? 100.0
                         : 100.0 * static_cast<double>(matched) / static_cast<double>(expected);
  }
};

class HevcRecovery : public testing::Test {
 protected:
  void SetUp() override {
    if (!have_ffmpeg_encoder("libx265")) {
      GTEST_SKIP() << "ffmpeg with libx265 is not available; skipping a real-file test";
    }
  }

  // Learns `intact`, recovers each of its damaged twins and judges the result.
  void check(const std::string& name, const Bytes& intact, const std::vector<Piece>& pieces,
             const Bytes& moov_cut, bool pcm) {
    dir_.write("intact.mp4", intact);
    const CliResult learned = run_cli(dir_, {"intact.mp4", "--model"});
    ASSERT_EQ(learned.status, 0) << learned.output;
    EXPECT_NE(learned.output.find("HEVC video"), std::string::npos) << learned.output;
    const Bytes inside = cut_inside_video(moov_cut, pieces);
    for (const auto& [cut, damaged] :
         {std::pair{"cut at the moov", moov_cut}, std::pair{"cut inside a sample", inside}}) {
      SCOPED_TRACE(cut);
      dir_.write("damaged.mp4", damaged);
      const Expected e = expected_before(intact, pieces, static_cast<std::int64_t>(damaged.size()));
      const std::string audio = pcm ? "audio.wav" : "audio.aac";
      // The output's name is the user's, whatever the codec.
      const CliResult r = run_cli(dir_, {"damaged.mp4", "video.bin", audio, "--model"});
      ASSERT_EQ(r.status, 0) << r.output;
      std::vector<Bytes> units = annexb_units(dir_.read("video.bin"));
      // The stream opens with the record's VPS, SPS and PPS.
      ASSERT_GE(units.size(), 3u);
      EXPECT_EQ(hevc_type(units[0]), 32);
      EXPECT_EQ(hevc_type(units[1]), 33);
      EXPECT_EQ(hevc_type(units[2]), 34);
      units.erase(units.begin(), units.begin() + 3);
      const Share video{matched_in_order(e.units, units), e.units.size()};
      const Bytes out = dir_.read(audio);
      const Share sound =
          pcm ? Share{chunks_in_order(e.frames, Bytes(out.begin() + 44, out.end())),
                      e.frames.size()}
              : Share{matched_in_order(e.frames, adts_payloads(out)), e.frames.size()};
      std::printf(
          "[ figures  ] HEVC %s, %s: %zu of %zu units (%.2f%%), %zu of %zu audio (%.2f%%)\n",
          name.c_str(), cut, video.matched, video.expected, video.percent(), sound.matched,
          sound.expected, sound.percent());
      EXPECT_EQ(units.size(), e.units.size());
      EXPECT_GE(video.percent(), 99.9);
      EXPECT_GE(sound.percent(), 99.0);
      EXPECT_EQ(
          run_and_capture(dir_, "ffmpeg -nostdin -v error -f hevc -i video.bin -f null - 2>&1"),
          "");
    }
  }

  void check_ffmpeg_file(const std::string& name, const std::string& args, const std::string& file,
                         bool pcm) {
    ASSERT_TRUE(run_ffmpeg(dir_, kSource + args + " " + file));
    const Bytes intact = dir_.read(file);
    check(name, intact, pieces_of(intact, pcm), cut_moov(intact), pcm);
  }

  TempDir dir_;
};

TEST_F(HevcRecovery, Hvc1WithAacInMp4) {
  check_ffmpeg_file("hvc1, AAC in MP4", "-tag:v hvc1 -c:a aac -ac 2", "src.mp4", false);
}

TEST_F(HevcRecovery, Hev1TenBitWithPcmInMov) {
  check_ffmpeg_file("hev1, 10-bit, PCM in MOV",
                    "-tag:v hev1 -pix_fmt yuv420p10le -c:a pcm_s16le -ac 2", "src.mov", true);
}

TEST_F(HevcRecovery, CameraLayoutWithTelemetry) {
  ASSERT_TRUE(run_ffmpeg(dir_, kSource + "-tag:v hvc1 -c:a aac -ac 2 src.mp4"));
  const CameraRecording rec = build_camera_recording(dir_.read("src.mp4"));
  check("camera layout, hvc1, AAC", rec.file, pieces_of(rec), cut_movie(rec), false);
}

}  // namespace
}  // namespace vidsalvage::test
