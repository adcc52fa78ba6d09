#include "model/sample_descriptors.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/bytes.h"

namespace vidsalvage {
namespace {

using test::Bytes;

// A 16-byte descriptor: two constant bytes, a kind, the next sample's size at 4.
Bytes descriptor(std::uint8_t kind, std::uint32_t next_size) {
  Bytes d = {0x47, 0x50, kind, 0x00};
  test::append_u32(d, next_size);
  d.resize(16, 0x0B);
  return d;
}

const Bytes kSlice = {0x00, 0x00, 0x00, 0x05, 0x41, 0x9A, 0x22, 0x11, 0x0F};

// Video samples, each behind its descriptor, with `audio` frames (each behind a
// descriptor) between them.
MediaBlock described_block(int samples, const std::vector<std::uint32_t>& audio) {
  MediaBlock block;
  block.offset = 1000;
  for (int i = 0; i < samples; ++i) {
    for (const std::uint32_t size : audio) {
      test::append(block.bytes, descriptor(4, size));
      Bytes frame(size, 0x4B);
      frame[0] = 0x21;
      test::append(block.bytes, frame);
    }
    test::append(block.bytes, descriptor(3, static_cast<std::uint32_t>(kSlice.size())));
    const auto start = static_cast<std::uint32_t>(block.bytes.size());
    test::append(block.bytes, kSlice);
    block.chains.push_back({start, start + static_cast<std::uint32_t>(kSlice.size()), {}});
  }
  return block;
}

TEST(FindDescriptors, FindsTheSizeOfEachVideoSampleInFrontOfIt) {
  ChainScan scan;
  scan.blocks.push_back(described_block(12, {300, 280}));
  const DescriptorLayout layout = find_descriptors(scan);
  ASSERT_TRUE(layout.found);
  EXPECT_EQ(layout.length, 16u);
  EXPECT_EQ(layout.field, 4u);
  const MediaBlock& b = scan.blocks[0];
  DescribedStretch cut;
  ASSERT_TRUE(cut_described(b, b.chains[0].end, b.chains[1].start, layout, cut));
  ASSERT_EQ(cut.samples.size(), 2u);
  EXPECT_EQ(cut.samples[0].size, 300u);
  EXPECT_EQ(cut.samples[1].size, 280u);
  EXPECT_EQ(cut.samples[1].offset, b.offset + b.chains[0].end + 16 + 300 + 16);
  EXPECT_EQ(cut.descriptors.size(), 3u);
}

TEST(FindDescriptors, FindsNoneWithoutThem) {
  ChainScan few;
  few.blocks.push_back(described_block(4, {300}));  // too few stretches to tell
  EXPECT_FALSE(find_descriptors(few).found);
  ChainScan plain;
  MediaBlock block;
  for (int i = 0; i < 12; ++i) {
    test::append(block.bytes, Bytes(200, 0x21));
    const auto start = static_cast<std::uint32_t>(block.bytes.size());
    test::append(block.bytes, kSlice);
    block.chains.push_back({start, start + static_cast<std::uint32_t>(kSlice.size()), {}});
  }
  plain.blocks.push_back(block);
  EXPECT_FALSE(find_descriptors(plain).found);
}

TEST(CutDescribed, RefusesSizesThatDoNotLeadToTheVideoSample) {
  const DescriptorLayout layout = {true, 16, 4};
  struct Case {
    const char* name;
    std::uint32_t size;  // what the first descriptor says
  };
  const Case cases[] = {{"one byte short", 299},
                        {"one byte long", 301},
                        {"zero", 0},
                        {"past the stretch", 0xFFFFFFF0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MediaBlock b = described_block(2, {300});
    const Bytes wrong = descriptor(4, c.size);
    std::copy(wrong.begin(), wrong.end(), b.bytes.begin() + b.chains[0].end);
    DescribedStretch cut;
    EXPECT_FALSE(cut_described(b, b.chains[0].end, b.chains[1].start, layout, cut));
  }
}

}  // namespace
}  // namespace vidsalvage
