#include "recovery/resync_search.h"

#include <gtest/gtest.h>

#include <cstring>

#include "walk_harness.h"

namespace vidsalvage {
namespace {
using test::Bytes;
using test::OpenInput;

constexpr std::int64_t kReach = 0x100000;

// Puts a 4-byte length field and a 2-byte head at `at`.
void plant(Bytes& b, std::size_t at, std::uint32_t length, std::uint8_t h0, std::uint8_t h1) {
  const std::uint8_t unit[] = {static_cast<std::uint8_t>(length >> 24),
                               static_cast<std::uint8_t>(length >> 16),
                               static_cast<std::uint8_t>(length >> 8),
                               static_cast<std::uint8_t>(length),
                               h0,
                               h1};
  std::memcpy(b.data() + at, unit, sizeof unit);
}

std::int64_t candidate_in(const Bytes& input, std::int64_t cursor, RecorderKind kind,
                          bool refuse_pcm = false) {
  OpenInput in(input, false);
  return find_video_candidate(in.input, cursor, recorder_profile(kind), refuse_pcm);
}

TEST(ResyncSearch, TakesTheNearestHeadWhateverTheEntryOrder) {
  // 25 88 is the first Samsung entry and 41 9A a later one.
  for (bool first_entry_nearer : {false, true}) {
    SCOPED_TRACE(first_entry_nearer);
    Bytes input(4096, 0);
    plant(input, 1000 + 196, 100, first_entry_nearer ? 0x25 : 0x41,
          first_entry_nearer ? 0x88 : 0x9A);
    plant(input, 1000 + 296, 100, first_entry_nearer ? 0x41 : 0x25,
          first_entry_nearer ? 0x9A : 0x88);
    EXPECT_EQ(candidate_in(input, 1000, RecorderKind::Samsung), 1000 + 196);
  }
}

TEST(ResyncSearch, RefusesHeadsWhoseLengthIsOutOfRange) {
  const struct {
    std::uint32_t length;
    bool accepted;
  } cases[] = {{0x00100000, false}, {0x000FFFFF, true}, {1, false}, {2, true}, {0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    Bytes input(4096, 0);
    plant(input, 100, c.length, 0x25, 0x88);
    plant(input, 500, 20, 0x21, 0x9A);
    EXPECT_EQ(candidate_in(input, 50, RecorderKind::Motorola), c.accepted ? 100 : 500);
  }
}

TEST(ResyncSearch, LooksLessThanOneMebibyteAhead) {
  const std::int64_t cursor = 10;
  struct ReachCase {
    const char* name;
    RecorderKind kind;
    std::int64_t at;  // of the candidate's length field
    bool found;
  };
  // A match is found while it ends before the last byte before cursor + 1 MiB.
  const ReachCase cases[] = {
      {"signature, last place", RecorderKind::Ambarella, cursor + kReach - 6, true},
      {"signature, one further", RecorderKind::Ambarella, cursor + kReach - 5, false},
      {"head, last place", RecorderKind::Android, cursor + kReach - 7, true},
      {"head, one further", RecorderKind::Android, cursor + kReach - 6, false},
  };
  for (const ReachCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes input(static_cast<std::size_t>(cursor + kReach + 64), 0);
    if (c.kind == RecorderKind::Ambarella) {
      plant(input, static_cast<std::size_t>(c.at), 2, 0x09, 0x10);
    } else {
      plant(input, static_cast<std::size_t>(c.at), 9, 0x65, 0x88);
    }
    EXPECT_EQ(candidate_in(input, cursor, c.kind), c.found ? c.at : kNotFound);
  }
}

TEST(LooksLikePcm, ReadsFourAlignmentsOfTwoStereoFrames) {
  const struct {
    const char* name;
    Bytes bytes;
    bool pcm;
  } cases[] = {
      {"AUD then SEI: small steps at position 1",
       {0x00, 0x00, 0x00, 0x02, 0x09, 0x10, 0x00, 0x00, 0x00, 0x15, 0x06},
       true},
      {"AUD then IDR slice",
       {0x00, 0x00, 0x00, 0x02, 0x09, 0x30, 0x00, 0x00, 0x1C, 0x4F, 0x65},
       false},
      {"equal channels at position 3",
       {0x10, 0x20, 0x30, 0x7F, 0x7F, 0x7F, 0x7F, 0x00, 0x40, 0x00, 0x90},
       true},
      // 0, 1000 then 3275, -2275: steps of 3275 in both channels.
      {"steps just below the bound",
       {0x00, 0x00, 0xE8, 0x03, 0xCB, 0x0C, 0x1D, 0xF7, 0x00, 0x80, 0x11},
       true},
      {"a step of 3276", {0x00, 0x00, 0xE8, 0x03, 0xCC, 0x0C, 0x1D, 0xF7, 0x00, 0x80, 0x11}, false},
      {"only 8 bytes left: position 0 alone",
       {0x00, 0x00, 0x00, 0x02, 0x09, 0x30, 0x00, 0x00},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(looks_like_pcm(c.bytes), c.pcm);
  }
}

TEST(ResyncSearch, PcmRefusalGoesOnFiveBytesAfterTheCandidate) {
  const Bytes refused = {0x00, 0x00, 0x00, 0x02, 0x09, 0x10, 0x00, 0x00, 0x00, 0x15, 0x06};
  const Bytes passes = {0x00, 0x00, 0x00, 0x02, 0x09, 0x30, 0x00, 0x00, 0x1C, 0x4F, 0x65};
  Bytes input(2048, 0x55);
  std::copy(refused.begin(), refused.end(), input.begin() + 100);
  std::copy(passes.begin(), passes.end(), input.begin() + 700);
  EXPECT_EQ(candidate_in(input, 0, RecorderKind::Ambarella, false), 100);
  EXPECT_EQ(candidate_in(input, 0, RecorderKind::Ambarella, true), 700);
  // The reach stays 1 MiB from the cursor after a refusal.
  Bytes far(static_cast<std::size_t>(kReach + 4096), 0x55);
  std::copy(refused.begin(), refused.end(), far.begin() + 100);
  std::copy(passes.begin(), passes.end(), far.begin() + kReach - 5);
  EXPECT_EQ(candidate_in(far, 0, RecorderKind::Ambarella, true), kNotFound);
}

// The search by its definition: every entry on its own, the nearest passing
// match kept, PCM-like candidates refused and the search begun again after them.
std::int64_t candidate_by_definition(const Bytes& b, std::int64_t cursor, const PatternSet& heads,
                                     bool refuse_pcm) {
  const std::int64_t end =
      std::min<std::int64_t>(cursor + kReach, static_cast<std::int64_t>(b.size()));
  std::int64_t search_start = cursor;
  while (true) {
    std::int64_t candidate = kNotFound;
    for (std::size_t e = 0; e < heads.count(); ++e) {
      const auto head = heads.entry(e);
      for (std::int64_t m = search_start; m + 2 < end; ++m) {
        if (b[static_cast<std::size_t>(m)] != head[0] ||
            b[static_cast<std::size_t>(m) + 1] != head[1])
          continue;
        const std::int64_t q = m - 4;
        if (q < 0) continue;
        if (candidate != kNotFound && candidate < q) break;
        const auto at = static_cast<std::size_t>(q);
        const std::uint32_t length = (std::uint32_t{b[at]} << 24) |
                                     (std::uint32_t{b[at + 1]} << 16) |
                                     (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
        if (length < 2 || length >= 0x100000) continue;
        candidate = q;
        break;
      }
    }
    if (candidate == kNotFound || !refuse_pcm) return candidate;
    const auto rest = std::span(b).subspan(static_cast<std::size_t>(candidate));
    if (!looks_like_pcm(rest.first(std::min<std::size_t>(11, rest.size())))) return candidate;
    search_start = candidate + 5;
  }
}

TEST(ResyncSearch, OnePassEqualsTheSearchEntryByEntry) {
  for (RecorderKind kind :
       {RecorderKind::Eos, RecorderKind::Samsung, RecorderKind::Android, RecorderKind::Motorola}) {
    const PatternSet& heads = *recorder_profile(kind).nal_heads;
    Bytes input = test::pseudo_random_bytes(200'000, static_cast<std::uint32_t>(kind) + 11);
    // Heads behind short, refused and PCM-like length fields.
    for (std::size_t at = 0; at + 6 < input.size(); at += 40 + input[at] * 3) {
      const auto head = heads.entry(input[at + 1] % heads.count());
      const std::uint32_t lengths[] = {input[at + 2], 0x00100000, 1, 0x0000FFFF};
      plant(input, at, lengths[input[at + 3] % 4], head[0], head[1]);
    }
    OpenInput in(input, false);
    for (std::int64_t cursor = 0; cursor < 200'000; cursor += 997) {
      for (bool refuse_pcm : {false, true}) {
        SCOPED_TRACE(testing::Message()
                     << static_cast<int>(kind) << " at " << cursor << " pcm " << refuse_pcm);
        ASSERT_EQ(find_video_candidate(in.input, cursor, recorder_profile(kind), refuse_pcm),
                  candidate_by_definition(input, cursor, heads, refuse_pcm));
      }
    }
  }
}

// The window may lie anywhere when a search begins: behind the cursor, or so
// that the search crosses the default reload distance (48 MB).
TEST(ResyncSearch, ReadsThroughTheWindowWhereverItWasLeft) {
  Bytes input(70 * 1024 * 1024, 0);
  const std::size_t limit = 48 * 1024 * 1024;
  plant(input, 1000, 50, 0x65, 0x88);
  plant(input, limit + 100, 50, 0x65, 0x88);
  OpenInput in(input, true);
  const RecorderProfile& android = recorder_profile(RecorderKind::Android);
  ASSERT_GT(refill_window(in.input, 65 * 1024 * 1024), 0);
  EXPECT_EQ(find_video_candidate(in.input, 900, android, false), 1000);
  ASSERT_GT(refill_window(in.input, 0), 0);
  EXPECT_EQ(find_video_candidate(in.input, static_cast<std::int64_t>(limit) - 50, android, false),
            static_cast<std::int64_t>(limit) + 100);
}

}  // namespace
}  // namespace vidsalvage
