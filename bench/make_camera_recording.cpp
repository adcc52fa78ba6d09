// Builds an action-camera recording of at least the given size from an ffmpeg
// recording, its samples repeated: the intact file and its twin cut at the moov.
//   make_camera_recording SOURCE INTACT DAMAGED MEBIBYTES

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>

#include "support/camera_layout.h"

namespace {

vidsalvage::test::Bytes read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return vidsalvage::test::Bytes(std::istreambuf_iterator<char>(in), {});
}

bool write_file(const char* path, const vidsalvage::test::Bytes& bytes, std::size_t count) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(count));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: make_camera_recording SOURCE INTACT DAMAGED MEBIBYTES\n");
    return 2;
  }
  try {
    using vidsalvage::test::build_camera_recording;
    const vidsalvage::test::Bytes source = read_file(argv[1]);
    vidsalvage::test::CameraLayoutOptions options;
    options.keep_media = false;
    const auto one = build_camera_recording(source, options);
    const long long target = std::atoll(argv[4]) * 1024 * 1024;
    const long long per_copy = one.movie_offset - one.media_offset;
    options.repeats = static_cast<int>((target + per_copy - 1) / per_copy);
    const auto rec = build_camera_recording(source, options);
    if (!write_file(argv[2], rec.file, rec.file.size()) ||
        !write_file(argv[3], rec.file, static_cast<std::size_t>(rec.movie_offset))) {
      std::fprintf(stderr, "cannot write the recordings\n");
      return 1;
    }
    std::printf("%d copies, %lld bytes of media data\n", options.repeats,
                static_cast<long long>(rec.movie_offset - rec.media_offset));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
