#include "platform/paths.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <vector>

#include "platform/machine.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

// Linux limits a name to 255 bytes and resolves at most 40 symbolic links in one path.
constexpr size_t kMaxNameBytes = 255;
constexpr int kMaxLinkHops = 40;

thread_local bool t_redirectionDisabled = false;

std::mutex g_moduleMutex;
std::optional<fs::path> g_moduleOverride;

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool IsDriveLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

char16_t UpperLetter(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; }

bool IsForbiddenChar(char16_t c) {
  return c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' ||
         c == u'?' || c == u'*';
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9 name devices in every folder, also with an extension.
bool IsReservedDeviceName(std::u16string_view name) {
  std::u16string base = FoldCase(name.substr(0, name.find(u'.')));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  if (base == u"CON" || base == u"PRN" || base == u"AUX" || base == u"NUL") return true;
  return base.size() == 4 && (base.starts_with(u"COM") || base.starts_with(u"LPT")) &&
         base[3] >= u'1' && base[3] <= u'9';
}

// A drive-absolute path taken apart: the drive letter (upper case) and the components
// after "." and ".." were applied.
struct WindowsPath {
  char16_t drive = 0;
  std::vector<std::u16string> components;
};

LSTATUS ParseWindowsPath(std::u16string_view path, WindowsPath& out) {
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  // "\\?\C:\..." is an ordinary drive path with the long-path prefix; the rest of the
  // "\\?\" and "\\.\" namespaces (devices, UNC) is not part of the image.
  if (path.starts_with(u"\\\\?\\")) {
    path.remove_prefix(4);
    if (path.size() < 3 || !IsDriveLetter(path[0]) || path[1] != u':' || path[2] != u'\\')
      return ERROR_INVALID_NAME;
  }
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]))
    return ERROR_INVALID_NAME;  // UNC or device path
  // Relative and drive-relative paths depend on a current directory the image does not have.
  if (path.size() < 3 || !IsDriveLetter(path[0]) || path[1] != u':' || !IsSeparator(path[2]))
    return ERROR_INVALID_NAME;
  out.drive = UpperLetter(path[0]);
  if (out.drive != u'C' && out.drive != u'Z') return ERROR_PATH_NOT_FOUND;  // no such drive

  out.components.clear();
  bool leftRoot = false;
  size_t pos = 3;
  while (pos <= path.size()) {
    size_t end = pos;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    std::u16string_view part = path.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (out.components.empty())
        leftRoot = true;  // refused after every component was checked
      else
        out.components.pop_back();
      continue;
    }
    while (!part.empty() && (part.back() == u'.' || part.back() == u' ')) part.remove_suffix(1);
    if (part.empty()) return ERROR_INVALID_NAME;
    if (std::any_of(part.begin(), part.end(), IsForbiddenChar)) return ERROR_INVALID_NAME;
    if (IsReservedDeviceName(part)) return ERROR_INVALID_NAME;
    if (Utf16ToUtf8(part).size() > kMaxNameBytes) return ERROR_FILENAME_EXCED_RANGE;
    out.components.emplace_back(part);
  }
  return leftRoot ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

// WOW64 file-system redirection of a 32-bit program, applied to the normalised path.
void ApplyRedirection(std::vector<std::u16string>& c) {
  if (c.size() < 2 || !EqualsNoCase(c[0], u"Windows")) return;
  if (!EqualsNoCase(c[1], u"System32") && !EqualsNoCase(c[1], u"Sysnative")) return;
  if (t_redirectionDisabled || !Is64BitWindows()) return;
  if (EqualsNoCase(c[1], u"Sysnative")) {
    c[1] = u"System32";
    return;
  }
  if (c.size() >= 3) {
    for (std::u16string_view exempt : {u"catroot", u"catroot2", u"logfiles", u"spool"})
      if (EqualsNoCase(c[2], exempt)) return;
    if (c.size() >= 4 && EqualsNoCase(c[2], u"drivers") && EqualsNoCase(c[3], u"etc")) return;
  }
  c[1] = u"SysWOW64";
}

// The entry of `dir` whose name equals `name` without regard to case: the exact name when
// it exists, otherwise the smallest matching name (Linux may hold several).
std::optional<std::string> FindEntryNoCase(const fs::path& dir, std::u16string_view name) {
  const std::string exact = Utf16ToUtf8(name);
  struct stat st;
  if (lstat((dir / exact).c_str(), &st) == 0) return exact;
  DIR* d = opendir(dir.c_str());
  if (!d) return std::nullopt;
  std::optional<std::string> found;
  while (dirent* entry = readdir(d)) {
    std::string_view entryName = entry->d_name;
    if (entryName == "." || entryName == "..") continue;
    if (EqualsNoCase(Utf8ToUtf16(entryName), name) && (!found || entryName < *found))
      found = std::string(entryName);
  }
  closedir(d);
  return found;
}

// Where an absolute path really leads: every symbolic link is followed as the kernel would,
// dangling ones too (creating a file through one would create its target), and a missing
// tail is kept as written. False on a link loop or a component that cannot be examined.
bool ResolveLinks(const fs::path& path, fs::path& out) {
  const fs::path relative = path.relative_path();
  std::deque<fs::path> pending(relative.begin(), relative.end());
  fs::path current = "/";
  bool missing = false;
  int hops = 0;
  while (!pending.empty()) {
    fs::path part = std::move(pending.front());
    pending.pop_front();
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      current = current.parent_path();
      continue;
    }
    fs::path next = current / part;
    struct stat st;
    if (!missing && lstat(next.c_str(), &st) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) return false;
      missing = true;
    }
    if (missing || !S_ISLNK(st.st_mode)) {
      current = std::move(next);
      continue;
    }
    if (++hops > kMaxLinkHops) return false;
    std::error_code ec;
    fs::path target = fs::read_symlink(next, ec);
    if (ec) return false;
    if (target.is_absolute()) current = "/";
    const fs::path targetParts = target.relative_path();
    pending.insert(pending.begin(), targetParts.begin(), targetParts.end());
  }
  out = std::move(current);
  return true;
}

bool IsInside(const fs::path& path, const fs::path& base) {
  auto [b, p] = std::mismatch(base.begin(), base.end(), path.begin(), path.end());
  return b == base.end();
}

// The program's file on the host, absolute and lexically normal.
fs::path ModuleHostPath() {
  std::optional<fs::path> overridden;
  {
    std::lock_guard lock(g_moduleMutex);
    overridden = g_moduleOverride;
  }
  std::error_code ec;
  fs::path file = overridden ? *overridden : fs::read_symlink("/proc/self/exe", ec);
  if (file.is_relative()) file = fs::absolute(file, ec);
  return file.lexically_normal();
}

LSTATUS MapToHostImpl(std::u16string_view windowsPath, fs::path& out) {
  WindowsPath parsed;
  if (LSTATUS status = ParseWindowsPath(windowsPath, parsed)) return status;

  fs::path root;     // the host folder of the drive's root
  fs::path allowed;  // the resolved host folder the result must stay in
  if (parsed.drive == u'C') {
    if (MachineRoot().empty()) return ERROR_PATH_NOT_FOUND;
    root = MachineRoot() / "drive_c";
    if (!ResolveLinks(root, allowed)) return ERROR_ACCESS_DENIED;
    ApplyRedirection(parsed.components);
  } else {
    // Z: reaches the program's own folder only; without a known folder, nothing.
    root = "/";
    const fs::path folder = ModuleHostPath().parent_path();
    if (!folder.is_absolute() || !ResolveLinks(folder, allowed) || allowed == root)
      return ERROR_ACCESS_DENIED;
  }

  fs::path host = root;
  bool exists = true;
  for (const auto& component : parsed.components) {
    std::optional<std::string> onDisk;
    if (exists) onDisk = FindEntryNoCase(host, component);
    exists = onDisk.has_value();
    host /= onDisk ? *onDisk : Utf16ToUtf8(component);
  }

  fs::path resolved;
  if (!ResolveLinks(host, resolved) || !IsInside(resolved, allowed)) return ERROR_ACCESS_DENIED;
  out = std::move(host);
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS MapToHost(std::u16string_view windowsPath, fs::path& out) {
  try {
    LSTATUS status = MapToHostImpl(windowsPath, out);
    if (status != ERROR_SUCCESS) out.clear();
    return status;
  } catch (const std::bad_alloc&) {
    out.clear();
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    out.clear();
    return ERROR_GEN_FAILURE;
  }
}

std::optional<std::u16string> MapFromHost(const fs::path& hostPath) {
  try {
    if (MachineRoot().empty() || hostPath.empty()) return std::nullopt;
    std::error_code ec;
    fs::path absolute = hostPath.is_absolute() ? hostPath : fs::absolute(hostPath, ec);
    if (ec) return std::nullopt;
    fs::path resolved, root;
    if (!ResolveLinks(absolute, resolved) || !ResolveLinks(MachineRoot() / "drive_c", root) ||
        !IsInside(resolved, root))
      return std::nullopt;
    std::u16string windowsPath = u"C:";
    for (const auto& part : resolved.lexically_relative(root)) {
      if (part == ".") continue;
      std::u16string name = Utf8ToUtf16(part.native());
      // A Linux name Windows cannot spell has no Windows path.
      if (std::any_of(name.begin(), name.end(), IsForbiddenChar)) return std::nullopt;
      windowsPath += u'\\';
      windowsPath += name;
    }
    if (windowsPath.size() == 2) windowsPath += u'\\';
    return windowsPath;
  } catch (...) {
    return std::nullopt;
  }
}

bool DisableWow64Redirection(void** oldValue) {
  if (!Is64BitWindows()) {
    SetLastError(ERROR_INVALID_FUNCTION);  // as on 32-bit Windows
    return false;
  }
  if (!oldValue) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // The old value only has to tell "off" from "on".
  *oldValue = t_redirectionDisabled ? reinterpret_cast<void*>(uintptr_t(1)) : nullptr;
  t_redirectionDisabled = true;
  return true;
}

bool RevertWow64Redirection(void* oldValue) {
  if (!Is64BitWindows()) {
    SetLastError(ERROR_INVALID_FUNCTION);  // as on 32-bit Windows
    return false;
  }
  t_redirectionDisabled = oldValue != nullptr;
  return true;
}

std::u16string ModuleFileName() {
  try {
    fs::path file = ModuleHostPath();
    if (auto inImage = MapFromHost(file)) return *inImage;
    std::u16string windowsPath = u"Z:";
    for (const auto& part : file.relative_path()) {
      windowsPath += u'\\';
      windowsPath += Utf8ToUtf16(part.native());
    }
    return windowsPath;
  } catch (...) {
    return {};
  }
}

std::u16string ModuleFolder() { return PathFolder(ModuleFileName()); }

std::u16string ModuleBaseName() {
  std::u16string name = PathFileName(ModuleFileName());
  size_t dot = name.rfind(u'.');
  // A leading dot starts the name rather than an extension.
  if (dot != std::u16string::npos && dot > 0) name.resize(dot);
  return name;
}

void SetModuleFileNameForTesting(std::optional<fs::path> hostPath) {
  std::lock_guard lock(g_moduleMutex);
  g_moduleOverride = std::move(hostPath);
}

std::u16string PathFileName(std::u16string_view windowsPath) {
  size_t sep = windowsPath.find_last_of(u"\\/");
  return std::u16string(sep == std::u16string_view::npos ? windowsPath
                                                         : windowsPath.substr(sep + 1));
}

std::u16string PathFolder(std::u16string_view windowsPath) {
  size_t sep = windowsPath.find_last_of(u"\\/");
  if (sep == std::u16string_view::npos) return {};
  // The root of a drive keeps its backslash: the folder of C:\a is C:\, not C:.
  if (sep == 2 && windowsPath[1] == u':') return std::u16string(windowsPath.substr(0, 3));
  return std::u16string(windowsPath.substr(0, sep));
}

}  // namespace platform
