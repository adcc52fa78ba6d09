#include "recovery/aac_cutting.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <string>
#include <vector>

#include "support/bytes.h"

namespace vidsalvage {
namespace {
using test::append;
using test::Bytes;
using test::concat;

// A reference whose frames began 21 1A and were 280 to 320 bytes long, most of
// them near 300.
AudioModel reference() {
  AudioModel a;
  a.track = 2;
  a.starts2 = {{0x211A, 500}};
  a.sizes = {{280, 20}, {290, 100}, {300, 250}, {310, 100}, {320, 20}, {400, 1}};
  return a;
}

// A frame: its start, then noise in which the frame-start byte 0x21 stands here
// and there, as it does in real frames.
Bytes frame(std::size_t size, std::uint32_t seed) {
  Bytes f = {0x21, 0x1A};
  append(f, test::pseudo_random_bytes(size - 2, seed));
  for (std::size_t at = 40; at < size; at += 97) f[at] = 0x21;
  return f;
}

std::string describe(const std::vector<AacPiece>& pieces) {
  std::string s;
  for (const AacPiece& p : pieces) {
    s += (p.frame ? "frame " : "skip ") + std::to_string(p.offset) + "+" +
         std::to_string(p.length) + "; ";
  }
  return s;
}

TEST(CutAacStretch, CutsBackToBackFramesWhereTheyBegin) {
  const AacFrameScores scores(reference());
  const std::vector<std::size_t> sizes = {300, 310, 290, 305, 300, 298};
  Bytes stretch;
  std::string expected;
  for (std::size_t k = 0; k < sizes.size(); ++k) {
    expected += "frame " + std::to_string(stretch.size()) + "+" + std::to_string(sizes[k]) + "; ";
    append(stretch, frame(sizes[k], static_cast<std::uint32_t>(k + 1)));
  }
  EXPECT_EQ(describe(cut_aac_stretch(scores, stretch)), expected);
}

// An encoder's first frame may begin as no other (ffmpeg's with its name in a
// data element, DE 02): where the stretch begins a frame begins all the same.
TEST(CutAacStretch, TakesAnUnseenStartAtTheStretchStart) {
  const AacFrameScores scores(reference());
  Bytes first = frame(276, 7);
  first[0] = 0xDE;
  first[1] = 0x02;
  const Bytes stretch = concat({first, frame(300, 8), frame(310, 9)});
  EXPECT_EQ(describe(cut_aac_stretch(scores, stretch)),
            "frame 0+276; frame 276+300; frame 576+310; ");
}

TEST(CutAacStretch, KeepsAnUnusualLastFrameWhole) {
  // The last frame is 400 bytes long, seen once; a 0x21 lies 300 bytes into it,
  // where a frame of the likeliest size would end.
  const AacFrameScores scores(reference());
  Bytes stretch = frame(300, 1);
  Bytes last = frame(400, 2);
  last[300] = 0x21;
  append(stretch, last);
  EXPECT_EQ(describe(cut_aac_stretch(scores, stretch)), "frame 0+300; frame 300+400; ");
}

TEST(CutAacStretch, LeavesOutNoiseThatNoLikelyFrameCovers) {
  const AacFrameScores scores(reference());
  Bytes stretch(2000, 0x00);  // zeros: no frame begins with them
  append(stretch, frame(300, 3));
  append(stretch, frame(310, 4));
  EXPECT_EQ(describe(cut_aac_stretch(scores, stretch)),
            "skip 0+2000; frame 2000+300; frame 2300+310; ");
  EXPECT_EQ(describe(cut_aac_stretch(scores, Bytes(5000, 0x00))), "skip 0+5000; ");
  EXPECT_EQ(describe(cut_aac_stretch(scores, {})), "");
}

// Whatever the bytes, the pieces cover the stretch exactly, in order.
TEST(CutAacStretch, CoversAnyStretchWhole) {
  const AacFrameScores scores(reference());
  for (std::uint32_t seed = 1; seed <= 30; ++seed) {
    Bytes stretch = test::pseudo_random_bytes(seed * 211, seed);
    for (std::size_t at = seed; at < stretch.size(); at += seed * 7) stretch[at] = 0x21;
    std::int64_t next = 0;
    for (const AacPiece& p : cut_aac_stretch(scores, stretch)) {
      EXPECT_EQ(p.offset, next);
      EXPECT_GT(p.length, 0);
      if (p.frame) {
        EXPECT_LE(p.length, scores.max_frame());
      }
      next = p.offset + p.length;
    }
    EXPECT_EQ(next, static_cast<std::int64_t>(stretch.size()));
  }
}

// A reference whose frames may begin with 00: zeros must not become frames, nor
// take long to refuse (every byte is a cut point).
TEST(CutAacStretch, LeavesZerosUncutWhereFramesMayBeginWithZero) {
  AudioModel a = reference();
  a.starts2.insert(a.starts2.begin(), {0x0000, 50});
  const AacFrameScores scores(a);
  const Bytes zeros(1024 * 1024, 0x00);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(describe(cut_aac_stretch(scores, zeros)), "skip 0+1048576; ");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_LT(seconds, 5.0);  // was 12 s; about 10 ms here, with room for sanitizers
  // The frame before the zeros goes with them, which may have begun inside it;
  // the frames after them begin as frames begin, and stay.
  Bytes stretch = frame(300, 1);
  append(stretch, zeros);
  append(stretch, frame(310, 2));
  append(stretch, frame(290, 3));
  EXPECT_EQ(describe(cut_aac_stretch(scores, stretch)),
            "skip 0+1048876; frame 1048876+310; frame 1049186+290; ");
}

// Silent mono frames of a few bytes, back to back, as small recorders write them.
TEST(CutAacStretch, CutsFramesOfFourBytesAndMore) {
  AudioModel a;
  a.track = 2;
  a.starts2 = {{0x0118, 900}, {0x0120, 100}};
  a.sizes = {{4, 300}, {5, 300}, {6, 300}, {180, 100}};
  const AacFrameScores scores(a);
  const std::vector<Bytes> frames = {{0x01, 0x18, 0x20, 0x07},
                                     {0x01, 0x18, 0x20, 0x07, 0xF4},
                                     {0x01, 0x18, 0x20, 0x07, 0x10, 0x6C},
                                     {0x01, 0x18, 0x20, 0x07}};
  Bytes stretch;
  std::string expected;
  for (int round = 0; round < 20; ++round) {
    for (const Bytes& f : frames) {
      expected += "frame " + std::to_string(stretch.size()) + "+" + std::to_string(f.size()) + "; ";
      append(stretch, f);
    }
  }
  EXPECT_EQ(describe(cut_aac_stretch(scores, stretch)), expected);
}

// A recorder that wrote one frame between two pictures: the encoder's first frame,
// larger than any other, holds the first bytes of a frame where a frame of an
// unseen size would end, and a frame the reference had once would follow. It
// stays whole: no frame ends there (nothing ends like ID_END at 199), and frames
// were rarely back to back.
TEST(CutAacStretch, KeepsALoneFirstFrameWholeWhereAStartLiesInside) {
  AudioModel a = reference();
  a.samples = 500;
  a.back_to_back = 5;
  const AacFrameScores scores(a);
  Bytes first = frame(600, 5);
  first[199] = 0x6C;  // ends 011 before its zero bits
  first[200] = 0x21;
  first[201] = 0x1A;
  first[599] = 0xE0;  // ID_END, five bits of alignment
  EXPECT_EQ(describe(cut_aac_stretch(scores, first)), "frame 0+600; ");
}

TEST(AacFrameScores, PrefersLearnedStartsAndSizes) {
  const AacFrameScores scores(reference());
  EXPECT_TRUE(scores.may_start(0x21));
  EXPECT_FALSE(scores.may_start(0x20));
  EXPECT_GT(scores.start_score(0x21, 0x1A), scores.start_score(0x21, 0x1B));
  EXPECT_GT(scores.start_score(0x21, 0x1B), scores.start_score(0x20, 0x1A));
  EXPECT_GT(scores.size_score(300), scores.size_score(320));
  EXPECT_GT(scores.size_score(320), scores.size_score(350));
  // Twice the largest frame, and a 64-byte margin: 864 bytes.
  EXPECT_EQ(scores.max_frame(), 864);
  EXPECT_EQ(scores.size_score(865), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(scores.size_score(0), -std::numeric_limits<double>::infinity());
}

// ---- Several tracks

std::string describe_tracks(const std::vector<AacPiece>& pieces) {
  std::string s;
  for (const AacPiece& p : pieces) {
    s += (p.frame ? "track " + std::to_string(p.track) + " " : std::string("skip ")) +
         std::to_string(p.offset) + "+" + std::to_string(p.length) + "; ";
  }
  return s;
}

// A mono track whose frames began 00 E8 and were 150 to 170 bytes long.
AudioModel mono_reference() {
  AudioModel a;
  a.track = 3;
  a.starts2 = {{0x00E8, 500}};
  a.sizes = {{150, 100}, {160, 300}, {170, 100}};
  return a;
}

Bytes mono_frame(std::size_t size, std::uint32_t seed) {
  Bytes f = {0x00, 0xE8};
  append(f, test::pseudo_random_bytes(size - 2, seed));
  return f;
}

// Smooth PCM: a slow ramp in every channel, `bits` wide, little-endian.
Bytes ramp(std::size_t frames, std::uint32_t channels, std::uint32_t bits, int start) {
  Bytes out;
  for (std::size_t f = 0; f < frames; ++f) {
    for (std::uint32_t c = 0; c < channels; ++c) {
      const auto value = static_cast<std::uint32_t>(start + static_cast<int>(f) * 3 + 50);
      for (std::uint32_t b = 0; b < bits / 8; ++b)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * b)));
    }
  }
  return out;
}

AudioModel pcm_reference(std::uint32_t track, std::uint32_t channels, std::uint32_t bits,
                         std::uint32_t chunk) {
  AudioModel a;
  a.track = track;
  a.role = TrackRole::Pcm;
  a.channels = channels;
  a.bits = bits;
  a.bytes_per_frame = channels * bits / 8;
  a.chunks = {{chunk, 100}};
  return a;
}

struct MixCase {
  const char* name;
  std::vector<AudioModel> tracks;
  Bytes stretch;
  std::string expected;
  bool cut_end = false;  // the recording was cut where the stretch ends
};

TEST(CutAudioStretch, GivesEachPieceToItsTrack) {
  const AudioModel stereo = reference();
  AudioModel first = reference();
  first.after = {{0, 90}, {3, 10}};
  AudioModel second = reference();
  second.track = 3;
  second.after = {{0, 10}, {2, 90}};
  const AudioModel wide = pcm_reference(4, 2, 16, 64);
  AudioModel narrow = pcm_reference(5, 1, 24, 48);
  narrow.after = {{4, 100}};
  AudioModel wide_first = wide;
  wide_first.after = {{0, 100}, {5, 100}};
  AudioModel pcm_after_aac = pcm_reference(4, 1, 16, 40);
  pcm_after_aac.after = {{2, 100}};
  AudioModel aac_first = reference();
  aac_first.after = {{0, 100}, {4, 100}};
  // Two mono tracks alike in all but their sound, the last chunks shorter, as a
  // recorder's last ones are; the first track opens each stretch.
  AudioModel low = pcm_reference(4, 1, 16, 64);
  low.chunks = {{40, 1}, {64, 100}};
  low.after = {{0, 50}, {5, 50}};
  AudioModel high = low;
  high.track = 5;
  high.after = {{4, 100}};
  // Quiet ramps 1500 apart: the jump where they meet is no tenth of full scale.
  const Bytes low_then_high = concat(
      {ramp(32, 1, 16, 0), ramp(32, 1, 16, 1500), ramp(20, 1, 16, 96), ramp(20, 1, 16, 1596)});
  const Bytes cut_in_third_chunk =
      concat({ramp(32, 1, 16, 0), ramp(32, 1, 16, 1500), ramp(15, 1, 16, 96)});
  const Bytes aac_then_cut_pcm =
      concat({frame(300, 1), ramp(20, 1, 16, 0), frame(310, 2), ramp(7, 1, 16, 90), Bytes{0x12}});
  const MixCase cases[] = {
      {"AAC tracks told apart by their frames' first bytes",
       {stereo, mono_reference()},
       concat({frame(300, 1), mono_frame(160, 2), frame(290, 3), mono_frame(150, 4)}),
       "track 0 0+300; track 1 300+160; track 0 460+290; track 1 750+150; "},
      {"AAC tracks of one format told apart by the order they came in",
       {first, second},
       concat({frame(300, 1), frame(310, 2), frame(290, 3), frame(300, 4)}),
       "track 0 0+300; track 1 300+310; track 0 610+290; track 1 900+300; "},
      {"PCM tracks told apart by their samples and chunk sizes",
       {wide_first, narrow},
       concat({ramp(16, 2, 16, 0), ramp(16, 1, 24, 9000), ramp(16, 2, 16, 70)}),
       "track 0 0+64; track 1 64+48; track 0 112+64; "},
      {"AAC and PCM, each chunk where a frame ends",
       {aac_first, pcm_after_aac},
       concat({frame(300, 1), ramp(20, 1, 16, 0), frame(310, 2), ramp(20, 1, 16, 90)}),
       "track 0 0+300; track 1 300+40; track 0 340+310; track 1 650+40; "},
      {"PCM tracks of one format told apart where their samples jump",
       {low, high},
       low_then_high,
       "track 0 0+64; track 1 64+64; track 0 128+40; track 1 168+40; "},
      {"a chunk the cut ends goes to the track whose turn it is",
       {low, high},
       cut_in_third_chunk,
       "track 0 0+64; track 1 64+64; track 0 128+30; ",
       true},
      {"a chunk cut short is skipped where the recording goes on",
       {low, high},
       cut_in_third_chunk,
       "track 0 0+64; track 1 64+64; skip 128+30; "},
      {"a PCM chunk the cut ends begins where its samples do",
       {aac_first, pcm_after_aac},
       aac_then_cut_pcm,
       "track 0 0+300; track 1 300+40; track 0 340+310; track 1 650+15; ",
       true},
  };
  for (const MixCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<AacFrameScores> scores;
    scores.reserve(c.tracks.size());
    std::vector<const AudioModel*> models;
    std::vector<const AacFrameScores*> score_of;
    for (const AudioModel& a : c.tracks) {
      scores.emplace_back(a);
      models.push_back(&a);
      score_of.push_back(a.role == TrackRole::Aac ? &scores.back() : nullptr);
    }
    const StretchTracks tracks = stretch_tracks(models, score_of);
    EXPECT_EQ(describe_tracks(cut_audio_stretch(tracks, c.stretch, c.cut_end)), c.expected);
  }
}

}  // namespace
}  // namespace vidsalvage
