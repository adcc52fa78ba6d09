// Every input that once made a fuzz target fail, and every seed, run through its
// target as in the fuzzers; the sanitizer build catches the memory errors.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_entries.h"
#include "fuzz/seeds.h"

namespace vidsalvage::fuzz {
namespace {

namespace fs = std::filesystem;

const fs::path kRegressions = VIDSALVAGE_FUZZ_REGRESSIONS;

std::vector<std::uint8_t> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs the target with its standard output (trace lines) swallowed.
bool run_quietly(const FuzzTarget& target, const std::vector<std::uint8_t>& input) {
  testing::internal::CaptureStdout();
  const bool held = target.run(input);
  testing::internal::GetCapturedStdout();
  return held;
}

TEST(FuzzRegressions, EveryTargetPassesTheInputsThatOnceFailed) {
  for (const FuzzTarget& target : fuzz_targets()) {
    const fs::path folder = kRegressions / target.name;
    if (!fs::is_directory(folder)) continue;
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
      SCOPED_TRACE(file.string());
      EXPECT_TRUE(run_quietly(target, read_file(file)));
    }
  }
}

TEST(FuzzRegressions, EveryFolderNamesATarget) {
  ASSERT_TRUE(fs::is_directory(kRegressions));
  for (const fs::directory_entry& entry : fs::directory_iterator(kRegressions)) {
    if (!entry.is_directory()) continue;
    SCOPED_TRACE(entry.path().string());
    EXPECT_NE(find_fuzz_target(entry.path().filename().string()), nullptr);
  }
}

// The seeds are intact recordings and files: besides holding every property,
// the learned ones must load back.
TEST(FuzzSeeds, EverySeedPassesItsTarget) {
  const std::vector<Seed> seeds = make_seeds();
  for (const FuzzTarget& target : fuzz_targets()) {
    SCOPED_TRACE(target.name);
    const auto has_seed = [&](const Seed& s) { return s.target == target.name; };
    EXPECT_TRUE(std::any_of(seeds.begin(), seeds.end(), has_seed));
  }
  for (const Seed& seed : seeds) {
    SCOPED_TRACE(seed.target + "/" + seed.name);
    EXPECT_FALSE(seed.bytes.empty());
    const FuzzTarget* target = find_fuzz_target(seed.target);
    ASSERT_NE(target, nullptr);
    EXPECT_TRUE(run_quietly(*target, seed.bytes));
  }
}

}  // namespace
}  // namespace vidsalvage::fuzz
