#include "tools/chunk_offsets.h"

#include <climits>
#include <cstdio>
#include <optional>

#include "io/byte_reader.h"
#include "io/exit_status.h"
#include "tools/box_candidate.h"

namespace vidsalvage {
namespace {

// What differs between the two kinds of chunk-offset table. Both list from the
// table's first entry, 12 bytes after the type code (after the version, flags
// and entry count, which is not read: the box size alone bounds the listing).
struct ChunkTable {
  TypeCode type;
  std::int64_t entry_bytes;
  // Takes the number of tables found (int).
  const char* missing_format;
  // Takes the chunk offset and the entry's own offset (both unsigned long long).
  const char* bad_offset_format;
};

constexpr std::int64_t kFirstEntryAfterType = 12;
constexpr std::uint32_t kBytesBeforeEntries = 16;  // size, type, version and flags, count
constexpr std::int64_t kChunkBytesShown = 7;

constexpr ChunkTable kStco = {type_code("stco"), 4, "Cannot find the atom stco #%d.\n",
                              "Invalid offset 0x%08llX (stco[0x%08llX])\n"};
constexpr ChunkTable kCo64 = {type_code("co64"), 8, "Cannot find the atom co64 #%d.\n",
                              "Invalid offset 0x%08llX (co64[0x%08llX])\n"};

// The offset of the n-th occurrence of the table's type code (n >= 1), every
// occurrence counted, wherever it stands. When there are fewer, prints how many
// there are and returns kNotFound.
std::int64_t find_nth_table(InputWindow& input, const ChunkTable& table, int n) {
  std::int64_t match = kNotFound;
  std::int64_t start = 0;
  for (int found = 0; found < n; ++found) {
    match = find_pattern(input, input.size, start, table.type);
    if (match == kNotFound) {
      // A failed read is not a missing table: the run ends with "Cannot read".
      if (input_failed(input)) return kNotFound;
      std::printf(table.missing_format, found);
      return kNotFound;
    }
    start = match + 1;
  }
  return match;
}

// The chunk offset in one table entry.
std::uint64_t load_entry(std::span<const std::uint8_t> entry) {
  return entry.size() == 8 ? load_be64(entry) : load_be32(entry);
}

// Prints the chunk at `chunk` with its first bytes read as the start of a video
// sample and as the start of an audio frame; `chunk` lies inside the input. False
// when a window reload fails.
bool print_chunk(InputWindow& input, std::uint64_t chunk) {
  const auto b = read_input(input, static_cast<std::int64_t>(chunk), kChunkBytesShown);
  if (b.empty()) return false;
  std::printf(
      "0x%08llX: H264[0x%02X%02X%02X%02X]: 0x%02X 0x%02X 0x%02X, AAC: 0x%02X 0x%02X 0x%02X\n",
      static_cast<unsigned long long>(chunk), unsigned{b[0]}, unsigned{b[1]}, unsigned{b[2]},
      unsigned{b[3]}, unsigned{b[4]}, unsigned{b[5]}, unsigned{b[6]}, unsigned{b[0]},
      unsigned{b[1]}, unsigned{b[2]});
  return true;
}

// Lists the entries of the table whose type code stands at `match`, as far as
// the box size and the input reach. Stops at the first chunk offset that leaves
// fewer than eight bytes after it, or when a window reload fails.
void list_entries(InputWindow& input, const ChunkTable& table, std::int64_t match) {
  const std::optional<std::uint32_t> size = size_in_front(input, match);
  if (!size || *size <= kBytesBeforeEntries) return;
  const std::int64_t count = (*size - kBytesBeforeEntries) / table.entry_bytes;
  const auto input_size = static_cast<std::uint64_t>(input.size);
  std::int64_t entry_offset = match + kFirstEntryAfterType;
  for (std::int64_t i = 0; i < count; ++i, entry_offset += table.entry_bytes) {
    // Empty past the end of the input: a box larger than the input lists what it holds.
    const auto entry = read_input(input, entry_offset, table.entry_bytes);
    if (entry.empty()) return;
    const std::uint64_t chunk = load_entry(entry);
    if (input_size < 8 || chunk >= input_size - 8) {
      std::printf(table.bad_offset_format, static_cast<unsigned long long>(chunk),
                  static_cast<unsigned long long>(entry_offset));
      return;
    }
    if (!print_chunk(input, chunk)) return;
  }
}

}  // namespace

int parse_table_number(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  // The magnitude stops growing one past INT_MAX, which is still INT_MIN's.
  constexpr std::int64_t kMagnitudeLimit = std::int64_t{INT_MAX} + 1;
  std::int64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > kMagnitudeLimit) magnitude = kMagnitudeLimit;
  }
  if (negative) return static_cast<int>(-magnitude);
  return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

int dump_chunk_offsets(InputWindow& input, ChunkTableKind kind, int table_number) {
  if (table_number < 1) return kExitFailure;
  const ChunkTable& table = kind == ChunkTableKind::Stco ? kStco : kCo64;
  const std::int64_t match = find_nth_table(input, table, table_number);
  if (match == kNotFound) return kExitFailure;
  list_entries(input, table, match);
  return kExitSuccess;
}

}  // namespace vidsalvage
