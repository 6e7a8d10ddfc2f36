#include "platform/environment.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/errors.h"
#include "platform/machine.h"
#include "platform/text.h"

extern char** environ;

namespace platform {

namespace {

// Value of an entry that marks a variable the program removed, so that a default of the
// machine image stays hidden. Text converted from UTF-16 never holds the byte 0xFF, so no
// real value can look like it.
constexpr const char* kRemovedMarker = "\xFF";

// getenv/setenv are not safe against each other across threads.
std::mutex g_environmentMutex;

bool IsValidName(std::u16string_view name) {
  return !name.empty() && name.find(u'=') == std::u16string_view::npos &&
         name.find(u'\0') == std::u16string_view::npos;
}

std::string HostName(std::u16string_view upperName) {
  return kEnvironmentPrefix + Utf16ToUtf8(upperName);
}

struct FixedDefault {
  std::u16string_view name;  // upper-cased
  std::u16string_view value;
};

constexpr FixedDefault kFixedDefaults[] = {
    {u"SYSTEMDRIVE", u"C:"},
    {u"HOMEDRIVE", u"C:"},
    {u"SYSTEMROOT", u"C:\\Windows"},
    {u"WINDIR", u"C:\\Windows"},
    {u"PROGRAMDATA", u"C:\\ProgramData"},
    {u"ALLUSERSPROFILE", u"C:\\ProgramData"},
    {u"PUBLIC", u"C:\\Users\\Public"},
    {u"COMPUTERNAME", u"LUMEDESK-PC"},
    {u"USERDOMAIN", u"LUMEDESK-PC"},
    {u"OS", u"Windows_NT"},
    {u"COMSPEC", u"C:\\Windows\\system32\\cmd.exe"},
    {u"PATH", u"C:\\Windows\\system32;C:\\Windows;C:\\Windows\\System32\\Wbem"},
    {u"PATHEXT", u".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC"},
    // The running program is a 32-bit program, on either image.
    {u"PROCESSOR_ARCHITECTURE", u"x86"},
};

// Folders under the user's profile.
constexpr FixedDefault kProfileDefaults[] = {
    {u"USERPROFILE", u""},
    {u"APPDATA", u"\\AppData\\Roaming"},
    {u"LOCALAPPDATA", u"\\AppData\\Local"},
    {u"TEMP", u"\\AppData\\Local\\Temp"},
    {u"TMP", u"\\AppData\\Local\\Temp"},
};

// What a 32-bit program sees on 64-bit Windows (WOW64).
constexpr FixedDefault kWow64Defaults[] = {
    {u"PROGRAMFILES", u"C:\\Program Files (x86)"},
    {u"PROGRAMFILES(X86)", u"C:\\Program Files (x86)"},
    {u"PROGRAMW6432", u"C:\\Program Files"},
    {u"COMMONPROGRAMFILES", u"C:\\Program Files (x86)\\Common Files"},
    {u"COMMONPROGRAMFILES(X86)", u"C:\\Program Files (x86)\\Common Files"},
    {u"COMMONPROGRAMW6432", u"C:\\Program Files\\Common Files"},
    {u"PROCESSOR_ARCHITEW6432", u"AMD64"},
};

constexpr FixedDefault kNative32Defaults[] = {
    {u"PROGRAMFILES", u"C:\\Program Files"},
    {u"COMMONPROGRAMFILES", u"C:\\Program Files\\Common Files"},
};

const FixedDefault* Find(const FixedDefault* begin, const FixedDefault* end,
                         std::u16string_view upperName) {
  for (auto* d = begin; d != end; ++d)
    if (d->name == upperName) return d;
  return nullptr;
}

template <size_t N>
const FixedDefault* Find(const FixedDefault (&table)[N], std::u16string_view upperName) {
  return Find(table, table + N, upperName);
}

// The machine image's value of a variable nobody set; only the facts the name needs are
// read from the image.
std::optional<std::u16string> DefaultValue(std::u16string_view upperName) {
  if (auto* d = Find(kFixedDefaults, upperName)) return std::u16string(d->value);
  if (upperName == u"USERNAME") return UserName();
  if (upperName == u"HOMEPATH") return u"\\Users\\" + UserName();
  if (auto* d = Find(kProfileDefaults, upperName))
    return u"C:\\Users\\" + UserName() + std::u16string(d->value);
  // Ask the image for its bitness only for the names that depend on it.
  if (!Find(kWow64Defaults, upperName) && !Find(kNative32Defaults, upperName))
    return std::nullopt;
  const FixedDefault* d =
      Is64BitWindows() ? Find(kWow64Defaults, upperName) : Find(kNative32Defaults, upperName);
  if (!d) return std::nullopt;
  return std::u16string(d->value);
}

}  // namespace

std::optional<std::u16string> GetEnvironmentVariable(std::u16string_view name) {
  try {
    if (!IsValidName(name)) return std::nullopt;
    const std::u16string upper = FoldCase(name);
    const std::string key = HostName(upper);
    {
      std::lock_guard lock(g_environmentMutex);
      if (const char* value = std::getenv(key.c_str())) {
        if (std::strcmp(value, kRemovedMarker) == 0) return std::nullopt;
        return Utf8ToUtf16(value);
      }
    }
    return DefaultValue(upper);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return std::nullopt;
  }
}

bool SetEnvironmentVariable(std::u16string_view name, std::optional<std::u16string_view> value) {
  try {
    if (!IsValidName(name) || (value && value->find(u'\0') != std::u16string_view::npos)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    const std::string key = HostName(FoldCase(name));
    // A removal always leaves the marker: a default of the image must stay hidden, also
    // in the programs this one starts.
    const std::string stored = value ? Utf16ToUtf8(*value) : std::string(kRemovedMarker);
    std::lock_guard lock(g_environmentMutex);
    if (setenv(key.c_str(), stored.c_str(), 1) != 0) {
      SetLastError(Win32FromErrno(errno));
      return false;
    }
    return true;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

std::u16string ExpandEnvironmentStrings(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] != u'%') {
      out += text[pos++];
      continue;
    }
    size_t close = text.find(u'%', pos + 1);
    if (close != std::u16string_view::npos) {
      if (auto value = GetEnvironmentVariable(text.substr(pos + 1, close - pos - 1))) {
        out += *value;
        pos = close + 1;
        continue;
      }
    }
    // Unknown name or no closing '%': keep the '%' and go on after it, so the closing '%'
    // of an unknown name may still open a known one, as Windows does.
    out += u'%';
    ++pos;
  }
  return out;
}

void ResetEnvironmentForTesting() {
  std::lock_guard lock(g_environmentMutex);
  std::vector<std::string> names;
  const size_t prefixLength = std::strlen(kEnvironmentPrefix);
  for (char** entry = environ; entry && *entry; ++entry) {
    if (std::strncmp(*entry, kEnvironmentPrefix, prefixLength) != 0) continue;
    const char* equals = std::strchr(*entry, '=');
    if (equals) names.emplace_back(*entry, size_t(equals - *entry));
  }
  for (const auto& n : names) unsetenv(n.c_str());
}

}  // namespace platform
