#pragma once
// The seed inputs of every fuzz target, made from the test builders: parameter
// sets, configuration records, sample entries, recordings and model files.

#include <cstdint>
#include <string>
#include <vector>

namespace vidsalvage::fuzz {

struct Seed {
  std::string target;  // a fuzz target's name
  std::string name;    // a file name for it
  std::vector<std::uint8_t> bytes;
};

std::vector<Seed> make_seeds();

}  // namespace vidsalvage::fuzz
