#include "model/nal_chains.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/bytes.h"

namespace vidsalvage {
namespace {

using test::Bytes;

// Slices opening a picture: first_mb_in_slice 0 ('1'), slice_type, pps 0.
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33, 0xFF};
const Bytes kP = {0x41, 0x9A, 0x22, 0x11, 0x0F};
// A slice continuing the picture: first_mb_in_slice 1 ('010').
const Bytes kPSecond = {0x41, 0x4E, 0x22, 0x11};
const Bytes kDelimiter = {0x09, 0xF0};
const Bytes kSei = {0x06, 0x05, 0x02, 0xAA, 0xBB, 0x80};

Bytes prefixed(const Bytes& unit, int size) {
  Bytes out;
  for (int i = size - 1; i >= 0; --i)
    out.push_back(static_cast<std::uint8_t>(unit.size() >> (8 * i)));
  test::append(out, unit);
  return out;
}

Bytes sample(std::initializer_list<Bytes> units, int size = 4) {
  Bytes out;
  for (const Bytes& u : units) test::append(out, prefixed(u, size));
  return out;
}

struct Span {
  std::uint32_t start;
  std::uint32_t end;
  std::size_t units;
};

std::vector<Span> spans(const Bytes& bytes, std::uint32_t size = 4) {
  std::vector<Span> out;
  for (const NalChain& c : find_chains(bytes, size, VideoCodec::Avc)) {
    out.push_back({c.start, c.end, c.units.size()});
  }
  return out;
}

bool operator==(const Span& a, const Span& b) {
  return a.start == b.start && a.end == b.end && a.units == b.units;
}

std::string text(const std::vector<Span>& s) {
  std::string out;
  for (const Span& x : s) {
    out += "[" + std::to_string(x.start) + "," + std::to_string(x.end) + ")x" +
           std::to_string(x.units) + " ";
  }
  return out;
}

TEST(FindChains, CutsSamplesWherePicturesAndAudioBegin) {
  const Bytes audio = {0x21, 0x1A, 0x8F, 0xFF, 0x00, 0x12, 0x34};
  const Bytes first = sample({kDelimiter, kSei, kIdr});
  const Bytes second = sample({kDelimiter, kP, kPSecond});
  const Bytes third = sample({kP});
  struct Case {
    const char* name;
    Bytes bytes;
    std::vector<Span> expected;
  };
  const auto at = [](std::size_t a, std::size_t b) { return static_cast<std::uint32_t>(a + b); };
  const Case cases[] = {
      {"audio between samples",
       test::concat({first, audio, second, audio}),
       {{0, at(first.size(), 0), 3},
        {at(first.size(), audio.size()), at(first.size() + audio.size(), second.size()), 3}}},
      {"back to back: the second picture's slice ends the first",
       test::concat({third, third}),
       {{0, at(third.size(), 0), 1}, {at(third.size(), 0), at(2 * third.size(), 0), 1}}},
      {"units after the last slice belong to the next sample",
       test::concat({third, sample({kDelimiter}), audio}),
       {{0, at(third.size(), 0), 1}}},
      {"a unit cut off by the end is no chain",
       test::slice(third, 0, static_cast<std::int64_t>(third.size()) - 1),
       {}},
      {"a unit ending exactly at the end is taken", third, {{0, at(third.size(), 0), 1}}},
      {"a picture must open with its first macroblock", sample({kPSecond}), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<Span> found = spans(c.bytes);
    EXPECT_EQ(found, c.expected) << text(found);
  }
}

TEST(FindChains, ReadsTwoAndOneByteLengths) {
  for (const int size : {2, 1}) {
    SCOPED_TRACE(size);
    const Bytes bytes = test::concat({sample({kIdr}, size), Bytes{0x21, 0x00}, sample({kP}, size)});
    EXPECT_EQ(spans(bytes, static_cast<std::uint32_t>(size)).size(), 2u);
  }
}

TEST(FindChains, RefusesHeadersNoRecorderWrites) {
  struct Case {
    const char* name;
    Bytes unit;
  };
  const Case cases[] = {
      {"forbidden bit", {0xC1, 0x9A, 0x22}},
      {"IDR without nal_ref_idc", {0x05, 0x88, 0x84}},
      {"IDR holding a P slice", {0x65, 0x9A, 0x22}},
      {"SEI with nal_ref_idc", {0x26, 0x05, 0x80}},
      {"delimiter of three bytes", {0x09, 0xF0, 0x00}},
      {"slice type out of range", {0x41, 0x80 | 0x00, 0x00, 0x00, 0x01}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(spans(sample({c.unit})).empty());
  }
}

TEST(FindChains, LeavesSlicesTheCheckRefuses) {
  const Bytes bytes = test::concat({sample({kIdr}), sample({kP})});
  const std::vector<NalChain> chains =
      find_chains(bytes, 4, VideoCodec::Avc,
                  [](std::span<const std::uint8_t> unit) { return (unit[0] & 0x1F) == 5; });
  ASSERT_EQ(chains.size(), 1u);
  EXPECT_EQ(chains[0].units.size(), 1u);
}

TEST(BlockOffsets, SpreadsBlocksFromTheFirstByteToTheLast) {
  std::int64_t block = 0;
  EXPECT_EQ(block_offsets(100, 1100, block), std::vector<std::int64_t>{100});
  EXPECT_EQ(block, 1000);
  EXPECT_TRUE(block_offsets(100, 100, block).empty());
  const std::int64_t end = 100 + 10 * kInferenceSampleBytes;
  const std::vector<std::int64_t> spread = block_offsets(100, end, block);
  EXPECT_EQ(block, kInferenceBlockBytes);
  ASSERT_EQ(spread.size() * kInferenceBlockBytes, static_cast<std::size_t>(kInferenceSampleBytes));
  EXPECT_EQ(spread.front(), 100);
  EXPECT_LE(spread.back() + block, end);
  EXPECT_GT(spread.back() + block, end - static_cast<std::int64_t>(spread.size()));
}

}  // namespace
}  // namespace vidsalvage
