#include "platform/shell.h"

#include <spawn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/debug_trace.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"

extern char** environ;

namespace platform {

namespace {

std::u16string Trim(std::u16string_view text) {
  size_t b = text.find_first_not_of(u" \t");
  size_t e = text.find_last_not_of(u" \t");
  return b == std::u16string_view::npos ? std::u16string() : std::u16string(text.substr(b, e - b + 1));
}

std::string HostBrowser() {
  if (const char* named = std::getenv(kBrowserVariable); named && *named) return named;
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((display && *display) || (wayland && *wayland)) {
    for (const char* candidate : {"/usr/bin/xdg-open", "/usr/bin/chromium"})
      if (access(candidate, X_OK) == 0) return candidate;
  }
  return {};
}

bool StartHostBrowser(std::u16string_view parameters) {
  std::string browser = HostBrowser();
  if (browser.empty()) {
    DebugOutput(u"no web browser to open: " + std::u16string(parameters) + u"\n");
    return false;
  }
  // The parameters are split as the browser would split its own command line, and each
  // piece is one argument.
  std::vector<std::u16string> pieces = CommandLineToArgv(u"iexplore.exe " + std::u16string(parameters));
  std::vector<std::string> store{browser};
  for (size_t i = 1; i < pieces.size(); ++i) store.push_back(Utf16ToUtf8(pieces[i]));
  std::vector<char*> argv;
  for (auto& s : store) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid;
  return posix_spawn(&pid, browser.c_str(), nullptr, nullptr, argv.data(), environ) == 0;
}

}  // namespace

bool ShellExecute(std::u16string_view file, std::u16string_view parameters) {
  std::u16string path = Trim(file);
  if (path.empty()) return false;
  std::filesystem::path host;
  std::error_code ec;
  if (MapToHost(path, host) == ERROR_SUCCESS && std::filesystem::is_regular_file(host, ec)) {
    Process process;
    return CreateProcess(QuoteArgument(path) + u" " + std::u16string(parameters), process) ==
           ERROR_SUCCESS;
  }
  if (EqualsNoCase(PathFileName(path), u"iexplore.exe")) return StartHostBrowser(parameters);
  return false;
}

}  // namespace platform
