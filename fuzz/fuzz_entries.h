#pragma once
// The bodies of the fuzz targets: each runs one parser or walk over bytes in
// memory, its outputs on the null device. The libFuzzer programs call them, and
// so does the regression test of the normal suite, on the inputs that once failed.

#include <cstdint>
#include <span>
#include <string_view>

namespace vidsalvage::fuzz {

// False when the run broke a property the target checks (a model that does not
// load back as it was written, a sample outside the file); memory errors and
// undefined behaviour are left to the sanitizers.
using FuzzEntry = bool (*)(std::span<const std::uint8_t> input);

struct FuzzTarget {
  const char* name;  // also the folder of its regression inputs and seeds
  FuzzEntry run;
};

// Every target, in a fixed order.
std::span<const FuzzTarget> fuzz_targets();

// The target called `name`, or nullptr.
const FuzzTarget* find_fuzz_target(std::string_view name);

// Sends standard output to the null device: the walks print a trace line for
// every unit, which would cost a fuzzer most of its time.
void silence_stdout();

}  // namespace vidsalvage::fuzz
