// Starting programs from Windows command lines: the command line is split by the rules
// of CommandLineToArgvW, the program path is mapped into the machine image, and the
// program is started with posix_spawn (never through a shell).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace platform {

inline constexpr uint32_t STILL_ACTIVE = 259;
inline constexpr uint32_t INFINITE = 0xFFFFFFFF;

// CommandLineToArgvW: the first element ends at the next quotation mark when it starts
// with one, otherwise at the first blank; later elements follow the backslash and quote
// rules (2n backslashes + quote: n backslashes and a quote toggle; 2n+1 backslashes +
// quote: n backslashes and a literal quote; "" inside quotes: a literal quote).
std::vector<std::u16string> CommandLineToArgv(std::u16string_view commandLine);

// Quotes one argument so that CommandLineToArgv gives it back unchanged.
std::u16string QuoteArgument(std::u16string_view argument);

// A started process, the counterpart of a process handle.
class Process {
 public:
  Process() = default;
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() = default;

  bool IsValid() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  // WaitForSingleObject: true when the process has ended within the time (INFINITE waits).
  bool Wait(uint32_t timeoutMs = INFINITE);
  // GetExitCodeProcess: STILL_ACTIVE while it runs; a process ended by a signal reports
  // 128 + the signal number.
  uint32_t ExitCode();

 private:
  friend LSTATUS CreateProcess(std::u16string_view, Process&);
  pid_t pid_ = -1;
  bool ended_ = false;
  uint32_t exitCode_ = STILL_ACTIVE;
};

// CreateProcessW with no application name: the program is the first element of the
// command line. A name without a folder is looked up in the program's own folder and then
// in System32; a name ending in ".exe" that does not exist is also tried without the
// extension (programs here carry none). The child inherits the environment, the current
// folder and no handles (every descriptor the program opens is close-on-exec).
LSTATUS CreateProcess(std::u16string_view commandLine, Process& out);

}  // namespace platform
