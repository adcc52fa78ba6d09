#include "mp4/access_unit_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/bit_writer.h"
#include "support/bytes.h"

namespace vidsalvage {
namespace {
using test::BitWriter;
using test::Bytes;

// A unit's head: the NAL header, then for slices first_mb_in_slice and slice_type.
struct Unit {
  std::uint8_t type = 0;
  std::uint32_t first_mb = 0;
};

Bytes head_of(const Unit& u) {
  Bytes head = {static_cast<std::uint8_t>(0x60 | u.type)};
  if (u.type >= 1 && u.type <= 5) {
    const Bytes rest = BitWriter().ue(u.first_mb).ue(u.type == 5 ? 7 : 5).finish();
    head.insert(head.end(), rest.begin(), rest.end());
  } else {
    head.push_back(0x80);  // an empty payload: the stop bit
  }
  return head;
}

// The access units as the index ranges of their units, and their sync flags.
struct Grouping {
  std::vector<std::vector<std::int64_t>> units;
  std::vector<bool> sync;
};

Grouping assemble(const std::vector<Bytes>& heads, AccessUnitOptions options = {}) {
  AccessUnitAssembler assembler(options);
  Grouping g;
  AccessUnit done;
  const auto take = [&] {
    std::vector<std::int64_t> offsets;
    for (const InputUnit& u : done.units) offsets.push_back(u.offset);
    g.units.push_back(offsets);
    g.sync.push_back(done.sync);
  };
  for (std::size_t i = 0; i < heads.size(); ++i) {
    const InputUnit unit{static_cast<std::int64_t>(i), static_cast<std::uint32_t>(100 + i)};
    if (assembler.add(unit, heads[i], done)) take();
  }
  if (assembler.flush(done)) take();
  return g;
}

std::vector<Bytes> heads_of(const std::vector<Unit>& units) {
  std::vector<Bytes> heads;
  for (const Unit& u : units) heads.push_back(head_of(u));
  return heads;
}

TEST(AccessUnitAssembler, StartsAnAccessUnitWhereTheNextPictureBegins) {
  struct Case {
    const char* name;
    std::vector<Unit> units;
    std::vector<std::vector<std::int64_t>> groups;
    std::vector<bool> sync;
  };
  const Case cases[] = {
      {"delimiters",
       {{9}, {7}, {8}, {5, 0}, {5, 40}, {9}, {1, 0}, {9}, {1, 0}},
       {{0, 1, 2, 3, 4}, {5, 6}, {7, 8}},
       {true, false, false}},
      {"parameter sets and SEI without delimiters",
       {{7}, {8}, {6}, {5, 0}, {1, 0}, {6}, {1, 0}},
       {{0, 1, 2, 3}, {4}, {5, 6}},
       {true, false, false}},
      {"slices of one picture",
       {{1, 0}, {1, 5}, {1, 9}, {1, 0}, {1, 7}},
       {{0, 1, 2}, {3, 4}},
       {false, false}},
      {"end of sequence and filler stay with their picture",
       {{5, 0}, {12}, {10}, {11}, {5, 0}},
       {{0, 1, 2, 3}, {4}},
       {true, true}},
      {"units before the first slice wait for it",
       {{9}, {6}, {9}, {7}, {1, 0}},
       {{0, 1, 2, 3, 4}},
       {false}},
      {"data partitions", {{2, 0}, {3}, {4}, {2, 0}, {3}}, {{0, 1, 2}, {3, 4}}, {false, false}},
      {"reserved types before a picture", {{1, 0}, {14}, {1, 0}}, {{0}, {1, 2}}, {false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Grouping g = assemble(heads_of(c.units));
    EXPECT_EQ(g.units, c.groups);
    EXPECT_EQ(g.sync, c.sync);
  }
}

TEST(AccessUnitAssembler, TakesAHeadCutShortForANewPicture) {
  std::vector<Bytes> heads = heads_of({{1, 0}, {1, 3}, {1, 3}});
  heads[1] = {0x61};         // the header alone
  heads[2].push_back(0xAA);  // longer than the head the assembler reads is fine
  const Grouping g = assemble(heads);
  EXPECT_EQ(g.units, (std::vector<std::vector<std::int64_t>>{{0}, {1, 2}}));
}

// An SEI unit's head: messages of (type, size) with zero payload bytes.
Bytes sei(std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> messages) {
  Bytes head = {0x06};
  for (const auto& [type, size] : messages) {
    for (std::uint32_t t = type;; t -= 255) {
      head.push_back(static_cast<std::uint8_t>(t >= 255 ? 255 : t));
      if (t < 255) break;
    }
    head.push_back(static_cast<std::uint8_t>(size));
    head.insert(head.end(), size, 0x11);
  }
  head.push_back(0x80);
  return head;
}

TEST(AccessUnitAssembler, MarksRecoveryPointsWhenAsked) {
  struct Case {
    const char* name;
    Bytes sei;
    bool with_option, sync;
  };
  const Case cases[] = {
      {"recovery point", sei({{6, 2}}), true, true},
      {"recovery point, option off", sei({{6, 2}}), false, false},
      {"after user data", sei({{5, 3}, {6, 2}}), true, true},
      {"a type of 261 is not 6", sei({{261, 1}}), true, false},
      {"buffering period only", sei({{0, 4}}), true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Grouping g = assemble({c.sei, head_of({1, 0}), head_of({1, 0})},
                                {.recovery_point_is_sync = c.with_option});
    EXPECT_EQ(g.sync, (std::vector<bool>{c.sync, false}));
  }
}

TEST(AccessUnitAssembler, DropsUnitsWithoutASliceAtTheEnd) {
  const Grouping g = assemble(heads_of({{1, 0}, {9}, {7}, {8}}));
  EXPECT_EQ(g.units, (std::vector<std::vector<std::int64_t>>{{0}}));
}

// An HEVC unit's head: the two header bytes (layer 0, temporal id 0), then for
// a slice segment first_slice_segment_in_pic_flag and more bits.
struct HevcUnit {
  std::uint8_t type = 0;
  bool first = true;
};

std::vector<Bytes> hevc_heads(const std::vector<HevcUnit>& units) {
  std::vector<Bytes> heads;
  for (const HevcUnit& u : units) {
    Bytes head = {static_cast<std::uint8_t>(u.type << 1), 0x01};
    head.push_back(u.type > 31 || u.first ? 0xA5 : 0x25);
    heads.push_back(head);
  }
  return heads;
}

constexpr AccessUnitOptions kHevc = {.codec = VideoCodec::Hevc};

TEST(AccessUnitAssembler, StartsAnHevcAccessUnitWhereTheNextPictureBegins) {
  struct Case {
    const char* name;
    std::vector<HevcUnit> units;
    std::vector<std::vector<std::int64_t>> groups;
    std::vector<bool> sync;
  };
  const Case cases[] = {
      {"delimiters, parameter sets and SEI",
       {{35}, {32}, {33}, {34}, {39}, {19}, {40}, {35}, {1}, {35}, {1}},
       {{0, 1, 2, 3, 4, 5, 6}, {7, 8}, {9, 10}},
       {true, false, false}},
      {"a picture per unit, as x265 writes into MP4",
       {{20}, {1}, {0}, {21}, {9}, {8}},
       {{0}, {1}, {2}, {3}, {4}, {5}},
       {true, false, false, true, false, false}},
      {"segments of one picture",
       {{1}, {1, false}, {1, false}, {1}, {1, false}},
       {{0, 1, 2}, {3, 4}},
       {false, false}},
      {"parameter sets open the next picture without a delimiter",
       {{1}, {32}, {33}, {34}, {21}, {34}, {1}},
       {{0}, {1, 2, 3, 4}, {5, 6}},
       {false, true, false}},
      {"end of sequence and bitstream, filler and suffix SEI stay with their picture",
       {{19}, {40}, {38}, {36}, {37}, {21}},
       {{0, 1, 2, 3, 4}, {5}},
       {true, true}},
      {"units before the first slice wait for it",
       {{35}, {39}, {35}, {32}, {1}},
       {{0, 1, 2, 3, 4}},
       {false}},
      {"reserved and unspecified types: 41 and 48 open, 45 and 56 follow",
       {{1}, {41}, {1}, {48}, {1}, {45}, {56}, {1}},
       {{0}, {1, 2}, {3, 4, 5, 6}, {7}},
       {false, false, false, false}},
      {"every IRAP type is a key, a reserved non-IRAP type is not",
       {{16}, {18}, {22}, {23}, {24}, {15}},
       {{0}, {1}, {2}, {3}, {4}, {5}},
       {true, true, true, true, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Grouping g = assemble(hevc_heads(c.units), kHevc);
    EXPECT_EQ(g.units, c.groups);
    EXPECT_EQ(g.sync, c.sync);
  }
}

TEST(AccessUnitAssembler, TakesAnHevcHeadWithoutItsFirstSegmentFlagForANewPicture) {
  std::vector<Bytes> heads = hevc_heads({{1}, {1, false}, {1, false}});
  heads[1].resize(2);  // the header alone
  const Grouping g = assemble(heads, kHevc);
  EXPECT_EQ(g.units, (std::vector<std::vector<std::int64_t>>{{0}, {1, 2}}));
}

TEST(AccessUnitAssembler, MarksHevcRecoveryPointsWhenAsked) {
  // A prefix SEI behind its two header bytes; a suffix SEI does not count.
  Bytes prefix = sei({{6, 2}});
  prefix[0] = 0x01;
  prefix.insert(prefix.begin(), 0x4E);
  Bytes suffix = prefix;
  suffix[0] = 0x50;
  const Bytes trail = hevc_heads({{1}})[0];
  AccessUnitOptions options = kHevc;
  options.recovery_point_is_sync = true;
  EXPECT_EQ(assemble({prefix, trail, trail}, options).sync, (std::vector<bool>{true, false}));
  EXPECT_EQ(assemble({trail, suffix, trail}, options).sync, (std::vector<bool>{false, false}));
  EXPECT_EQ(assemble({prefix, trail, trail}, kHevc).sync, (std::vector<bool>{false, false}));
}

}  // namespace
}  // namespace vidsalvage
