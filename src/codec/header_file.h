#pragma once
// Reading a reference header (avcc.hdr, mp4a.hdr) whole from the current
// directory, with the messages both share.

#include <cstdint>
#include <memory>

namespace vidsalvage {

enum class HeaderRead { Loaded, CannotOpen, Failed };

// Prints "Cannot open" when the file cannot be opened (CannotOpen: the caller
// decides whether that ends the run), "Cannot allocate" or "Cannot read" when it
// cannot be held in full (Failed). `bytes` and `size` are set only when Loaded.
[[nodiscard]] HeaderRead read_header_file(const char* name, std::unique_ptr<std::uint8_t[]>& bytes,
                                          std::int64_t& size);

}  // namespace vidsalvage
