#include "support/cli.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace vidsalvage::test {

CliResult run_cli(const TempDir& dir, const std::vector<std::string>& args,
                  const CliOptions& options) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    if (options.force_window) {
      setenv("VIDSALVAGE_FORCE_WINDOW", "1", 1);
    } else {
      unsetenv("VIDSALVAGE_FORCE_WINDOW");
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(VIDSALVAGE_BINARY));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(VIDSALVAGE_BINARY, argv.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  CliResult result;
  char chunk[65536];
  ssize_t n;
  while ((n = read(pipe_fds[0], chunk, sizeof chunk)) > 0) {
    result.raw_output.append(chunk, static_cast<std::size_t>(n));
  }
  close(pipe_fds[0]);
  int wait_status = 0;
  waitpid(pid, &wait_status, 0);
  const int code = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  result.status = code == 255 ? -1 : code;
  result.output = terminal_view(result.raw_output);
  return result;
}

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
