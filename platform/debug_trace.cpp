#include "platform/debug_trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/text.h"

namespace platform {

namespace {
std::mutex g_sinkMutex;
std::function<void(std::string_view)> g_sink;

void WriteDefault(std::string_view text) {
  const char* file = std::getenv(kDebugLogVariable);
  if (file && *file) {
    if (FILE* f = std::fopen(file, "ab")) {
      std::fwrite(text.data(), 1, text.size(), f);
      std::fclose(f);
      return;
    }
  }
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}
}  // namespace

void DebugOutput(std::string_view utf8) {
  std::lock_guard lock(g_sinkMutex);
  if (g_sink)
    g_sink(utf8);
  else
    WriteDefault(utf8);
}

void DebugOutput(std::u16string_view text) { DebugOutput(Utf16ToUtf8(text)); }

void DebugTrace(const char* format, ...) {
  char buffer[kDebugTraceBuffer];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return;
  DebugOutput(std::string_view(buffer, std::min(size_t(n), sizeof buffer - 1)));
}

void SetDebugSink(std::function<void(std::string_view)> sink) {
  std::lock_guard lock(g_sinkMutex);
  g_sink = std::move(sink);
}

}  // namespace platform
