#include "io/reference_file.h"

#include "io/platform_file.h"

namespace vidsalvage {

ReferenceFile::~ReferenceFile() {
  if (descriptor_ >= 0) platform::close_descriptor(descriptor_);
}

bool ReferenceFile::open(const char* path) {
  descriptor_ = platform::open_for_reading(path);
  return descriptor_ >= 0;
}

std::int64_t ReferenceFile::size() {
  const std::int64_t end = platform::seek_descriptor(descriptor_, 0, platform::SeekFrom::End);
  if (end < 0 || platform::seek_descriptor(descriptor_, 0, platform::SeekFrom::Start) != 0) {
    return -1;
  }
  return end;
}

bool ReferenceFile::read(std::span<std::uint8_t> buffer) {
  return platform::read_descriptor(descriptor_, buffer) ==
         static_cast<std::int64_t>(buffer.size());
}

}  // namespace vidsalvage
