// find_pattern over 1 GiB of random bytes, for a 5-byte pattern that is not
// there: the whole input is scanned, mapped and through the window.
//   build/bench/vidsalvage_bench [--benchmark_filter=FindPattern]
// The file is made once in $VIDSALVAGE_BENCH_DIR (default /tmp) and kept.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "io/input_window.h"

namespace vidsalvage {
namespace {

constexpr std::int64_t kFileBytes = 1024LL * 1024 * 1024;

std::string bench_file() {
  const char* dir = std::getenv("VIDSALVAGE_BENCH_DIR");
  const std::string path = std::string(dir != nullptr ? dir : "/tmp") + "/vidsalvage-random-1g.bin";
  if (std::FILE* existing = std::fopen(path.c_str(), "rb")) {
    std::fseek(existing, 0, SEEK_END);
    const long size = std::ftell(existing);
    std::fclose(existing);
    if (size == kFileBytes) return path;
  }
  std::FILE* out = std::fopen(path.c_str(), "wb");
  std::vector<std::uint8_t> block(1 << 20);
  std::uint64_t x = 88172645463325252ULL;
  for (std::int64_t written = 0; written < kFileBytes; written += static_cast<std::int64_t>(block.size())) {
    for (auto& b : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      b = static_cast<std::uint8_t>(x >> 32);
    }
    std::fwrite(block.data(), 1, block.size(), out);
  }
  std::fclose(out);
  return path;
}

void search_whole_file(benchmark::State& state, bool allow_mapping) {
  const std::string path = bench_file();
  InputWindow window;
  if (!open_input(window, path.c_str(), {.allow_mapping = allow_mapping})) {
    state.SkipWithError("cannot open the benchmark file");
    return;
  }
  const std::uint8_t pattern[] = {0x00, 0x00, 0x00, 0x02, 0x09};
  for (auto _ : state) {
    const std::int64_t found = find_pattern(window, window.size, 0, pattern);
    if (found != kNotFound) {
      state.SkipWithError("the pattern occurs in the random data");
      break;
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(state.iterations() * window.size);
}

void BM_FindPatternMapped(benchmark::State& state) { search_whole_file(state, true); }
void BM_FindPatternWindowed(benchmark::State& state) { search_whole_file(state, false); }

BENCHMARK(BM_FindPatternMapped)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_FindPatternWindowed)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace vidsalvage

BENCHMARK_MAIN();
