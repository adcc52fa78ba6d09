#include "tools/chunk_offsets.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/temp_dir.h"

namespace vidsalvage {
namespace {
using test::append;
using test::append_u32;
using test::append_u64;
using test::box;
using test::Bytes;
using test::TempDir;

struct NumberCase {
  const char* text;
  int value;
};
const NumberCase kNumberCases[] = {
    {"1", 1},
    {"2", 2},
    {"  \t\n\v\f\r7", 7},
    {"+3", 3},
    {"-3", -3},
    {"0", 0},
    {"", 0},
    {"abc", 0},
    {"12abc", 12},
    {"0x10", 0},
    {"- 3", 0},
    {"+-3", 0},
    {" 007", 7},
    {"2147483647", INT_MAX},
    {"2147483648", INT_MAX},
    {"-2147483648", INT_MIN},
    {"-2147483649", INT_MIN},
    {"99999999999999999999999999999999999999", INT_MAX},
    {"-99999999999999999999999999999999999999", INT_MIN},
};

TEST(ParseTableNumber, ReadsLikeAtoiAndSaturatesAtTheIntRange) {
  for (const NumberCase& c : kNumberCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_table_number(c.text), c.value);
  }
}

struct TableKind {
  const char* type;
  ChunkTableKind kind;
  int entry_bytes;
};
const TableKind kStco = {"stco", ChunkTableKind::Stco, 4};
const TableKind kCo64 = {"co64", ChunkTableKind::Co64, 8};
const TableKind kKinds[] = {kStco, kCo64};

// A chunk-offset box; `declared_size` replaces its true size.
Bytes table_box(const TableKind& kind, const std::vector<std::uint64_t>& entries,
                std::optional<std::uint32_t> declared_size = std::nullopt) {
  Bytes body;
  append_u32(body, 0);  // version and flags
  append_u32(body, static_cast<std::uint32_t>(entries.size()));
  for (std::uint64_t e : entries) {
    if (kind.entry_bytes == 4) {
      append_u32(body, static_cast<std::uint32_t>(e));
    } else {
      append_u64(body, e);
    }
  }
  Bytes b = box(kind.type, body);
  if (declared_size) {
    Bytes size;
    append_u32(size, *declared_size);
    std::copy(size.begin(), size.end(), b.begin());
  }
  return b;
}

// Media data whose chunk k, at 0x10 * (k + 1), starts 00 00 00 0k 09 1k 0k.
constexpr std::uint64_t kChunkSpacing = 0x10;
Bytes media_data(int chunks) {
  Bytes b(static_cast<std::size_t>(kChunkSpacing * static_cast<std::uint64_t>(chunks + 1)), 0xEE);
  for (int k = 0; k < chunks; ++k) {
    const auto at = static_cast<std::size_t>(kChunkSpacing * static_cast<std::uint64_t>(k + 1));
    const auto n = static_cast<std::uint8_t>(k);
    const Bytes head = {0, 0, 0, n, 0x09, static_cast<std::uint8_t>(0x10 + n), n};
    std::copy(head.begin(), head.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return b;
}

std::string chunk_line(int k) {
  char line[128];
  std::snprintf(
      line, sizeof line, "0x%08X: H264[0x000000%02X]: 0x09 0x%02X 0x%02X, AAC: 0x00 0x00 0x00\n",
      static_cast<unsigned>(kChunkSpacing * static_cast<unsigned>(k + 1)), static_cast<unsigned>(k),
      static_cast<unsigned>(0x10 + k), static_cast<unsigned>(k));
  return line;
}

std::vector<std::uint64_t> chunk_offsets(int chunks) {
  std::vector<std::uint64_t> offsets;
  for (int k = 0; k < chunks; ++k)
    offsets.push_back(kChunkSpacing * static_cast<std::uint64_t>(k + 1));
  return offsets;
}

struct Listing {
  int status = 0;
  std::string output;
};

Listing run_listing(const std::string& path, ChunkTableKind kind, int table_number,
                    bool allow_mapping) {
  InputWindow input;
  testing::internal::CaptureStdout();
  Listing listing;
  if (!open_input(input, path.c_str(), {.allow_mapping = allow_mapping})) {
    listing.status = 99;
  } else {
    listing.status = dump_chunk_offsets(input, kind, table_number);
  }
  listing.output = testing::internal::GetCapturedStdout();
  return listing;
}

// Lists the file's table mapped and through the window, expects both runs to
// print the same, and returns what they printed.
Listing list_file(const std::string& path, ChunkTableKind kind, int table_number) {
  const Listing mapped = run_listing(path, kind, table_number, true);
  Listing windowed = run_listing(path, kind, table_number, false);
  const std::string warning = "WARNING: Used slow file read method\n";
  EXPECT_EQ(windowed.output.substr(0, warning.size()), warning);
  windowed.output.erase(0, warning.size());
  EXPECT_EQ(windowed.status, mapped.status);
  EXPECT_EQ(windowed.output, mapped.output);
  return mapped;
}

Listing list(const Bytes& file, ChunkTableKind kind, int table_number = 1) {
  TempDir dir;
  dir.write("rec.mp4", file);
  return list_file(dir.path("rec.mp4"), kind, table_number);
}

TEST(ChunkOffsets, PrintsTheFirstSevenBytesOfAChunkAsVideoAndAsAudio) {
  Bytes file(0x1234, 0xEE);
  append(file, Bytes{0x00, 0x00, 0x00, 0x02, 0x09, 0x10, 0x00, 0xA1, 0xB2});
  append(file, table_box(kStco, {0x1234}));
  const Listing r = list(file, ChunkTableKind::Stco);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "0x00001234: H264[0x00000002]: 0x09 0x10 0x00, AAC: 0x00 0x00 0x00\n");

  Bytes high(0x40, 0x00);
  append(high, Bytes{0xFF, 0xAB, 0x80, 0x7F, 0xC0, 0xDE, 0x01, 0x00, 0x00});
  append(high, table_box(kCo64, {0x40}));
  EXPECT_EQ(list(high, ChunkTableKind::Co64).output,
            "0x00000040: H264[0xFFAB807F]: 0xC0 0xDE 0x01, AAC: 0xFF 0xAB 0x80\n");
}

struct SizeCase {
  const char* name;
  int entries;              // in the table and the media data
  std::uint32_t size_less;  // subtracted from the true box size
  int listed;
};
const SizeCase kSizeCases[] = {
    {"three entries, all listed", 3, 0, 3},
    {"a single entry is listed", 1, 0, 1},
    {"an empty table lists nothing", 0, 0, 0},
    {"an entry cut short by the box size is left out", 3, 1, 2},
};

TEST(ChunkOffsets, ListsEveryWholeEntryFromTheFirst) {
  for (const TableKind& kind : kKinds) {
    for (const SizeCase& c : kSizeCases) {
      SCOPED_TRACE(std::string(kind.type) + ": " + c.name);
      const Bytes table = table_box(kind, chunk_offsets(c.entries));
      const auto size = static_cast<std::uint32_t>(table.size()) - c.size_less;
      // Room after the table, so that a listing going past the box would show.
      const Bytes file = test::concat(
          {media_data(c.entries), table_box(kind, chunk_offsets(c.entries), size), Bytes(64, 0)});
      std::string expected;
      for (int k = 0; k < c.listed; ++k) expected += chunk_line(k);
      const Listing r = list(file, kind.kind);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.output, expected);
    }
  }
}

TEST(ChunkOffsets, BoxSizesBelowTheFirstEntryListNothing) {
  for (const TableKind& kind : kKinds) {
    for (std::uint32_t size : {0u, 1u, 8u, 15u, 16u}) {
      SCOPED_TRACE(std::string(kind.type) + " size " + std::to_string(size));
      const Bytes file = test::concat({media_data(2), table_box(kind, chunk_offsets(2), size)});
      const Listing r = list(file, kind.kind);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.output, "");
    }
  }
}

TEST(ChunkOffsets, ABoxLargerThanTheInputListsTheEntriesItHolds) {
  for (const TableKind& kind : kKinds) {
    for (std::uint32_t size : {1000u, 0xFFFFFFFFu}) {
      SCOPED_TRACE(std::string(kind.type) + " size " + std::to_string(size));
      Bytes file = test::concat({media_data(3), table_box(kind, chunk_offsets(3), size)});
      file.pop_back();  // the last entry loses its last byte
      const Listing r = list(file, kind.kind);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.output, chunk_line(0) + chunk_line(1));
    }
  }
}

TEST(ChunkOffsets, ATypeCodeWithoutRoomForItsSizeListsNothing) {
  for (const TableKind& kind : kKinds) {
    for (std::size_t at : {0u, 1u, 3u}) {
      SCOPED_TRACE(std::string(kind.type) + " at " + std::to_string(at));
      Bytes file(at, 0xFF);
      append(file, kind.type);
      append(file, Bytes{0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x20});
      append(file, media_data(3));
      const Listing r = list(file, kind.kind);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.output, "");
    }
  }
}

TEST(ChunkOffsets, StopsAtAChunkInTheLastEightBytes) {
  // Media data of 0x40 bytes, then the table at 0x40: its entries from 0x50 on.
  // The input is 0x40 + 16 + 3 * width bytes, so its last eight bytes are entry 2's.
  for (const TableKind& kind : kKinds) {
    SCOPED_TRACE(kind.type);
    const std::uint64_t input_size = 0x40 + 16 + 3 * static_cast<std::uint64_t>(kind.entry_bytes);
    for (std::uint64_t bad :
         {input_size - 8, input_size - 1, input_size, std::uint64_t{0xFFFFFFFF}}) {
      const Bytes file = test::concat({media_data(3), table_box(kind, {0x10, bad, 0x20})});
      ASSERT_EQ(file.size(), input_size);
      char line[96];
      std::snprintf(line, sizeof line, "Invalid offset 0x%08llX (%s[0x%08llX])\n",
                    static_cast<unsigned long long>(bad), kind.type,
                    static_cast<unsigned long long>(0x50 + kind.entry_bytes));
      const Listing r = list(file, kind.kind);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.output, chunk_line(0) + line);
    }
  }
}

TEST(ChunkOffsets, ListsAChunkNineBytesBeforeTheEnd) {
  for (const TableKind& kind : kKinds) {
    SCOPED_TRACE(kind.type);
    const auto tail = static_cast<std::uint64_t>(0x40 + 16 + kind.entry_bytes);
    const Bytes file = test::concat(
        {media_data(3), table_box(kind, {tail}), Bytes{0, 0, 0, 7, 0x09, 0x17, 0x07, 0xAA, 0xBB}});
    char line[96];
    std::snprintf(line, sizeof line,
                  "0x%08llX: H264[0x00000007]: 0x09 0x17 0x07, AAC: 0x00 0x00 0x00\n",
                  static_cast<unsigned long long>(tail));
    EXPECT_EQ(list(file, kind.kind).output, line);
  }
}

TEST(ChunkOffsets, Co64OffsetsFromTwoToTheSixtyThirdOnAreBad) {
  for (std::uint64_t bad : {std::uint64_t{1} << 63, ~std::uint64_t{0}}) {
    const Bytes file = test::concat({media_data(1), table_box(kCo64, {bad})});
    char line[96];
    std::snprintf(line, sizeof line, "Invalid offset 0x%llX (co64[0x00000030])\n",
                  static_cast<unsigned long long>(bad));
    const Listing r = list(file, ChunkTableKind::Co64);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, line);
  }
}

TEST(ChunkOffsets, CountsEveryOccurrenceOfTheTypeCode) {
  for (const TableKind& kind : kKinds) {
    SCOPED_TRACE(kind.type);
    // Media data that happens to hold the type code, then two tables.
    Bytes data = media_data(4);
    std::copy(kind.type, kind.type + 4, data.begin() + 0x18);
    const Bytes file = test::concat({data, table_box(kind, {0x10, 0x20}), table_box(kind, {0x40})});
    EXPECT_EQ(list(file, kind.kind, 2).output, chunk_line(0) + chunk_line(1));
    EXPECT_EQ(list(file, kind.kind, 3).output, chunk_line(3));

    const Listing missing = list(file, kind.kind, 5);
    EXPECT_EQ(missing.status, -1);
    EXPECT_EQ(missing.output, std::string("Cannot find the atom ") + kind.type + " #3.\n");
    EXPECT_EQ(list(media_data(2), kind.kind, 1).output,
              std::string("Cannot find the atom ") + kind.type + " #0.\n");
    for (int n : {0, -3, INT_MIN}) {
      const Listing refused = list(file, kind.kind, n);
      EXPECT_EQ(refused.status, -1);
      EXPECT_EQ(refused.output, "");
    }
  }
}

// Writes a file of `size` bytes that holds `parts` at their offsets and no data
// elsewhere, so that it costs no disk space.
void write_sparse(const std::string& path, std::uint64_t size,
                  const std::vector<std::pair<std::uint64_t, Bytes>>& parts) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const auto& [offset, bytes] : parts) {
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  out.seekp(static_cast<std::streamoff>(size - 1));
  out.put('\0');
}

TEST(ChunkOffsets, WideOffsetsPrintInFullAndTheWindowFollowsTheChunks) {
  // Chunks on both sides of 4 GiB and of the table, so the window moves back and forth.
  constexpr std::uint64_t kHigh = 0x100000010;
  const std::vector<std::uint64_t> offsets = {0x10, kHigh, 0x20, 0x5000000};
  TempDir dir;
  write_sparse(dir.path("big.mov"), kHigh + 0x100,
               {{0x0, media_data(2)},
                {0x4000000, table_box(kCo64, offsets)},
                {0x5000000, {0, 0, 0, 5, 0x09, 0x15, 5}},
                {kHigh, {0, 0, 0, 9, 0x09, 0x19, 9}}});
  const Listing r = list_file(dir.path("big.mov"), ChunkTableKind::Co64, 1);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, chunk_line(0) +
                          "0x100000010: H264[0x00000009]: 0x09 0x19 0x09, AAC: 0x00 0x00 0x00\n" +
                          chunk_line(1) +
                          "0x05000000: H264[0x00000005]: 0x09 0x15 0x05, AAC: 0x00 0x00 0x00\n");
}

}  // namespace
}  // namespace vidsalvage
