// The parts of cli.h that need no child process, so that unit tests (also
// those built for Windows) can use them.

#include "support/cli.h"

namespace vidsalvage::test {

std::string terminal_view(const std::string& raw) {
  std::string shown;
  std::size_t line_start = 0;
  while (line_start < raw.size()) {
    std::size_t line_end = raw.find('\n', line_start);
    const bool complete = line_end != std::string::npos;
    if (!complete) line_end = raw.size();
    std::string line = raw.substr(line_start, line_end - line_start);
    const std::size_t last_cr = line.rfind('\r');
    if (last_cr != std::string::npos) line = line.substr(last_cr + 1);
    shown += line;
    if (complete) shown += '\n';
    line_start = line_end + 1;
  }
  return shown;
}

std::string banner() {
  return "vidsalvage 1.19 - salvages the video and audio of unfinalised MP4/MOV recordings\n"
         "Home page: https://vidsalvage.example/\n\n";
}

}  // namespace vidsalvage::test
