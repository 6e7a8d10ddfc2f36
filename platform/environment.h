// The Windows environment of the running program. Names are matched without regard to
// case, as on Windows.
//
// Variables the program sets live in the real process environment as
// LUMEDESK_ENV_<NAME> (name upper-cased), so programs it starts inherit them as Windows
// children inherit their parent's environment. Every other name falls back to the
// defaults of the machine image (SystemRoot, ProgramFiles, APPDATA, ...); Linux variables
// such as PATH or TEMP are never seen.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The prefix of the real environment entries that hold the variables the program set.
inline constexpr const char* kEnvironmentPrefix = "LUMEDESK_ENV_";

// nullopt when the variable is not set (or was removed).
std::optional<std::u16string> GetEnvironmentVariable(std::u16string_view name);

// Sets the variable, or removes it when `value` is nullopt; removing a default of the
// machine image hides it. Fails (SetLastError(ERROR_INVALID_PARAMETER)) for an empty name,
// a name holding '=' and a name or value holding a zero character.
bool SetEnvironmentVariable(std::u16string_view name, std::optional<std::u16string_view> value);

// Replaces every %NAME% by the variable's value. An unknown name and a lone '%' are kept
// as written; the inserted values are not expanded again.
std::u16string ExpandEnvironmentStrings(std::u16string_view text);

// Forgets every variable the program set or removed (tests start from the defaults).
void ResetEnvironmentForTesting();

}  // namespace platform
