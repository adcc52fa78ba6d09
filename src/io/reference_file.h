#pragma once
// A small file in the current directory read whole: avcc.hdr and mp4a.hdr. The
// caller prints the messages, since they differ from file to file.

#include <cstdint>
#include <span>

namespace vidsalvage {

class ReferenceFile {
 public:
  ReferenceFile() = default;
  ReferenceFile(const ReferenceFile&) = delete;
  ReferenceFile& operator=(const ReferenceFile&) = delete;
  ~ReferenceFile();

  // Read-only, binary. False when the file cannot be opened.
  [[nodiscard]] bool open(const char* path);
  // The size found by seeking to the end and back to the start; -1 on failure.
  std::int64_t size();
  // One read of the whole buffer; false when fewer bytes arrive.
  [[nodiscard]] bool read(std::span<std::uint8_t> buffer);

 private:
  int descriptor_ = -1;
};

}  // namespace vidsalvage
