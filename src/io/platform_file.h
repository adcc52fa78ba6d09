#pragma once
// The only header that knows files are operating-system objects. Everything the
// program needs of the platform is here, shaped by what the input window and the
// output files need; one implementation file per platform.

#include <cstdint>
#include <span>

namespace vidsalvage::platform {

// ---- The input: opened once, for exclusive reading, mapped whole or read in blocks.

struct File;  // defined in platform_file_posix.cpp / platform_file_win32.cpp

// Failure shows in the result; last_error() then gives the system's error number.
File* open_read_exclusive(const char* path);
bool file_size(File* file, std::int64_t& size);
// Creates a read-only mapping object of `size` bytes (POSIX: maps the file).
bool create_mapping(File* file, std::int64_t size);
// Maps a read-only view of the whole mapping; nullptr on failure.
const std::uint8_t* map_view(File* file, std::int64_t size);
// Unmaps `view` when it is not null and closes the mapping object, if any.
void release_mapping(File* file, const std::uint8_t* view, std::int64_t size);
// Moves the read position to `offset`, counted from the start of the file.
bool seek(File* file, std::int64_t offset);
// Reads up to buffer.size() bytes at the read position; `got` is short only at the end.
bool read(File* file, std::span<std::uint8_t> buffer, std::int64_t& got);
// True when `path` names the open file itself (another name, a link: the same file).
bool is_same_file(File* file, const char* path);
// True when two existing paths name one file.
bool name_same_file(const char* first, const char* second);
void close(File* file);
int last_error();

// ---- Output files and reference headers: the runtime's low-level descriptors.

// Write-only, binary, created when missing and emptied when present; on POSIX
// with permission 0666 less the umask, as any program creates a file. Returns -1
// on failure.
int open_for_writing(const char* path);
// Read-only, binary. Returns -1 on failure.
int open_for_reading(const char* path);
// Writes all of `bytes`; false on an error or a short write.
bool write_all(int descriptor, std::span<const std::uint8_t> bytes);
enum class SeekFrom { Start, Current, End };
// Returns the new position, or -1 on failure.
std::int64_t seek_descriptor(int descriptor, std::int64_t offset, SeekFrom from);
// Returns the number of bytes read (short only at the end of the file), or -1.
std::int64_t read_descriptor(int descriptor, std::span<std::uint8_t> buffer);
bool close_descriptor(int descriptor);
// How copy_range moves bytes between two files; it moves to the next route when
// the system refuses one for this pair of files.
enum class CopyRoute { CopyFileRange, SendFile, None };
// Copies up to `length` bytes at `offset` of `from` to the descriptor's position
// inside the system, and returns how many it copied: fewer, down to 0, when the
// system cannot (no route left, or an error); the caller writes the rest itself.
std::int64_t copy_range(File* from, std::int64_t offset, int descriptor, std::int64_t length,
                        CopyRoute& route);

// ---- Standard output.

// Called once, before the first message: on Windows gives standard output a
// buffer of its own, also on a console (the runtime's formatted printing writes
// an unbuffered stream one byte at a time); nothing to do on POSIX.
void prepare_standard_output();

}  // namespace vidsalvage::platform
