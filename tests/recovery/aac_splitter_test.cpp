#include "recovery/aac_splitter.h"

#include <gtest/gtest.h>

#include "walk_harness.h"

namespace vidsalvage {
namespace {
using test::Bytes;
using test::concat;
using test::kLcStereo48k;

Bytes header_bytes(std::uint64_t payload) {
  const AdtsTemplate h = adts_frame_header(kLcStereo48k, payload);
  return Bytes(h.begin(), h.end());
}

TEST(AdtsFrameHeader, CarriesThirteenBitsOfTheFrameLength) {
  EXPECT_EQ(header_bytes(371), (Bytes{0xFF, 0xF1, 0x4C, 0x80, 0x2F, 0x5F, 0xFC}));
  EXPECT_EQ(header_bytes(33), (Bytes{0xFF, 0xF1, 0x4C, 0x80, 0x05, 0x1F, 0xFC}));
  EXPECT_EQ(header_bytes(8184), (Bytes{0xFF, 0xF1, 0x4C, 0x83, 0xFF, 0xFF, 0xFC}));
}

// The frame lengths in an ADTS stream, read from each header in turn.
std::vector<std::size_t> adts_lengths(const Bytes& stream) {
  std::vector<std::size_t> lengths;
  for (std::size_t at = 0; at + 7 <= stream.size();) {
    const std::size_t length = (std::size_t{stream[at + 3]} & 3) << 11 |
                               std::size_t{stream[at + 4]} << 3 | stream[at + 5] >> 5;
    if (length < 7) break;
    lengths.push_back(length);
    at += length;
  }
  return lengths;
}

// A piece longer than one frame carries goes out as consecutive frames, each
// header telling its true length, and every byte stays.
TEST(WriteAdtsFrames, SplitsWhatOneFrameCannotCarry) {
  struct Case {
    std::size_t piece;
    std::vector<std::size_t> lengths;
  };
  const Case cases[] = {
      {1, {8}},
      {8184, {8191}},
      {8185, {8191, 8}},
      {10003, {8191, 1826}},
      {2 * 8184 + 1, {8191, 8191, 8}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.piece);
    const Bytes piece = test::pseudo_random_bytes(c.piece, 5);
    test::OpenInput in(concat({Bytes(3, 0), piece}), false);
    AudioOutput audio;
    audio.adts = kLcStereo48k;
    ASSERT_TRUE(audio.file.open(in.dir.path("audio.out").c_str()));
    ASSERT_EQ(write_adts_frames(in.input, 3, static_cast<std::int64_t>(c.piece), audio),
              CopyOutcome::Done);
    ASSERT_TRUE(audio.file.close());
    const Bytes stream = in.dir.read("audio.out");
    EXPECT_EQ(adts_lengths(stream), c.lengths);
    Bytes payload;
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t length = (std::size_t{stream[at + 3]} & 3) << 11 |
                                 std::size_t{stream[at + 4]} << 3 | stream[at + 5] >> 5;
      payload.insert(payload.end(), stream.begin() + static_cast<std::ptrdiff_t>(at + 7),
                     stream.begin() + static_cast<std::ptrdiff_t>(at + length));
      at += length;
    }
    EXPECT_EQ(payload, piece);
  }
}

// The list search by its definition: each entry on its own, the smallest offset kept.
std::size_t list_start_by_definition(const Bytes& b, std::size_t limit, const PatternSet& starts) {
  std::size_t best = PatternSet::kNone;
  for (std::size_t e = 0; e < starts.count(); ++e) {
    const auto entry = starts.entry(e);
    for (std::size_t p = 1; p + entry.size() < limit && p < best; ++p) {
      if (std::equal(entry.begin(), entry.end(), b.begin() + static_cast<long>(p))) best = p;
    }
  }
  return best;
}

bool in_mono_set(std::uint8_t b) {
  return b == 0x38 || b == 0x40 || b == 0x58 || b == 0x9C || b == 0x9D || b == 0xF8;
}

// The mono search by its definition: first the 0x00 starts, then the 0x01 starts
// up to the 0x00 one found.
std::size_t mono_start_by_definition(const Bytes& b, std::size_t limit) {
  std::size_t next = PatternSet::kNone;
  for (std::size_t p = 1; p + 1 < limit; ++p) {
    if (b[p] == 0x00 && b[p + 1] % 2 == 0 && b[p + 1] >= 0xEA && in_mono_set(b[p + 2]) && p >= 64) {
      next = p;
      break;
    }
  }
  for (std::size_t p = 1; p + 1 < limit; ++p) {
    if (b[p] != 0x01) continue;
    if (next != PatternSet::kNone && p > next) break;
    if (b[p + 1] % 2 == 0 && b[p + 1] <= 0x5C && in_mono_set(b[p + 2]) && p >= 64) return p;
  }
  return next;
}

TEST(FindFrameStart, OnePassEqualsTheDefinition) {
  const std::uint8_t mono_starts[][3] = {{0x00, 0xEA, 0x38}, {0x00, 0xFE, 0xF8}, {0x01, 0x5C, 0x9D},
                                         {0x01, 0x00, 0x40}, {0x00, 0xE8, 0x38}, {0x01, 0x5E, 0x58},
                                         {0x00, 0xEA, 0x39}};
  for (RecorderKind kind : {RecorderKind::Ambarella, RecorderKind::Apple, RecorderKind::Samsung,
                            RecorderKind::Motorola}) {
    const PatternSet& starts = *recorder_profile(kind).aac_frame_starts;
    Bytes b = test::pseudo_random_bytes(60'000, static_cast<std::uint32_t>(kind) + 3);
    for (std::size_t at = 0; at + 3 < b.size(); at += 20 + b[at]) {
      if (b[at + 1] % 2 == 0) {
        const auto e = starts.entry(b[at + 2] % starts.count());
        std::copy(e.begin(), e.end(), b.begin() + static_cast<long>(at));
      } else {
        std::copy_n(mono_starts[b[at + 2] % 7], 3, b.begin() + static_cast<long>(at));
      }
    }
    for (std::size_t cur = 0; cur + 400 < b.size(); cur += 37) {
      for (std::size_t limit :
           {std::size_t{2}, std::size_t{65}, std::size_t{70}, std::size_t{390}}) {
        SCOPED_TRACE(testing::Message()
                     << static_cast<int>(kind) << " at " << cur << " limit " << limit);
        const Bytes piece(b.begin() + static_cast<long>(cur),
                          b.begin() + static_cast<long>(cur + limit + 1));
        ASSERT_EQ(find_frame_start(piece, limit, false, starts),
                  list_start_by_definition(piece, limit, starts));
        ASSERT_EQ(find_frame_start(piece, limit, true, starts),
                  mono_start_by_definition(piece, limit));
      }
    }
  }
}

struct SplitRun {
  std::string output;
  Bytes audio;
  bool at_stream_start;
};

// Splits the gap [0, gap.size()) of an input that continues with 16 more bytes.
SplitRun split(const Bytes& gap, bool at_stream_start, bool mono = false) {
  test::OpenInput in(concat({gap, Bytes(16, 0x55)}), false);
  AudioOutput audio;
  audio.adts = kLcStereo48k;
  audio.aac_mono = mono;
  EXPECT_TRUE(audio.file.open(in.dir.path("out.aac").c_str()));
  SplitRun run{"", {}, at_stream_start};
  testing::internal::CaptureStdout();
  EXPECT_EQ(
      split_aac_gap(in.input, audio, *recorder_profile(RecorderKind::Ambarella).aac_frame_starts,
                    run.at_stream_start, 0, static_cast<std::int64_t>(gap.size())),
      CopyOutcome::Done);
  run.output = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(audio.file.close());
  run.audio = in.dir.read("out.aac");
  return run;
}

TEST(SplitAacGap, SkipsShortPiecesAndAnUnmatchedTailBeforeTheFirstVideo) {
  const Bytes filler(200, 0x80);
  const Bytes p33(filler.begin(), filler.begin() + 33);
  const Bytes h33 = {0xFF, 0xF1, 0x4C, 0x80, 0x05, 0x1F, 0xFC};
  const struct {
    const char* name;
    Bytes gap;
    bool at_stream_start;
    const char* output;
    Bytes audio;
    bool flag_after;
  } cases[] = {
      {"32 bytes", Bytes(32, 0x80), false, "skip: 0x00000000 [0x      20]\n", {}, false},
      {"33 bytes", p33, false, " AAC: 0x00000000 [0x      21]\n", concat({h33, p33}), false},
      {"tail at the stream start", p33, true, "skip: 0x00000000 [0x      21]\n", {}, false},
      {"a start one byte on", concat({Bytes{0x80, 0x21, 0x1A, 0x0F}, Bytes(30, 0x80)}), true,
       "skip: 0x00000000 [0x       1]\n"
       " AAC: 0x00000001 [0x      21]\n",
       concat({h33, Bytes{0x21, 0x1A, 0x0F}, Bytes(30, 0x80)}), false},
      {"two frames",
       concat({Bytes{0x21, 0x4C, 0xDA}, Bytes(30, 0x80), Bytes{0x21, 0x10, 0x05}, Bytes(30, 0x80)}),
       false,
       " AAC: 0x00000000 [0x      21]\n"
       " AAC: 0x00000021 [0x      21]\n",
       concat({h33, Bytes{0x21, 0x4C, 0xDA}, Bytes(30, 0x80), h33, Bytes{0x21, 0x10, 0x05},
               Bytes(30, 0x80)}),
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SplitRun run = split(c.gap, c.at_stream_start);
    EXPECT_EQ(run.output, c.output);
    EXPECT_EQ(run.audio, c.audio);
    EXPECT_EQ(run.at_stream_start, c.flag_after);
  }
}

TEST(SplitAacGap, MonoStartsLieAtLeast64BytesOnAndTheEarlierKindWins) {
  const struct {
    const char* name;
    std::size_t zero_at;  // 00 EA 38
    std::size_t one_at;   // 01 5C 40
    const char* output;
  } cases[] = {
      {"00 at 63 is too near", 63, 100,
       " AAC: 0x00000000 [0x      64]\n AAC: 0x00000064 [0x      3C]\n"},
      {"00 at 64 is not", 64, 100,
       " AAC: 0x00000000 [0x      40]\n AAC: 0x00000040 [0x      60]\n"},
      {"01 before 00", 90, 70, " AAC: 0x00000000 [0x      46]\n AAC: 0x00000046 [0x      5A]\n"},
      {"00 before 01", 70, 90, " AAC: 0x00000000 [0x      46]\n AAC: 0x00000046 [0x      5A]\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes gap(160, 0x80);
    std::copy_n("\x00\xEA\x38", 3, gap.begin() + static_cast<long>(c.zero_at));
    std::copy_n("\x01\x5C\x40", 3, gap.begin() + static_cast<long>(c.one_at));
    EXPECT_EQ(split(gap, false, true).output, c.output);
  }
}

// The search for the next video unit may have left the window anywhere.
TEST(SplitAacGap, ReadsThroughTheWindowWhereverItWasLeft) {
  Bytes input(70 * 1024 * 1024, 0x80);
  for (std::size_t at = 1000; at < 5000; at += 400)
    std::copy_n("\x21\x1A\x0F", 3, input.begin() + static_cast<long>(at));
  Bytes outputs[2];
  for (bool windowed : {false, true}) {
    test::OpenInput in(input, windowed);
    if (windowed) {
      ASSERT_GT(refill_window(in.input, 65 * 1024 * 1024), 0);
    }
    AudioOutput audio;
    audio.adts = kLcStereo48k;
    ASSERT_TRUE(audio.file.open(in.dir.path("out.aac").c_str()));
    bool at_stream_start = false;
    testing::internal::CaptureStdout();
    EXPECT_EQ(split_aac_gap(in.input, audio, *recorder_profile(RecorderKind::Eos).aac_frame_starts,
                            at_stream_start, 1000, 5000),
              CopyOutcome::Done);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(audio.file.close());
    outputs[windowed] = in.dir.read("out.aac");
  }
  EXPECT_EQ(outputs[0].size(), 4000u + 10 * 7);
  EXPECT_TRUE(outputs[0] == outputs[1]);
}

}  // namespace
}  // namespace vidsalvage
