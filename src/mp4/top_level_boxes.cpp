#include "mp4/top_level_boxes.h"

#include <algorithm>
#include <cstring>

#include "io/byte_reader.h"

namespace vidsalvage {
namespace {

constexpr std::uint32_t kSizeToEnd = 0;  // the box runs to the end of the file
constexpr std::uint32_t kSizeIn64 = 1;   // a 64-bit size follows the type

}  // namespace

TopBoxRead read_top_box(InputWindow& input, std::int64_t offset, TopBox& box) {
  if (offset < 0 || input.size - offset < 8) return TopBoxRead::NoBox;
  const std::span<const std::uint8_t> head =
      read_input(input, offset, std::min<std::int64_t>(16, input.size - offset));
  if (head.empty()) return TopBoxRead::ReadFailed;
  ByteReader r(head);
  std::uint32_t size32 = 0;
  std::span<const std::uint8_t> type;
  if (!r.read_u32(size32) || !r.read_bytes(4, type)) return TopBoxRead::NoBox;
  std::memcpy(box.type, type.data(), 4);
  box.type[4] = '\0';
  const std::uint64_t left = static_cast<std::uint64_t>(input.size - offset);
  std::uint64_t size = size32;
  if (size32 == kSizeIn64 && !r.read_u64(size)) return TopBoxRead::NoBox;
  box.to_the_end = size32 == kSizeToEnd;
  if (box.to_the_end) size = left;
  box.header = static_cast<std::int64_t>(r.position());
  if (size < r.position()) return TopBoxRead::NoBox;
  box.runs_past_end = size > left;
  box.size = static_cast<std::int64_t>(std::min(size, left));
  return TopBoxRead::Box;
}

MediaBox find_media_box(InputWindow& input) {
  std::int64_t offset = 0;
  TopBox box;
  while (read_top_box(input, offset, box) == TopBoxRead::Box) {
    if (std::strcmp(box.type, "mdat") == 0) {
      const bool to_the_end = box.to_the_end || box.runs_past_end;
      return {offset + box.header, to_the_end ? kNotFound : offset + box.size};
    }
    if (box.runs_past_end) break;
    offset += box.size;
  }
  return {};
}

}  // namespace vidsalvage
