#pragma once
// The program's one view of its input: the whole file mapped when the system
// allows it, otherwise a window reloaded from the file on demand. Every input
// byte is addressed by its signed 64-bit file offset. The same code runs over a
// buffer in memory, mapped or through the window, for tests and fuzzers.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "io/platform_file.h"

namespace vidsalvage {

inline constexpr std::int64_t kNotFound = -1;
// The longest stretch read_at serves whole, wherever it lies.
inline constexpr std::int64_t kMaxReadBytes = 64 * 1024 * 1024;

// What a read of the input found.
enum class ReadStatus {
  Found,   // every byte asked for
  End,     // the input ends before the last byte asked for (or the offset is negative)
  Failed,  // the file could not be read: the input is failed from then on
};

struct InputRead {
  ReadStatus status = ReadStatus::End;
  std::span<const std::uint8_t> bytes;  // every byte asked for when Found, else empty
};

struct InputOptions {
  // Tests turn mapping off to exercise the window on small files.
  bool allow_mapping = true;
  // The window's size and the distance from its start after which a position is
  // reloaded; 0 keeps the defaults (64 MB and 48 MB). Tests and fuzzers shrink both
  // so that small inputs cross reloads.
  std::int64_t window_bytes = 0;
  std::int64_t reload_bytes = 0;
};

class InputWindow;

// Opens `path` and maps it, or falls back to the window. Prints the reason and
// returns false when the input cannot be opened, sized or given a window.
[[nodiscard]] bool open_input(InputWindow& window, const char* path,
                              const InputOptions& options = {});

// Views bytes already in memory as the input, as if a file holding them were
// mapped: the seam that lets fuzzers and tests run every walk without a file.
// The bytes must outlive the window.
void open_memory_input(InputWindow& window, std::span<const std::uint8_t> bytes);

// The same through the window when options.allow_mapping is false: every reload
// copies from `bytes`, so small window sizes make a small input cross reloads.
// False (without a message) when the window cannot be allocated.
[[nodiscard]] bool open_memory_input(InputWindow& window, std::span<const std::uint8_t> bytes,
                                     const InputOptions& options);

// Makes the bytes from `offset` on readable: afterwards the window holds the
// input from `offset` on for at least window_bytes - reload_bytes bytes (16 MB by
// default) or up to its end, and from 8 bytes before `offset` when the reload was
// made for it. Returns 0 when the window already covered `offset` (or the input
// is mapped), otherwise the number of bytes held, or -1 when the reload failed.
std::int64_t refill_window(InputWindow& window, std::int64_t offset);

// The first offset i >= start at which `pattern` (1 to 7 bytes) matches with
// i + pattern.size() < end, or kNotFound. Reloads the window as it goes; a failed
// reload ends the search with kNotFound and leaves the input failed.
std::int64_t find_pattern(InputWindow& window, std::int64_t end, std::int64_t start,
                          std::span<const std::uint8_t> pattern);

// Unmaps the view or frees the window; safe to call twice.
void release_input(InputWindow& window);

// The bytes [offset, offset + length) when the view holds all of them now, else
// an empty span. Never reloads.
std::span<const std::uint8_t> held_bytes(const InputWindow& window, std::int64_t offset,
                                         std::int64_t length);

// The `length` bytes at `offset` (up to kMaxReadBytes), whole: Found, End when the
// input does not hold them all, Failed when a read of the file failed. The bytes
// stay valid until the next read that reloads: one asking for bytes the window
// does not hold, or a search or refill at an offset it does not cover.
InputRead read_at(InputWindow& window, std::int64_t offset, std::int64_t length);

// read_at's bytes, empty when it did not find them.
std::span<const std::uint8_t> read_input(InputWindow& window, std::int64_t offset,
                                         std::int64_t length);

// True once a read of the input failed: the mode that ran ends with "Cannot read".
bool input_failed(const InputWindow& window);

// How a copy of input bytes to an output ended.
enum class InputCopy { Done, ReadFailed, WriteFailed };

class OutputFile;
// Writes the `length` input bytes at `offset` to `out`. Long stretches of a file
// go from the input file to the output file inside the system where it can;
// anything else is written from the view, reloading the window as needed.
// ReadFailed when the input ends first or a read of it failed.
[[nodiscard]] InputCopy copy_to_output(InputWindow& window, std::int64_t offset,
                                       std::int64_t length, OutputFile& out);

// What the view holds now: `count` bytes from input offset `first` (first -1
// while the window is empty). Tests and fuzzers check the window's moves with it.
struct HeldRange {
  std::int64_t first = -1;
  std::int64_t count = 0;
};
HeldRange held_range(const InputWindow& window);

// True when `path` names the input file itself.
bool names_input(const InputWindow& window, const char* path);

// True when `path` names the input or an output this run opened through
// open_output: a run never empties the file it reads, nor opens a file twice.
bool names_file_in_use(const InputWindow& window, const char* path);

// Remembers `path` as an output of this run (see names_file_in_use).
void claim_output_name(const InputWindow& window, const char* path);

class InputWindow {
 public:
  InputWindow() = default;
  InputWindow(const InputWindow&) = delete;
  InputWindow& operator=(const InputWindow&) = delete;
  ~InputWindow();

  bool is_mapped() const { return mapping_; }

  std::int64_t size = 0;  // of the whole input

 private:
  friend bool open_input(InputWindow&, const char*, const InputOptions&);
  friend void open_memory_input(InputWindow&, std::span<const std::uint8_t>);
  friend bool open_memory_input(InputWindow&, std::span<const std::uint8_t>, const InputOptions&);
  friend std::int64_t refill_window(InputWindow&, std::int64_t);
  friend std::int64_t find_pattern(InputWindow&, std::int64_t, std::int64_t,
                                   std::span<const std::uint8_t>);
  friend void release_input(InputWindow&);
  friend std::span<const std::uint8_t> held_bytes(const InputWindow&, std::int64_t, std::int64_t);
  friend InputRead read_at(InputWindow&, std::int64_t, std::int64_t);
  friend bool input_failed(const InputWindow&);
  friend HeldRange held_range(const InputWindow&);
  friend InputCopy copy_to_output(InputWindow&, std::int64_t, std::int64_t, OutputFile&);
  friend bool names_input(const InputWindow&, const char*);
  friend bool names_file_in_use(const InputWindow&, const char*);
  friend void claim_output_name(const InputWindow&, const char*);

  // A position is covered when a full window lies less than reload_bytes_ before
  // it: the window then holds window_bytes_ - reload_bytes_ bytes from it on, or
  // up to the end of the input.
  bool covers(std::int64_t offset) const;
  // Loads the window from 8 bytes before `offset`: a full window, or with `ahead`
  // only `length` bytes from `offset` on and a little more (what a walk needs
  // next, while long stretches go from file to file). Bytes held already are
  // moved, not read again. Returns the bytes held, or -1 when the read failed
  // (the input is then failed).
  std::int64_t reload(std::int64_t offset, std::int64_t length, bool ahead);
  bool load(std::int64_t at, std::span<std::uint8_t> into);

  platform::File* file_ = nullptr;
  std::span<const std::uint8_t> memory_;  // the input's bytes when it lives in memory
  bool mapping_ = false;                  // true exactly when the whole input is in view
  const std::uint8_t* data_ = nullptr;
  std::unique_ptr<std::uint8_t[]> buffer_;  // the window's storage when not mapped
  std::int64_t capacity_ = 0;               // bytes of buffer_
  std::int64_t window_bytes_ = 0;
  std::int64_t reload_bytes_ = 0;
  std::int64_t base_ = -1;  // input offset of data_[0]; -1 while empty
  std::int64_t held_ = 0;   // bytes of data_ that hold input contents
  bool full_ = false;       // held_ is a whole window, or reaches the end of the input
  bool failed_ = false;
  std::int64_t reads_ = 0;         // reads of the file so far
  std::int64_t failing_read_ = 0;  // the read a test makes fail; 0: none
  // The outputs opened against this input: bookkeeping of the run, not input state.
  mutable std::vector<std::string> output_names_;
};

}  // namespace vidsalvage
