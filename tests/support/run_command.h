// For tests that run one of the programs: a command's exit code and standard output. On POSIX
// the command is a shell command (popen); on Windows a command line for CreateProcess, in
// UTF-8, whose standard error goes where the test's goes.
#pragma once

#if defined(_WIN32)
#include <windows.h>  // NOMINMAX comes with vqr_test_support
#else
#include <sys/wait.h>
#endif

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

#if defined(_WIN32)
inline CommandRun RunCommand(const std::string& command) {
  CommandRun run;
  std::wstring line(static_cast<std::size_t>(MultiByteToWideChar(
                        CP_UTF8, 0, command.data(), static_cast<int>(command.size()), nullptr, 0)),
                    L'\0');
  MultiByteToWideChar(CP_UTF8, 0, command.data(), static_cast<int>(command.size()), line.data(),
                      static_cast<int>(line.size()));
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return run;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  CloseHandle(writeEnd);  // the child holds the only write end: its exit ends the reads
  if (started) {
    std::array<char, 4096> buffer;
    DWORD n = 0;
    while (ReadFile(readEnd, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr) &&
           n > 0)
      run.output.append(buffer.data(), n);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(process.hProcess, &code)) run.exitCode = static_cast<int>(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(readEnd);
  return run;
}
#else
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
#endif

}  // namespace vqr::testing
