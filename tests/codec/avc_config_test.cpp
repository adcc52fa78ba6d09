#include "codec/avc_config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/bytes.h"
#include "support/temp_dir.h"

namespace vidsalvage::test {
namespace {

// The SPS and PPS of a 1920x1080 High profile stream at level 4.0, as libx264
// wrote them (coded height 1088, bottom crop 8 lines).
const Bytes kSps = {0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x78, 0x02,
                    0x27, 0xE5, 0xC0, 0x44, 0x00, 0x00, 0x03, 0x00, 0x04,
                    0x00, 0x00, 0x03, 0x00, 0xC8, 0x3C, 0x60, 0xC6, 0x58};
const Bytes kPps = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};
const Bytes kStartCode = {0x00, 0x00, 0x00, 0x01};

Bytes with_length(const Bytes& unit) {
  Bytes b;
  append_u16(b, static_cast<std::uint16_t>(unit.size()));
  append(b, unit);
  return b;
}
Bytes sps_with(std::size_t at, std::uint8_t value) {
  Bytes sps = kSps;
  sps[at] = value;
  return sps;
}
Bytes header(std::uint8_t version, std::uint8_t length_size, std::uint8_t sps_count) {
  return {version, 0x64, 0x00, 0x28, length_size, sps_count};
}

struct PrologueResult {
  bool written = false;
  std::string output;
  Bytes video;
};

PrologueResult write_prologue(const Bytes& record) {
  TempDir dir;
  AvcConfig config;
  // A buffer of exactly the record's size: AddressSanitizer sees its end.
  config.bytes.reset(new std::uint8_t[record.size()]);
  if (!record.empty()) std::memcpy(config.bytes.get(), record.data(), record.size());
  config.size = static_cast<std::int64_t>(record.size());
  PrologueResult result;
  {
    OutputFile video;
    EXPECT_TRUE(video.open(dir.path("out.h264").c_str()));
    testing::internal::CaptureStdout();
    result.written = write_video_prologue(config, video);
    result.output = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(video.close());
  }
  EXPECT_EQ(config.bytes, nullptr);
  result.video = dir.read("out.h264");
  return result;
}

struct PrologueCase {
  const char* name;
  Bytes record;
  std::string output;
  Bytes video;
};

const std::string kSummary = "Assuming AVC video 1920x1080, High Profile, Level 4.0\n";
const std::string kOneSps = "AVC SPS count: 1\nAVC SPS[0] len: 27\n";
const std::string kOnePps = "AVC PPS count: 1\nAVC PPS[0] len: 6\n";

TEST(VideoPrologue, WritesParameterSetsAndReportsThem) {
  const Bytes both = concat({kStartCode, kSps, kStartCode, kPps});
  const PrologueCase cases[] = {
      {"record from a real stream, extension bytes ignored",
       concat({header(1, 0xFF, 0xE1),
               with_length(kSps),
               {1},
               with_length(kPps),
               {0xFD, 0xF8, 0xF8, 0}}),
       kOneSps + kSummary + kOnePps, both},
      {"version 0 is only reported",
       concat({header(0, 0xFF, 0xE1), with_length(kSps), {1}, with_length(kPps)}),
       "Invalid AVC Configuration: Version 0\n" + kOneSps + kSummary + kOnePps, both},
      {"3-byte lengths are only reported",
       concat({header(1, 0xFE, 0xE1), with_length(kSps), {1}, with_length(kPps)}),
       "Invalid AVC Configuration: NALUnitLength\n" + kOneSps + kSummary + kOnePps, both},
      {"no SPS: the PPS count is byte 6", concat({header(1, 0xFC, 0xE0), {1}, with_length(kPps)}),
       "AVC SPS count: 0\n" + kOnePps, concat({kStartCode, kPps})},
      {"two SPS, two summary lines",
       concat({header(1, 0xFD, 0x02), with_length(kSps), with_length(sps_with(3, 31)), {0}}),
       "AVC SPS count: 2\nAVC SPS[0] len: 27\n" + kSummary +
           "AVC SPS[1] len: 27\nAssuming AVC video 1920x1080, High Profile, Level 3.1\nAVC PPS "
           "count: 0\n",
       concat({kStartCode, kSps, kStartCode, sps_with(3, 31)})},
      {"an SPS entry of NAL type 8 is still written",
       concat({header(1, 0xFF, 0xE1), with_length(kPps), {0}}),
       "AVC SPS count: 1\nAVC SPS[0] len: 6\nInvalid AVC SPS!\nAVC PPS count: 0\n",
       concat({kStartCode, kPps})},
      {"profile 244 is unknown",
       concat({header(1, 0xFF, 0xE1), with_length(sps_with(1, 244)), {0}}),
       "AVC SPS count: 1\nAVC SPS[0] len: 27\nAssuming AVC video 1920x1080, Unknown Profile, Level "
       "4.0\n"
       "AVC PPS count: 0\n",
       concat({kStartCode, sps_with(1, 244)})},
      {"SPS running past the record: the PPS count follows its length",
       concat({header(1, 0xFF, 0xE1), {0x01, 0x00, 0x00, 0x67, 0x64}}),
       "AVC SPS count: 1\nAVC SPS[0] len: 256\nInvalid AVC Configuration: "
       "sequenceParameterSetLength[0]=256\n"
       "AVC PPS count: 0\n",
       kStartCode},
      {"SPS length field missing", concat({header(1, 0xFF, 0xE2), with_length(kSps), {0x00}}),
       "AVC SPS count: 2\nAVC SPS[0] len: 27\n" + kSummary +
           "Invalid AVC Configuration: sequenceParameterSetLength[1]\nAVC PPS count: 0\n",
       concat({kStartCode, kSps})},
      {"PPS running past the record",
       concat({header(1, 0xFF, 0xE0), {2}, with_length(kPps), {0x00, 0x07, 0x68}}),
       "AVC SPS count: 0\nAVC PPS count: 2\nAVC PPS[0] len: 6\nAVC PPS[1] len: 7\n"
       "Invalid AVC Configuration: pictureParameterSetLength[1]=7\n",
       concat({kStartCode, kPps, kStartCode})},
      {"PPS length field missing", concat({header(1, 0xFF, 0xE0), {2}, with_length(kPps), {0x00}}),
       "AVC SPS count: 0\nAVC PPS count: 2\nAVC PPS[0] len: 6\n"
       "Invalid AVC Configuration: pictureParameterSetLength[1]\n",
       concat({kStartCode, kPps})},
      {"record ending before the PPS count", concat({header(1, 0xFF, 0xE1), with_length(kSps)}),
       kOneSps + kSummary, concat({kStartCode, kSps})},
      {"record ending inside its header",
       {0x00, 0x64, 0x00, 0x28, 0xFE},
       "Invalid AVC Configuration: Version 0\nInvalid AVC Configuration: NALUnitLength\n",
       {}},
      {"empty record", {}, "", {}},
  };
  for (const PrologueCase& c : cases) {
    SCOPED_TRACE(c.name);
    const PrologueResult r = write_prologue(c.record);
    EXPECT_TRUE(r.written);
    EXPECT_EQ(r.output, c.output);
    EXPECT_EQ(r.video, c.video);
  }
}

TEST(VideoPrologue, LevelOneB) {
  Bytes level_11 = sps_with(3, 11);
  Bytes level_1b = level_11;
  level_1b[2] = 0x10;
  for (const auto& [sps, level] : {std::pair{level_11, "1.1\n"}, std::pair{level_1b, "1b\n"}}) {
    SCOPED_TRACE(level);
    const PrologueResult r = write_prologue(concat({header(1, 0xFF, 0xE1), with_length(sps), {0}}));
    EXPECT_NE(r.output.find(std::string("High Profile, Level ") + level), std::string::npos)
        << r.output;
  }
}

// Every prefix, every one-bit flip and random records: none may read outside the record.
TEST(VideoPrologue, SurvivesTruncatedFlippedAndRandomRecords) {
  const Bytes record = concat({header(1, 0xFF, 0xE1), with_length(kSps), {1}, with_length(kPps)});
  for (std::size_t n = 0; n <= record.size(); ++n) {
    EXPECT_TRUE(
        write_prologue(Bytes(record.begin(), record.begin() + static_cast<long>(n))).written);
  }
  for (std::size_t bit = 0; bit < record.size() * 8; bit += 3) {
    Bytes flipped = record;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
    EXPECT_TRUE(write_prologue(flipped).written);
  }
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    EXPECT_TRUE(write_prologue(pseudo_random_bytes(seed * 3, seed)).written);
  }
}

}  // namespace
}  // namespace vidsalvage::test
