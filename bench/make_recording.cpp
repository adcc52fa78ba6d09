// Writes a synthetic damaged recording for bench/recovery.sh: an ftyp box and an
// mdat header, then access units (a delimiter, then one to three slices whose
// heads the default and the Samsung profiles both accept) between stretches of
// AAC-like frames beginning 21 1B 8E, which the default and the Samsung frame
// lists both hold. No moov: the recorder "died".
//   make_recording OUT MEBIBYTES [--aac-heavy]
// The default mix has slices of 5-200 KB and 2-20 frames per stretch (3% of
// the data audio); the AAC-heavy mix has slices of 1-10 KB and 2-12 frames per
// stretch (a quarter of the data audio).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

class Random {
 public:
  std::uint64_t next() {
    x_ ^= x_ << 13;
    x_ ^= x_ >> 7;
    x_ ^= x_ << 17;
    return x_;
  }
  std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % bound); }
  void fill(std::uint8_t* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      const std::uint64_t v = next();
      std::memcpy(out + i, &v, 8);
    }
    for (; i < n; ++i) out[i] = static_cast<std::uint8_t>(next());
  }

 private:
  std::uint64_t x_ = 88172645463325252ULL;
};

struct Mix {
  std::uint32_t min_slice, max_slice, min_frames, max_frames;
};

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void append_access_unit(std::vector<std::uint8_t>& out, Random& random, const Mix& mix) {
  put_u32(out, 2);
  out.push_back(0x09);
  out.push_back(0x10);
  for (std::uint32_t slices = 1 + random.below(3); slices > 0; --slices) {
    const std::uint32_t size = mix.min_slice + random.below(mix.max_slice - mix.min_slice);
    put_u32(out, size);
    const std::size_t at = out.size();
    out.resize(at + size);
    random.fill(out.data() + at, size);
    out[at] = random.below(2) == 0 ? 0x65 : 0x41;
    out[at + 1] = out[at] == 0x65 ? 0x88 : 0x9A;
  }
}

void append_audio(std::vector<std::uint8_t>& out, Random& random, const Mix& mix) {
  for (std::uint32_t frames = mix.min_frames + random.below(mix.max_frames - mix.min_frames);
       frames > 0; --frames) {
    const std::uint32_t size = 300 + random.below(500);
    const std::size_t at = out.size();
    out.resize(at + size);
    random.fill(out.data() + at, size);
    out[at] = 0x21;
    out[at + 1] = 0x1B;
    out[at + 2] = 0x8E;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: make_recording OUT MEBIBYTES [--aac-heavy]\n");
    return 1;
  }
  const bool aac_heavy = argc > 3 && std::strcmp(argv[3], "--aac-heavy") == 0;
  const Mix mix = aac_heavy ? Mix{1000, 10000, 2, 12} : Mix{5000, 200000, 2, 20};
  const std::uint64_t total = std::strtoull(argv[2], nullptr, 10) * 1024 * 1024;
  std::FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  static const std::uint8_t kHeader[] = {0,   0,   0, 0x14, 'f', 't', 'y', 'p', 'i', 's',
                                         'o', 'm', 0, 0,    2,   0,   'i', 's', 'o', 'm',
                                         0,   0,   0, 1,    'm', 'd', 'a', 't'};
  std::vector<std::uint8_t> block(kHeader, kHeader + sizeof kHeader);
  Random random;
  std::uint64_t written = 0;
  while (written < total) {
    append_access_unit(block, random, mix);
    append_audio(block, random, mix);
    if (block.size() >= (4u << 20)) {
      written += std::fwrite(block.data(), 1, block.size(), file);
      block.clear();
    }
  }
  written += std::fwrite(block.data(), 1, block.size(), file);
  return std::fclose(file) == 0 ? 0 : 1;
}
