// Real recordings end to end: ffmpeg makes an intact recording, the test cuts its
// index off a copy, and vidsalvage salvages the copy with the headers of the
// intact file. Judged by what a user cares about: every video NAL unit back, in
// order; a stream that ffmpeg decodes; the audio bytes back, in order.

#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <sstream>

#include "support/cli.h"
#include "support/media.h"
#include "support/tracks.h"

namespace vidsalvage::test {
namespace {

// A piece of input named on a trace line.
struct Piece {
  std::string kind;  // "AAC", "skip", "PCM", "H264"
  std::int64_t offset = 0;
  std::int64_t length = 0;
};

// The pieces named by the trace lines, in order: "KIND: 0xOFFSET [0xLENGTH]...".
std::vector<Piece> trace_pieces(const std::string& output) {
  std::vector<Piece> pieces;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    char kind[8] = {};
    unsigned long long offset = 0;
    unsigned long long length = 0;
    if (std::sscanf(line.c_str(), " %7[A-Za-z0-9]: 0x%llx [0x%llx]", kind, &offset, &length) == 3) {
      pieces.push_back({kind, static_cast<std::int64_t>(offset), static_cast<std::int64_t>(length)});
    }
  }
  return pieces;
}

int nal_type(const Bytes& unit) { return unit.empty() ? -1 : unit[0] & 0x1F; }

std::vector<Bytes> without_parameter_sets(const std::vector<Bytes>& units) {
  std::vector<Bytes> kept;
  for (const Bytes& u : units) {
    if (nal_type(u) != 7 && nal_type(u) != 8) kept.push_back(u);
  }
  return kept;
}

int count_frames(const TempDir& dir, const std::string& name) {
  const std::string out = run_and_capture(
      dir, "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
           "stream=nb_read_frames -of csv=p=0 '" + name + "' 2>/dev/null");
  return out.empty() ? -1 : std::atoi(out.c_str());
}

std::string decode_errors(const TempDir& dir, const std::string& name) {
  return run_and_capture(dir, "ffmpeg -nostdin -v error -i '" + name + "' -f null - 2>&1");
}

const Track& track_of(const std::vector<Track>& tracks, const std::string& handler) {
  for (const Track& t : tracks) {
    if (t.handler == handler) return t;
  }
  throw std::runtime_error("no track " + handler);
}

// The samples that begin before `end`: a salvage never writes audio behind the
// last video unit, since no further video unit marks where that audio ends.
std::vector<Sample> samples_before(const std::vector<Sample>& samples, std::int64_t end) {
  std::vector<Sample> kept;
  for (const Sample& s : samples) {
    if (s.offset < end) kept.push_back(s);
  }
  return kept;
}

std::int64_t end_of_last(const std::vector<Sample>& samples) {
  return samples.empty() ? 0 : samples.back().offset + samples.back().size;
}

class RecoveryE2e : public testing::Test {
 protected:
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed; skipping a real-file test";
  }

  // Encodes `intact.EXT`, cuts its index off into `damaged.EXT`.
  void record(const std::string& ffmpeg_args, const std::string& ext) {
    intact_name_ = "intact." + ext;
    damaged_name_ = "damaged." + ext;
    ASSERT_TRUE(run_ffmpeg(dir_, ffmpeg_args + " " + intact_name_));
    intact_ = dir_.read(intact_name_);
    damaged_ = cut_moov(intact_);
    ASSERT_FALSE(damaged_.empty());
    tracks_ = read_tracks(intact_);
  }

  void write_damaged(const Bytes& damaged) {
    damaged_ = damaged;
    dir_.write(damaged_name_, damaged_);
  }

  CliResult salvage(const std::vector<std::string>& recovery_args, const CliOptions& options = {}) {
    const CliResult headers = run_cli(dir_, {intact_name_, "--avcc"});
    // A recording without AAC has no mp4a box: --avcc writes avcc.hdr and says so.
    EXPECT_NE(headers.output.find("'avcc.hdr' created"), std::string::npos) << headers.output;
    std::vector<std::string> args = {damaged_name_};
    args.insert(args.end(), recovery_args.begin(), recovery_args.end());
    return run_cli(dir_, args, options);
  }

  // Every NAL unit of the intact file's video samples, as ffmpeg extracts them,
  // against what the salvage wrote after its parameter sets. Returns how many
  // access unit delimiters are missing when `delimiters_may_be_lost` is set;
  // every other unit must be there, in order.
  int expect_all_video_units(const std::string& video_name, bool delimiters_may_be_lost = false) {
    EXPECT_TRUE(run_ffmpeg(dir_, "-i " + intact_name_ +
                                     " -map 0:v:0 -c copy -bsf:v h264_mp4toannexb -f h264 ref.h264"));
    std::vector<Bytes> expected = without_parameter_sets(annexb_units(dir_.read("ref.h264")));
    const std::vector<Bytes> salvaged = annexb_units(dir_.read(video_name));
    // The parameter sets of avcc.hdr open the stream.
    std::size_t prologue = 0;
    while (prologue < salvaged.size() &&
           (nal_type(salvaged[prologue]) == 7 || nal_type(salvaged[prologue]) == 8)) {
      ++prologue;
    }
    EXPECT_GE(prologue, 2u);
    std::vector<Bytes> units(salvaged.begin() + static_cast<long>(prologue), salvaged.end());
    int lost = 0;
    if (delimiters_may_be_lost) {
      const auto drop_delimiters = [](std::vector<Bytes>& list) {
        std::erase_if(list, [](const Bytes& u) { return nal_type(u) == 9; });
      };
      const auto delimiters = static_cast<int>(expected.size() - units.size());
      drop_delimiters(expected);
      drop_delimiters(units);
      lost = delimiters;
    }
    EXPECT_EQ(units.size(), expected.size());
    EXPECT_TRUE(units == expected) << "the salvaged NAL units differ from the intact file's";
    EXPECT_EQ(decode_errors(dir_, video_name), "");
    EXPECT_EQ(count_frames(dir_, video_name), count_frames(dir_, intact_name_));
    return lost;
  }

  // The audio pieces of the trace, in order, are the intact file's audio bytes
  // up to the last video unit, with nothing else between them; the AAC pieces
  // stand in the output behind their ADTS headers.
  void expect_aac_pieces(const CliResult& r, const std::string& audio_name) {
    const Track& video = track_of(tracks_, "vide");
    const Track& audio = track_of(tracks_, "soun");
    const Bytes expected = sample_bytes(intact_, samples_before(audio.samples, end_of_last(video.samples)));
    Bytes pieces;
    Bytes written;
    for (const Piece& p : trace_pieces(r.output)) {
      if (p.kind != "AAC" && p.kind != "skip") continue;
      const Bytes payload(damaged_.begin() + p.offset, damaged_.begin() + p.offset + p.length);
      append(pieces, payload);
      if (p.kind == "AAC") {
        const std::int64_t frame_length = p.length + 7;
        Bytes header = {0xFF, 0xF1, 0x4C, 0x80, 0x00, 0x1F, 0xFC};  // AAC LC, 48 kHz, stereo
        header[3] |= static_cast<std::uint8_t>((frame_length >> 11) & 0x03);
        header[4] = static_cast<std::uint8_t>((frame_length >> 3) & 0xFF);
        header[5] |= static_cast<std::uint8_t>((frame_length & 0x07) << 5);
        append(written, header);
        append(written, payload);
      }
    }
    EXPECT_EQ(pieces.size(), expected.size());
    EXPECT_TRUE(pieces == expected) << "the audio pieces are not the intact file's audio bytes";
    EXPECT_TRUE(dir_.read(audio_name) == written) << "the ADTS stream is not header + piece";
  }

  TempDir dir_;
  std::string intact_name_;
  std::string damaged_name_;
  Bytes intact_;
  Bytes damaged_;
  std::vector<Track> tracks_;
};

const char* const kTestSource =
    "-f lavfi -i testsrc2=size=640x360:rate=30 -f lavfi -i sine=frequency=440:sample_rate=48000 ";
// Every sample opens with an access unit delimiter; libx264's SEI, which it puts in
// front of the first delimiter, is removed.
const char* const kAudH264 = "-c:v libx264 -x264-params aud=1 -bsf:v filter_units=remove_types=6 ";

TEST_F(RecoveryE2e, DefaultRecorderRecoversH264AndAac) {
  record(std::string(kTestSource) + "-t 20 " + kAudH264 + "-g 60 -bf 2 -c:a aac -ac 2 -ar 48000",
         "mp4");
  write_damaged(damaged_);
  const CliResult r = salvage({"out.h264", "out.aac"});
  EXPECT_EQ(r.status, 0) << r.output;
  expect_all_video_units("out.h264");
  expect_aac_pieces(r, "out.aac");

  // A recorder option that does not fit still ends well, with a stream that decodes.
  const CliResult samsung = salvage({"samsung.h264", "samsung.aac", "--samsung"});
  EXPECT_EQ(samsung.status, 0) << samsung.output;
  EXPECT_EQ(decode_errors(dir_, "samsung.h264"), "");
}

// The PCM test refuses a candidate unit whose first bytes could be smooth 16-bit
// stereo samples. An access unit delimiter followed by a slice shorter than 64 KB
// often passes for such samples: it is then written into the WAV file as audio,
// and the walk resumes at the slice. Every slice still comes back.
TEST_F(RecoveryE2e, EosRecorderRecoversIntraH264AndPcm) {
  record(std::string(kTestSource) + "-t 10 " + kAudH264 + "-g 1 -c:a pcm_s16le -ac 2 -ar 48000",
         "mov");
  write_damaged(damaged_);
  const CliResult r = salvage({"out.h264", "out.wav", "--eos"});
  EXPECT_EQ(r.status, 0) << r.output;
  const int lost_delimiters = expect_all_video_units("out.h264", true);

  // The WAV data is the PCM samples up to the last video unit, in order, with the
  // refused delimiters in between: each at the end of a piece.
  const Track& video = track_of(tracks_, "vide");
  const Track& audio = track_of(tracks_, "soun");
  const Bytes expected = sample_bytes(intact_, samples_before(audio.samples, end_of_last(video.samples)));
  const Bytes wav = dir_.read("out.wav");
  ASSERT_GE(wav.size(), 44u);
  Bytes audio_bytes;
  int delimiters_in_audio = 0;
  std::int64_t at = 44;
  for (const Piece& p : trace_pieces(r.output)) {
    if (p.kind != "PCM") continue;
    Bytes piece(wav.begin() + at, wav.begin() + at + p.length);
    at += p.length;
    const Bytes tail(piece.end() - std::min<std::size_t>(piece.size(), 6), piece.end());
    if (tail.size() == 6 && tail[0] == 0 && tail[1] == 0 && tail[2] == 0 && tail[3] == 2 &&
        tail[4] == 9) {
      piece.resize(piece.size() - 6);
      ++delimiters_in_audio;
    }
    append(audio_bytes, piece);
  }
  EXPECT_EQ(at, static_cast<std::int64_t>(wav.size()));
  EXPECT_TRUE(audio_bytes == expected) << "WAV data differs from the PCM samples";
  EXPECT_EQ(delimiters_in_audio, lost_delimiters);
  std::printf("PCM refusal: %d of %zu access unit delimiters went to the audio\n", lost_delimiters,
              video.samples.size());
  const auto le32 = [&](std::size_t offset) {
    return std::uint32_t{wav[offset]} | std::uint32_t{wav[offset + 1]} << 8 |
           std::uint32_t{wav[offset + 2]} << 16 | std::uint32_t{wav[offset + 3]} << 24;
  };
  EXPECT_EQ(le32(4), wav.size() - 8);
  EXPECT_EQ(le32(40), wav.size() - 44);
}

TEST_F(RecoveryE2e, AndroidRecorderRecoversH264WithoutDelimitersFromA64BitMdat) {
  record(std::string(kTestSource) +
             "-t 10 -c:v libx264 -bf 0 -bsf:v filter_units=remove_types=6 -c:a aac -ac 2 -ar 48000",
         "mp4");
  // ffmpeg leaves an 8-byte free box in front of mdat: make the two one mdat
  // header with a 64-bit size, as a phone does.
  const auto mdat = find_boxes(damaged_, "mdat");
  ASSERT_EQ(mdat.size(), 1u);
  ASSERT_EQ(mdat[0].header_size, 8);
  const auto free_box = find_boxes(damaged_, "free");
  ASSERT_FALSE(free_box.empty());
  ASSERT_EQ(free_box[0].offset + 8, mdat[0].offset);
  Bytes header;
  append_u32(header, 1);
  append(header, std::string_view("mdat"));
  append_u64(header, static_cast<std::uint64_t>(mdat[0].size + 8));
  Bytes damaged = damaged_;
  std::copy(header.begin(), header.end(), damaged.begin() + free_box[0].offset);
  write_damaged(damaged);

  const CliResult r = salvage({"out.h264", "out.aac", "--android"});
  EXPECT_EQ(r.status, 0) << r.output;
  expect_all_video_units("out.h264");
  expect_aac_pieces(r, "out.aac");

  // The default recorder looks for access unit delimiters, and there are none: the
  // run ends well with the parameter sets alone, which hold no picture to decode.
  const CliResult fallback = salvage({"default.h264", "default.aac"});
  EXPECT_EQ(fallback.status, 0) << fallback.output;
  const std::vector<Bytes> units = annexb_units(dir_.read("default.h264"));
  EXPECT_TRUE(std::all_of(units.begin(), units.end(),
                          [](const Bytes& u) { return nal_type(u) == 7 || nal_type(u) == 8; }));
}

TEST_F(RecoveryE2e, LargeRecordingGivesTheSameFilesMappedAndWindowed) {
  // Noise keeps a lossless encoder's frames large: about 100 MB in 2.5 seconds.
  record(std::string("-f lavfi -i testsrc2=size=1280x720:rate=30 -f lavfi -i "
                     "sine=frequency=440:sample_rate=48000 -t 2.5 -vf noise=alls=30:allf=t ") +
             kAudH264 + "-preset ultrafast -qp 0 -g 30 -c:a aac -ac 2 -ar 48000",
         "mp4");
  ASSERT_GT(damaged_.size(), 64u * 1024 * 1024);
  write_damaged(damaged_);
  const CliResult windowed = salvage({"out.h264", "out.aac"}, {.force_window = true});
  const Bytes windowed_video = dir_.read("out.h264");
  const Bytes windowed_audio = dir_.read("out.aac");
  const CliResult mapped = salvage({"out.h264", "out.aac"});
  EXPECT_EQ(mapped.status, 0) << mapped.output;
  EXPECT_EQ(windowed.status, 0) << windowed.output;
  EXPECT_TRUE(dir_.read("out.h264") == windowed_video);
  EXPECT_TRUE(dir_.read("out.aac") == windowed_audio);
  // The windowed run prints its warning once, after the banner, and nothing else differs.
  const std::string warning = "WARNING: Used slow file read method\n";
  const std::size_t at = windowed.raw_output.find(warning);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(windowed.raw_output.substr(0, at) + windowed.raw_output.substr(at + warning.size()),
            mapped.raw_output);
  expect_all_video_units("out.h264");
  expect_aac_pieces(mapped, "out.aac");
}

}  // namespace
}  // namespace vidsalvage::test
