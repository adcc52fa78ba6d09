#include <gtest/gtest.h>

#include <climits>

#include "app/driver.h"

namespace vidsalvage {
namespace {

TEST(PercentOf, TruncatesTowardZeroIn64Bits) {
  struct Case {
    std::int64_t size;
    std::int64_t input_size;
    int expected;
  };
  const Case cases[] = {
      {999, 1000, 99},
      {1000, 1000, 100},
      {0, 1000, 0},
      {1, 1000, 0},
      {2000, 1000, 200},  // the outputs can outgrow the input (start codes, headers)
      {5'000'000'000LL, 6'000'000'000LL, 83},  // beyond 32 bits
      {100, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(percent_of(c.size, c.input_size), c.expected);
  }
}

TEST(ChooseRunMode, ComparesKeywordsWithoutRegardToCase) {
  EXPECT_EQ(choose_run_mode("--stco"), RunMode::DumpStco);
  EXPECT_EQ(choose_run_mode("--StCo"), RunMode::DumpStco);
  EXPECT_EQ(choose_run_mode("--CO64"), RunMode::DumpCo64);
  EXPECT_EQ(choose_run_mode("--AVCC"), RunMode::ExtractHeaders);
  EXPECT_EQ(choose_run_mode("--avcc"), RunMode::ExtractHeaders);
  EXPECT_EQ(choose_run_mode("--avc"), RunMode::Recover);
  EXPECT_EQ(choose_run_mode("out.h264"), RunMode::Recover);
  EXPECT_EQ(choose_run_mode(""), RunMode::Recover);
}

}  // namespace
}  // namespace vidsalvage
