#include "support/media.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "support/target.h"

namespace vidsalvage::test {
namespace {

bool is_container(std::string_view type) {
  static const std::array<std::string_view, 10> kContainers = {
      "moov", "trak", "mdia", "minf", "stbl", "edts", "dinf", "udta", "mvex", "moof"};
  for (std::string_view c : kContainers) {
    if (c == type) return true;
  }
  return false;
}

// Bytes between a sample entry's header and its child boxes.
std::int64_t sample_entry_fields(const Bytes& file, std::string_view type, std::int64_t body) {
  static const std::array<std::string_view, 5> kVisual = {"avc1", "avc3", "hvc1", "hev1", "mp4v"};
  for (std::string_view v : kVisual) {
    if (v == type) return 78;
  }
  // An audio sample entry: 28 bytes in version 0; QuickTime's versions 1 and 2
  // add 16 and 36 bytes.
  if (body + 10 > static_cast<std::int64_t>(file.size())) return -1;
  const auto version = read_be(file, body + 8, 2);
  return version == 1 ? 44 : version == 2 ? 64 : 28;
}

bool is_sample_entry(std::string_view parent) { return parent == "stsd"; }

void walk(const Bytes& file, std::int64_t first, std::int64_t end, std::string_view parent,
          const std::function<void(const BoxRef&, std::string_view)>& visit) {
  std::int64_t at = first;
  while (at + 8 <= end) {
    BoxRef box;
    box.offset = at;
    box.size = static_cast<std::int64_t>(read_be(file, at, 4));
    box.type.assign(reinterpret_cast<const char*>(&file[static_cast<std::size_t>(at + 4)]), 4);
    if (box.size == 1 && at + 16 <= end) {
      box.size = static_cast<std::int64_t>(read_be(file, at + 8, 8));
      box.header_size = 16;
    } else if (box.size == 0) {
      box.size = end - at;
    }
    if (box.size < box.header_size || at + box.size > end) return;
    visit(box, parent);
    const std::int64_t body = box.body_offset();
    if (is_container(box.type)) {
      walk(file, body, at + box.size, box.type, visit);
    } else if (box.type == "stsd") {
      walk(file, body + 8, at + box.size, box.type, visit);
    } else if (is_sample_entry(parent)) {
      const std::int64_t fields = sample_entry_fields(file, box.type, body);
      if (fields >= 0) walk(file, body + fields, at + box.size, box.type, visit);
    }
    at += box.size;
  }
}

}  // namespace

bool have_ffmpeg() {
  // A Windows test program cannot start the build machine's ffmpeg; the
  // command-line tests make their recordings natively and run the .exe on them.
  static const bool present =
      !kWindowsBuild && std::system("ffmpeg -version >/dev/null 2>&1") == 0 &&
      std::system("ffprobe -version >/dev/null 2>&1") == 0;
  return present;
}

bool have_ffmpeg_encoder(const std::string& name) {
  if (!have_ffmpeg()) return false;
  const std::string command =
      "ffmpeg -hide_banner -h encoder=" + name + " 2>/dev/null | grep -q '^Encoder " + name + " '";
  return std::system(command.c_str()) == 0;
}

bool run_ffmpeg(const TempDir& dir, const std::string& args) {
  const std::string command = "cd '" + dir.path() +
                              "' && ffmpeg -nostdin -y -hide_banner -loglevel error " + args +
                              " </dev/null";
  return std::system(command.c_str()) == 0;
}

std::string run_and_capture(const TempDir& dir, const std::string& command) {
  const std::string full = "cd '" + dir.path() + "' && " + command;
  std::string output;
  if (std::FILE* pipe = popen(full.c_str(), "r")) {
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    pclose(pipe);
  }
  return output;
}

std::vector<BoxRef> find_boxes(const Bytes& file, std::string_view type) {
  std::vector<BoxRef> found;
  walk(file, 0, static_cast<std::int64_t>(file.size()), "",
       [&](const BoxRef& box, std::string_view) {
         if (box.type == type) found.push_back(box);
       });
  return found;
}

std::optional<Bytes> box_body(const Bytes& file, std::string_view type) {
  const std::vector<BoxRef> boxes = find_boxes(file, type);
  if (boxes.empty()) return std::nullopt;
  const auto first = file.begin() + boxes[0].body_offset();
  return Bytes(first, first + boxes[0].body_size());
}

std::vector<std::uint64_t> chunk_offset_entries(const Bytes& file, const BoxRef& table) {
  const int width = table.type == "co64" ? 8 : 4;
  const std::int64_t body = table.body_offset();
  const auto count = static_cast<std::int64_t>(read_be(file, body + 4, 4));
  std::vector<std::uint64_t> entries;
  for (std::int64_t i = 0; i < count && body + 8 + (i + 1) * width <= table.offset + table.size;
       ++i) {
    entries.push_back(read_be(file, body + 8 + i * width, width));
  }
  return entries;
}

Bytes with_co64_tables(const Bytes& file) {
  std::vector<BoxRef> all;
  walk(file, 0, static_cast<std::int64_t>(file.size()), "",
       [&](const BoxRef& box, std::string_view) { all.push_back(box); });
  Bytes out = file;
  // From the last table back, so that the boxes still to be rewritten keep their offsets.
  for (auto it = all.rbegin(); it != all.rend(); ++it) {
    if (it->type != "stco") continue;
    const std::vector<std::uint64_t> entries = chunk_offset_entries(file, *it);
    Bytes table;
    append_u32(table, static_cast<std::uint32_t>(16 + 8 * entries.size()));
    append(table, std::string_view("co64"));
    append_u32(table, 0);  // version and flags
    append_u32(table, static_cast<std::uint32_t>(entries.size()));
    for (std::uint64_t entry : entries) append_u64(table, entry);
    const auto growth = static_cast<std::int64_t>(table.size()) - it->size;
    for (const BoxRef& outer : all) {
      if (outer.offset < it->offset && outer.offset + outer.size > it->offset) {
        const auto grown = static_cast<std::uint32_t>(
            static_cast<std::int64_t>(read_be(out, outer.offset, 4)) + growth);
        Bytes field;
        append_u32(field, grown);
        std::copy(field.begin(), field.end(), out.begin() + outer.offset);
      }
    }
    const auto first = out.begin() + it->offset;
    out.erase(first, first + it->size);
    out.insert(out.begin() + it->offset, table.begin(), table.end());
  }
  return out;
}

}  // namespace vidsalvage::test
