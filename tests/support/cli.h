#pragma once
// Runs the built vidsalvage binary in a test's temporary directory.

#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace vidsalvage::test {

struct CliResult {
  int status = 0;          // as main returned it: a -1 arrives from the shell as 255
  std::string output;      // standard output as a terminal shows it
  std::string raw_output;  // standard output byte for byte
};

struct CliOptions {
  bool force_window = false;  // read the input through the 64 MB window
};

// Runs the binary with `args` (argument 1 on) in `dir`, standard input empty.
CliResult run_cli(const TempDir& dir, const std::vector<std::string>& args,
                  const CliOptions& options = {});

// Drops the text that a carriage return overwrites, line by line.
std::string terminal_view(const std::string& raw);

// The first lines every run prints.
std::string banner();

}  // namespace vidsalvage::test
