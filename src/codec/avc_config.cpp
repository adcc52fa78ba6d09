#include "codec/avc_config.h"

#include <cstdio>
#include <new>

#include "io/reference_file.h"

namespace vidsalvage {
namespace {
constexpr const char* kAvcConfigName = "avcc.hdr";
}  // namespace

bool load_avc_config(AvcConfig& config) {
  ReferenceFile file;
  if (!file.open(kAvcConfigName)) {
    std::printf("Cannot open '%s'\n", kAvcConfigName);
    return false;
  }
  const std::int64_t size = file.size();
  if (size >= 0) {
    config.bytes.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(size)]);
  }
  if (size < 0 || !config.bytes) {
    std::printf("Cannot allocate %d bytes\n", static_cast<int>(static_cast<std::uint32_t>(size)));
    return false;
  }
  std::printf("Reading '%s'...\n", kAvcConfigName);
  if (!file.read({config.bytes.get(), static_cast<std::size_t>(size)})) {
    std::printf("Cannot read '%s'\n", kAvcConfigName);
    config.bytes.reset();
    return false;
  }
  config.size = size;
  return true;
}

// TODO: the parameter-set walk and the SPS summary arrive with the codec
// configuration; until then the prologue only releases the record.
bool write_video_prologue(AvcConfig& config, OutputFile& /*video*/) {
  config.bytes.reset();
  config.size = 0;
  return true;
}

}  // namespace vidsalvage
