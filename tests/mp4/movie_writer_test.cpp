#include "mp4/movie_writer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "mp4/box_tree.h"
#include "support/bytes.h"
#include "support/media.h"
#include "support/movie_boxes.h"
#include "support/temp_dir.h"

namespace vidsalvage {
namespace {
using test::append;
using test::append_u32;
using test::box;
using test::BoxRef;
using test::Bytes;
using test::bytes_of;
using test::concat;
using test::find_boxes;
using test::full_box;
using test::read_be;
using test::slice;
using test::TempDir;

constexpr std::size_t kVideo = 0;
constexpr std::size_t kAudio = 1;

Bytes visual_entry(const char* type, const Bytes& config) {
  Bytes entry(6, 0);
  entry.push_back(0);
  entry.push_back(1);  // data reference index
  append(entry, test::visual_entry_fields());
  append(entry, config);
  return box(type, entry);
}

// An avcC whose fifth byte holds lengthSizeMinusOne in its low bits.
Bytes avc_config(std::uint8_t length_size_byte) {
  return box("avcC", {0x01, 0x64, 0x00, 0x1F, length_size_byte, 0xE0, 0x00});
}

TrackTemplate video_track() {
  TrackTemplate t;
  t.id = 1;
  t.handler = "vide";
  t.handler_name = "Video";
  t.sample_entry = visual_entry("avc1", avc_config(0xFF));
  t.timescale = 90000;
  return t;
}

TrackTemplate audio_track() {
  TrackTemplate t;
  t.id = 2;
  t.handler = "soun";
  t.handler_name = "Sound";
  Bytes entry(6, 0);
  entry.push_back(0);
  entry.push_back(1);
  append(entry, test::sound_entry_fields(2, 16, 48000));
  t.sample_entry = box("sowt", entry);
  t.timescale = 48000;
  return t;
}

MovieTemplate two_tracks() {
  MovieTemplate m;
  m.timescale = 1000;
  m.tracks = {video_track(), audio_track()};
  return m;
}

// The writer over an input held in memory, writing a file in a fresh directory.
struct Written {
  bool ok = false;
  Bytes file;
  std::vector<TrackTables> tracks;
};

Written write_movie(const MovieTemplate& movie, const Bytes& input_bytes,
                    const std::function<void(MovieWriter&, InputWindow&)>& feed) {
  TempDir dir;
  InputWindow input;
  open_memory_input(input, input_bytes);
  Written w;
  {
    OutputFile out;
    if (!out.open(dir.path("out.mp4").c_str())) return w;
    MovieWriter writer;
    if (!writer.start(out, movie)) return w;
    feed(writer, input);
    w.ok = writer.finish() && out.close();
  }
  w.file = dir.read("out.mp4");
  InputWindow written;
  open_memory_input(written, w.file);
  BoxTreeError error;
  w.ok = w.ok && read_movie(written, w.tracks, error);
  return w;
}

// Sample i of the input is 10 + i bytes of the value i.
Bytes numbered_samples(std::size_t count, std::vector<std::int64_t>& offsets) {
  Bytes b;
  for (std::size_t i = 0; i < count; ++i) {
    offsets.push_back(static_cast<std::int64_t>(b.size()));
    b.insert(b.end(), 10 + i, static_cast<std::uint8_t>(i));
  }
  return b;
}

TEST(MovieWriter, WritesAnMdatWithA64BitSizeThenTheMovie) {
  std::vector<std::int64_t> at;
  const Bytes input = numbered_samples(5, at);
  const Written w = write_movie(two_tracks(), input, [&](MovieWriter& mw, InputWindow& in) {
    for (std::size_t i = 0; i < 5; ++i) {
      ASSERT_EQ(mw.add_input_sample(i % 2, {3000, 0, true}, in, at[i],
                                    static_cast<std::uint32_t>(10 + i)),
                SampleWrite::Done);
    }
  });
  ASSERT_TRUE(w.ok);
  const std::vector<BoxRef> ftyp = find_boxes(w.file, "ftyp");
  ASSERT_EQ(ftyp.size(), 1u);
  const auto mdat_at = static_cast<std::int64_t>(ftyp[0].size);
  EXPECT_EQ(read_be(w.file, mdat_at, 4), 1u);
  EXPECT_EQ(slice(w.file, mdat_at + 4, 4), bytes_of("mdat"));
  const std::uint64_t mdat_size = read_be(w.file, mdat_at + 8, 8);
  EXPECT_EQ(mdat_size, 16u + input.size());
  EXPECT_EQ(slice(w.file, mdat_at + static_cast<std::int64_t>(mdat_size) + 4, 4), bytes_of("moov"));
  // Each sample comes back where the tables say, with its own bytes.
  ASSERT_EQ(w.tracks.size(), 2u);
  for (std::size_t k = 0; k < 2; ++k) {
    std::vector<SampleRef> samples;
    ASSERT_EQ(list_samples(w.tracks[k], static_cast<std::int64_t>(w.file.size()), false, samples),
              SampleListStatus::Ok);
    for (std::size_t j = 0; j < samples.size(); ++j) {
      const std::size_t i = 2 * j + k;
      EXPECT_EQ(slice(w.file, samples[j].offset, samples[j].size), slice(input, at[i], 10 + i));
    }
  }
}

TEST(MovieWriter, GroupsConsecutiveSamplesOfATrackInChunks) {
  struct Case {
    const char* name;
    std::string order;  // V and A: the tracks of the samples in file order
    std::vector<std::pair<std::uint32_t, std::uint32_t>> video_runs, audio_runs;
    std::size_t video_chunks, audio_chunks;
  };
  const Case cases[] = {
      {"alternating", "VAVAVA", {{1, 1}}, {{1, 1}}, 3, 3},
      {"pairs", "VVAAVVAA", {{1, 2}}, {{1, 2}}, 2, 2},
      {"runs that change", "VVVAVAVVA", {{1, 3}, {2, 1}, {3, 2}}, {{1, 1}}, 3, 3},
      {"one track", "VVVV", {{1, 4}}, {}, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes input(64, 0x42);
    const Written w = write_movie(two_tracks(), input, [&](MovieWriter& mw, InputWindow& in) {
      for (char track : c.order) {
        ASSERT_EQ(mw.add_input_sample(track == 'V' ? kVideo : kAudio, {1, 0, true}, in, 0, 4),
                  SampleWrite::Done);
      }
    });
    ASSERT_TRUE(w.ok);
    const auto runs_of = [](const TrackTables& t) {
      std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
      for (const ChunkRun& r : t.chunk_runs) runs.push_back({r.first_chunk, r.samples_per_chunk});
      return runs;
    };
    ASSERT_EQ(w.tracks.size(), c.audio_chunks == 0 ? 1u : 2u);
    EXPECT_EQ(runs_of(w.tracks[0]), c.video_runs);
    EXPECT_EQ(w.tracks[0].chunk_offsets.size(), c.video_chunks);
    if (c.audio_chunks != 0) {
      EXPECT_EQ(runs_of(w.tracks[1]), c.audio_runs);
      EXPECT_EQ(w.tracks[1].chunk_offsets.size(), c.audio_chunks);
    }
  }
}

// The body of a track's table, in the written file, the first of its type.
Bytes table_body(const Bytes& file, const char* type, std::size_t nth = 0) {
  const std::vector<BoxRef> boxes = find_boxes(file, type);
  if (boxes.size() <= nth) return {};
  return slice(file, boxes[nth].body_offset(), boxes[nth].body_size());
}

Bytes words(std::initializer_list<std::uint32_t> values) {
  Bytes b;
  for (std::uint32_t v : values) append_u32(b, v);
  return b;
}

TEST(MovieWriter, CodesTimingInRunsAndMarksKeysOnlyWhenSomeAreNot) {
  struct Case {
    const char* name;
    bool quicktime;
    std::vector<SampleTiming> samples;
    Bytes stts, ctts, stss;  // empty: the box is absent
  };
  const Case cases[] = {
      {"constant keys",
       false,
       {{3000, 0, true}, {3000, 0, true}, {3000, 0, true}},
       words({0, 1, 3, 3000}),
       {},
       {}},
      {"B-frames",
       false,
       {{3000, 6000, true}, {3000, 12000, false}, {3000, 3000, false}, {3000, 0, false}},
       words({0, 1, 4, 3000}),
       words({0, 4, 1, 6000, 1, 12000, 1, 3000, 1, 0}),
       words({0, 1, 1})},
      {"variable rate, a second key",
       false,
       {{3000, 0, true}, {3000, 0, false}, {3003, 0, true}, {2997, 0, false}},
       words({0, 3, 2, 3000, 1, 3003, 1, 2997}),
       {},
       words({0, 2, 1, 3})},
      {"negative offsets in MP4",
       false,
       {{1000, 0, true}, {1000, 1000, false}, {1000, -1000, false}},
       words({0, 1, 3, 1000}),
       words({0x01000000, 3, 1, 0, 1, 1000, 1, 0xFFFFFC18}),
       words({0, 1, 1})},
      {"a frame presented before 0 moves all to 0",
       false,
       {{1000, -1000, true}, {1000, 1000, false}, {1000, 0, false}},
       words({0, 1, 3, 1000}),
       words({0, 3, 1, 0, 1, 2000, 1, 1000}),
       words({0, 1, 1})},
      {"negative offsets in QuickTime",
       true,
       {{1000, 0, true}, {1000, 1000, false}, {1000, -1000, false}},
       words({0, 1, 3, 1000}),
       words({0, 3, 1, 0, 1, 1000, 1, 0xFFFFFC18}),
       words({0, 1, 1})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MovieTemplate movie = two_tracks();
    movie.quicktime = c.quicktime;
    const Written w = write_movie(movie, Bytes(8, 1), [&](MovieWriter& mw, InputWindow& in) {
      for (const SampleTiming& s : c.samples) {
        ASSERT_EQ(mw.add_input_sample(kVideo, s, in, 0, 8), SampleWrite::Done);
      }
    });
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(table_body(w.file, "stts"), c.stts);
    EXPECT_EQ(table_body(w.file, "ctts"), c.ctts);
    EXPECT_EQ(table_body(w.file, "stss"), c.stss);
  }
}

// The edit list's entries: segment duration, media time.
std::vector<std::pair<std::uint32_t, std::int32_t>> edits_of(const Bytes& file, std::size_t nth) {
  const Bytes elst = table_body(file, "elst", nth);
  std::vector<std::pair<std::uint32_t, std::int32_t>> edits;
  if (elst.empty()) return edits;
  EXPECT_EQ(elst[0], 0) << "version";
  for (std::uint64_t i = 0; i < read_be(elst, 4, 4); ++i) {
    const auto at = static_cast<std::int64_t>(8 + 12 * i);
    edits.push_back({static_cast<std::uint32_t>(read_be(elst, at, 4)),
                     static_cast<std::int32_t>(read_be(elst, at + 4, 4))});
  }
  return edits;
}

Bytes edit_list(std::initializer_list<std::pair<std::uint32_t, std::int32_t>> edits) {
  Bytes body;
  append_u32(body, static_cast<std::uint32_t>(edits.size()));
  for (const auto& [duration, time] : edits) {
    append_u32(body, duration);
    append_u32(body, static_cast<std::uint32_t>(time));
    append_u32(body, 0x00010000);
  }
  return full_box("elst", 0, 0, body);
}

TEST(MovieWriter, StartsPresentationWhereTheFirstFrameShows) {
  struct Case {
    const char* name;
    Bytes reference_edits;
    std::vector<std::int32_t> offsets;  // video composition offsets, 3000 per frame
    std::vector<std::pair<std::uint32_t, std::int32_t>> edits;
  };
  const Case cases[] = {
      {"no edits, no reordering", {}, {0, 0, 0, 0}, {}},
      // Four frames of 3000 at 90 kHz: 133.3 ms, rounded up in the movie's 1 kHz.
      {"B-frames without reference edits", {}, {6000, 12000, 3000, 6000}, {{134, 6000}}},
      {"B-frames, the reference's edit replaced",
       edit_list({{999, 3000}}),
       {6000, 12000, 3000, 6000},
       {{134, 6000}}},
      {"an empty edit of the reference kept",
       edit_list({{500, -1}, {999, 0}}),
       {0, 0, 0, 0},
       {{500, -1}, {134, 0}}},
      {"negative offsets moved to 0, no edit needed", {}, {-3000, 3000, -3000, 0}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MovieTemplate movie = two_tracks();
    movie.tracks[kVideo].edit_list = c.reference_edits;
    const Written w = write_movie(movie, Bytes(8, 1), [&](MovieWriter& mw, InputWindow& in) {
      for (std::int32_t offset : c.offsets) {
        ASSERT_EQ(mw.add_input_sample(kVideo, {3000, offset, true}, in, 0, 8), SampleWrite::Done);
      }
    });
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(edits_of(w.file, 0), c.edits);
  }
}

TEST(MovieWriter, KeepsTheAudioEncoderDelayOfTheReference) {
  MovieTemplate movie = two_tracks();
  movie.tracks[kAudio].edit_list = edit_list({{1000, 1024}});
  const Written w = write_movie(movie, Bytes(8, 1), [&](MovieWriter& mw, InputWindow& in) {
    for (int i = 0; i < 48; ++i) {
      ASSERT_EQ(mw.add_input_sample(kAudio, {1024, 0, true}, in, 0, 8), SampleWrite::Done);
    }
  });
  ASSERT_TRUE(w.ok);
  // 47 frames after the delay: 48128 samples at 48 kHz, 1002.7 ms.
  EXPECT_EQ(edits_of(w.file, 0),
            (std::vector<std::pair<std::uint32_t, std::int32_t>>{{1003, 1024}}));
  EXPECT_EQ(read_be(table_body(w.file, "mvhd"), 16, 4), 1003u);
}

TEST(MovieWriter, WritesPcmFramesAsOneUniformSize) {
  std::vector<std::int64_t> unused;
  const Bytes input(4000, 0x11);
  const Written w = write_movie(two_tracks(), input, [&](MovieWriter& mw, InputWindow& in) {
    ASSERT_EQ(mw.add_input_sample(kVideo, {3000, 0, true}, in, 0, 100), SampleWrite::Done);
    ASSERT_EQ(mw.add_input_frames(kAudio, in, 100, 1600, 4, 1), SampleWrite::Done);
    ASSERT_EQ(mw.add_input_sample(kVideo, {3000, 0, true}, in, 1700, 100), SampleWrite::Done);
    ASSERT_EQ(mw.add_input_frames(kAudio, in, 1800, 1600, 4, 1), SampleWrite::Done);
  });
  ASSERT_TRUE(w.ok);
  ASSERT_EQ(w.tracks.size(), 2u);
  const TrackTables& audio = w.tracks[kAudio];
  EXPECT_EQ(audio.uniform_size, 4u);
  EXPECT_EQ(audio.sample_count, 800u);
  EXPECT_TRUE(audio.sizes.empty());
  ASSERT_EQ(audio.chunk_runs.size(), 1u);
  EXPECT_EQ(audio.chunk_runs[0].samples_per_chunk, 400u);
  EXPECT_EQ(table_body(w.file, "stts", 1), words({0, 1, 800, 1}));
}

TEST(MovieWriter, SwitchesTablesAtTheirLimits) {
  struct Case {
    const char* name;
    std::vector<std::uint64_t> chunks;
    const char* type;
    std::size_t entry_bytes;
  };
  const Case cases[] = {
      {"last 32-bit offset", {0x100, 0xFFFFFFFFu}, "stco", 4},
      {"first offset past 4 GiB", {0x100, 0x100000000u}, "co64", 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TrackSamples t;
    t.chunk_offsets = c.chunks;
    const Bytes table = chunk_offset_box(t);
    EXPECT_EQ(slice(table, 4, 4), bytes_of(c.type));
    EXPECT_EQ(table.size(), 16 + c.chunks.size() * c.entry_bytes);
    EXPECT_EQ(read_be(table, static_cast<std::int64_t>(16 + c.entry_bytes),
                      static_cast<int>(c.entry_bytes)),
              c.chunks[1]);
  }
}

TEST(MovieWriter, ListsSizesOnceTheyDiffer) {
  const Bytes input(64, 0x42);
  const Written w = write_movie(two_tracks(), input, [&](MovieWriter& mw, InputWindow& in) {
    for (std::uint32_t size : {8u, 8u, 8u, 5u, 8u}) {
      ASSERT_EQ(mw.add_input_sample(kVideo, {1, 0, true}, in, 0, size), SampleWrite::Done);
    }
    ASSERT_EQ(mw.add_input_sample(kAudio, {1, 0, true}, in, 0, 6), SampleWrite::Done);
    ASSERT_EQ(mw.add_input_sample(kAudio, {1, 0, true}, in, 0, 6), SampleWrite::Done);
  });
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.tracks[kVideo].uniform_size, 0u);
  EXPECT_EQ(w.tracks[kVideo].sizes, (std::vector<std::uint32_t>{8, 8, 8, 5, 8}));
  EXPECT_EQ(w.tracks[kAudio].uniform_size, 6u);
  EXPECT_EQ(w.tracks[kAudio].sample_count, 2u);
}

TEST(MovieWriter, KeepsTheReferenceTrackHeaderButItsDuration) {
  MovieTemplate movie = two_tracks();
  Bytes tkhd_body = words({0x11, 0x22, 1, 0, 0});  // times, id, reserved, duration
  append(tkhd_body, Bytes(16, 0x33));
  append(tkhd_body, words({0, 0x10000, 0, 0xFFFF0000, 0, 0, 0, 0, 0x40000000}));  // rotated
  append(tkhd_body, words({1920u << 16, 1080u << 16}));
  movie.tracks[kVideo].tkhd = full_box("tkhd", 0, 3, tkhd_body);
  movie.timescale = 90000;
  struct Case {
    const char* name;
    std::uint32_t frames;
    std::uint32_t duration;
    std::uint8_t version;
  };
  const Case cases[] = {
      {"fits 32 bits", 2, 3000, 0},
      {"past 32 bits", 3, 0x7FFFFFFF, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Written w = write_movie(movie, Bytes(8, 1), [&](MovieWriter& mw, InputWindow& in) {
      for (std::uint32_t i = 0; i < c.frames; ++i) {
        ASSERT_EQ(mw.add_input_sample(kVideo, {c.duration, 0, true}, in, 0, 8), SampleWrite::Done);
      }
    });
    ASSERT_TRUE(w.ok);
    const Bytes tkhd = table_body(w.file, "tkhd");
    ASSERT_FALSE(tkhd.empty());
    EXPECT_EQ(tkhd[0], c.version);
    const std::uint64_t total = std::uint64_t{c.frames} * c.duration;
    const std::int64_t times = c.version == 1 ? 16 : 8;  // after version and flags
    EXPECT_EQ(read_be(tkhd, 4, c.version == 1 ? 8 : 4), 0x11u);
    EXPECT_EQ(read_be(tkhd, 4 + times / 2 * 1, c.version == 1 ? 8 : 4), 0x22u);
    EXPECT_EQ(read_be(tkhd, 4 + times + 8, c.version == 1 ? 8 : 4), total);
    EXPECT_EQ(slice(tkhd, static_cast<std::int64_t>(tkhd.size()) - 60, 60),
              slice(tkhd_body, static_cast<std::int64_t>(tkhd_body.size()) - 60, 60));
  }
}

TEST(MovieWriter, WritesUnitsBehindLengthsAsWideAsTheConfigurationSays) {
  Bytes hevc_config(23, 0);
  hevc_config[21] = 0xFD;  // lengthSizeMinusOne 1 in the low bits
  struct Case {
    const char* name;
    Bytes entry;
    Bytes lengths[2];
    std::uint32_t too_long;  // the shortest unit the width cannot say, 0: none
  };
  const Case cases[] = {
      {"avcC, four bytes", visual_entry("avc1", avc_config(0xFF)), {{0, 0, 0, 3}, {0, 0, 0, 2}}, 0},
      {"avcC, two bytes", visual_entry("avc1", avc_config(0xFD)), {{0, 3}, {0, 2}}, 65536},
      {"avcC, one byte", visual_entry("avc1", avc_config(0xFC)), {{3}, {2}}, 256},
      {"hvcC, two bytes", visual_entry("hvc1", box("hvcC", hevc_config)), {{0, 3}, {0, 2}}, 65536},
      {"no configuration", visual_entry("mp4v", {}), {{0, 0, 0, 3}, {0, 0, 0, 2}}, 0},
  };
  const Bytes input = concat({Bytes(3, 0xEE), {0x65, 0x88, 0x80}, Bytes(2, 0xEE), {0x41, 0x9A}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MovieTemplate movie = two_tracks();
    movie.tracks[kVideo].sample_entry = c.entry;
    const Written w = write_movie(movie, input, [&](MovieWriter& mw, InputWindow& in) {
      const InputUnit units[] = {{3, 3}, {8, 2}};
      ASSERT_EQ(mw.begin_sample(kVideo, {3000, 0, true}), SampleWrite::Done);
      ASSERT_EQ(mw.append_units(in, units), SampleWrite::Done);
      ASSERT_EQ(mw.end_sample(), SampleWrite::Done);
      // A unit longer than the width can say is refused before anything is written.
      if (c.too_long == 0) return;
      const InputUnit too_long[] = {{0, 3}, {0, c.too_long}};
      ASSERT_EQ(mw.begin_sample(kVideo, {3000, 0, true}), SampleWrite::Done);
      EXPECT_EQ(mw.append_units(in, too_long), SampleWrite::Refused);
      EXPECT_EQ(mw.media_bytes(), 16 + 5 + 2 * static_cast<std::int64_t>(c.lengths[0].size()));
      mw.abandon_sample();
    });
    ASSERT_TRUE(w.ok);
    std::vector<SampleRef> samples;
    ASSERT_EQ(list_samples(w.tracks[0], static_cast<std::int64_t>(w.file.size()), false, samples),
              SampleListStatus::Ok);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(slice(w.file, samples[0].offset, samples[0].size),
              concat({c.lengths[0], {0x65, 0x88, 0x80}, c.lengths[1], {0x41, 0x9A}}));
  }
}

TEST(MovieWriter, RefusesMisuseAndKeepsFailedSamplesOutOfTheTables) {
  std::vector<std::int64_t> at;
  const Bytes input = numbered_samples(2, at);
  const Written w = write_movie(two_tracks(), input, [&](MovieWriter& mw, InputWindow& in) {
    EXPECT_EQ(mw.append_bytes(input), SampleWrite::Refused);
    EXPECT_EQ(mw.end_sample(), SampleWrite::Refused);
    EXPECT_EQ(mw.begin_sample(2, {1, 0, true}), SampleWrite::Refused);
    EXPECT_EQ(mw.add_input_frames(kAudio, in, 0, 15, 4, 1), SampleWrite::Refused);
    EXPECT_EQ(mw.add_input_sample(kVideo, {1, 0, true}, in, at[0], 10), SampleWrite::Done);
    testing::internal::CaptureStdout();
    EXPECT_EQ(mw.add_input_sample(kVideo, {1, 0, true}, in, 8, 90), SampleWrite::ReadFailed);
    testing::internal::GetCapturedStdout();
    // Bytes of a sample given up on lie between two samples of one track.
    ASSERT_EQ(mw.begin_sample(kVideo, {1, 0, true}), SampleWrite::Done);
    ASSERT_EQ(mw.append_bytes(Bytes(5, 0xEE)), SampleWrite::Done);
    mw.abandon_sample();
    EXPECT_EQ(mw.add_input_sample(kVideo, {1, 0, true}, in, at[1], 11), SampleWrite::Done);
  });
  ASSERT_TRUE(w.ok);
  ASSERT_EQ(w.tracks.size(), 1u);
  std::vector<SampleRef> samples;
  ASSERT_EQ(list_samples(w.tracks[0], static_cast<std::int64_t>(w.file.size()), false, samples),
            SampleListStatus::Ok);
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(w.tracks[0].chunk_offsets.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(slice(w.file, samples[i].offset, samples[i].size), slice(input, at[i], 10 + i));
  }
}

TEST(MovieWriter, RefusesATemplateItCannotPlay) {
  struct Case {
    const char* name;
    std::function<void(MovieTemplate&)> change;
  };
  const Case cases[] = {
      {"no track", [](MovieTemplate& m) { m.tracks.clear(); }},
      {"no timescale", [](MovieTemplate& m) { m.tracks[kAudio].timescale = 0; }},
      {"no sample entry", [](MovieTemplate& m) { m.tracks[kVideo].sample_entry.clear(); }},
      {"a cut sample entry", [](MovieTemplate& m) { m.tracks[kVideo].sample_entry.pop_back(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MovieTemplate movie = two_tracks();
    c.change(movie);
    TempDir dir;
    OutputFile out;
    ASSERT_TRUE(out.open(dir.path("out.mp4").c_str()));
    MovieWriter writer;
    EXPECT_FALSE(writer.start(out, movie));
    EXPECT_EQ(writer.begin_sample(0, {1, 0, true}), SampleWrite::Refused);
  }
}

TEST(MovieWriter, ReportsAFullDiskAndAFinishedMovie) {
  OutputFile out;
  if (!out.open("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
  const Bytes input(300000, 0x42);
  InputWindow in;
  open_memory_input(in, input);
  MovieWriter writer;
  ASSERT_TRUE(writer.start(out, two_tracks()));
  // Large samples go to the file at once; the failure shows on the next call.
  SampleWrite done = SampleWrite::Done;
  for (int i = 0; i < 4 && done == SampleWrite::Done; ++i) {
    done = writer.add_input_sample(kVideo, {1, 0, true}, in, 0, 300000);
  }
  EXPECT_EQ(done, SampleWrite::WriteFailed);
  EXPECT_FALSE(writer.finish());
  (void)out.close();

  TempDir dir;
  OutputFile file;
  ASSERT_TRUE(file.open(dir.path("out.mp4").c_str()));
  MovieWriter again;
  ASSERT_TRUE(again.start(file, two_tracks()));
  ASSERT_EQ(again.add_input_sample(kVideo, {1, 0, true}, in, 0, 10), SampleWrite::Done);
  EXPECT_TRUE(again.finish());
  EXPECT_FALSE(again.finish());
  EXPECT_EQ(again.add_input_sample(kVideo, {1, 0, true}, in, 0, 10), SampleWrite::Refused);
}

}  // namespace
}  // namespace vidsalvage
