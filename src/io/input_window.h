#pragma once
// The program's one view of its input: the whole file mapped when the system
// allows it, otherwise a 64 MB window reloaded from the file on demand. Every
// input byte is addressed by its signed 64-bit file offset.

#include <cstdint>
#include <memory>
#include <span>

#include "io/platform_file.h"

namespace vidsalvage {

inline constexpr std::int64_t kNotFound = -1;
inline constexpr std::int64_t kWindowBytes = 64 * 1024 * 1024;       // 0x4000000
inline constexpr std::int64_t kReloadLimitBytes = 48 * 1024 * 1024;  // 0x3000000
// A reload starts this many bytes before the offset asked for, so a box size in
// front of a matched type code is in the window too.
inline constexpr std::int64_t kBackMarginBytes = 8;

struct InputOptions {
  // Tests turn mapping off to exercise the window on small files.
  bool allow_mapping = true;
};

// A position p is covered when base <= p < base + kReloadLimitBytes; the window
// then holds the input from base up to base + kWindowBytes or its end, so at
// least 16 MB from any covered position on.
struct InputWindow {
  InputWindow() = default;
  InputWindow(const InputWindow&) = delete;
  InputWindow& operator=(const InputWindow&) = delete;
  ~InputWindow();

  platform::File* file = nullptr;
  bool mapping = false;  // true exactly when the whole file is mapped
  const std::uint8_t* data = nullptr;
  std::unique_ptr<std::uint8_t[]> buffer;  // the window's storage when not mapped
  std::int64_t base = -1;                  // file offset of data[0]; -1 while empty
  std::int64_t held = 0;                   // bytes of data that hold file contents
  std::int64_t size = 0;
};

// Opens `path` and maps it, or falls back to the window. Prints the reason and
// returns false when the input cannot be opened, sized or given a window.
[[nodiscard]] bool open_input(InputWindow& window, const char* path,
                              const InputOptions& options = {});

// Views bytes already in memory as the input, as if a file holding them were
// mapped: the seam that lets fuzzers and tests run every walk without a file.
// The bytes must outlive the window.
void open_memory_input(InputWindow& window, std::span<const std::uint8_t> bytes);

// Makes the bytes from `offset` on readable. Returns 0 when the window already
// covered `offset` (or the input is mapped), otherwise the number of bytes read,
// or -1 after printing why a reload failed.
std::int64_t refill_window(InputWindow& window, std::int64_t offset);

// The first offset i >= start at which `pattern` (1 to 7 bytes) matches with
// i + pattern.size() < end, or kNotFound. Reloads the window as it goes; a failed
// reload prints its message and ends the search with kNotFound.
std::int64_t find_pattern(InputWindow& window, std::int64_t end, std::int64_t start,
                          std::span<const std::uint8_t> pattern);

// Unmaps the view or frees the window; safe to call twice.
void release_input(InputWindow& window);

// The bytes [offset, offset + length) when the view holds all of them now, else
// an empty span. Never reloads.
std::span<const std::uint8_t> held_bytes(const InputWindow& window, std::int64_t offset,
                                         std::int64_t length);

// Reloads the window for `offset` when needed, then returns held_bytes. Empty when
// the input does not hold the bytes or a reload failed (its message printed).
std::span<const std::uint8_t> read_input(InputWindow& window, std::int64_t offset,
                                         std::int64_t length);

// True when `path` names the input file itself.
bool names_input(const InputWindow& window, const char* path);

}  // namespace vidsalvage
