#include "io/output_file.h"

#include <cstring>
#include <new>

#include "io/input_window.h"
#include "io/platform_file.h"

namespace vidsalvage {
namespace {
constexpr std::size_t kBufferBytes = 1024 * 1024;
// A write this large goes straight from the caller's bytes (the input view) to the
// file: copying it into the buffer first would cost more than its system call.
constexpr std::size_t kDirectWriteBytes = 64 * 1024;
}  // namespace

OutputFile::~OutputFile() { (void)close(); }

bool OutputFile::open(const char* path) {
  (void)close();
  buffer_.reset(new (std::nothrow) std::uint8_t[kBufferBytes]);
  if (!buffer_) return false;
  descriptor_ = platform::open_for_writing(path);
  position_ = 0;
  buffered_ = 0;
  failed_ = false;
  route_ = platform::CopyRoute::CopyFileRange;
  return descriptor_ >= 0;
}

bool OutputFile::flush() {
  if (failed_) return false;
  if (buffered_ > 0 && !platform::write_all(descriptor_, {buffer_.get(), buffered_})) {
    failed_ = true;
  }
  buffered_ = 0;
  return !failed_;
}

bool OutputFile::write(std::span<const std::uint8_t> bytes) {
  if (!is_open() || failed_) return false;
  position_ += static_cast<std::int64_t>(bytes.size());
  if (bytes.size() >= kDirectWriteBytes) {
    if (!flush()) return false;
    if (!platform::write_all(descriptor_, bytes)) failed_ = true;
    return !failed_;
  }
  if (bytes.size() > kBufferBytes - buffered_ && !flush()) return false;
  if (!bytes.empty()) std::memcpy(buffer_.get() + buffered_, bytes.data(), bytes.size());
  buffered_ += bytes.size();
  return true;
}

std::int64_t OutputFile::copy_from(platform::File* from, std::int64_t offset, std::int64_t length) {
  if (!is_open() || !flush()) return -1;
  if (route_ == platform::CopyRoute::None) return 0;
  const std::int64_t copied = platform::copy_range(from, offset, descriptor_, length, route_);
  position_ += copied;
  return copied;
}

bool OutputFile::write_at(std::int64_t offset, std::span<const std::uint8_t> bytes) {
  if (!is_open() || !flush()) return false;
  if (platform::seek_descriptor(descriptor_, offset, platform::SeekFrom::Start) != offset ||
      !platform::write_all(descriptor_, bytes) ||
      platform::seek_descriptor(descriptor_, position_, platform::SeekFrom::Start) != position_) {
    failed_ = true;
  }
  return !failed_;
}

bool OutputFile::close() {
  if (!is_open()) return !failed_;
  const bool flushed = flush();
  const bool closed = platform::close_descriptor(descriptor_);
  descriptor_ = -1;
  buffer_.reset();
  if (!closed) failed_ = true;
  return flushed && closed;
}

bool open_output(OutputFile& file, const char* path, const InputWindow& input) {
  if (names_file_in_use(input, path) || !file.open(path)) return false;
  claim_output_name(input, path);
  return true;
}

}  // namespace vidsalvage
