#include "platform/registry_redirection.h"

#include <string_view>

#include "platform/text.h"

namespace platform::registry_internal {

namespace {

constexpr std::u16string_view kWow6432Node = u"WOW6432Node";

// Keys below HKLM\SOFTWARE that both views share (WOW64 does not redirect them, nor
// anything below them). Paths are relative to SOFTWARE; extend this table when a program
// needs another shared key. HKLM\SOFTWARE\Classes is shared too, but some keys below it
// are not (see kRedirectedClassKeys).
constexpr std::u16string_view kSharedSoftwareKeys[] = {
    u"Clients",
    u"Policies",
    u"RegisteredApplications",
    u"Microsoft\\COM3",
    u"Microsoft\\Cryptography\\Calais",
    u"Microsoft\\Cryptography\\Services",
    u"Microsoft\\CTF\\SystemShared",
    u"Microsoft\\CTF\\TIP",
    u"Microsoft\\DFS",
    u"Microsoft\\Driver Signing",
    u"Microsoft\\EnterpriseCertificates",
    u"Microsoft\\EventSystem",
    u"Microsoft\\MSMQ",
    u"Microsoft\\Non-Driver Signing",
    u"Microsoft\\Notepad\\DefaultFonts",
    u"Microsoft\\OLE",
    u"Microsoft\\RAS",
    u"Microsoft\\RPC",
    u"Microsoft\\Shared Tools\\MSInfo",
    u"Microsoft\\SystemCertificates",
    u"Microsoft\\TermServLicensing",
    u"Microsoft\\Transaction Server",
    u"Microsoft\\Windows\\CurrentVersion\\App Paths",
    u"Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cursors\\Schemes",
    u"Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers",
    u"Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons",
    u"Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap",
    u"Microsoft\\Windows\\CurrentVersion\\Group Policy",
    u"Microsoft\\Windows\\CurrentVersion\\Policies",
    u"Microsoft\\Windows\\CurrentVersion\\PreviewHandlers",
    u"Microsoft\\Windows\\CurrentVersion\\Setup",
    u"Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations",
    u"Microsoft\\Windows NT\\CurrentVersion\\Console",
    u"Microsoft\\Windows NT\\CurrentVersion\\FontDpi",
    u"Microsoft\\Windows NT\\CurrentVersion\\FontLink",
    u"Microsoft\\Windows NT\\CurrentVersion\\FontMapper",
    u"Microsoft\\Windows NT\\CurrentVersion\\Fonts",
    u"Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes",
    u"Microsoft\\Windows NT\\CurrentVersion\\Gre_Initialize",
    u"Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options",
    u"Microsoft\\Windows NT\\CurrentVersion\\LanguagePack",
    u"Microsoft\\Windows NT\\CurrentVersion\\NetworkCards",
    u"Microsoft\\Windows NT\\CurrentVersion\\Perflib",
    u"Microsoft\\Windows NT\\CurrentVersion\\Ports",
    u"Microsoft\\Windows NT\\CurrentVersion\\Print",
    u"Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
    u"Microsoft\\Windows NT\\CurrentVersion\\Time Zones",
};

// The class-registration keys that the 32-bit view finds in Classes\WOW6432Node, both
// under HKLM\SOFTWARE\Classes (and so HKEY_CLASSES_ROOT) and under a user's
// Software\Classes. Every other key below Classes is shared.
constexpr std::u16string_view kRedirectedClassKeys[] = {
    u"CLSID", u"DirectShow", u"Interface", u"Media Type", u"MediaFoundation",
};

// True when `path` starting at element `from` begins with the backslash-separated `prefix`.
bool StartsWith(const KeyPath& path, size_t from, std::u16string_view prefix) {
  size_t i = from;
  while (!prefix.empty()) {
    size_t cut = prefix.find(u'\\');
    std::u16string_view head = prefix.substr(0, cut);
    if (i >= path.size() || !EqualsNoCase(path[i], head)) return false;
    ++i;
    prefix = cut == std::u16string_view::npos ? std::u16string_view() : prefix.substr(cut + 1);
  }
  return true;
}

bool IsWow6432Node(const KeyPath& path, size_t at) {
  return at < path.size() && EqualsNoCase(path[at], kWow6432Node);
}

KeyPath InsertWow6432Node(const KeyPath& path, size_t at) {
  KeyPath out(path.begin(), path.begin() + long(at));
  out.emplace_back(kWow6432Node);
  out.insert(out.end(), path.begin() + long(at), path.end());
  return out;
}

// `classes` is the index of the "Classes" element in `path`.
KeyPath RedirectClasses(const KeyPath& path, size_t classes) {
  size_t next = classes + 1;
  if (next >= path.size() || IsWow6432Node(path, next)) return path;
  for (auto key : kRedirectedClassKeys)
    if (EqualsNoCase(path[next], key)) return InsertWow6432Node(path, next);
  return path;
}

}  // namespace

KeyPath RedirectFor32BitView(int hive, const KeyPath& path) {
  if (hive == kUsers) {
    // HKEY_USERS\<sid>\Software is shared except the class-registration keys.
    if (path.size() > 2 && EqualsNoCase(path[1], u"Software") && EqualsNoCase(path[2], u"Classes"))
      return RedirectClasses(path, 2);
    return path;
  }
  if (path.empty() || !EqualsNoCase(path[0], u"SOFTWARE")) return path;
  // HKLM\SOFTWARE itself is redirected: the 32-bit view enumerates WOW6432Node.
  if (IsWow6432Node(path, 1)) return path;
  if (path.size() > 1 && EqualsNoCase(path[1], u"Classes")) return RedirectClasses(path, 1);
  for (auto shared : kSharedSoftwareKeys)
    if (StartsWith(path, 1, shared)) return path;
  return InsertWow6432Node(path, 1);
}

}  // namespace platform::registry_internal
