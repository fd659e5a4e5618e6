// For tests that run one of the programs: a shell command's exit code and standard output.
// POSIX only (popen).
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace vqr::testing {

struct CommandRun {
  int exitCode = -1;  // -1: the command could not be started or did not exit normally
  std::string output;
  // The output up to its first line break.
  std::string FirstLine() const { return output.substr(0, output.find('\n')); }
};

inline CommandRun RunCommand(const std::string& command) {
  CommandRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  std::array<char, 4096> buffer;
  while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
    run.output.append(buffer.data(), n);
  const int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace vqr::testing
