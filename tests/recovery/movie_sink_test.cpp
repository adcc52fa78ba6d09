#include "recovery/movie_sink.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "mp4/box_tree.h"
#include "recovery/model_fixture.h"
#include "support/bytes.h"
#include "support/camera_bytes.h"
#include "support/media.h"
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

// Where the reference's audio chunks lead the video sample after them, the
// first audio after damage comes at the next picture's time plus that lead,
// whatever else was taken since.
TEST(MovieSink, PlacesTheAudioAfterDamageByTheReferencesLead) {
  StreamModel m = camera_model();
  m.movie.tracks[1].has_lead = true;
  m.movie.tracks[1].lead = -4800;  // 0.1 s ahead of the picture after it
  const std::vector<Feed> feed = joined({repeated(Feed::Idr, 10),
                                         repeated(Feed::Aac, 15),
                                         {Feed::Damage},
                                         repeated(Feed::Idr, 5),
                                         repeated(Feed::Aac, 5)});
  const Sunk s = sink_all(m, feed, 5000);
  ASSERT_TRUE(s.ok);
  ASSERT_EQ(s.tracks.size(), 2u);
  const std::uint64_t video_back = decode_time(s.tracks[0], 10);
  EXPECT_EQ(video_back, 10u * kFrameTicks + 45000u);
  // Five pictures came after the damage before the audio: the next one is at
  // video_back + 5 frames, and the audio 0.1 s before it, to within one frame.
  const double next_picture = static_cast<double>(video_back + 5 * kFrameTicks) / 90000;
  const double audio_back = static_cast<double>(decode_time(s.tracks[1], 15)) / 48000;
  EXPECT_NEAR(audio_back, next_picture - 0.1, 1024.0 / 48000);
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

// ---- HEVC

// The HEVC model of model_fixture.h with an hvc1 entry around its record, a
// reference of 10 s in 100,000 bytes, keys marked.
StreamModel hevc_movie_model() {
  StreamModel m = test::hevc_model();
  m.reference_size = 100000;
  m.tracks[0].timescale = 90000;
  m.tracks[0].durations = {{300, kFrameTicks}};
  Bytes entry(8, 0);
  entry[7] = 1;
  append(entry, test::visual_entry_fields());
  append(entry, box("hvcC", test::kHevcRecord));
  m.movie.timescale = 1000;
  m.movie.tracks = {track_template(kVideoTrack, "vide", box("hvc1", entry), 90000, kFrameTicks)};
  m.movie.tracks[0].sync_table = true;
  return m;
}

// A picture of one slice segment (its type and slice_pic_order_cnt_lsb), another
// unit (an end of sequence), or damage.
struct HevcFeed {
  int type = 0;
  std::uint32_t lsb = 0;
};
constexpr int kDamage = -1;
constexpr int kEndOfSequence = 36;

// A written sample in frames: its decoding and presentation times, and whether it is a key.
struct Timed {
  std::uint64_t dts = 0;
  std::int64_t pts = 0;
  bool sync = false;
  bool operator==(const Timed&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Timed& t) {
  return os << "{" << t.dts << ", " << t.pts << (t.sync ? ", key}" : "}");
}

// The body of the first box of `type` in `file`, after its version and flags and
// entry count, as 32-bit words.
std::vector<std::uint32_t> table_words(const Bytes& file, const char* type) {
  std::vector<std::uint32_t> words;
  const std::vector<test::BoxRef> boxes = test::find_boxes(file, type);
  if (boxes.empty()) return words;
  for (std::int64_t at = boxes[0].body_offset() + 8; at + 4 <= boxes[0].offset + boxes[0].size;
       at += 4) {
    const auto p = static_cast<std::size_t>(at);
    words.push_back(std::uint32_t{file[p]} << 24 | std::uint32_t{file[p + 1]} << 16 |
                    std::uint32_t{file[p + 2]} << 8 | file[p + 3]);
  }
  return words;
}

// The samples of the written file's only track, from its stts, ctts and stss.
std::vector<Timed> timeline_of(const Bytes& file) {
  std::vector<Timed> samples;
  const std::vector<std::uint32_t> stts = table_words(file, "stts");
  std::uint64_t time = 0;
  for (std::size_t i = 0; i + 1 < stts.size(); i += 2) {
    for (std::uint32_t n = 0; n < stts[i]; ++n, time += stts[i + 1]) {
      samples.push_back({time / kFrameTicks, static_cast<std::int64_t>(time) / kFrameTicks, false});
    }
  }
  const std::vector<std::uint32_t> ctts = table_words(file, "ctts");
  std::size_t k = 0;
  for (std::size_t i = 0; i + 1 < ctts.size(); i += 2) {
    for (std::uint32_t n = 0; n < ctts[i] && k < samples.size(); ++n, ++k) {
      samples[k].pts += static_cast<std::int32_t>(ctts[i + 1]) / std::int32_t{kFrameTicks};
    }
  }
  for (const std::uint32_t number : table_words(file, "stss")) {
    if (number >= 1 && number <= samples.size()) samples[number - 1].sync = true;
  }
  return samples;
}

// Feeds the units, each its own picture or an end of sequence, to a sink and
// reads back what it wrote. Damage covers 1,000 bytes: 3 frames of the reference.
std::vector<Timed> sink_hevc(const std::vector<HevcFeed>& feed) {
  Bytes input;
  std::vector<std::pair<std::int64_t, std::uint32_t>> units;
  for (const HevcFeed& f : feed) {
    Bytes unit;
    if (f.type == kEndOfSequence) unit = {0x48, 0x01};
    if (f.type >= 0 && f.type <= 31) unit = test::hevc_slice(f.type, 1, 0, true, 1, 0, f.lsb);
    units.push_back(
        {static_cast<std::int64_t>(input.size()) + 4, static_cast<std::uint32_t>(unit.size())});
    append(input, test::length_prefixed(unit));
  }
  input.resize(input.size() + 64);
  test::TempDir dir;
  InputWindow in;
  open_memory_input(in, input);
  {
    OutputFile out;
    if (!out.open(dir.path("out.mp4").c_str())) return {};
    MovieSink sink(in);
    if (sink.start(out, hevc_movie_model()) != SinkStart::Started) return {};
    for (std::size_t i = 0; i < feed.size(); ++i) {
      const SampleWrite w = feed[i].type == kDamage
                                ? sink.damage(units[i].first, 1000)
                                : sink.video_unit(units[i].first, units[i].second);
      if (w != SampleWrite::Done) return {};
    }
    if (!sink.finish() || !out.close()) return {};
  }
  return timeline_of(dir.read("out.mp4"));
}

// x265's open GOPs: decoding order IDR 0, P 4, B 2, b 1, b 3, then a CRA at 8
// whose RASL pictures 6, 5 and 7 refer to the pictures before it.
TEST(MovieSink, TimesHevcPicturesByTheirOrderCountAndLeavesOutWhatCannotBeDecoded) {
  using test::kCra;
  using test::kIdrNLp;
  using test::kIdrWRadl;
  using test::kTrailN;
  using test::kTrailR;
  constexpr int kRaslN = 8, kRaslR = 9, kRadlN = 6, kRadlR = 7;
  struct Case {
    const char* name;
    std::vector<HevcFeed> feed;
    std::vector<Timed> written;
  };
  const Case cases[] = {
      {"an open GOP: the RASL pictures of a CRA within the stream decode",
       {{kIdrNLp, 0},
        {kTrailR, 4},
        {kTrailR, 2},
        {kTrailN, 1},
        {kTrailN, 3},
        {kCra, 8},
        {kRaslR, 6},
        {kRaslN, 5},
        {kRaslN, 7},
        {kTrailR, 10},
        {kTrailN, 9}},
       {{0, 0, true},
        {1, 4},
        {2, 2},
        {3, 1},
        {4, 3},
        {5, 8, true},
        {6, 6},
        {7, 5},
        {8, 7},
        {9, 10},
        {10, 9}}},
      {"a stream that starts at a CRA leaves its RASL pictures out, keeping their time",
       {{kCra, 8},
        {kRaslR, 6},
        {kRaslN, 5},
        {kRaslN, 7},
        {kTrailR, 12},
        {kTrailR, 10},
        {kTrailN, 9},
        {kTrailN, 11}},
       {{0, 3, true}, {4, 7}, {5, 5}, {6, 4}, {7, 6}}},
      {"pictures before the first IRAP picture are left out and take no time",
       {{kTrailR, 4}, {kTrailN, 3}, {kIdrWRadl, 0}, {kTrailR, 2}, {kTrailN, 1}},
       {{0, 0, true}, {1, 2}, {2, 1}}},
      {"the RADL pictures of an IDR decode; their counts are negative",
       {{kIdrWRadl, 0}, {kRadlR, 254}, {kRadlN, 255}, {kTrailR, 2}, {kTrailN, 1}},
       {{0, 2, true}, {1, 0}, {2, 1}, {3, 4}, {4, 3}}},
      {"after an end of sequence a CRA starts afresh",
       {{kIdrNLp, 0},
        {kTrailR, 2},
        {kTrailN, 1},
        {kEndOfSequence, 0},
        {kCra, 8},
        {kRaslR, 6},
        {kRaslN, 7},
        {kTrailR, 10},
        {kTrailN, 9}},
       {{0, 0, true}, {1, 2}, {2, 1}, {3, 5, true}, {6, 7}, {7, 6}}},
      {"at the end, the pictures shown after one that never came keep their time",
       {{kIdrNLp, 0}, {kTrailR, 4}, {kTrailR, 2}, {kTrailN, 3}},
       {{0, 0, true}, {1, 4}, {2, 2}, {3, 3}}},
      {"after damage nothing until an IRAP picture, nor the RASL pictures of a CRA",
       {{kIdrNLp, 0},
        {kTrailR, 2},
        {kTrailN, 1},
        {kDamage, 0},
        {kTrailR, 4},
        {kCra, 8},
        {kRaslR, 6},
        {kRaslN, 7},
        {kTrailR, 10},
        {kTrailN, 9}},
       {{0, 0, true}, {1, 2}, {2, 1}, {7, 9, true}, {10, 11}, {11, 10}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sink_hevc(c.feed), c.written);
  }
}

}  // namespace
}  // namespace vidsalvage
