#include "platform/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "platform/paths.h"
#include "platform/text.h"

extern char** environ;

namespace platform {

std::vector<std::u16string> CommandLineToArgv(std::u16string_view line) {
  std::vector<std::u16string> args;
  size_t i = 0;
  const size_t n = line.size();
  auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };

  // The program name: no escape processing.
  std::u16string first;
  if (i < n && line[i] == u'"') {
    ++i;
    while (i < n && line[i] != u'"') first += line[i++];
    if (i < n) ++i;
  } else {
    while (i < n && !blank(line[i])) first += line[i++];
  }
  args.push_back(std::move(first));

  while (true) {
    while (i < n && blank(line[i])) ++i;
    if (i >= n) break;
    std::u16string arg;
    bool quoted = false;
    while (i < n && (quoted || !blank(line[i]))) {
      if (line[i] == u'\\') {
        size_t slashes = 0;
        while (i < n && line[i] == u'\\') {
          ++slashes;
          ++i;
        }
        if (i < n && line[i] == u'"') {
          arg.append(slashes / 2, u'\\');
          if (slashes % 2) {
            arg += u'"';
            ++i;
          }
        } else {
          arg.append(slashes, u'\\');
        }
      } else if (line[i] == u'"') {
        if (quoted && i + 1 < n && line[i + 1] == u'"') {
          arg += u'"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg += line[i++];
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::u16string QuoteArgument(std::u16string_view argument) {
  if (!argument.empty() && argument.find_first_of(u" \t\"") == std::u16string_view::npos)
    return std::u16string(argument);
  std::u16string out = u"\"";
  size_t slashes = 0;
  for (char16_t c : argument) {
    if (c == u'\\') {
      ++slashes;
      continue;
    }
    if (c == u'"') {
      out.append(slashes * 2 + 1, u'\\');
    } else {
      out.append(slashes, u'\\');
    }
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, u'\\');
  out += u'"';
  return out;
}

Process::Process(Process&& other) noexcept
    : pid_(other.pid_), ended_(other.ended_), exitCode_(other.exitCode_) {
  other.pid_ = -1;
}

Process& Process::operator=(Process&& other) noexcept {
  pid_ = std::exchange(other.pid_, -1);
  ended_ = other.ended_;
  exitCode_ = other.exitCode_;
  return *this;
}

namespace {
uint32_t DecodeStatus(int status) {
  if (WIFEXITED(status)) return uint32_t(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128u + uint32_t(WTERMSIG(status));
  return 1;
}
}  // namespace

bool Process::Wait(uint32_t timeoutMs) {
  if (pid_ <= 0) return false;
  if (ended_) return true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (true) {
    pid_t r = waitpid(pid_, &status, timeoutMs == INFINITE ? 0 : WNOHANG);
    if (r == pid_) {
      ended_ = true;
      exitCode_ = DecodeStatus(status);
      return true;
    }
    if (r < 0 && errno != EINTR) return false;
    if (timeoutMs != INFINITE) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
}

uint32_t Process::ExitCode() {
  if (pid_ <= 0) return STILL_ACTIVE;
  if (!ended_) Wait(0);
  return ended_ ? exitCode_ : STILL_ACTIVE;
}

namespace {

bool IsFile(const std::filesystem::path& p) {
  std::error_code ec;
  return std::filesystem::is_regular_file(p, ec);
}

// Finds the program file of a command line's first element.
LSTATUS ResolveProgram(const std::u16string& name, std::filesystem::path& out) {
  std::vector<std::u16string> candidates;
  bool hasFolder = name.find_first_of(u"\\/") != std::u16string::npos;
  if (hasFolder) {
    candidates.push_back(name);
  } else {
    candidates.push_back(ModuleFolder() + u"\\" + name);
    candidates.push_back(u"C:\\Windows\\System32\\" + name);
  }
  LSTATUS last = ERROR_FILE_NOT_FOUND;
  for (const auto& candidate : candidates) {
    std::vector<std::u16string> forms{candidate};
    if (candidate.size() > 4 && EqualsNoCase(candidate.substr(candidate.size() - 4), u".exe"))
      forms.push_back(candidate.substr(0, candidate.size() - 4));
    for (const auto& form : forms) {
      std::filesystem::path host;
      LSTATUS rc = MapToHost(form, host);
      if (rc != ERROR_SUCCESS) {
        last = rc;
        continue;
      }
      if (IsFile(host)) {
        out = host;
        return ERROR_SUCCESS;
      }
    }
  }
  return last;
}

}  // namespace

LSTATUS CreateProcess(std::u16string_view commandLine, Process& out) {
  out = Process();
  std::vector<std::u16string> args = CommandLineToArgv(commandLine);
  if (args.empty() || args[0].empty()) return ERROR_INVALID_PARAMETER;
  std::filesystem::path program;
  LSTATUS rc = ResolveProgram(args[0], program);
  if (rc != ERROR_SUCCESS) return rc;

  std::vector<std::string> argStore;
  for (const auto& a : args) argStore.push_back(Utf16ToUtf8(a));
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  // The child starts with default signal handling and an empty signal mask, whatever
  // the parent has blocked for its own signal thread.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int err = posix_spawn(&pid, program.c_str(), nullptr, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (err != 0) return Win32FromErrno(err);
  out.pid_ = pid;
  return ERROR_SUCCESS;
}

}  // namespace platform
