#include "recovery/recorder_profile.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/bytes.h"

namespace vidsalvage {
namespace {
using test::Bytes;

Bytes entry_bytes(const PatternSet& set, std::size_t i) {
  const auto e = set.entry(i);
  return Bytes(e.begin(), e.end());
}

struct ListCase {
  const char* name;
  const PatternSet* list;
  std::size_t count;
  Bytes first;
  Bytes last;
};

TEST(RecorderProfile, ListsEndAtTheirMarkers) {
  const auto& profile = recorder_profile;
  const ListCase cases[] = {
      {"E heads", profile(RecorderKind::Eos).nal_heads, 12, {0x09, 0x10}, {0x65, 0x88}},
      {"S heads", profile(RecorderKind::Samsung).nal_heads, 26, {0x25, 0x88}, {0x01, 0xAF}},
      {"N heads", profile(RecorderKind::Android).nal_heads, 20, {0x65, 0xB8}, {0x41, 0xFF}},
      {"M heads", profile(RecorderKind::Motorola).nal_heads, 2, {0x21, 0x9A}, {0x25, 0x88}},
      {"D starts",
       profile(RecorderKind::Ambarella).aac_frame_starts,
       32,
       {0x21, 0x1A, 0x0F},
       {0x21, 0x4D, 0xD8}},
      {"P starts",
       profile(RecorderKind::Apple).aac_frame_starts,
       100,
       {0x21, 0x0C, 0x53},
       {0x21, 0x4E, 0xFF}},
      {"S starts",
       profile(RecorderKind::Samsung).aac_frame_starts,
       55,
       {0x21, 0x0C, 0x48},
       {0x21, 0x7B, 0x94}},
      {"M starts", profile(RecorderKind::Motorola).aac_frame_starts, 4, {0x00, 0x00}, {0x00, 0x03}},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(c.list, nullptr);
    ASSERT_EQ(c.list->count(), c.count);
    EXPECT_EQ(entry_bytes(*c.list, 0), c.first);
    EXPECT_EQ(entry_bytes(*c.list, c.count - 1), c.last);
  }
  const PatternSet& apple = *profile(RecorderKind::Apple).aac_frame_starts;
  EXPECT_EQ(entry_bytes(apple, 4), (Bytes{0x21, 0x4E, 0x05}));
  EXPECT_EQ(entry_bytes(apple, 10), (Bytes{0x21, 0x4E, 0x15}));
  // Eos and Android share the default list.
  EXPECT_EQ(profile(RecorderKind::Eos).aac_frame_starts,
            profile(RecorderKind::Android).aac_frame_starts);
}

struct SelectCase {
  std::vector<const char*> args;  // argument 2 on
  RecorderKind expected;
};

TEST(SelectRecorderProfile, FirstRecognisedOptionFromArgumentTwoWins) {
  const SelectCase cases[] = {
      {{"out.h264"}, RecorderKind::Ambarella},
      {{"out.h264", "--EOS"}, RecorderKind::Eos},
      {{"out.h264", "a.aac", "--Apple", "--eos"}, RecorderKind::Apple},
      {{"--samsung"}, RecorderKind::Samsung},
      {{"out.h264", "a.aac", "--andriod", "--motorola"}, RecorderKind::Motorola},
      {{"out.h264", "--android"}, RecorderKind::Android},
      {{"out.h264", "-eos", "eos"}, RecorderKind::Ambarella},
  };
  for (const SelectCase& c : cases) {
    std::vector<const char*> argv = {"vidsalvage", "in.mp4"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(argv.back());
    EXPECT_EQ(select_recorder_profile(static_cast<int>(argv.size()), argv.data()).kind, c.expected);
  }
}

// The definition: the smallest position over all entries, each searched on its own.
std::size_t first_match_per_entry(const PatternSet& set, const Bytes& bytes, std::size_t from) {
  std::size_t best = PatternSet::kNone;
  for (std::size_t i = 0; i < set.count(); ++i) {
    const auto e = set.entry(i);
    for (std::size_t p = from; p + e.size() <= bytes.size() && p < best; ++p) {
      if (std::equal(e.begin(), e.end(), bytes.begin() + static_cast<long>(p))) best = p;
    }
  }
  return best;
}

TEST(PatternSet, OnePassFindsTheNearestOfAllEntries) {
  const RecorderKind kinds[] = {RecorderKind::Eos,     RecorderKind::Apple,
                                RecorderKind::Android, RecorderKind::Motorola,
                                RecorderKind::Samsung, RecorderKind::Ambarella};
  for (RecorderKind kind : kinds) {
    const RecorderProfile& profile = recorder_profile(kind);
    for (const PatternSet* set : {profile.nal_heads, profile.aac_frame_starts}) {
      if (set == nullptr) continue;
      SCOPED_TRACE(static_cast<int>(kind) * 10 + static_cast<int>(set->width()));
      // Random bytes over a small alphabet near the entries, with whole entries and
      // entries missing their last byte planted in it.
      Bytes bytes = test::pseudo_random_bytes(20000, static_cast<std::uint32_t>(kind) + 7);
      for (std::size_t p = 0; p + 3 < bytes.size(); p += 1 + bytes[p] % 97) {
        const auto e = set->entry(bytes[p + 1] % set->count());
        std::copy(e.begin(), e.end() - (bytes[p + 2] % 3 == 0 ? 1 : 0),
                  bytes.begin() + static_cast<long>(p));
      }
      for (std::size_t from = 0; from < bytes.size(); from += 1 + from % 50) {
        const Bytes prefix(
            bytes.begin(),
            bytes.begin() +
                static_cast<long>(from + 200 <= bytes.size() ? from + 200 : bytes.size()));
        ASSERT_EQ(set->find_first(prefix, from), first_match_per_entry(*set, prefix, from)) << from;
      }
    }
  }
}

}  // namespace
}  // namespace vidsalvage
