// The program's diagnostic channel, the counterpart of OutputDebugString: text goes to
// standard error, or appended to the file named by LUMEDESK_DEBUG_LOG.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace platform {

inline constexpr const char* kDebugLogVariable = "LUMEDESK_DEBUG_LOG";
// The formatting buffer holds this many characters; longer output is cut.
inline constexpr size_t kDebugTraceBuffer = 10000;

// printf-style formatting (UTF-8 format and arguments).
void DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes text verbatim, never as a format.
void DebugOutput(std::string_view utf8);
void DebugOutput(std::u16string_view text);

// Replaces the destination (tests and lumectl capture the output); an empty function
// restores the default.
void SetDebugSink(std::function<void(std::string_view)> sink);

}  // namespace platform
