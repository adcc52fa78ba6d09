#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mp4/box_tree.h"
#include "support/bytes.h"
#include "support/media.h"
#include "support/movie_boxes.h"

namespace vidsalvage {
namespace {
using test::append;
using test::append_u32;
using test::box;
using test::Bytes;
using test::bytes_of;
using test::concat;
using test::full_box;
using test::slice;
using test::TrackLayout;

struct TemplateRead {
  bool ok = false;
  MovieTemplate movie;
  BoxTreeError error;
};

TemplateRead read_template(const Bytes& file) {
  InputWindow input;
  open_memory_input(input, file);
  TemplateRead r;
  r.ok = read_movie_template(input, r.movie, r.error);
  return r;
}

Bytes movie_header(std::uint32_t timescale) {
  Bytes body(8, 0);
  append_u32(body, timescale);
  append(body, Bytes(84, 0));
  return full_box("mvhd", 0, 0, body);
}

TrackLayout video_layout() {
  TrackLayout s;
  s.id = 3;
  s.entry_fields = test::visual_entry_fields();
  s.entry_children = box("avcC", {0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE0, 0x00});
  s.timescale = 30000;
  s.durations = {{2, 1001}};
  s.sizes = {10, 20};
  s.chunk_runs = {{1, 2}};
  s.chunk_offsets = {0x20};
  return s;
}

// The trak with an edts box after its track header, where writers put it.
Bytes with_edit_list(const Bytes& trak, const Bytes& elst) {
  const std::int64_t tkhd_size = static_cast<std::int64_t>(test::read_be(trak, 8, 4));
  return box(
      "trak",
      concat({slice(trak, 8, tkhd_size), box("edts", elst),
              slice(trak, 8 + tkhd_size, static_cast<std::int64_t>(trak.size()) - 8 - tkhd_size)}));
}

Bytes one_edit(std::uint32_t duration, std::uint32_t media_time) {
  Bytes body;
  append_u32(body, 1);
  append_u32(body, duration);
  append_u32(body, media_time);
  append_u32(body, 0x00010000);
  return full_box("elst", 0, 0, body);
}

TEST(ReadMovieTemplate, CopiesTheBoxesAPlayableFileReuses) {
  const Bytes ftyp = box("ftyp", concat({bytes_of("mp42"), Bytes(4, 0), bytes_of("isommp42")}));
  const Bytes elst = one_edit(2002, 1001);
  const Bytes trak = with_edit_list(test::track_box(video_layout()), elst);
  const Bytes file =
      concat({ftyp, box("mdat", Bytes(48, 0xAA)), box("moov", concat({movie_header(600), trak}))});
  const TemplateRead r = read_template(file);
  ASSERT_TRUE(r.ok) << r.error.box;
  EXPECT_EQ(r.movie.ftyp, ftyp);
  EXPECT_FALSE(r.movie.quicktime);
  EXPECT_EQ(r.movie.timescale, 600u);
  ASSERT_EQ(r.movie.tracks.size(), 1u);
  const TrackTemplate& t = r.movie.tracks[0];
  // Whole boxes as the file holds them, found by the test's own walk.
  const auto whole = [&](const char* type) {
    const test::BoxRef ref = test::find_boxes(file, type).at(0);
    return slice(file, ref.offset, ref.size);
  };
  EXPECT_EQ(t.tkhd, whole("tkhd"));
  EXPECT_EQ(t.sample_entry, whole("avc1"));
  EXPECT_EQ(t.media_header, whole("nmhd"));
  EXPECT_EQ(t.edit_list, elst);
  EXPECT_EQ(t.id, 3u);
  EXPECT_EQ(t.handler, "vide");
  EXPECT_EQ(t.handler_name, "Track");
  EXPECT_EQ(t.timescale, 30000u);
  EXPECT_EQ(t.language, 0x55C4);
  EXPECT_EQ(t.sample_delta, 1001u);
  EXPECT_TRUE(t.constant_delta);
  EXPECT_FALSE(t.composition_offsets);
  EXPECT_FALSE(t.sync_table);
}

TEST(ReadMovieTemplate, TellsQuickTimeByItsBrandOrAMissingFileType) {
  struct Case {
    const char* name;
    Bytes head;
    bool quicktime;
  };
  const Case cases[] = {
      {"qt brand", box("ftyp", concat({bytes_of("qt  "), Bytes(4, 0), bytes_of("qt  ")})), true},
      {"iso brand", box("ftyp", concat({bytes_of("isom"), Bytes(4, 0)})), false},
      {"no file type", box("wide", {}), true},
  };
  const Bytes moov = box("moov", concat({movie_header(600), test::track_box(video_layout())}));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TemplateRead r = read_template(concat({c.head, moov}));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.movie.quicktime, c.quicktime);
  }
}

TEST(ReadMovieTemplate, KeepsAFileTypeOf64BitSizeIn32Bits) {
  const Bytes brands = concat({bytes_of("isom"), Bytes(4, 0), bytes_of("isomavc1")});
  Bytes ftyp;
  append_u32(ftyp, 1);
  append(ftyp, "ftyp");
  test::append_u64(ftyp, 16 + brands.size());
  append(ftyp, brands);
  const TemplateRead r = read_template(
      concat({ftyp, box("moov", concat({movie_header(600), test::track_box(video_layout())}))}));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.movie.ftyp, box("ftyp", brands));
}

TEST(ReadMovieTemplate, FindsTheDurationRule) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
    std::uint32_t delta;
    bool constant;
  };
  const Case cases[] = {
      {"one run", {{10, 1001}}, 1001, true},
      {"last sample cut short", {{9, 1024}, {1, 500}}, 1024, true},
      {"a longer last sample", {{9, 1024}, {1, 2048}}, 1024, true},
      {"variable in the middle", {{5, 1000}, {3, 1001}, {5, 1000}}, 1000, false},
      {"most samples decide", {{2, 1500}, {4, 1000}, {1, 1500}}, 1000, false},
      {"no table", {}, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TrackLayout layout = video_layout();
    layout.durations = c.runs;
    const TemplateRead r =
        read_template(box("moov", concat({movie_header(600), test::track_box(layout)})));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.movie.tracks.at(0).sample_delta, c.delta);
    EXPECT_EQ(r.movie.tracks.at(0).constant_delta, c.constant);
  }
}

TEST(ReadMovieTemplate, RefusesASampleEntryPastTheLimit) {
  for (const std::size_t entry_size : {kMaxSampleEntryBytes, kMaxSampleEntryBytes + 1}) {
    SCOPED_TRACE(entry_size);
    TrackLayout layout = video_layout();
    // The entry: header 8, reserved and index 8, fields 70, then the padding box.
    layout.entry_children = box("free", Bytes(entry_size - 8 - 8 - 70 - 8, 0));
    const TemplateRead r =
        read_template(box("moov", concat({movie_header(600), test::track_box(layout)})));
    if (entry_size == kMaxSampleEntryBytes) {
      ASSERT_TRUE(r.ok);
      EXPECT_EQ(r.movie.tracks.at(0).sample_entry.size(), entry_size);
    } else {
      EXPECT_FALSE(r.ok);
      EXPECT_EQ(r.error.status, BoxTreeStatus::MovieTooLarge);
      EXPECT_EQ(r.error.box, "avc1");
    }
  }
}

TEST(ReadTemplateBody, SurvivesEveryPrefixOfTheMovie) {
  const Bytes trak = with_edit_list(test::track_box(video_layout()), one_edit(2002, 0));
  const Bytes body = concat({movie_header(600), trak});
  for (std::size_t n = 0; n < body.size(); ++n) {
    const Bytes prefix(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(n));
    MovieTemplate movie;
    BoxTreeError error;
    // Any prefix either fails or holds fewer tracks; it never reads past its end.
    if (read_template_body(prefix, 8, movie, error)) {
      EXPECT_TRUE(movie.tracks.empty());
    }
  }
}

}  // namespace
}  // namespace vidsalvage
