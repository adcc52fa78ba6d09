#include "codec/aac_frame.h"

#include <gtest/gtest.h>

#include "support/bytes.h"

namespace vidsalvage::test {
namespace {

struct EndCase {
  const char* name;
  Bytes tail;
  bool ends;
};

// The fitting tails are the last bytes of frames of real recordings (a GoPro's
// stereo, an Android phone's mono, ffmpeg's mono).
const EndCase kEndCases[] = {
    {"ID_END in the last byte, no alignment", {0x2D, 0x2F}, true},
    {"ID_END then five alignment bits", {0x77, 0xE0}, true},
    {"ID_END in the last three bits of a silent frame", {0x20, 0x07}, true},
    {"ID_END reaching back into the byte before", {0x03, 0x80}, true},
    {"two ones across the bytes after a zero", {0x0A, 0xC0}, false},
    {"a frame of nothing but ID_END", {0xE0}, true},
    {"a last zero byte is eight bits of alignment", {0x07, 0x00}, false},
    {"ones that end in 011", {0xD4, 0x6C}, false},
    {"one bit set after two zeros", {0x01, 0x80}, false},
    {"two ones and nothing before them", {0xC0}, false},
    {"nothing", {}, false},
};

TEST(AacFrameEnd, FitsOnlyTheEndElementBeforeZeroAlignment) {
  for (const EndCase& c : kEndCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ends_like_aac_frame(c.tail), c.ends);
    // Only the last two bytes count: what comes before them changes nothing.
    Bytes longer = {0xFF, 0xFF, 0xFF};
    append(longer, c.tail);
    if (c.tail.size() == 2) {
      EXPECT_EQ(ends_like_aac_frame(longer), c.ends);
    }
  }
}

}  // namespace
}  // namespace vidsalvage::test
