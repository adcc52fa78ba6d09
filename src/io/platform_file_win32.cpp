// Win32 implementation of the platform layer. The input is opened with share
// mode 0: while a run holds it, every other open of it fails with error 32
// (sharing violation), an output or reference header named after it included.
// Output files and reference headers go through the C runtime's descriptors,
// always in binary mode, so that a 0x0A byte is never widened to 0x0D 0x0A.

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "io/platform_file.h"
#include "io/platform_test_seams.h"

namespace vidsalvage::platform {
namespace {
// _read and _write count in unsigned int; larger buffers go in pieces.
constexpr std::size_t kDescriptorChunkBytes = 1u << 30;
constexpr std::size_t kStandardOutputBufferBytes = 4096;
}  // namespace

struct File {
  HANDLE handle = INVALID_HANDLE_VALUE;
  HANDLE mapping = nullptr;  // the mapping object, while there is one
};

File* open_read_exclusive(const char* path) {
  const HANDLE handle =
      CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return new File{handle};
}

bool file_size(File* file, std::int64_t& size) {
  LARGE_INTEGER value;
  if (GetFileSizeEx(file->handle, &value) == 0) return false;
  size = value.QuadPart;
  return true;
}

bool create_mapping(File* file, std::int64_t size) {
  const auto bits = static_cast<std::uint64_t>(size);
  // An empty file cannot be mapped: error 1006 (ERROR_FILE_INVALID).
  file->mapping =
      CreateFileMappingW(file->handle, nullptr, PAGE_READONLY, static_cast<DWORD>(bits >> 32),
                         static_cast<DWORD>(bits & 0xFFFFFFFFu), nullptr);
  return file->mapping != nullptr;
}

const std::uint8_t* map_view(File* file, std::int64_t /*size*/) {
  if (const int error = forced_map_view_error(); error != 0) {
    SetLastError(static_cast<DWORD>(error));
    return nullptr;
  }
  return static_cast<const std::uint8_t*>(MapViewOfFile(file->mapping, FILE_MAP_READ, 0, 0, 0));
}

void release_mapping(File* file, const std::uint8_t* view, std::int64_t /*size*/) {
  if (view != nullptr) UnmapViewOfFile(view);
  if (file->mapping != nullptr) CloseHandle(file->mapping);
  file->mapping = nullptr;
}

bool seek(File* file, std::int64_t offset) {
  LARGE_INTEGER position;
  position.QuadPart = offset;
  return SetFilePointerEx(file->handle, position, nullptr, FILE_BEGIN) != 0;
}

bool read(File* file, std::span<std::uint8_t> buffer, std::int64_t& got) {
  // A disk file fills the buffer in one call but at its end; a short count from
  // anything else is followed up until the end of the file shows (0 bytes).
  got = 0;
  std::size_t done = 0;
  while (done < buffer.size()) {
    const auto count = static_cast<DWORD>(std::min<std::size_t>(buffer.size() - done, MAXDWORD));
    DWORD n = 0;
    if (ReadFile(file->handle, buffer.data() + done, count, &n, nullptr) == 0) return false;
    if (n == 0) break;
    done += n;
  }
  got = static_cast<std::int64_t>(done);
  return true;
}

bool is_same_file(File* file, const char* path) {
  // An open without access rights is not refused by the input's share mode 0.
  const HANDLE other = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION open_info;
  BY_HANDLE_FILE_INFORMATION path_info;
  const bool same = GetFileInformationByHandle(file->handle, &open_info) != 0 &&
                    GetFileInformationByHandle(other, &path_info) != 0 &&
                    open_info.dwVolumeSerialNumber == path_info.dwVolumeSerialNumber &&
                    open_info.nFileIndexHigh == path_info.nFileIndexHigh &&
                    open_info.nFileIndexLow == path_info.nFileIndexLow;
  CloseHandle(other);
  return same;
}

bool name_same_file(const char* first, const char* second) {
  const auto open_any = [](const char* path) {
    return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  const HANDLE a = open_any(first);
  if (a == INVALID_HANDLE_VALUE) return false;
  File file{a};
  const bool same = is_same_file(&file, second);
  CloseHandle(a);
  return same;
}

void close(File* file) {
  if (file == nullptr) return;
  CloseHandle(file->handle);
  delete file;
}

int last_error() { return static_cast<int>(GetLastError()); }

int open_for_writing(const char* path) {
  return _open(path, _O_WRONLY | _O_BINARY | _O_CREAT | _O_TRUNC, _S_IREAD | _S_IWRITE);
}

int open_for_reading(const char* path) { return _open(path, _O_RDONLY | _O_BINARY); }

bool write_all(int descriptor, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const auto count = static_cast<unsigned>(std::min(bytes.size() - done, kDescriptorChunkBytes));
    const int n = _write(descriptor, bytes.data() + done, count);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::int64_t seek_descriptor(int descriptor, std::int64_t offset, SeekFrom from) {
  const int origin = from == SeekFrom::Start     ? SEEK_SET
                     : from == SeekFrom::Current ? SEEK_CUR
                                                 : SEEK_END;
  return _lseeki64(descriptor, offset, origin);
}

std::int64_t read_descriptor(int descriptor, std::span<std::uint8_t> buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const auto count = static_cast<unsigned>(std::min(buffer.size() - done, kDescriptorChunkBytes));
    const int n = _read(descriptor, buffer.data() + done, count);
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

bool close_descriptor(int descriptor) { return _close(descriptor) == 0; }

// Windows has no call that copies a range between two open files: the caller
// writes from the view.
std::int64_t copy_range(File*, std::int64_t, int, std::int64_t, CopyRoute& route) {
  route = CopyRoute::None;
  return 0;
}

void prepare_standard_output() {
  // The runtime leaves a console (and NUL) unbuffered, and the formatted printing
  // puts out one character at a time: one system call per byte. With a buffer a
  // message costs a copy, and the console is written once per buffer.
  std::setvbuf(stdout, nullptr, _IOFBF, kStandardOutputBufferBytes);
}

}  // namespace vidsalvage::platform
