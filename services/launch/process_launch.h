// Starting programs and the per-user autostart entry.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Starts `commandLine`. Returns -1 when it could not be started; otherwise the exit code
// when waited for (or when the process had already ended), and 0 while it still runs.
// Command lines of 520 characters or more are refused with -1.
int LaunchProcess(std::u16string_view commandLine, bool wait, bool asShellUser);

// Writes (enable) or removes the Run value of the current user for `commandLine`; the value
// is named after the program file in the command line without folder and extension.
// False for an absent command line or when the registry operation fails.
bool SetAutostart(const std::optional<std::u16string>& commandLine, bool enable);

// The Run value's name for a command line ("...\TrayletRX" 103 ... gives "TrayletRX").
std::u16string AutostartValueName(std::u16string_view commandLine);

inline constexpr char16_t kRunKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
