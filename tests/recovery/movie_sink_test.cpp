#include "recovery/movie_sink.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "mp4/box_tree.h"
#include "support/bytes.h"
#include "support/camera_bytes.h"
#include "support/movie_boxes.h"
#include "support/temp_dir.h"

namespace vidsalvage {
namespace {
using test::append;
using test::box;
using test::Bytes;

constexpr std::uint32_t kVideoTrack = 1;
constexpr std::uint32_t kAudioTrack = 2;
constexpr std::uint32_t kFrameTicks = 3000;  // 30 frames a second at 90 kHz
constexpr std::uint32_t kAacTicks = 1024;    // at 48 kHz

TrackTemplate track_template(std::uint32_t id, const char* handler, Bytes entry,
                             std::uint32_t timescale, std::uint32_t delta) {
  TrackTemplate t;
  t.id = id;
  t.handler = handler;
  t.sample_entry = std::move(entry);
  t.timescale = timescale;
  t.sample_delta = delta;
  t.constant_delta = true;
  return t;
}

ModelTrack model_track(std::uint32_t id, TrackRole role, std::uint32_t timescale) {
  ModelTrack t;
  t.id = id;
  t.role = role;
  t.timescale = timescale;
  return t;
}

// A camera's H.264 and AAC; the reference took 10 s for 100,000 bytes.
StreamModel camera_model() {
  StreamModel m;
  m.reference_size = 100000;
  m.video.track = kVideoTrack;
  m.video.avcc = test::camera_avcc();
  m.audio.track = kAudioTrack;
  m.audio.role = TrackRole::Aac;
  m.tracks = {model_track(kVideoTrack, TrackRole::Video, 90000),
              model_track(kAudioTrack, TrackRole::Aac, 48000)};
  m.tracks[0].durations = {{300, kFrameTicks}};
  Bytes video(8, 0);
  video[7] = 1;
  append(video, test::visual_entry_fields());
  append(video, box("avcC", test::camera_avcc()));
  Bytes audio(8, 0);
  audio[7] = 1;
  append(audio, test::sound_entry_fields(2, 16, 48000));
  m.movie.timescale = 1000;
  m.movie.tracks = {track_template(kVideoTrack, "vide", box("avc1", video), 90000, kFrameTicks),
                    track_template(kAudioTrack, "soun", box("mp4a", audio), 48000, kAacTicks)};
  return m;
}

// What the sink is fed, in order: a picture (one slice), an audio frame, damage.
enum class Feed { Idr, P, Aac, Damage };

// The input the feed's samples are cut from, and the sink's written file read back.
struct Sunk {
  bool ok = false;
  std::uint64_t pictures = 0;
  std::vector<TrackTables> tracks;
};

// Damage begins `damage_after` bytes after the sample before it.
Sunk sink_all(const StreamModel& model, const std::vector<Feed>& feed, std::int64_t damage_bytes,
              std::int64_t damage_after = 100) {
  Bytes input;
  std::vector<std::int64_t> offsets;
  for (const Feed f : feed) {
    offsets.push_back(static_cast<std::int64_t>(input.size()));
    if (f == Feed::Idr) append(input, test::idr_slice(40));
    if (f == Feed::P) append(input, test::p_slice(20));
    if (f == Feed::Aac) append(input, test::aac_frame(30));
  }
  input.resize(input.size() + 64);  // no sample runs to the end of the input
  test::TempDir dir;
  InputWindow in;
  open_memory_input(in, input);
  Sunk s;
  {
    OutputFile out;
    if (!out.open(dir.path("out.mp4").c_str())) return s;
    MovieSink sink(in);
    if (sink.start(out, model) != SinkStart::Started) return s;
    for (std::size_t i = 0; i < feed.size(); ++i) {
      const std::int64_t at = offsets[i];
      SampleWrite w = SampleWrite::Done;
      if (feed[i] == Feed::Idr) w = sink.video_unit(at + 4, 43);
      if (feed[i] == Feed::P) w = sink.video_unit(at + 4, 22);
      if (feed[i] == Feed::Aac) w = sink.audio_frame(kAudioTrack, at, 30);
      if (feed[i] == Feed::Damage) w = sink.damage(at + damage_after, damage_bytes);
      if (w != SampleWrite::Done) return s;
    }
    if (!sink.finish() || !out.close()) return s;
    s.pictures = sink.video_samples();
  }
  const Bytes file = dir.read("out.mp4");
  InputWindow written;
  open_memory_input(written, file);
  BoxTreeError error;
  s.ok = read_movie(written, s.tracks, error);
  return s;
}

// The decoding time of sample `n` (from 0) of a track read back.
std::uint64_t decode_time(const TrackTables& t, std::uint64_t n) {
  std::uint64_t time = 0;
  for (const DurationRun& run : t.durations) {
    const std::uint64_t take = std::min<std::uint64_t>(n, run.count);
    time += take * run.delta;
    n -= take;
  }
  return time;
}

std::vector<Feed> repeated(Feed f, int n) {
  return std::vector<Feed>(static_cast<std::size_t>(n), f);
}

std::vector<Feed> joined(std::initializer_list<std::vector<Feed>> parts) {
  std::vector<Feed> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(SalvagedTracks, TakesTheTracksTheWalkRecognisesInTheReferencesOrder) {
  StreamModel m = camera_model();
  ModelTrack described = model_track(3, TrackRole::Other, 1000);
  described.classes.resize(1);
  ModelTrack linked = model_track(4, TrackRole::Other, 1000);
  linked.link.width = 4;
  const ModelTrack unknown = model_track(5, TrackRole::Other, 1000);
  const ModelTrack announced = model_track(7, TrackRole::Other, 1000);
  described.classes[0].next_track = 7;
  m.tracks.insert(m.tracks.end(), {described, linked, unknown, announced});
  const TrackTemplate other = track_template(0, "meta", box("mett", Bytes(8, 0)), 1000, 1);
  std::vector<TrackTemplate> order;
  for (const std::uint32_t id : {5u, 3u, 2u, 4u, 6u, 1u, 7u}) {
    order.push_back(id <= 2 ? m.movie.tracks[id - 1] : other);
    order.back().id = id;
  }
  m.movie.tracks = order;
  // Track 5 has nothing the walk tells its samples by; 6 is in no model track.
  EXPECT_EQ(salvaged_tracks(m), (std::vector<std::size_t>{1, 2, 3, 5, 6}));
}

TEST(ReferenceByteRate, IsTheReferencesBytesOverItsVideoDuration) {
  StreamModel m = camera_model();
  EXPECT_DOUBLE_EQ(reference_byte_rate(m), 10000.0);
  m.tracks[0].durations.clear();
  EXPECT_EQ(reference_byte_rate(m), 0.0);
}

TEST(MovieSink, RefusesAModelWithoutTheVideosSampleDescription) {
  StreamModel m = camera_model();
  m.movie.tracks[0].sample_entry.clear();
  test::TempDir dir;
  InputWindow in;
  const Bytes nothing(16, 0);
  open_memory_input(in, nothing);
  OutputFile out;
  ASSERT_TRUE(out.open(dir.path("out.mp4").c_str()));
  MovieSink sink(in);
  EXPECT_EQ(sink.start(out, m), SinkStart::NoTemplate);
}

// Damage after the last sample, where a recording was cut, lengthens nothing.
TEST(MovieSink, TimesEveryTrackByTheReferencesDeltas) {
  const Sunk s =
      sink_all(camera_model(),
               joined({repeated(Feed::Idr, 20), repeated(Feed::Aac, 30), {Feed::Damage}}), 50000);
  ASSERT_TRUE(s.ok);
  ASSERT_EQ(s.tracks.size(), 2u);
  EXPECT_EQ(s.pictures, 20u);
  EXPECT_EQ(s.tracks[0].durations, (std::vector<DurationRun>{{20, kFrameTicks}}));
  EXPECT_EQ(s.tracks[1].durations, (std::vector<DurationRun>{{30, kAacTicks}}));
}

// 5,000 bytes of damage at 10,000 bytes a second: half a second lost by all.
TEST(MovieSink, PutsTheTracksBackInStepAfterDamage) {
  const std::vector<Feed> feed = joined({repeated(Feed::Idr, 10),
                                         repeated(Feed::Aac, 15),
                                         {Feed::Damage},
                                         repeated(Feed::Idr, 5),
                                         repeated(Feed::Aac, 5)});
  const Sunk s = sink_all(camera_model(), feed, 5000);
  ASSERT_TRUE(s.ok);
  ASSERT_EQ(s.tracks.size(), 2u);
  // The video stood at 10 frames (1/3 s): it goes on at 1/3 s + 1/2 s.
  const std::uint64_t video_back = decode_time(s.tracks[0], 10);
  EXPECT_EQ(video_back, 10u * kFrameTicks + 45000u);
  // The audio meets it to within one frame.
  const double audio_back = static_cast<double>(decode_time(s.tracks[1], 15)) / 48000;
  EXPECT_NEAR(audio_back, static_cast<double>(video_back) / 90000, 1024.0 / 48000);
}

// An AAC frame right in front of damage may run into it: it is left out, and the
// audio still meets the video after the damage.
TEST(MovieSink, LeavesOutTheAacFrameThatRunsIntoDamage) {
  const std::vector<Feed> feed = joined({repeated(Feed::Idr, 10),
                                         repeated(Feed::Aac, 15),
                                         {Feed::Damage},
                                         repeated(Feed::Idr, 5),
                                         repeated(Feed::Aac, 5)});
  const Sunk s = sink_all(camera_model(), feed, 5000, 0);
  ASSERT_TRUE(s.ok);
  ASSERT_EQ(s.tracks.size(), 2u);
  EXPECT_EQ(s.tracks[1].sample_count, 19u);
  const double video_back = static_cast<double>(decode_time(s.tracks[0], 10)) / 90000;
  const double audio_back = static_cast<double>(decode_time(s.tracks[1], 14)) / 48000;
  EXPECT_NEAR(audio_back, video_back, 1024.0 / 48000);
}

TEST(MovieSink, WritesNoPictureBetweenDamageAndTheNextKeyButKeepsItsTime) {
  StreamModel m = camera_model();
  m.movie.tracks[0].sync_table = true;
  const std::vector<Feed> feed =
      joined({{Feed::Idr, Feed::P, Feed::P, Feed::Damage, Feed::P, Feed::P, Feed::Idr, Feed::Idr}});
  const Sunk s = sink_all(m, feed, 1000);  // a tenth of a second: 3 frames
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.pictures, 5u);
  // The key after the damage comes 3 lost and 2 left-out frames after the third.
  EXPECT_EQ(decode_time(s.tracks[0], 3), (3u + 3u + 2u) * kFrameTicks);
}

}  // namespace
}  // namespace vidsalvage
