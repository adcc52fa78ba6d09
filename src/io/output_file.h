#pragma once
// An output file written front to back through a buffer, so that a small unit
// costs no system call of its own. position() is where the next byte lands, as
// if every write had gone straight to the file.

#include <cstdint>
#include <memory>
#include <span>

#include "io/platform_file.h"

namespace vidsalvage {

class InputWindow;

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();  // closes, keeping what was written

  // Creates or empties `path`. False when it cannot be opened.
  [[nodiscard]] bool open(const char* path);
  bool is_open() const { return descriptor_ >= 0; }

  // False when this or an earlier write could not be completed: the disk is full
  // or the device failed. The file keeps what reached it.
  [[nodiscard]] bool write(std::span<const std::uint8_t> bytes);
  // Overwrites bytes already written, at `offset`; the position stays at the end.
  [[nodiscard]] bool write_at(std::int64_t offset, std::span<const std::uint8_t> bytes);
  std::int64_t position() const { return position_; }

  // Appends up to `length` bytes at `offset` of the input file `from`, copied
  // inside the system. Returns how many it appended: fewer, down to 0, where the
  // system cannot (the caller writes the rest), -1 when a write failed.
  std::int64_t copy_from(platform::File* from, std::int64_t offset, std::int64_t length);

  // Writes out what is buffered and closes. False when any write failed.
  [[nodiscard]] bool close();

 private:
  bool flush();

  int descriptor_ = -1;
  std::int64_t position_ = 0;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t buffered_ = 0;
  bool failed_ = false;
  platform::CopyRoute route_ = platform::CopyRoute::CopyFileRange;
};

// Opens `path` for writing unless it names the input itself, which the run must
// never empty, or an output the run opened already, which two streams would
// interleave into one corrupt file. False when refused or when it cannot be opened.
[[nodiscard]] bool open_output(OutputFile& file, const char* path, const InputWindow& input);

}  // namespace vidsalvage
