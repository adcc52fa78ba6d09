#include "codec/header_file.h"

#include <cstddef>
#include <cstdio>
#include <new>
#include <utility>

#include "io/reference_file.h"

namespace vidsalvage {

HeaderRead read_header_file(const char* name, std::unique_ptr<std::uint8_t[]>& bytes,
                            std::int64_t& size) {
  ReferenceFile file;
  if (!file.open(name)) {
    std::printf("Cannot open '%s'\n", name);
    return HeaderRead::CannotOpen;
  }
  const std::int64_t file_size = file.size();
  std::unique_ptr<std::uint8_t[]> buffer;
  if (file_size >= 0)
    buffer.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(file_size)]);
  if (!buffer) {
    std::printf("Cannot allocate %d bytes\n",
                static_cast<int>(static_cast<std::uint32_t>(file_size)));
    return HeaderRead::Failed;
  }
  std::printf("Reading '%s'...\n", name);
  if (!file.read({buffer.get(), static_cast<std::size_t>(file_size)})) {
    std::printf("Cannot read '%s'\n", name);
    return HeaderRead::Failed;
  }
  bytes = std::move(buffer);
  size = file_size;
  return HeaderRead::Loaded;
}

}  // namespace vidsalvage
