#include "mp4/top_level_boxes.h"

#include <gtest/gtest.h>

#include "recovery/walk_harness.h"
#include "support/bytes.h"

namespace vidsalvage {
namespace {
using test::append;
using test::append_u32;
using test::append_u64;
using test::box;
using test::Bytes;
using test::bytes_of;
using test::concat;

// An mdat header with a size field of `size32`, and the 64-bit size after the
// type when `size32` is 1.
Bytes mdat_header(std::uint32_t size32, std::uint64_t size64 = 0) {
  Bytes h;
  append_u32(h, size32);
  append(h, bytes_of("mdat"));
  if (size32 == 1) append_u64(h, size64);
  return h;
}

TEST(FindMediaBox, ReadsEverySizeForm) {
  const Bytes ftyp = box("ftyp", bytes_of("isom"));
  const Bytes media(100, 0x5A);
  const Bytes trailer = bytes_of("vendor trailer");
  const auto at = static_cast<std::int64_t>(ftyp.size());
  struct Case {
    const char* name;
    Bytes file;
    std::int64_t body;
    std::int64_t end;
  };
  const Case cases[] = {
      {"32-bit size, a trailer after", concat({ftyp, mdat_header(108), media, trailer}), at + 8,
       at + 108},
      {"64-bit size, a trailer after", concat({ftyp, mdat_header(1, 116), media, trailer}), at + 16,
       at + 116},
      {"size 0: to the end of the file", concat({ftyp, mdat_header(0), media}), at + 8, kNotFound},
      {"a size past the end of the file", concat({ftyp, mdat_header(5000), media}), at + 8,
       kNotFound},
      {"a 64-bit size past the end", concat({ftyp, mdat_header(1, 1ull << 40), media}), at + 16,
       kNotFound},
      {"behind a free box", concat({ftyp, box("free", Bytes(8)), mdat_header(108), media}), at + 24,
       at + 124},
      {"a box before it smaller than its header", concat({mdat_header(4), mdat_header(108), media}),
       kNotFound, kNotFound},
      {"a box before it running past the end",
       concat({Bytes{0, 0, 0x13, 0x88, 'f', 'r', 'e', 'e'}, mdat_header(108)}), kNotFound,
       kNotFound},
      {"no mdat", concat({ftyp, box("moov", Bytes(20))}), kNotFound, kNotFound},
      {"a 64-bit size cut short", concat({ftyp, Bytes{0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0}}),
       kNotFound, kNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool windowed : {false, true}) {
      test::OpenInput in(c.file, windowed);
      const MediaBox media_box = find_media_box(in.input);
      EXPECT_EQ(media_box.body, c.body);
      EXPECT_EQ(media_box.end, c.end);
    }
  }
}

}  // namespace
}  // namespace vidsalvage
