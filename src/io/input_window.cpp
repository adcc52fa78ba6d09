#include "io/input_window.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace vidsalvage {
namespace {

bool covers(const InputWindow& window, std::int64_t offset) {
  return window.base != -1 && offset >= window.base && offset - window.base < kReloadLimitBytes;
}

// Loads the window so that `offset` is covered, with the back margin in front of it.
std::int64_t reload_window(InputWindow& window, std::int64_t offset) {
  window.base = std::max<std::int64_t>(offset - kBackMarginBytes, 0);
  window.held = 0;
  if (!platform::seek(window.file, window.base)) {
    std::printf("Cannot seek file %lld, error %d\n", static_cast<long long>(window.base),
                platform::last_error());
    return -1;
  }
  std::int64_t got = 0;
  if (!platform::read(window.file, {window.buffer.get(), static_cast<std::size_t>(kWindowBytes)},
                      got)) {
    std::printf("Cannot read %d bytes from pos %lld, error %d\n", static_cast<int>(kWindowBytes),
                static_cast<long long>(window.base), platform::last_error());
    return -1;
  }
  window.held = got;
  return got;
}

// The byte of the pattern that memchr scans for. Zero and 0xFF bytes are common
// in media data, so any other byte makes a better anchor.
std::size_t anchor_index(std::span<const std::uint8_t> pattern) {
  for (std::size_t k = 0; k < pattern.size(); ++k) {
    if (pattern[k] != 0x00 && pattern[k] != 0xFF) return k;
  }
  return 0;
}

// The first match of `pattern` lying wholly inside [first, first + count), or nullptr.
const std::uint8_t* find_in_block(const std::uint8_t* first, std::size_t count,
                                  std::span<const std::uint8_t> pattern) {
  const std::size_t length = pattern.size();
  if (count < length) return nullptr;
  const std::size_t k = anchor_index(pattern);
  // Anchor hits lie in [first + k, first + count - (length - 1 - k)); each gives the
  // candidate hit - k, so candidates come in increasing order and the first verified
  // one is the first match.
  const std::uint8_t* scan = first + k;
  const std::uint8_t* const scan_end = first + count - (length - 1 - k);
  while (scan < scan_end) {
    const auto* hit = static_cast<const std::uint8_t*>(
        std::memchr(scan, pattern[k], static_cast<std::size_t>(scan_end - scan)));
    if (hit == nullptr) return nullptr;
    const std::uint8_t* candidate = hit - k;
    if (std::memcmp(candidate, pattern.data(), length) == 0) return candidate;
    scan = hit + 1;
  }
  return nullptr;
}

}  // namespace

InputWindow::~InputWindow() { release_input(*this); }

bool open_input(InputWindow& window, const char* path, const InputOptions& options) {
  window.file = platform::open_read_exclusive(path);
  if (window.file == nullptr) {
    std::printf("Cannot open '%s'\n", path);
    return false;
  }
  if (!platform::file_size(window.file, window.size)) {
    std::printf("Cannot get size of '%s'\n", path);
    release_input(window);
    return false;
  }
  if (options.allow_mapping) {
    if (!platform::create_mapping(window.file, window.size)) {
      std::printf("Cannot map file '%s', CreateFileMapping error %d\n", path,
                  platform::last_error());
    } else if (const std::uint8_t* view = platform::map_view(window.file, window.size);
               view == nullptr) {
      std::printf("Cannot map file '%s', MapViewOfFile error %d\n", path, platform::last_error());
      platform::release_mapping(window.file, nullptr, window.size);
    } else {
      window.mapping = true;
      window.data = view;
      window.base = 0;
      window.held = window.size;
      return true;
    }
  }
  std::printf("WARNING: Used slow file read method\n");
  window.buffer.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(kWindowBytes)]);
  if (!window.buffer) {
    std::printf("Cannot allocate %d bytes\n", static_cast<int>(kWindowBytes));
    release_input(window);
    return false;
  }
  window.data = window.buffer.get();
  window.base = -1;
  window.held = 0;
  return true;
}

void open_memory_input(InputWindow& window, std::span<const std::uint8_t> bytes) {
  release_input(window);
  window.mapping = true;  // with no file: nothing to unmap or close
  window.data = bytes.data();
  window.base = 0;
  window.size = static_cast<std::int64_t>(bytes.size());
  window.held = window.size;
}

std::int64_t refill_window(InputWindow& window, std::int64_t offset) {
  if (window.mapping || covers(window, offset)) return 0;
  return reload_window(window, offset);
}

std::int64_t find_pattern(InputWindow& window, std::int64_t end, std::int64_t start,
                          std::span<const std::uint8_t> pattern) {
  const auto length = static_cast<std::int64_t>(pattern.size());
  // Nothing is read before the input or after its end, whatever the caller passes.
  start = std::max<std::int64_t>(start, 0);
  end = std::min(end, window.size);
  if (length == 0 || start + length >= end) return kNotFound;
  const std::int64_t last = end - length - 1;  // the last position examined: i + length < end

  std::int64_t i = start;
  while (i <= last) {
    std::int64_t chunk_last = last;
    if (!window.mapping) {
      if (!covers(window, i) && reload_window(window, i) < 0) return kNotFound;
      // Positions up to the reload limit are covered; the byte-by-byte search would
      // reload at the first position after it, and so does the next turn of this loop.
      chunk_last = std::min(chunk_last, window.base + kReloadLimitBytes - 1);
    }
    // A short read (a file that shrank under us) holds fewer bytes than promised.
    chunk_last = std::min(chunk_last, window.base + window.held - length);
    if (chunk_last < i) return kNotFound;
    const std::uint8_t* first = window.data + (i - window.base);
    const auto count = static_cast<std::size_t>(chunk_last - i + length);
    if (const std::uint8_t* match = find_in_block(first, count, pattern); match != nullptr) {
      return window.base + (match - window.data);
    }
    i = chunk_last + 1;
  }
  return kNotFound;
}

void release_input(InputWindow& window) {
  if (window.file != nullptr) {
    if (window.mapping) platform::release_mapping(window.file, window.data, window.size);
    platform::close(window.file);
  }
  window.file = nullptr;
  window.mapping = false;
  window.buffer.reset();
  window.data = nullptr;
  window.base = -1;
  window.held = 0;
  window.size = 0;
}

std::span<const std::uint8_t> held_bytes(const InputWindow& window, std::int64_t offset,
                                         std::int64_t length) {
  if (window.data == nullptr || window.base < 0 || offset < window.base || length < 0 ||
      length > window.held || offset - window.base > window.held - length) {
    return {};
  }
  return {window.data + (offset - window.base), static_cast<std::size_t>(length)};
}

std::span<const std::uint8_t> read_input(InputWindow& window, std::int64_t offset,
                                         std::int64_t length) {
  if (offset < 0 || refill_window(window, offset) < 0) return {};
  return held_bytes(window, offset, length);
}

bool names_input(const InputWindow& window, const char* path) {
  return window.file != nullptr && platform::is_same_file(window.file, path);
}

}  // namespace vidsalvage
