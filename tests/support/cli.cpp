#include "support/cli.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace vidsalvage::test {
namespace {

std::string binary_under_test() {
  const char* other = std::getenv("VIDSALVAGE_CLI_BINARY");
  return other != nullptr && *other != '\0' ? other : VIDSALVAGE_BINARY;
}

std::string emulator() {
  const char* value = std::getenv("VIDSALVAGE_CLI_EMULATOR");
  return value != nullptr ? value : "";
}

// A Windows console program writes each "\n" as CR LF; a lone CR stays as it is.
std::string without_text_mode(const std::string& native) {
  std::string plain;
  plain.reserve(native.size());
  for (std::size_t i = 0; i < native.size(); ++i) {
    if (native[i] == '\r' && i + 1 < native.size() && native[i + 1] == '\n') continue;
    plain += native[i];
  }
  return plain;
}

void set_variable(const char* name, bool set, const std::string& value) {
  if (set) {
    setenv(name, value.c_str(), 1);
  } else {
    unsetenv(name);
  }
}

[[noreturn]] void exec_program(const TempDir& dir, const std::vector<std::string>& args,
                               const CliOptions& options) {
  const int null_fd = open("/dev/null", O_RDONLY);
  dup2(null_fd, STDIN_FILENO);
  if (chdir(dir.path().c_str()) != 0) _exit(127);
  set_variable("VIDSALVAGE_FORCE_WINDOW", options.force_window, "1");
  set_variable("VIDSALVAGE_TEST_FAIL_MAP_VIEW", options.map_view_error != 0,
               std::to_string(options.map_view_error));
  set_variable("VIDSALVAGE_TEST_WINDOW_BYTES", options.window_bytes != 0,
               std::to_string(options.window_bytes));
  set_variable("VIDSALVAGE_TEST_FAIL_READ", options.failing_read != 0,
               std::to_string(options.failing_read));
  const std::string binary = binary_under_test();
  const std::string loader = emulator();
  std::vector<char*> argv;
  if (!loader.empty()) argv.push_back(const_cast<char*>(loader.c_str()));
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

CliResult run_once(const TempDir& dir, const std::vector<std::string>& args,
                   const CliOptions& options) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    exec_program(dir, args, options);
  }
  close(pipe_fds[1]);
  CliResult result;
  char chunk[65536];
  ssize_t n;
  while ((n = read(pipe_fds[0], chunk, sizeof chunk)) > 0) {
    result.native_output.append(chunk, static_cast<std::size_t>(n));
  }
  close(pipe_fds[0]);
  int wait_status = 0;
  waitpid(pid, &wait_status, 0);
  const int code = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  result.status = code == 255 ? -1 : code;
  result.raw_output =
      runs_windows_build() ? without_text_mode(result.native_output) : result.native_output;
  result.output = terminal_view(result.raw_output);
  return result;
}

// The program ends with status 1 only after printing its banner and usage, so
// status 1 without any output through the emulator means that Wine did not start
// it (seen once in many runs of the suite) and nothing ran.
bool emulator_did_not_start(const CliResult& result) {
  return !emulator().empty() && result.status == 1 && result.native_output.empty();
}

}  // namespace

bool runs_windows_build() {
  const std::string binary = binary_under_test();
  return binary.size() >= 4 && binary.compare(binary.size() - 4, 4, ".exe") == 0;
}

CliResult run_cli(const TempDir& dir, const std::vector<std::string>& args,
                  const CliOptions& options) {
  CliResult result = run_once(dir, args, options);
  for (int retry = 0; retry < 2 && emulator_did_not_start(result); ++retry) {
    std::fprintf(stderr, "run_cli: Wine did not start %s (status 1, no output); again\n",
                 binary_under_test().c_str());
    result = run_once(dir, args, options);
  }
  return result;
}

}  // namespace vidsalvage::test
