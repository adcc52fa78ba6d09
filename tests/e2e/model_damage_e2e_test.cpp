// The recovery with a learned model through damage, on recordings a real encoder
// made: zeros, random bytes, another recording's bytes and a cut, of 1 KB to
// 1 MB, inside a video unit, inside an audio stretch, between samples, at the
// start of mdat and just before the end. Judged by the intact twin's sample
// tables: the samples wholly outside the damage come back byte for byte and in
// order, nothing from inside it is written, and the decoder meets no garbage.

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "support/camera_layout.h"
#include "support/cli.h"
#include "support/media.h"
#include "support/salvage_check.h"
#include "support/tracks.h"

namespace vidsalvage::test {
namespace {

const std::string kSource =
    "-f lavfi -i testsrc2=size=640x360:rate=30 -f lavfi "
    "-i anoisesrc=color=pink:amplitude=0.2:sample_rate=48000:seed=7 -t 20 -c:v libx264 -preset "
    "veryfast -b:v 4M -bsf:v filter_units=remove_types=6 -x264-params aud=1 -g 60 -bf 2 -c:a aac "
    "-ac 2 ";
// Another camera's bytes: MPEG-4 Part 2 video and MP3 audio.
const std::string kOther =
    "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=44100 "
    "-t 10 -c:v mpeg4 -b:v 2M -c:a libmp3lame other.mp4";

struct MediaSample {
  bool video = false;
  std::int64_t offset = 0;
  std::int64_t size = 0;
};

struct Source {
  const char* name;
  Bytes intact;
  Bytes damaged;                     // the intact recording without its moov
  std::vector<MediaSample> samples;  // video and audio samples, in file order
  std::int64_t media_start = 0;
};

Source camera_source(const Bytes& ffmpeg_mp4) {
  const CameraRecording rec = build_camera_recording(ffmpeg_mp4);
  Source s{"camera layout", rec.file, cut_movie(rec), {}, rec.media_offset};
  for (const CameraSample& c : rec.samples) {
    if (c.track == CameraTrack::Video || c.track == CameraTrack::Audio) {
      s.samples.push_back({c.track == CameraTrack::Video, c.offset, c.size});
    }
  }
  return s;
}

Source plain_source(const Bytes& ffmpeg_mp4) {
  Source s{"ffmpeg layout", ffmpeg_mp4, cut_moov(ffmpeg_mp4), {}, 0};
  for (const Track& t : read_tracks(ffmpeg_mp4)) {
    if (t.handler != "vide" && t.handler != "soun") continue;
    for (const Sample& x : t.samples) s.samples.push_back({t.handler == "vide", x.offset, x.size});
  }
  std::sort(s.samples.begin(), s.samples.end(),
            [](const MediaSample& a, const MediaSample& b) { return a.offset < b.offset; });
  s.media_start = s.samples.front().offset;
  return s;
}

enum class Kind { Zeros, Random, Other, Cut };
enum class Place { InVideo, InAudio, Between, MediaStart, BeforeEnd };

struct Damage {
  std::int64_t offset = 0;
  std::int64_t size = 0;
};

std::int64_t damage_offset(const Source& s, Place place, std::int64_t size) {
  const std::int64_t third = s.samples[s.samples.size() / 3].offset;
  const auto first = [&](bool video) {
    for (const MediaSample& m : s.samples) {
      if (m.video == video && m.offset >= third && m.size > 16) return m;
    }
    return s.samples.back();
  };
  switch (place) {
    case Place::InVideo:
      return first(true).offset + first(true).size / 2;
    case Place::InAudio:
      return first(false).offset + first(false).size / 2;
    case Place::Between:
      return first(true).offset;
    case Place::MediaStart:
      return s.media_start;
    case Place::BeforeEnd:
      return s.samples[s.samples.size() - 40].offset - size;
  }
  return 0;
}

struct Expected {
  std::vector<Bytes> samples;  // video samples as the output holds them: Annex B
  std::vector<Bytes> frames;
  std::set<Bytes> units_outside;
  std::set<Bytes> frames_outside;
  bool inside_one_unit = false;  // the damage lies wholly inside one unit's bytes
};

Bytes annex_b_sample(const Bytes& file, const MediaSample& m, Expected& e, const Damage& d) {
  Bytes out;
  for (std::int64_t at = m.offset; at + 4 <= m.offset + m.size;) {
    const std::int64_t length = std::int64_t{file[static_cast<std::size_t>(at)]} << 24 |
                                std::int64_t{file[static_cast<std::size_t>(at + 1)]} << 16 |
                                std::int64_t{file[static_cast<std::size_t>(at + 2)]} << 8 |
                                file[static_cast<std::size_t>(at + 3)];
    const Bytes unit(file.begin() + at + 4, file.begin() + at + 4 + length);
    if (at + 4 + length <= d.offset || d.offset + d.size <= at) e.units_outside.insert(unit);
    if (at + 4 <= d.offset && d.offset + d.size <= at + 4 + length) e.inside_one_unit = true;
    append(out, concat({Bytes{0, 0, 0, 1}, unit}));
    at += 4 + length;
  }
  return out;
}

Expected expected_outside(const Source& s, const Damage& d) {
  Expected e;
  for (const MediaSample& m : s.samples) {
    const bool clear = m.offset + m.size <= d.offset || d.offset + d.size <= m.offset;
    if (m.video) {
      const Bytes sample = annex_b_sample(s.intact, m, e, d);
      if (clear) e.samples.push_back(sample);
    } else if (clear) {
      const Bytes frame(s.intact.begin() + m.offset, s.intact.begin() + m.offset + m.size);
      e.frames.push_back(frame);
      e.frames_outside.insert(frame);
    }
  }
  return e;
}

std::size_t foreign_count(const std::set<Bytes>& allowed, const std::vector<Bytes>& found) {
  std::size_t n = 0;
  for (const Bytes& b : found) n += allowed.count(b) == 0 ? 1 : 0;
  return n;
}

// How many of the expected samples occur in the output, in order.
std::size_t samples_found(const std::vector<Bytes>& samples, const Bytes& video) {
  return chunks_in_order(samples, video);
}

// `n` bytes of another recording from past its header, over again from there
// when the recording is shorter: ffmpeg's file size depends on its build.
Bytes other_bytes(const Bytes& other, std::size_t n) {
  constexpr std::size_t kPastHeader = 4096;
  Bytes out;
  if (other.size() <= kPastHeader) return Bytes(n, 0x47);
  while (out.size() < n) {
    const std::size_t take = std::min(n - out.size(), other.size() - kPastHeader);
    out.insert(out.end(), other.begin() + kPastHeader,
               other.begin() + static_cast<std::ptrdiff_t>(kPastHeader + take));
  }
  return out;
}

struct Row {
  Kind kind;
  Place place;
  std::int64_t size;
};

std::string row_name(const Source& s, const Row& r) {
  constexpr const char* kKinds[] = {"zeros", "random", "another recording", "cut"};
  constexpr const char* kPlaces[] = {"in a video unit", "in an audio stretch", "between samples",
                                     "at the start of mdat", "before the end"};
  return std::string(s.name) + ": " + kKinds[static_cast<int>(r.kind)] + " " +
         std::to_string(r.size) + " " + kPlaces[static_cast<int>(r.place)];
}

class ModelDamageTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed; skipping a real-file test";
  }

  static std::vector<Row> every_row() {
    std::vector<Row> rows;
    for (Kind kind : {Kind::Zeros, Kind::Random, Kind::Other}) {
      for (Place place :
           {Place::InVideo, Place::InAudio, Place::Between, Place::MediaStart, Place::BeforeEnd}) {
        for (std::int64_t size : {1024, 64 * 1024, 1024 * 1024})
          rows.push_back({kind, place, size});
      }
    }
    for (Place place : {Place::InVideo, Place::InAudio, Place::Between}) {
      rows.push_back({Kind::Cut, place, 0});
    }
    return rows;
  }

  // Runs the rows over `s` and prints the share of what came back.
  void run_table(const Source& s, const std::vector<Row>& rows = every_row()) {
    ASSERT_TRUE(run_ffmpeg(dir_, kOther));
    const Bytes other = dir_.read("other.mp4");
    dir_.write("intact.mp4", s.intact);
    ASSERT_EQ(run_cli(dir_, {"intact.mp4", "--model"}).status, 0);
    std::size_t samples = 0, samples_expected = 0, frames = 0, frames_expected = 0;
    for (const Row& r : rows) {
      SCOPED_TRACE(row_name(s, r));
      Damage d{damage_offset(s, r.place, r.size), r.size};
      Bytes file = s.damaged;
      if (r.kind == Kind::Cut) {
        file.resize(static_cast<std::size_t>(d.offset));
        d.size = static_cast<std::int64_t>(s.damaged.size()) - d.offset;
      } else {
        const auto n = static_cast<std::size_t>(r.size);
        const Bytes bytes = r.kind == Kind::Zeros ? Bytes(n, 0)
                            : r.kind == Kind::Random
                                ? pseudo_random_bytes(n, 99)
                                : other_bytes(other, n);
        std::copy(bytes.begin(), bytes.end(), file.begin() + d.offset);
      }
      dir_.write("damaged.mp4", file);
      const CliResult out = run_cli(dir_, {"damaged.mp4", "out.h264", "out.aac", "--model"});
      ASSERT_EQ(out.status, 0) << out.output;
      const Expected e = expected_outside(s, d);
      const Bytes video = dir_.read("out.h264");
      const Bytes audio = dir_.read("out.aac");
      const std::size_t found_samples = samples_found(e.samples, video);
      const std::size_t found_frames = matched_in_order(e.frames, adts_payloads(audio));
      samples += found_samples;
      samples_expected += e.samples.size();
      frames += found_frames;
      frames_expected += e.frames.size();
      EXPECT_GE(found_samples * 100, e.samples.size() * 99);
      EXPECT_GE(found_frames * 100, e.frames.size() * 99);
      // Past the parameter sets of the prologue, every unit and frame is one of
      // the recording's, whole and outside the damage.
      std::vector<Bytes> units = annexb_units(video);
      while (!units.empty() && ((units.front()[0] & 0x1F) == 7 || (units.front()[0] & 0x1F) == 8)) {
        units.erase(units.begin());
      }
      // Random bytes wholly inside one unit leave its length and the units around
      // it as they were, and break no rule of the unit's syntax that can be seen
      // without decoding it: that unit is written as it is. So do another
      // recording's compressed bytes without a start code among them.
      const bool unseen = (r.kind == Kind::Random || r.kind == Kind::Other) && e.inside_one_unit;
      EXPECT_LE(foreign_count(e.units_outside, units), unseen ? 1u : 0u);
      EXPECT_EQ(foreign_count(e.frames_outside, adts_payloads(audio)), 0u);
      EXPECT_EQ(run_and_capture(dir_, "ffmpeg -nostdin -v error -i out.aac -f null - 2>&1"), "");
      if (r.kind != Kind::Cut && !unseen) {
        EXPECT_NE(out.output.find("damaged stretches"), std::string::npos);
      }
    }
    std::printf(
        "[ figures  ] %s, damage table: video samples %.2f%% (%zu of %zu), AAC frames %.2f%% "
        "(%zu of %zu)\n",
        s.name, 100.0 * static_cast<double>(samples) / static_cast<double>(samples_expected),
        samples, samples_expected,
        100.0 * static_cast<double>(frames) / static_cast<double>(frames_expected), frames,
        frames_expected);
  }

  TempDir dir_;
};

TEST_F(ModelDamageTest, CameraLayoutComesBackAroundEveryKindOfDamage) {
  ASSERT_TRUE(run_ffmpeg(dir_, kSource + "src.mp4"));
  run_table(camera_source(dir_.read("src.mp4")));
}

TEST_F(ModelDamageTest, FfmpegLayoutComesBackAroundEveryKindOfDamage) {
  ASSERT_TRUE(run_ffmpeg(dir_, kSource + "src.mp4"));
  run_table(plain_source(dir_.read("src.mp4")));
}

// x264's own layout: no delimiter, the first sample opens with its settings SEI,
// audio between the video chunks. The walk finds its way back past the damage
// by samples on both sides of an audio stretch.
TEST_F(ModelDamageTest, RecordingWithoutDelimitersComesBackAfterDamage) {
  const std::string source =
      "-f lavfi -i testsrc2=size=640x360:rate=30 -f lavfi "
      "-i anoisesrc=color=pink:amplitude=0.2:sample_rate=48000:seed=7 -t 20 -c:v libx264 "
      "-preset veryfast -b:v 4M -g 60 -bf 2 -c:a aac -ac 2 ";
  ASSERT_TRUE(run_ffmpeg(dir_, source + "src.mp4"));
  run_table(plain_source(dir_.read("src.mp4")), {{Kind::Random, Place::InVideo, 64 * 1024},
                                                  {Kind::Zeros, Place::InVideo, 1024 * 1024},
                                                  {Kind::Random, Place::Between, 64 * 1024},
                                                  {Kind::Zeros, Place::InAudio, 64 * 1024}});
}

}  // namespace
}  // namespace vidsalvage::test
