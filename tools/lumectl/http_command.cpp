// lumectl get / download: the program's HTTP agent from the command line, with the same
// time-outs, proxy settings (from the machine image) and certificate checks, so a user can
// see what the assistant sees.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/errors.h"
#include "platform/text.h"
#include "services/http/http_agent.h"
#include "tools/lumectl/commands.h"

namespace lumectl {

namespace {

using platform::HRESULT;

std::string Describe(HRESULT hr) {
  struct Known {
    HRESULT hr;
    const char* text;
  };
  static const Known kKnown[] = {
      {platform::E_FAIL, "the body ended before its Content-Length"},
      {platform::E_UNEXPECTED, "the agent is busy on this thread"},
      {platform::HRESULT_FROM_WIN32(platform::ERROR_WINHTTP_TIMEOUT), "timed out"},
      {platform::HRESULT_FROM_WIN32(platform::ERROR_WINHTTP_INVALID_URL), "invalid URL"},
      {platform::HRESULT_FROM_WIN32(platform::ERROR_WINHTTP_NAME_NOT_RESOLVED), "name not resolved"},
      {platform::HRESULT_FROM_WIN32(platform::ERROR_WINHTTP_CANNOT_CONNECT), "cannot connect"},
      {platform::HRESULT_FROM_WIN32(platform::ERROR_WINHTTP_CONNECTION_ERROR), "connection aborted"},
      {platform::HRESULT_FROM_WIN32(platform::ERROR_WINHTTP_SECURE_FAILURE),
       "secure channel failure (certificate not trusted or for another host)"},
      {platform::HRESULT_FROM_WIN32(platform::ERROR_WINHTTP_REDIRECT_FAILED),
       "redirect refused (HTTPS to HTTP, or too many)"},
      {platform::HRESULT_FROM_WIN32(platform::ERROR_WINHTTP_INVALID_SERVER_RESPONSE),
       "invalid server response"},
      {platform::HRESULT_FROM_WIN32(platform::ERROR_INVALID_HANDLE),
       "no connection (a relative URL needs an absolute one first)"},
      {platform::HRESULT_FROM_WIN32(platform::ERROR_PATH_NOT_FOUND), "path not found"},
      {platform::HRESULT_FROM_WIN32(platform::ERROR_ACCESS_DENIED), "access denied"},
      {platform::HRESULT_FROM_WIN32(platform::ERROR_SHARING_VIOLATION), "the file is in use"},
  };
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", uint32_t(hr));
  for (const auto& known : kKnown)
    if (known.hr == hr) return std::string(code) + " (" + known.text + ")";
  return code;
}

std::string Megabytes(int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / (1024.0 * 1024.0));
  return text;
}

// The progress bar on standard error, drawn only on a terminal and only when it changes.
struct ProgressBar {
  bool terminal = false;
  int lastPercent = -1;
  int64_t lastDrawn = -1;
  bool drawn = false;
} g_bar;

bool DrawProgress(const DownloadProgress* progress) {
  if (!g_bar.terminal || !progress || !progress->active) return true;
  const bool known = progress->total > 0;
  if (known && progress->percent == g_bar.lastPercent) return true;
  if (!known && progress->percent != 100 && progress->received - g_bar.lastDrawn < (256 << 10))
    return true;
  g_bar.lastPercent = progress->percent;
  g_bar.lastDrawn = progress->received;
  constexpr int kWidth = 30;
  if (known) {
    int filled = progress->percent * kWidth / 100;
    std::fprintf(stderr, "\r%3d%% [%s%s] %s / %s   ", progress->percent,
                 std::string(size_t(filled), '#').c_str(),
                 std::string(size_t(kWidth - filled), '.').c_str(),
                 Megabytes(progress->received).c_str(), Megabytes(progress->total).c_str());
  } else {
    std::fprintf(stderr, "\r%s   ", Megabytes(progress->received).c_str());
  }
  g_bar.drawn = true;
  std::fflush(stderr);
  return true;
}

bool IsWindowsPath(const std::string& path) {
  return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

Corvane::Network::AssistantHttp& Agent() {
  Corvane::Network::AssistantHttp& agent = Corvane::Network::HttpAgent();
  // The time-outs the program sets at start.
  agent.SetTimeouts(3000, 5000, 5000, 5000);
  return agent;
}

}  // namespace

int RunGetCommand(const Args& args) {
  if (args.empty()) {
    std::fputs("usage: lumectl get URL [URL...]\n", stderr);
    return 2;
  }
  auto& agent = Agent();
  if (!agent.IsReady()) {
    std::fputs("lumectl: the HTTP session could not be opened\n", stderr);
    return 1;
  }
  int exitCode = 0;
  for (const auto& url : args) {
    std::string body;
    HRESULT hr = agent.Get(platform::Utf8ToUtf16(url), {}, body);
    if (platform::FAILED(hr)) {
      std::fprintf(stderr, "lumectl: get %s failed: %s\n", url.c_str(), Describe(hr).c_str());
      exitCode = 1;
      continue;
    }
    if (agent.LastStatus() >= 400) {
      std::fprintf(stderr, "lumectl: get %s: HTTP status %ld (the assistant sees an empty body)\n",
                   url.c_str(), agent.LastStatus());
      exitCode = 1;
      continue;
    }
    std::fwrite(body.data(), 1, body.size(), stdout);
  }
  std::fflush(stdout);
  return exitCode;
}

int RunDownloadCommand(const Args& args) {
  if (args.size() != 2) {
    std::fputs("usage: lumectl download URL FILE\n", stderr);
    return 2;
  }
  auto& agent = Agent();
  if (!agent.IsReady()) {
    std::fputs("lumectl: the HTTP session could not be opened\n", stderr);
    return 1;
  }
  const std::u16string url = platform::Utf8ToUtf16(args[0]);
  const std::u16string file = platform::Utf8ToUtf16(args[1]);
  g_bar = {};
  g_bar.terminal = isatty(STDERR_FILENO);
  DownloadSink sink;
  sink.url = url.c_str();
  sink.file = file.c_str();
  sink.callback = &DrawProgress;

  HRESULT hr;
  // A Windows path is a file of the machine image; anything else a file of this computer.
  if (IsWindowsPath(args[1])) {
    hr = agent.Download(url, file, &sink);
  } else {
    std::error_code ec;
    hr = agent.DownloadToHostFile(url, std::filesystem::absolute(args[1], ec), &sink);
  }
  if (g_bar.drawn) std::fputc('\n', stderr);
  if (platform::FAILED(hr)) {
    std::fprintf(stderr, "lumectl: download %s failed: %s\n", args[0].c_str(), Describe(hr).c_str());
    return 1;
  }
  if (agent.LastStatus() >= 400) {
    std::fprintf(stderr, "lumectl: download %s: HTTP status %ld, nothing saved\n", args[0].c_str(),
                 agent.LastStatus());
    return 1;
  }
  std::printf("saved %s\n", args[1].c_str());
  return 0;
}

}  // namespace lumectl
