#include "codec/klv.h"

#include <gtest/gtest.h>

#include "support/bytes.h"

namespace vidsalvage {
namespace {
using test::append;
using test::append_u16;
using test::Bytes;

// An item of `count` structures of `size` bytes: its payload is padded to four.
Bytes item(const char* key, std::uint8_t size, std::uint16_t count) {
  Bytes b = test::bytes_of(key);
  b.push_back('b');
  b.push_back(size);
  append_u16(b, count);
  append(b, Bytes((std::size_t{size} * count + 3) / 4 * 4, 0x11));
  return b;
}

struct KlvCase {
  const char* name;
  Bytes bytes;
  std::int64_t limit;
  std::uint32_t max_items;
  std::int64_t bytes_followed;
  std::uint32_t items;
};

TEST(FollowKlv, FollowsItemsWithinTheirLimits) {
  const Bytes two = test::concat({item("DEVC", 1, 5), item("ACCL", 6, 2)});  // 16 + 20 bytes
  const KlvCase cases[] = {
      {"two items, padding counted", two, 36, 64, 36, 2},
      {"the item limit", two, 36, 1, 16, 1},
      {"an item reaching past the byte limit", two, 35, 64, 16, 1},
      {"a key that is not text",
       test::concat({item("DEVC", 1, 5), Bytes{0, 1, 2, 3, 'b', 1, 0, 0}}), 24, 64, 16, 1},
      {"a header cut by the end of the input", test::concat({item("DEVC", 1, 5), Bytes(7, 'A')}),
       64, 64, 16, 1},
      {"no bytes", {}, 0, 64, 0, 0},
  };
  for (const KlvCase& c : cases) {
    SCOPED_TRACE(c.name);
    InputWindow input;
    open_memory_input(input, c.bytes);
    const KlvChain chain = follow_klv(input, 0, c.limit, c.max_items);
    EXPECT_EQ(chain.bytes, c.bytes_followed);
    EXPECT_EQ(chain.items, c.items);
    EXPECT_FALSE(chain.read_failed);
  }
}

}  // namespace
}  // namespace vidsalvage
