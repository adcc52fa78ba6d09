// Recordings with PCM of many kinds, with two audio tracks, and with AAC falling
// silent, salvaged with a learned model: every audio track comes back in a file of
// its own and in the playable file, frame for frame and sample for sample, cut at
// the moov box or inside a video sample, and nothing from behind the media data.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "support/cli.h"
#include "support/media.h"
#include "support/salvage_check.h"
#include "support/tracks.h"

namespace vidsalvage::test {
namespace {

const std::string kVideo = "-f lavfi -i testsrc2=size=320x240:rate=25 ";
const std::string kSine = "-f lavfi -i sine=f=440:sample_rate=48000 ";
const std::string kOther = "-f lavfi -i sine=f=660:sample_rate=48000 ";
const std::string kEncode = "-t 3 -c:v libx264 -preset veryfast -g 25 ";

enum class Cut { AtMoov, InsideSample, InsideAudioChunk, Trailer };

struct AudioCase {
  const char* name;
  std::string ffmpeg_args;   // the inputs and the audio's encoding, before kEncode
  std::string source;        // the file ffmpeg writes
  std::vector<bool> pcm;     // per audio track, in the reference's order: PCM, else AAC
  double min_percent = 100;  // of each track's frames or samples, per cut
  bool trailer = false;      // also: the media data followed by a vendor's trailer
};

void PrintTo(const AudioCase& c, std::ostream* os) { *os << c.name; }

const AudioCase kCases[] = {
    {"MOV pcm_s24le", kSine + "-c:a pcm_s24le -ac 2", "src.mov", {true}},
    {"MOV pcm_f32le", kSine + "-c:a pcm_f32le -ac 2", "src.mov", {true}},
    {"MOV pcm_s16be", kSine + "-c:a pcm_s16be -ac 2", "src.mov", {true}},
    {"MOV 8-bit signed pcm_s8", kSine + "-c:a pcm_s8 -ac 2", "src.mov", {true}},
    {"MOV 8-bit unsigned pcm_u8", kSine + "-c:a pcm_u8 -ac 1", "src.mov", {true}},
    {"MOV 6-channel pcm_s16le", kSine + "-c:a pcm_s16le -ac 6", "src.mov", {true}},
    {"MP4 AAC+AAC of one format",
     kSine + kOther + "-map 0:v -map 1:a -map 2:a -c:a aac -ac 2",
     "src.mp4",
     {false, false}},
    {"MOV PCM+PCM",
     kSine + "-f lavfi -i sine=f=660:sample_rate=44100 -map 0:v -map 1:a -map 2:a "
             "-c:a:0 pcm_s16le -ac:a:0 2 -c:a:1 pcm_s24le -ac:a:1 1",
     "src.mov",
     {true, true}},
    // Alike in all but their tone: only the order of their chunks tells them apart.
    {"MOV PCM+PCM of one format",
     kSine + kOther + "-map 0:v -map 1:a -map 2:a -c:a pcm_s16le -ac 1",
     "src.mov",
     {true, true}},
    {"MOV AAC+PCM",
     kSine + kOther + "-map 0:v -map 1:a -map 2:a -c:a:0 aac -c:a:1 pcm_s16be -ac:a:1 1",
     "src.mov",
     {false, true}},
    {"MP4 mono AAC, 44.1 kHz, falling silent",
     "-f lavfi -i sine=f=440:sample_rate=44100:duration=1,apad -c:a aac -ac 1",
     "src.mp4",
     {false}},
    // A second of sound is 21 frames, too few to learn their sizes by, each
    // alone between two pictures: where a frame may end shows where it does.
    {"MP4 mono AAC, 22.05 kHz, falling silent",
     "-f lavfi -i sine=f=440:sample_rate=22050:duration=1,apad -c:a aac -ac 1",
     "src.mp4",
     {false}},
    {"MP4 AAC, a trailer after the media data",
     kSine + "-c:a aac -ac 2",
     "src.mp4",
     {false},
     100,
     true},
};

// The middle of a chunk of the last audio track, about two thirds into the media
// data: halfway through its middle sample.
std::int64_t audio_chunk_middle(const Bytes& intact, std::int64_t media_end) {
  std::vector<Sample> chunk;
  for (const Track& t : read_tracks(intact)) {
    if (t.handler != "soun") continue;
    chunk.clear();
    for (const Sample& s : t.samples) {
      if (s.offset < media_end * 2 / 3) continue;
      if (!chunk.empty() && chunk.back().offset + chunk.back().size != s.offset) break;
      chunk.push_back(s);
    }
  }
  if (chunk.empty()) return media_end;
  const Sample& middle = chunk[chunk.size() / 2];
  return middle.offset + middle.size / 2;
}

// The recording cut where `cut` says: at its moov box, inside a video sample about
// two thirds into it, inside an audio chunk there, or at its moov box with a
// vendor's trailer behind the mdat.
Bytes damaged_copy(const Bytes& intact, Cut cut) {
  Bytes damaged = cut_moov(intact);
  if (cut == Cut::Trailer) {
    Bytes trailer = {'V', 'N', 'D', 'R'};
    for (int i = 0; i < 4096; ++i) trailer.push_back(static_cast<std::uint8_t>(i * 37 + 11));
    append(damaged, trailer);
  } else if (cut == Cut::InsideAudioChunk) {
    damaged.resize(static_cast<std::size_t>(
        audio_chunk_middle(intact, static_cast<std::int64_t>(damaged.size()))));
  } else if (cut == Cut::InsideSample) {
    for (const Track& t : read_tracks(intact)) {
      if (t.handler != "vide") continue;
      for (const Sample& s : t.samples) {
        if (s.offset > static_cast<std::int64_t>(damaged.size()) * 2 / 3 && s.size > 16) {
          damaged.resize(static_cast<std::size_t>(s.offset + s.size / 2));
          break;
        }
      }
    }
  }
  return damaged;
}

// The audio tracks of the reference, in its order.
std::vector<Track> audio_tracks(const Bytes& intact) {
  std::vector<Track> out;
  for (const Track& t : read_tracks(intact)) {
    if (t.handler == "soun") out.push_back(t);
  }
  return out;
}

// Decoded samples as 64-bit floats, which hold every integer and float sample
// exactly: equal bytes mean equal samples.
Bytes decoded(const TempDir& dir, const std::string& file, const std::string& stream) {
  const std::string text =
      run_and_capture(dir, "ffmpeg -nostdin -v error -i '" + file + "' -map " + stream +
                               " -c:a pcm_f64le -f f64le - 2>/dev/null");
  return Bytes(text.begin(), text.end());
}

// The MD5 of each packet of one stream, as ffmpeg copies them.
std::vector<Bytes> packet_hashes(const TempDir& dir, const std::string& file,
                                 const std::string& stream) {
  const std::string text =
      run_and_capture(dir, "ffmpeg -nostdin -v error -i '" + file + "' -map " + stream +
                               " -c copy -f framemd5 - 2>/dev/null | grep -v '^#' | "
                               "sed 's/.*, //'");
  std::vector<Bytes> hashes;
  std::size_t from = 0;
  for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', from)) {
    hashes.emplace_back(text.begin() + static_cast<std::ptrdiff_t>(from),
                        text.begin() + static_cast<std::ptrdiff_t>(at));
    from = at + 1;
  }
  return hashes;
}

// The messages a decoder gives for one audio stream.
int decoder_messages(const TempDir& dir, const std::string& file, const std::string& stream) {
  const std::string text = run_and_capture(
      dir, "ffmpeg -nostdin -v error -i '" + file + "' -map " + stream + " -f null - 2>&1");
  int lines = 0;
  for (const char c : text) lines += c == '\n' ? 1 : 0;
  return lines;
}

struct Share {
  std::size_t matched = 0;
  std::size_t expected = 0;
  std::size_t extra = 0;  // found but not expected: invented, or from outside the media data
  double percent() const {
    return expected == 0 ? 100.0
                         : 100.0 * static_cast<double>(matched) / static_cast<double>(expected);
  }
};

// The salvaged samples against the reference's decoded ones, up to the end of the
// last sample the damaged file holds whole.
Share sample_share(const Bytes& reference, const Bytes& salvaged, std::size_t expected) {
  Share s;
  s.expected = expected;
  while (s.matched < salvaged.size() && s.matched < reference.size() &&
         salvaged[s.matched] == reference[s.matched]) {
    ++s.matched;
  }
  s.extra = salvaged.size() > expected ? salvaged.size() - expected : 0;
  s.matched = std::min(s.matched, expected);
  return s;
}

// What of a track the damaged file still holds whole: its frames, and the share
// of its samples.
struct Held {
  std::vector<Bytes> frames;
  std::int64_t bytes = 0;
  std::int64_t all_bytes = 0;
};

Held held_of(const Bytes& intact, const Track& t, std::int64_t end) {
  Held h;
  for (const Sample& s : t.samples) {
    h.all_bytes += s.size;
    if (s.offset + s.size > end) continue;
    h.frames.push_back(sample_bytes(intact, {s}));
    h.bytes += s.size;
  }
  return h;
}

// The raw file of audio track k as the salvage names it: the first after argument
// 3, the others beside it, numbered from 2.
std::string raw_name(std::size_t k, bool pcm) {
  const std::string ending = pcm ? ".wav" : ".aac";
  return k == 0 ? "out" + ending : "out." + std::to_string(k + 1) + ending;
}

const char* cut_name(Cut cut) {
  switch (cut) {
    case Cut::AtMoov:
      return "cut at moov";
    case Cut::InsideSample:
      return "cut inside a sample";
    case Cut::InsideAudioChunk:
      return "cut inside an audio chunk";
    case Cut::Trailer:
      return "trailer after mdat";
  }
  return "";
}

class AudioTracksTest : public testing::TestWithParam<AudioCase> {};

TEST_P(AudioTracksTest, RecoversEveryAudioTrackWhole) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  const AudioCase& c = GetParam();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir, kVideo + c.ffmpeg_args + " " + kEncode + c.source));
  const Bytes intact = dir.read(c.source);
  dir.write("intact." + c.source.substr(4), intact);
  const std::vector<Track> tracks = audio_tracks(intact);
  ASSERT_EQ(tracks.size(), c.pcm.size());
  const std::string movie = "out." + c.source.substr(4);
  ASSERT_EQ(run_cli(dir, {"intact." + c.source.substr(4), "--model"}).status, 0);

  std::vector<Cut> cuts = {Cut::AtMoov, Cut::InsideSample};
  if (c.pcm.size() > 1) cuts.push_back(Cut::InsideAudioChunk);
  if (c.trailer) cuts.push_back(Cut::Trailer);
  for (const Cut cut : cuts) {
    SCOPED_TRACE(cut_name(cut));
    const Bytes damaged = damaged_copy(intact, cut);
    dir.write("damaged.bin", damaged);
    const std::int64_t media_end = static_cast<std::int64_t>(
        cut == Cut::InsideSample || cut == Cut::InsideAudioChunk ? damaged.size()
                                                                 : cut_moov(intact).size());
    const CliResult raw =
        run_cli(dir, {"damaged.bin", "out.h264", raw_name(0, c.pcm[0]), "--model"});
    ASSERT_EQ(raw.status, 0) << raw.output;
    const CliResult playable = run_cli(dir, {"damaged.bin", movie, "--model"});
    ASSERT_EQ(playable.status, 0) << playable.output;
    for (std::size_t k = 0; k < tracks.size(); ++k) {
      SCOPED_TRACE("audio track " + std::to_string(k + 1));
      const std::string stream = "0:a:" + std::to_string(k);
      const std::string name = raw_name(k, c.pcm[k]);
      const Held held = held_of(intact, tracks[k], media_end);
      const Bytes reference = decoded(dir, c.source, stream);
      // The reference's decoded samples in proportion to the bytes held whole.
      const auto expected_samples = static_cast<std::size_t>(
          static_cast<double>(reference.size()) * static_cast<double>(held.bytes) /
          static_cast<double>(std::max<std::int64_t>(held.all_bytes, 1)));
      Share raw_share;
      if (c.pcm[k]) {
        raw_share = sample_share(reference, decoded(dir, name, "0:a:0"), expected_samples);
      } else {
        const std::vector<Bytes> found = adts_payloads(dir.read(name));
        raw_share = {matched_in_order(held.frames, found), held.frames.size(), 0};
        raw_share.extra = found.size() - raw_share.matched;
      }
      Share movie_share;
      if (c.pcm[k]) {
        movie_share = sample_share(reference, decoded(dir, movie, stream), expected_samples);
      } else {
        std::vector<Bytes> expected = packet_hashes(dir, c.source, stream);
        expected.resize(held.frames.size());
        const std::vector<Bytes> found = packet_hashes(dir, movie, stream);
        movie_share = {matched_in_order(expected, found), expected.size(), 0};
        movie_share.extra = found.size() - movie_share.matched;
      }
      const int raw_messages = decoder_messages(dir, name, "0:a:0");
      const int movie_messages = decoder_messages(dir, movie, stream);
      std::printf(
          "[ figures  ] %s, %s, audio track %zu: %s %.2f%% raw, %.2f%% playable, %zu and %zu "
          "extra; decoder messages %d raw, %d playable\n",
          c.name, cut_name(cut), k + 1, c.pcm[k] ? "PCM samples" : "AAC frames byte-exact",
          raw_share.percent(), movie_share.percent(), raw_share.extra, movie_share.extra,
          raw_messages, movie_messages);
      EXPECT_GE(raw_share.percent(), c.min_percent);
      EXPECT_GE(movie_share.percent(), c.min_percent);
      if (c.min_percent < 100) continue;
      EXPECT_EQ(raw_share.extra, 0u);
      EXPECT_EQ(movie_share.extra, 0u);
      EXPECT_EQ(raw_messages, 0);
      EXPECT_EQ(movie_messages, 0);
    }
  }
}

std::string case_name(const testing::TestParamInfo<AudioCase>& param) {
  constexpr const char* kNames[] = {"PcmS24",          "PcmF32",         "PcmS16Be",
                                    "PcmS8",           "PcmU8",          "SixChannels",
                                    "TwoAacTracks",    "TwoPcmTracks",   "TwoPcmTracksOfOneFormat",
                                    "AacAndPcm",       "Mono44kSilence", "Mono22kSilence",
                                    "TrailerAfterMdat"};
  return kNames[param.index];
}

INSTANTIATE_TEST_SUITE_P(FfmpegRecordings, AudioTracksTest, testing::ValuesIn(kCases), case_name);

struct DamageCase {
  const char* name;
  std::string ffmpeg_args;
  std::string source;
  std::vector<bool> pcm;
  double min_percent;  // of each track's frames or samples outside the damage
  int max_messages;    // a decoder's, per file
};

// What comes back today: the audio between the last picture before the damage
// and the damage, and between the damage and the next picture, is skipped with it.
const DamageCase kDamageCases[] = {
    {"MP4 AAC+AAC",
     kSine + kOther + "-map 0:v -map 1:a -map 2:a -c:a aac -ac 2",
     "src.mp4",
     {false, false},
     94.5,
     0},
    {"MOV PCM+PCM of one format",
     kSine + kOther + "-map 0:v -map 1:a -map 2:a -c:a pcm_s16le -ac 1",
     "src.mov",
     {true, true},
     97,
     0},
    {"MOV AAC+PCM",
     kSine + kOther + "-map 0:v -map 1:a -map 2:a -c:a:0 aac -c:a:1 pcm_s16be -ac:a:1 1",
     "src.mov",
     {false, true},
     97,
     0},
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

// The samples the decoder gives back that match the reference's from its start
// and from its end: what lies on either side of one damaged stretch.
std::size_t matched_around_gap(const Bytes& reference, const Bytes& salvaged) {
  const std::size_t shorter = std::min(reference.size(), salvaged.size());
  std::size_t head = 0;
  while (head < shorter && salvaged[head] == reference[head]) ++head;
  std::size_t tail = 0;
  while (tail < shorter - head &&
         salvaged[salvaged.size() - 1 - tail] == reference[reference.size() - 1 - tail]) {
    ++tail;
  }
  return head + tail;
}

// The hashes of the reference's packets of one track that lie wholly outside
// [from, to).
std::vector<Bytes> hashes_outside(const std::vector<Bytes>& hashes, const Track& t,
                                  std::int64_t from, std::int64_t to) {
  std::vector<Bytes> out;
  for (std::size_t i = 0; i < t.samples.size() && i < hashes.size(); ++i) {
    const Sample& s = t.samples[i];
    if (s.offset + s.size <= from || s.offset >= to) out.push_back(hashes[i]);
  }
  return out;
}

class AudioTracksDamageTest : public testing::TestWithParam<DamageCase> {};

// 64 KB of random bytes written into the middle of the media data: each track
// keeps what lies outside them, in its own file and in the playable one.
TEST_P(AudioTracksDamageTest, KeepsEveryTracksAudioOutsideTheDamage) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  const DamageCase& c = GetParam();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir, kVideo + c.ffmpeg_args + " " + kEncode + c.source));
  const Bytes intact = dir.read(c.source);
  const std::string ending = c.source.substr(4);
  dir.write("intact." + ending, intact);
  const std::vector<Track> tracks = audio_tracks(intact);
  ASSERT_EQ(tracks.size(), c.pcm.size());
  ASSERT_EQ(run_cli(dir, {"intact." + ending, "--model"}).status, 0);

  Bytes damaged = cut_moov(intact);
  constexpr std::int64_t kDamageBytes = 64 * 1024;
  const auto from = static_cast<std::int64_t>(damaged.size() / 2);
  const Bytes noise = pseudo_random_bytes(static_cast<std::size_t>(kDamageBytes), 64);
  std::copy(noise.begin(), noise.end(), damaged.begin() + from);
  dir.write("damaged.bin", damaged);
  const std::string movie = "out." + ending;
  const CliResult raw = run_cli(dir, {"damaged.bin", "out.h264", raw_name(0, c.pcm[0]), "--model"});
  ASSERT_EQ(raw.status, 0) << raw.output;
  const CliResult playable = run_cli(dir, {"damaged.bin", movie, "--model"});
  ASSERT_EQ(playable.status, 0) << playable.output;

  for (std::size_t k = 0; k < tracks.size(); ++k) {
    SCOPED_TRACE("audio track " + std::to_string(k + 1));
    const std::string stream = "0:a:" + std::to_string(k);
    const std::string name = raw_name(k, c.pcm[k]);
    Share raw_share;
    Share movie_share;
    if (c.pcm[k]) {
      std::int64_t outside = 0;
      std::int64_t all = 0;
      for (const Sample& s : tracks[k].samples) {
        all += s.size;
        if (s.offset + s.size <= from || s.offset >= from + kDamageBytes) outside += s.size;
      }
      const Bytes reference = decoded(dir, c.source, stream);
      const auto expected = static_cast<std::size_t>(
          static_cast<double>(reference.size()) * static_cast<double>(outside) /
          static_cast<double>(std::max<std::int64_t>(all, 1)));
      const Bytes raw_samples = decoded(dir, name, "0:a:0");
      const Bytes movie_samples = decoded(dir, movie, stream);
      raw_share = {std::min(matched_around_gap(reference, raw_samples), expected), expected,
                   raw_samples.size() > expected ? raw_samples.size() - expected : 0};
      movie_share = {std::min(matched_around_gap(reference, movie_samples), expected), expected,
                     movie_samples.size() > expected ? movie_samples.size() - expected : 0};
    } else {
      std::vector<Bytes> frames;
      for (const Sample& s : tracks[k].samples) {
        if (s.offset + s.size <= from || s.offset >= from + kDamageBytes) {
          frames.push_back(sample_bytes(intact, {s}));
        }
      }
      const std::vector<Bytes> found = adts_payloads(dir.read(name));
      raw_share = {matched_in_order(frames, found), frames.size(), 0};
      raw_share.extra = found.size() - raw_share.matched;
      const std::vector<Bytes> expected = hashes_outside(packet_hashes(dir, c.source, stream),
                                                         tracks[k], from, from + kDamageBytes);
      const std::vector<Bytes> in_movie = packet_hashes(dir, movie, stream);
      movie_share = {matched_in_order(expected, in_movie), expected.size(), 0};
      movie_share.extra = in_movie.size() - movie_share.matched;
    }
    const int raw_messages = decoder_messages(dir, name, "0:a:0");
    const int movie_messages = decoder_messages(dir, movie, stream);
    std::printf(
        "[ figures  ] %s, 64 KB of random bytes, audio track %zu: %s %.2f%% raw, %.2f%% "
        "playable, %zu and %zu extra; decoder messages %d raw, %d playable\n",
        c.name, k + 1, c.pcm[k] ? "PCM samples" : "AAC frames byte-exact", raw_share.percent(),
        movie_share.percent(), raw_share.extra, movie_share.extra, raw_messages, movie_messages);
    EXPECT_GE(raw_share.percent(), c.min_percent);
    EXPECT_GE(movie_share.percent(), c.min_percent);
    EXPECT_LE(raw_messages, c.max_messages);
    EXPECT_LE(movie_messages, c.max_messages);
  }
}

std::string damage_case_name(const testing::TestParamInfo<DamageCase>& param) {
  constexpr const char* kNames[] = {"TwoAacTracks", "TwoPcmTracksOfOneFormat", "AacAndPcm"};
  return kNames[param.index];
}

INSTANTIATE_TEST_SUITE_P(FfmpegRecordings, AudioTracksDamageTest, testing::ValuesIn(kDamageCases),
                         damage_case_name);

// The second audio track's file is named after the first's: a name the run uses
// already is refused before anything is written to it twice.
TEST(AudioTrackFiles, RefuseANameTheRunUsesAlready) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  TempDir dir;
  ASSERT_TRUE(run_ffmpeg(dir, kVideo + kSine + kOther +
                                  "-map 0:v -map 1:a -map 2:a -c:a pcm_s16le -t 1 -c:v libx264 "
                                  "-preset veryfast src.mov"));
  dir.write("damaged.mov", cut_moov(dir.read("src.mov")));
  ASSERT_EQ(run_cli(dir, {"src.mov", "--model"}).status, 0);
  const CliResult r = run_cli(dir, {"damaged.mov", "out.2.wav", "out.wav", "--model"});
  EXPECT_EQ(r.status, -1);
  EXPECT_NE(r.output.find("Cannot write 'out.2.wav'\n"), std::string::npos) << r.output;
  const CliResult ok = run_cli(dir, {"damaged.mov", "v.h264", "a.wav", "--model"});
  ASSERT_EQ(ok.status, 0) << ok.output;
  EXPECT_NE(ok.output.find("Writing audio track 2 (track 3, sowt) to 'a.2.wav'...\n"),
            std::string::npos)
      << ok.output;
  EXPECT_TRUE(dir.exists("a.2.wav"));
}

}  // namespace
}  // namespace vidsalvage::test
