// Writes the seeds of every fuzz target into DIR/<target>/<name>.

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "fuzz/seeds.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path root = argv[1];
  for (const vidsalvage::fuzz::Seed& seed : vidsalvage::fuzz::make_seeds()) {
    std::error_code error;
    std::filesystem::create_directories(root / seed.target, error);
    std::ofstream out(root / seed.target / seed.name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(seed.bytes.data()),
              static_cast<std::streamsize>(seed.bytes.size()));
    if (!out.flush()) {
      std::fprintf(stderr, "Cannot write '%s'\n",
                   (root / seed.target / seed.name).string().c_str());
      return 1;
    }
  }
  return 0;
}
