// POSIX implementation of the platform layer. POSIX has no share-deny open, so
// nothing stops another process from opening the input during a run; the
// same-file test (is_same_file) is what keeps an output off the input.

#include <fcntl.h>
#include <sys/mman.h>
#ifdef __linux__
#include <sys/sendfile.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "io/platform_file.h"
#include "io/platform_test_seams.h"

namespace vidsalvage::platform {

struct File {
  int fd = -1;
  std::int64_t position = 0;
  void* mapped = nullptr;  // the whole file, when create_mapping succeeded
};

File* open_read_exclusive(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  int error = 0;
  if (::fstat(fd, &st) != 0) error = errno;
  // A directory opens for reading on POSIX, but it is no file to read.
  else if (S_ISDIR(st.st_mode)) error = EISDIR;
  if (error != 0) {
    ::close(fd);
    errno = error;
    return nullptr;
  }
  return new File{fd};
}

bool file_size(File* file, std::int64_t& size) {
  struct stat st;
  if (::fstat(file->fd, &st) != 0) return false;
  size = static_cast<std::int64_t>(st.st_size);
  return true;
}

bool create_mapping(File* file, std::int64_t size) {
  // mmap refuses a length of 0 (EINVAL), as the system refuses to map an empty file.
  if (size <= 0 || static_cast<std::uint64_t>(size) > SIZE_MAX) {
    errno = EINVAL;
    return false;
  }
  void* view = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, file->fd, 0);
  if (view == MAP_FAILED) return false;
  // Read front to back: the system reads ahead and maps neighbouring pages per fault.
  (void)::madvise(view, static_cast<std::size_t>(size), MADV_SEQUENTIAL);
  file->mapped = view;
  return true;
}

const std::uint8_t* map_view(File* file, std::int64_t /*size*/) {
  if (const int error = forced_map_view_error(); error != 0) {
    errno = error;
    return nullptr;
  }
  return static_cast<const std::uint8_t*>(file->mapped);
}

void release_mapping(File* file, const std::uint8_t* /*view*/, std::int64_t size) {
  if (file->mapped != nullptr) ::munmap(file->mapped, static_cast<std::size_t>(size));
  file->mapped = nullptr;
}

// read() reads at the position with pread: moving it needs no system call.
bool seek(File* file, std::int64_t offset) {
  if (offset < 0) return false;
  file->position = offset;
  return true;
}

bool read(File* file, std::span<std::uint8_t> buffer, std::int64_t& got) {
  got = 0;
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n = ::pread(file->fd, buffer.data() + done, buffer.size() - done,
                              static_cast<off_t>(file->position + static_cast<std::int64_t>(done)));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;  // end of file
    done += static_cast<std::size_t>(n);
  }
  got = static_cast<std::int64_t>(done);
  file->position += got;
  return true;
}

bool is_same_file(File* file, const char* path) {
  struct stat open_st;
  struct stat path_st;
  if (::fstat(file->fd, &open_st) != 0 || ::stat(path, &path_st) != 0) return false;
  return open_st.st_dev == path_st.st_dev && open_st.st_ino == path_st.st_ino;
}

bool name_same_file(const char* first, const char* second) {
  struct stat first_st;
  struct stat second_st;
  if (::stat(first, &first_st) != 0 || ::stat(second, &second_st) != 0) return false;
  return first_st.st_dev == second_st.st_dev && first_st.st_ino == second_st.st_ino;
}

void close(File* file) {
  if (file == nullptr) return;
  ::close(file->fd);
  delete file;
}

int last_error() { return errno; }

int open_for_writing(const char* path) {
  constexpr mode_t kEveryoneReadsAndWrites =
      S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;  // less the umask
  return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kEveryoneReadsAndWrites);
}

int open_for_reading(const char* path) { return ::open(path, O_RDONLY | O_CLOEXEC); }

bool write_all(int descriptor, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(descriptor, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::int64_t seek_descriptor(int descriptor, std::int64_t offset, SeekFrom from) {
  const int whence = from == SeekFrom::Start ? SEEK_SET : from == SeekFrom::Current ? SEEK_CUR : SEEK_END;
  return static_cast<std::int64_t>(::lseek(descriptor, static_cast<off_t>(offset), whence));
}

std::int64_t read_descriptor(int descriptor, std::span<std::uint8_t> buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n = ::read(descriptor, buffer.data() + done, buffer.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

bool close_descriptor(int descriptor) { return ::close(descriptor) == 0; }

#ifdef __linux__
namespace {
// The errors by which the system says a route does not serve these two files
// (another file system, a kind of file it cannot copy), as against a failure.
bool route_refused(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
         error == EBADF;
}
}  // namespace

std::int64_t copy_range(File* from, std::int64_t offset, int descriptor, std::int64_t length,
                        CopyRoute& route) {
  constexpr std::int64_t kLargestCall = 1 << 30;
  off_t at = static_cast<off_t>(offset);
  std::int64_t done = 0;
  while (done < length && route != CopyRoute::None) {
    const auto count = static_cast<std::size_t>(std::min(length - done, kLargestCall));
    // copy_file_range stays inside one file system; sendfile also crosses them.
    const ssize_t n = route == CopyRoute::CopyFileRange
                          ? ::copy_file_range(from->fd, &at, descriptor, nullptr, count, 0)
                          : ::sendfile(descriptor, from->fd, &at, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && done == 0 && route_refused(errno)) {
      route = route == CopyRoute::CopyFileRange ? CopyRoute::SendFile : CopyRoute::None;
      continue;
    }
    if (n <= 0) break;
    done += n;
  }
  return done;
}
#else
std::int64_t copy_range(File*, std::int64_t, int, std::int64_t, CopyRoute& route) {
  route = CopyRoute::None;
  return 0;
}
#endif

// The C library buffers standard output already: by line on a terminal, in
// blocks otherwise.
void prepare_standard_output() {}

}  // namespace vidsalvage::platform
