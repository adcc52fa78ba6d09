// The libFuzzer program of one target, named by VIDSALVAGE_FUZZ_TARGET: a broken
// property aborts, which libFuzzer reports as a finding with its input.

#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_entries.h"

namespace {
const vidsalvage::fuzz::FuzzTarget* target = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  target = vidsalvage::fuzz::find_fuzz_target(VIDSALVAGE_FUZZ_TARGET);
  if (target == nullptr) {
    std::fprintf(stderr, "No fuzz target '%s'\n", VIDSALVAGE_FUZZ_TARGET);
    std::abort();
  }
  vidsalvage::fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!target->run({data, size})) {
    std::fprintf(stderr, "Fuzz target '%s': a checked property does not hold\n", target->name);
    std::abort();
  }
  return 0;
}
