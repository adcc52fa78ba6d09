#include "mp4/box_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/movie_boxes.h"
#include "support/temp_dir.h"

namespace vidsalvage {
namespace {
using test::append;
using test::append_u32;
using test::append_u64;
using test::box;
using test::Bytes;
using test::bytes_of;
using test::concat;
using test::full_box;
using test::TempDir;
using test::TrackLayout;

struct MovieRead {
  bool ok = false;
  std::vector<TrackTables> tracks;
  BoxTreeError error;
};

MovieRead read_file(const Bytes& file, bool allow_mapping = true) {
  TempDir dir;
  dir.write("ref.mp4", file);
  InputWindow input;
  MovieRead r;
  testing::internal::CaptureStdout();
  if (open_input(input, dir.path("ref.mp4").c_str(), {.allow_mapping = allow_mapping})) {
    r.ok = read_movie(input, r.tracks, r.error);
  }
  testing::internal::GetCapturedStdout();
  return r;
}

TrackLayout video_layout() {
  TrackLayout s;
  s.id = 7;
  s.name = bytes_of("Video");
  s.name.push_back(0);
  s.entry_fields = test::visual_entry_fields();
  s.entry_children = box("avcC", {0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE0, 0x00});
  s.timescale = 90000;
  s.durations = {{3, 3000}};
  s.sizes = {10, 20, 30};
  s.chunk_runs = {{1, 2}, {2, 1}};
  s.chunk_offsets = {0x20, 0x40};
  return s;
}

Bytes esds_box() { return test::aac_esds_box({0x11, 0x90}); }

Bytes movie(std::initializer_list<Bytes> traks) {
  Bytes body = full_box("mvhd", 0, 0, Bytes(96, 0));
  for (const Bytes& t : traks) append(body, t);
  return box("moov", body);
}

TEST(ReadMovie, ReadsHandlersEntriesTimingAndTables) {
  TrackLayout sound;
  sound.id = 0;  // no usable track_ID: the position among the tracks stands
  sound.handler = "soun";
  sound.name = {5, 'S', 'o', 'u', 'n', 'd'};  // QuickTime's counted string
  sound.entry = "mp4a";
  sound.entry_fields = test::sound_entry_fields(2, 16, 48000);
  sound.entry_children = box("wave", esds_box());  // as MOV stores it
  sound.uniform_size = 4;
  sound.uniform_count = 8;
  sound.chunk_runs = {{1, 8}};
  sound.chunk_offsets = {0x1000000000ULL};
  sound.co64 = true;
  const Bytes file = concat({box("ftyp", bytes_of("isom")), box("mdat", Bytes(64, 0xAA)),
                             movie({test::track_box(video_layout()), test::track_box(sound)})});
  const MovieRead r = read_file(file);
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.tracks.size(), 2u);
  const TrackTables& v = r.tracks[0];
  EXPECT_EQ(v.id, 7u);
  EXPECT_EQ(v.handler, "vide");
  EXPECT_EQ(v.handler_name, "Video");
  EXPECT_EQ(v.entry_type, "avc1");
  EXPECT_EQ(v.avcc, (std::vector<std::uint8_t>{0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE0, 0x00}));
  EXPECT_EQ(v.timescale, 90000u);
  ASSERT_EQ(v.durations.size(), 1u);
  EXPECT_EQ(v.durations[0].count, 3u);
  EXPECT_EQ(v.durations[0].delta, 3000u);
  EXPECT_EQ(v.sizes, (std::vector<std::uint32_t>{10, 20, 30}));
  EXPECT_EQ(v.chunk_offsets, (std::vector<std::uint64_t>{0x20, 0x40}));
  const TrackTables& a = r.tracks[1];
  EXPECT_EQ(a.id, 2u);
  EXPECT_EQ(a.handler_name, "Sound");
  EXPECT_EQ(a.channels, 2u);
  EXPECT_EQ(a.sample_bits, 16u);
  EXPECT_EQ(a.sample_rate, 48000u);
  ASSERT_GE(a.esds.size(), 4u);
  EXPECT_EQ(a.esds.back(), 0x90);
  EXPECT_EQ(a.uniform_size, 4u);
  EXPECT_EQ(a.sample_count, 8u);
  EXPECT_EQ(a.chunk_offsets, (std::vector<std::uint64_t>{0x1000000000ULL}));
}

struct SoundCase {
  const char* name;
  std::string entry;
  Bytes fields;
  Bytes children;
  TrackTables expected;  // the sound fields of it that the case states
};

TrackTables sound_fields(std::uint32_t channels, std::uint32_t bits, std::uint32_t rate,
                         std::uint16_t version, std::uint32_t bytes_per_frame) {
  TrackTables t;
  t.channels = channels;
  t.sample_bits = bits;
  t.sample_rate = rate;
  t.sound_version = version;
  t.bytes_per_frame = bytes_per_frame;
  return t;
}

// The sound entries of QuickTime's three versions and ISO's PCM entries, each
// read for the fields that say how its samples are stored.
TEST(ReadMovie, ReadsEverySoundDescription) {
  TrackTables in24 = sound_fields(2, 16, 48000, 1, 6);
  in24.little_endian_box = true;
  TrackTables lpcm = sound_fields(1, 16, 44100, 2, 2);
  lpcm.lpcm_flags = 0xC;  // signed integer, packed: little-endian
  lpcm.frames_per_packet = 1;
  TrackTables ipcm = sound_fields(6, 16, 48000, 0, 0);
  ipcm.has_pcm_config = true;
  ipcm.pcm_format_flags = 1;
  ipcm.pcm_sample_size = 24;
  const Bytes enda = box("enda", {0x00, 0x01});
  const SoundCase cases[] = {
      {"version 0",
       "sowt",
       test::sound_entry_fields(2, 16, 48000),
       {},
       sound_fields(2, 16, 48000, 0, 0)},
      {"version 1 with enda in wave", "in24", test::sound_entry_fields_v1(2, 48000, 6),
       box("wave", concat({box("frma", bytes_of("in24")), enda})), in24},
      {"version 2", "lpcm", test::sound_entry_fields_v2(1, 16, 44100.0, 0xC, 2), {}, lpcm},
      {"ISO PCM with pcmC", "ipcm", test::sound_entry_fields(6, 16, 48000),
       test::pcm_config_box(true, 24), ipcm},
  };
  for (const SoundCase& c : cases) {
    SCOPED_TRACE(c.name);
    TrackLayout sound;
    sound.id = 2;
    sound.handler = "soun";
    sound.entry = c.entry;
    sound.entry_fields = c.fields;
    sound.entry_children = c.children;
    sound.uniform_size = 2;
    sound.uniform_count = 8;
    sound.chunk_runs = {{1, 8}};
    sound.chunk_offsets = {0x20};
    const MovieRead r =
        read_file(concat({box("mdat", Bytes(64, 0xAA)),
                          movie({test::track_box(video_layout()), test::track_box(sound)})}));
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.tracks.size(), 2u);
    const TrackTables& a = r.tracks[1];
    const TrackTables& e = c.expected;
    EXPECT_EQ(a.entry_type, c.entry);
    EXPECT_EQ(a.channels, e.channels);
    EXPECT_EQ(a.sample_bits, e.sample_bits);
    EXPECT_EQ(a.sample_rate, e.sample_rate);
    EXPECT_EQ(a.sound_version, e.sound_version);
    EXPECT_EQ(a.bytes_per_frame, e.bytes_per_frame);
    EXPECT_EQ(a.frames_per_packet, e.frames_per_packet);
    EXPECT_EQ(a.lpcm_flags, e.lpcm_flags);
    EXPECT_EQ(a.little_endian_box, e.little_endian_box);
    EXPECT_EQ(a.has_pcm_config, e.has_pcm_config);
    EXPECT_EQ(a.pcm_format_flags, e.pcm_format_flags);
    EXPECT_EQ(a.pcm_sample_size, e.pcm_sample_size);
  }
}

TEST(ReadMovie, FollowsSixtyFourBitAndToTheEndSizes) {
  // An mdat with the 64-bit size form in front, and a moov whose size runs to the end.
  Bytes mdat;
  append_u32(mdat, 1);
  append(mdat, "mdat");
  append_u64(mdat, 16 + 100);
  append(mdat, Bytes(100, 0x55));
  Bytes moov = movie({test::track_box(video_layout())});
  std::fill(moov.begin(), moov.begin() + 4, 0);
  const MovieRead mapped = read_file(concat({mdat, moov}));
  ASSERT_TRUE(mapped.ok);
  ASSERT_EQ(mapped.tracks.size(), 1u);
  EXPECT_EQ(mapped.tracks[0].handler, "vide");
  EXPECT_TRUE(read_file(concat({mdat, moov}), false).ok);
}

struct DamageCase {
  const char* name;
  Bytes file;
  BoxTreeStatus status;
  std::string box;
};

// A trak whose stbl holds the given boxes in place of the usual tables.
Bytes trak_with_stbl(const Bytes& stbl) {
  Bytes hdlr(8, 0);
  append(hdlr, "vide");
  append(hdlr, Bytes(13, 0));
  return box("trak",
             box("mdia", concat({full_box("hdlr", 0, 0, hdlr), box("minf", box("stbl", stbl))})));
}

Bytes counted(std::string_view type, std::uint32_t count, std::size_t entry_bytes,
              std::size_t present) {
  Bytes body;
  if (type == "stsz") append_u32(body, 0);
  append_u32(body, count);
  append(body, Bytes(entry_bytes * present, 0x01));
  return full_box(type, 0, 0, body);
}

std::vector<DamageCase> damage_cases() {
  const Bytes stsd = full_box("stsd", 0, 0, {0, 0, 0, 0});
  const Bytes stsz = counted("stsz", 0, 4, 0);
  const Bytes stsc = counted("stsc", 0, 12, 0);
  const Bytes stco = counted("stco", 0, 4, 0);
  Bytes decreasing;
  append_u32(decreasing, 2);
  for (std::uint32_t first : {2u, 2u}) {
    append_u32(decreasing, first);
    append_u32(decreasing, 1);
    append_u32(decreasing, 1);
  }
  Bytes oversized_child = movie({test::track_box(video_layout())});
  // The trak's size now claims one byte more than the moov holds.
  const std::size_t trak_at = 8 + 108;
  oversized_child[trak_at + 3] = static_cast<std::uint8_t>(oversized_child[trak_at + 3] + 1);
  Bytes oversized_moov = movie({});
  oversized_moov[3] = static_cast<std::uint8_t>(oversized_moov[3] + 1);
  return {
      {"no movie box", box("mdat", Bytes(32, 0)), BoxTreeStatus::NoMovie, "moov"},
      {"a movie box longer than the file", oversized_moov, BoxTreeStatus::NoMovie, "moov"},
      {"a trak longer than its moov", oversized_child, BoxTreeStatus::Damaged, "trak"},
      {"a sample count beyond its box",
       movie({trak_with_stbl(concat({stsd, counted("stsz", 1000000, 4, 2), stsc, stco}))}),
       BoxTreeStatus::Damaged, "stsz"},
      {"a chunk run count beyond its box",
       movie({trak_with_stbl(concat({stsd, stsz, counted("stsc", 0x40000000, 12, 1), stco}))}),
       BoxTreeStatus::Damaged, "stsc"},
      {"chunk runs that do not go upwards",
       movie({trak_with_stbl(concat({stsd, stsz, full_box("stsc", 0, 0, decreasing), stco}))}),
       BoxTreeStatus::Damaged, "stsc"},
      {"a chunk count beyond its box",
       movie({trak_with_stbl(concat({stsd, stsz, stsc, counted("co64", 0xFFFFFFFF, 8, 3)}))}),
       BoxTreeStatus::Damaged, "co64"},
      {"no chunk offsets", movie({trak_with_stbl(concat({stsd, stsz, stsc}))}),
       BoxTreeStatus::Damaged, "stbl"},
      {"no sample sizes", movie({trak_with_stbl(concat({stsd, stsc, stco}))}),
       BoxTreeStatus::Damaged, "stbl"},
      {"a sample entry longer than its stsd",
       movie({trak_with_stbl(
           concat({full_box("stsd", 0, 0, {0, 0, 0, 1, 0, 0, 1, 0, 'a', 'v', 'c', '1'}), stsz, stsc,
                   stco}))}),
       BoxTreeStatus::Damaged, "stsd"},
  };
}

TEST(ReadMovie, NamesTheDamagedBox) {
  for (const DamageCase& c : damage_cases()) {
    SCOPED_TRACE(c.name);
    const MovieRead r = read_file(c.file);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error.status, c.status);
    EXPECT_EQ(r.error.box, c.box);
  }
}

// Every prefix and every single-byte change of a movie box body is read without
// a crash or a read outside it; the sanitizer build checks the reads.
TEST(ReadMovieBody, SurvivesTruncationAndMutation) {
  TrackLayout sound = video_layout();
  sound.handler = "soun";
  sound.entry = "mp4a";
  sound.entry_fields = test::sound_entry_fields(2, 16, 48000);
  sound.entry_children = esds_box();
  const Bytes moov = movie({test::track_box(video_layout()), test::track_box(sound)});
  const Bytes body(moov.begin() + 8, moov.end());
  for (std::size_t n = 0; n <= body.size(); ++n) {
    const Bytes prefix(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(n));
    std::vector<TrackTables> tracks;
    BoxTreeError error;
    (void)read_movie_body(prefix, 8, tracks, error);
  }
  for (std::size_t i = 0; i < body.size(); ++i) {
    for (const std::uint8_t value : Bytes{0x00, 0x01, 0x7F, 0xFF}) {
      Bytes mutated = body;
      mutated[i] = value;
      std::vector<TrackTables> tracks;
      BoxTreeError error;
      if (read_movie_body(mutated, 8, tracks, error)) {
        for (const TrackTables& t : tracks) {
          std::vector<SampleRef> samples;
          (void)list_samples(t, 1 << 20, t.handler == "soun", samples);
        }
      }
    }
  }
}

TrackTables tables(std::uint32_t uniform, std::vector<std::uint32_t> sizes,
                   std::vector<ChunkRun> runs, std::vector<std::uint64_t> chunks,
                   std::uint32_t count = 0) {
  TrackTables t;
  t.uniform_size = uniform;
  t.sizes = std::move(sizes);
  t.sample_count = uniform != 0 ? count : static_cast<std::uint32_t>(t.sizes.size());
  t.chunk_runs = std::move(runs);
  t.chunk_offsets = std::move(chunks);
  return t;
}

std::vector<std::pair<std::int64_t, std::uint32_t>> pairs(const std::vector<SampleRef>& samples) {
  std::vector<std::pair<std::int64_t, std::uint32_t>> out;
  for (const SampleRef& s : samples) out.emplace_back(s.offset, s.size);
  return out;
}

TEST(ListSamples, WalksChunkRunsInDecodingOrder) {
  // Chunks 1-2 hold two samples each, chunk 3 one.
  const TrackTables t = tables(0, {1, 2, 3, 4, 5}, {{1, 2}, {3, 1}}, {100, 200, 300});
  std::vector<SampleRef> samples;
  ASSERT_EQ(list_samples(t, 1000, false, samples), SampleListStatus::Ok);
  EXPECT_EQ(pairs(samples), (std::vector<std::pair<std::int64_t, std::uint32_t>>{
                                {100, 1}, {101, 2}, {200, 3}, {203, 4}, {300, 5}}));
  ASSERT_EQ(list_samples(t, 1000, true, samples), SampleListStatus::Ok);
  EXPECT_EQ(pairs(samples),
            (std::vector<std::pair<std::int64_t, std::uint32_t>>{{100, 3}, {200, 7}, {300, 5}}));
}

TEST(ListSamples, MergesUniformChunksInOneStepEach) {
  // Four billion one-byte samples in two chunks: listed per chunk, not per sample.
  const TrackTables t = tables(1, {}, {{1, 0x7FFFFFFF}}, {0, 0x80000000ULL}, 0xFFFFFFFE);
  std::vector<SampleRef> samples;
  ASSERT_EQ(list_samples(t, 0x100000000LL, true, samples), SampleListStatus::Ok);
  EXPECT_EQ(pairs(samples), (std::vector<std::pair<std::int64_t, std::uint32_t>>{
                                {0, 0x7FFFFFFF}, {0x80000000LL, 0x7FFFFFFF}}));
  EXPECT_EQ(list_samples(t, 0x100000000LL, false, samples), SampleListStatus::TooMany);
}

struct ListCase {
  const char* name;
  TrackTables tables;
  std::int64_t file_size;
  SampleListStatus status;
};

TEST(ListSamples, RefusesTablesThatDoNotFitTheFile) {
  const ListCase cases[] = {
      {"a sample ending one byte past the file", tables(0, {10}, {{1, 1}}, {91}), 100,
       SampleListStatus::OutsideFile},
      {"a sample ending at the end of the file", tables(0, {10}, {{1, 1}}, {90}), 100,
       SampleListStatus::Ok},
      {"a chunk beyond the file", tables(0, {1}, {{1, 1}}, {~0ULL}), 100,
       SampleListStatus::OutsideFile},
      {"a huge size after a large offset", tables(0, {0xFFFFFFFF}, {{1, 1}}, {50}), 100,
       SampleListStatus::OutsideFile},
      {"fewer chunk places than samples", tables(0, {1, 1, 1}, {{1, 1}}, {0, 10}), 100,
       SampleListStatus::TablesDisagree},
      {"a run beyond the chunks", tables(0, {1, 1}, {{1, 1}, {5, 1}}, {0, 10}), 100,
       SampleListStatus::TablesDisagree},
      {"uniform chunks beyond the file", tables(8, {}, {{1, 100}}, {0}, 100), 799,
       SampleListStatus::OutsideFile},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<SampleRef> samples;
    EXPECT_EQ(list_samples(c.tables, c.file_size, false, samples), c.status);
    if (c.tables.uniform_size != 0) {
      EXPECT_EQ(list_samples(c.tables, c.file_size, true, samples), c.status);
    }
  }
}

}  // namespace
}  // namespace vidsalvage
