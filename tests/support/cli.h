#pragma once
// Runs the built vidsalvage binary in a test's temporary directory.
//
// The program run is the native build's, unless the environment names another:
// VIDSALVAGE_CLI_BINARY (the cross-built vidsalvage.exe), started through
// VIDSALVAGE_CLI_EMULATOR (Wine) when that is set. Only scripts/test-windows.sh
// sets them, so that the same tests check the Windows build.

#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace vidsalvage::test {

struct CliResult {
  int status = 0;      // as main returned it: a -1 arrives from the shell as 255
  std::string output;  // standard output as a terminal shows it
  // Standard output byte for byte, except that the CR LF of a Windows build's
  // text-mode output is turned back into LF, so one expectation serves both.
  std::string raw_output;
  std::string native_output;  // standard output exactly as the program wrote it
};

struct CliOptions {
  bool force_window = false;  // read the input through the 64 MB window
  int map_view_error = 0;     // when not 0, mapping the view fails with this error number
  int window_bytes = 0;       // when not 0, the window's size (reloaded after half of it)
  int failing_read = 0;       // when not 0, this read of the input through the window fails
};

// Runs the binary with `args` (argument 1 on) in `dir`, standard input empty.
CliResult run_cli(const TempDir& dir, const std::vector<std::string>& args,
                  const CliOptions& options = {});

// True when run_cli runs a Windows build (its output lines end in CR LF).
bool runs_windows_build();

// The two below need no child process; unit tests use them too, also on Windows.

// Drops the text that a carriage return overwrites, line by line.
std::string terminal_view(const std::string& raw);

// The first lines every run prints.
std::string banner();

}  // namespace vidsalvage::test
