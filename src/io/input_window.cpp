#include "io/input_window.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "io/output_file.h"
#include "io/platform_test_seams.h"

namespace vidsalvage {
namespace {

constexpr std::int64_t kDefaultWindowBytes = 64 * 1024 * 1024;  // 0x4000000
constexpr std::int64_t kDefaultReloadBytes = 48 * 1024 * 1024;  // 0x3000000
// A reload starts this many bytes before the offset asked for, so a box size in
// front of a matched type code is in the window too.
constexpr std::int64_t kBackMarginBytes = 8;
// A read the window does not hold loads this much from it on (or what is asked
// for, when more): the walks' next units, without the window's whole size.
constexpr std::int64_t kReadAheadBytes = 1024 * 1024;
// A stretch this long goes from the input file to the output file inside the
// system: through the window it saves the copy into the window; from a mapping,
// which a write copies from once anyway, only a long stretch gains (measured:
// units of about 80 KB went 8% slower, stretches of megabytes twice as fast).
constexpr std::int64_t kSystemCopyBytes = 64 * 1024;
constexpr std::int64_t kSystemCopyFromMappingBytes = 1024 * 1024;

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

// The window's sizes from the options: defaults for 0, and a reload distance
// inside the window.
void choose_sizes(const InputOptions& options, std::int64_t& window, std::int64_t& reload) {
  window = options.window_bytes > 0 ? options.window_bytes : kDefaultWindowBytes;
  window = std::max(window, 2 * kBackMarginBytes);
  reload = options.reload_bytes > 0 ? options.reload_bytes : window * 3 / 4;
  if (options.window_bytes <= 0 && options.reload_bytes <= 0) reload = kDefaultReloadBytes;
  reload = std::clamp<std::int64_t>(reload, kBackMarginBytes + 1, window - 1);
}

}  // namespace

InputWindow::~InputWindow() { release_input(*this); }

bool InputWindow::covers(std::int64_t offset) const {
  return full_ && base_ != -1 && offset >= base_ && offset - base_ < reload_bytes_;
}

bool InputWindow::load(std::int64_t at, std::span<std::uint8_t> into) {
  ++reads_;
  const bool seam_fails = reads_ == failing_read_;
  bool read = !seam_fails;
  if (read && file_ == nullptr) {
    std::memcpy(into.data(), memory_.data() + at, into.size());
    return true;
  }
  if (read && !platform::seek(file_, at)) {
    std::printf("Cannot seek file %lld, error %d\n", static_cast<long long>(at),
                platform::last_error());
    return false;
  }
  std::int64_t got = 0;
  // A file shorter than its size at opening has changed under us: a failed read.
  read = read && platform::read(file_, into, got) && got == static_cast<std::int64_t>(into.size());
  if (!read) {
    std::printf("Cannot read %d bytes from pos %lld, error %d\n", static_cast<int>(into.size()),
                static_cast<long long>(at), seam_fails ? 0 : platform::last_error());
  }
  return read;
}

std::int64_t InputWindow::reload(std::int64_t offset, std::int64_t length, bool ahead) {
  if (failed_) return -1;
  const std::int64_t new_base = std::max<std::int64_t>(offset - kBackMarginBytes, 0);
  const std::int64_t wanted = offset - new_base + length;
  if (wanted > capacity_) {
    // Only a read_at longer than the window comes here.
    buffer_.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(wanted)]);
    capacity_ = buffer_ ? wanted : 0;
    base_ = -1;
    held_ = 0;
    full_ = false;
    data_ = buffer_.get();
    if (!buffer_) {
      failed_ = true;
      return -1;
    }
  }
  const std::int64_t load_bytes = ahead ? std::min(std::max(wanted, kReadAheadBytes), capacity_)
                                        : std::max(window_bytes_, wanted);
  const std::int64_t count = std::min(load_bytes, size - new_base);
  // Bytes already held from the new base on move to the front instead of being read again.
  std::int64_t kept = 0;
  if (base_ != -1 && new_base >= base_ && new_base < base_ + held_) {
    kept = std::min(base_ + held_ - new_base, count);
    std::memmove(buffer_.get(), buffer_.get() + (new_base - base_), static_cast<std::size_t>(kept));
  }
  base_ = new_base;
  held_ = kept;
  full_ = false;
  if (count > kept &&
      !load(new_base + kept, {buffer_.get() + kept, static_cast<std::size_t>(count - kept)})) {
    failed_ = true;
    return -1;
  }
  held_ = count;
  full_ = count >= window_bytes_ || new_base + count == size;
  return count;
}

bool open_input(InputWindow& window, const char* path, const InputOptions& options) {
  release_input(window);
  window.file_ = platform::open_read_exclusive(path);
  if (window.file_ == nullptr) {
    std::printf("Cannot open '%s'\n", path);
    return false;
  }
  if (!platform::file_size(window.file_, window.size)) {
    std::printf("Cannot get size of '%s'\n", path);
    release_input(window);
    return false;
  }
  if (options.allow_mapping) {
    if (!platform::create_mapping(window.file_, window.size)) {
      std::printf("Cannot map file '%s', CreateFileMapping error %d\n", path,
                  platform::last_error());
    } else if (const std::uint8_t* view = platform::map_view(window.file_, window.size);
               view == nullptr) {
      std::printf("Cannot map file '%s', MapViewOfFile error %d\n", path, platform::last_error());
      platform::release_mapping(window.file_, nullptr, window.size);
    } else {
      window.mapping_ = true;
      window.data_ = view;
      window.base_ = 0;
      window.held_ = window.size;
      return true;
    }
  }
  std::printf("WARNING: Used slow file read method\n");
  choose_sizes(options, window.window_bytes_, window.reload_bytes_);
  window.buffer_.reset(new (std::nothrow)
                           std::uint8_t[static_cast<std::size_t>(window.window_bytes_)]);
  if (!window.buffer_) {
    std::printf("Cannot allocate %d bytes\n", static_cast<int>(window.window_bytes_));
    release_input(window);
    return false;
  }
  window.capacity_ = window.window_bytes_;
  window.data_ = window.buffer_.get();
  window.failing_read_ = platform::forced_failing_read();
  return true;
}

void open_memory_input(InputWindow& window, std::span<const std::uint8_t> bytes) {
  release_input(window);
  window.memory_ = bytes;
  window.mapping_ = true;  // with no file: nothing to unmap or close
  window.data_ = bytes.data();
  window.base_ = 0;
  window.size = static_cast<std::int64_t>(bytes.size());
  window.held_ = window.size;
}

bool open_memory_input(InputWindow& window, std::span<const std::uint8_t> bytes,
                       const InputOptions& options) {
  open_memory_input(window, bytes);
  if (options.allow_mapping) return true;
  window.mapping_ = false;
  window.base_ = -1;
  window.held_ = 0;
  choose_sizes(options, window.window_bytes_, window.reload_bytes_);
  window.buffer_.reset(new (std::nothrow)
                           std::uint8_t[static_cast<std::size_t>(window.window_bytes_)]);
  if (!window.buffer_) {
    release_input(window);
    return false;
  }
  window.capacity_ = window.window_bytes_;
  window.data_ = window.buffer_.get();
  window.failing_read_ = platform::forced_failing_read();
  return true;
}

std::int64_t refill_window(InputWindow& window, std::int64_t offset) {
  if (window.mapping_ || window.covers(offset)) return 0;
  return window.reload(offset, 0, false);
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
    if (!window.mapping_) {
      // A search that ends within a window's size reads up to its end only.
      if (held_bytes(window, i, end - i).empty()) {
        const bool short_search = end - i < window.window_bytes_;
        if (!window.covers(i) && window.reload(i, short_search ? end - i : 0, short_search) < 0) {
          return kNotFound;
        }
        // Positions up to the reload distance of a full window are covered; the
        // byte-by-byte search would reload at the first position after it, and so
        // does the next turn.
        if (window.full_) {
          chunk_last = std::min(chunk_last, window.base_ + window.reload_bytes_ - 1);
        }
      }
    }
    chunk_last = std::min(chunk_last, window.base_ + window.held_ - length);
    if (chunk_last < i) return kNotFound;
    const std::uint8_t* first = window.data_ + (i - window.base_);
    const auto count = static_cast<std::size_t>(chunk_last - i + length);
    if (const std::uint8_t* match = find_in_block(first, count, pattern); match != nullptr) {
      return window.base_ + (match - window.data_);
    }
    i = chunk_last + 1;
  }
  return kNotFound;
}

void release_input(InputWindow& window) {
  if (window.file_ != nullptr) {
    if (window.mapping_) platform::release_mapping(window.file_, window.data_, window.size);
    platform::close(window.file_);
  }
  window.file_ = nullptr;
  window.memory_ = {};
  window.mapping_ = false;
  window.buffer_.reset();
  window.capacity_ = 0;
  window.data_ = nullptr;
  window.base_ = -1;
  window.held_ = 0;
  window.full_ = false;
  window.size = 0;
  window.failed_ = false;
  window.reads_ = 0;
  window.failing_read_ = 0;
  window.output_names_.clear();
}

std::span<const std::uint8_t> held_bytes(const InputWindow& window, std::int64_t offset,
                                         std::int64_t length) {
  if (window.data_ == nullptr || window.base_ < 0 || offset < window.base_ || length < 0 ||
      length > window.held_ || offset - window.base_ > window.held_ - length) {
    return {};
  }
  return {window.data_ + (offset - window.base_), static_cast<std::size_t>(length)};
}

InputRead read_at(InputWindow& window, std::int64_t offset, std::int64_t length) {
  if (offset < 0 || length < 0 || offset > window.size || length > window.size - offset ||
      length > kMaxReadBytes) {
    return {ReadStatus::End, {}};
  }
  if (window.failed_) return {ReadStatus::Failed, {}};
  if (!window.mapping_ && held_bytes(window, offset, length).empty() &&
      window.reload(offset, length, true) < 0) {
    return {ReadStatus::Failed, {}};
  }
  return {ReadStatus::Found, held_bytes(window, offset, length)};
}

std::span<const std::uint8_t> read_input(InputWindow& window, std::int64_t offset,
                                         std::int64_t length) {
  return read_at(window, offset, length).bytes;
}

bool input_failed(const InputWindow& window) { return window.failed_; }

HeldRange held_range(const InputWindow& window) { return {window.base_, window.held_}; }

InputCopy copy_to_output(InputWindow& window, std::int64_t offset, std::int64_t length,
                         OutputFile& out) {
  if (offset < 0 || length < 0 || offset > window.size || length > window.size - offset) {
    return InputCopy::ReadFailed;
  }
  // What the window holds already goes from there: it was read once.
  if (!window.mapping_ && window.base_ != -1 && offset >= window.base_ &&
      offset < window.base_ + window.held_) {
    const std::int64_t held = std::min(length, window.base_ + window.held_ - offset);
    if (!out.write(held_bytes(window, offset, held))) return InputCopy::WriteFailed;
    offset += held;
    length -= held;
  }
  // A long stretch of a file goes inside the system: from the page cache to the
  // output without a copy through the program, and without reloading the window.
  const std::int64_t system_copy_bytes =
      window.mapping_ ? kSystemCopyFromMappingBytes : kSystemCopyBytes;
  if (window.file_ != nullptr && !window.failed_ && length >= system_copy_bytes) {
    const std::int64_t copied = out.copy_from(window.file_, offset, length);
    if (copied < 0) return InputCopy::WriteFailed;
    offset += copied;
    length -= copied;
  }
  // The rest is written from the view, in pieces the window holds whole.
  const std::int64_t piece_bytes =
      window.mapping_ ? length : window.window_bytes_ - window.reload_bytes_;
  while (length > 0) {
    const std::int64_t piece = std::min(length, piece_bytes);
    const InputRead read = read_at(window, offset, piece);
    if (read.status != ReadStatus::Found) return InputCopy::ReadFailed;
    if (!out.write(read.bytes)) return InputCopy::WriteFailed;
    offset += piece;
    length -= piece;
  }
  return InputCopy::Done;
}

bool names_input(const InputWindow& window, const char* path) {
  return window.file_ != nullptr && platform::is_same_file(window.file_, path);
}

bool names_file_in_use(const InputWindow& window, const char* path) {
  if (names_input(window, path)) return true;
  return std::any_of(window.output_names_.begin(), window.output_names_.end(),
                     [&](const std::string& name) {
                       return name == path || platform::name_same_file(name.c_str(), path);
                     });
}

void claim_output_name(const InputWindow& window, const char* path) {
  window.output_names_.emplace_back(path);
}

}  // namespace vidsalvage
