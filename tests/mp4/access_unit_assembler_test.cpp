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

}  // namespace
}  // namespace vidsalvage
