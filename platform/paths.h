// Windows paths of the machine image. C:\ is MachineRoot()/"drive_c"; Z:\ is the Linux
// root, reachable only inside the running program's own folder (a developer starts the
// program from a build folder outside any image).
//
// MapToHost accepts drive-absolute paths (C:\..., either slash, any case of the letter,
// optionally behind the \\?\ prefix). Components are matched without regard to case
// against what exists; missing components keep the case given, so a new file gets the
// name the caller wrote. "." and empty components are dropped, ".." goes up, trailing
// dots and spaces of a component are stripped, as Windows does.
//
// Refusals:
//   ERROR_INVALID_NAME      malformed paths: relative (a\b, \a, C:a), UNC and device paths
//                           (\\server\share, \\.\, \\?\ other than \\?\X:\), a component
//                           holding <>:"|?* or a control character (wildcards, alternate
//                           data streams), a component of only dots and spaces, a reserved
//                           device name (CON, NUL, COM1, ...). Every component is checked,
//                           also one that a later ".." removes.
//   ERROR_PATH_NOT_FOUND    an empty path, a drive other than C: and Z:, no image selected.
//   ERROR_FILENAME_EXCED_RANGE  a component longer than Linux allows (255 bytes).
//   ERROR_ACCESS_DENIED     a path that leaves the drive: ".." above the root, a symbolic
//                           link (also a dangling one) leading outside drive_c, any Z: path
//                           outside the program's folder.
//
// File-system redirection follows a 32-bit program on 64-bit Windows: while it is on for
// the calling thread, C:\Windows\System32 is C:\Windows\SysWOW64 (except the subfolders
// catroot, catroot2, drivers\etc, logfiles and spool) and C:\Windows\Sysnative is the real
// System32.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace platform {

LSTATUS MapToHost(std::u16string_view windowsPath, std::filesystem::path& out);

// The Windows path (C:\..., case as on disk) of a host file inside drive_c; nullopt for
// anything outside. Symbolic links are followed.
std::optional<std::u16string> MapFromHost(const std::filesystem::path& hostPath);

// Wow64DisableWow64FsRedirection / Wow64RevertWow64FsRedirection for the calling thread.
// On a 32-bit image there is no redirection: both fail with ERROR_INVALID_FUNCTION.
bool DisableWow64Redirection(void** oldValue);
bool RevertWow64Redirection(void* oldValue);

// Turns redirection off for the calling thread for the lifetime of the object.
class Wow64RedirectionOff {
 public:
  Wow64RedirectionOff() { active_ = DisableWow64Redirection(&old_); }
  ~Wow64RedirectionOff() {
    if (active_) RevertWow64Redirection(old_);
  }
  Wow64RedirectionOff(const Wow64RedirectionOff&) = delete;
  Wow64RedirectionOff& operator=(const Wow64RedirectionOff&) = delete;

 private:
  void* old_ = nullptr;
  bool active_ = false;
};

// The running program's file: its C: path inside the image, otherwise Z: with the Linux
// path (Z:\work\main\build\Lumedesk).
std::u16string ModuleFileName();
// ModuleFileName without its last component; no trailing backslash except at a drive
// root (C:\).
std::u16string ModuleFolder();
// The file name without folder and extension ("Lumedesk" for ...\Lumedesk.exe).
std::u16string ModuleBaseName();
// Makes the functions above (and the Z: folder MapToHost allows) use `hostPath` instead of
// /proc/self/exe; nullopt restores the real one.
void SetModuleFileNameForTesting(std::optional<std::filesystem::path> hostPath);

// The text after the last \ or / (the whole text when there is none).
std::u16string PathFileName(std::u16string_view windowsPath);
// The text before the last \ or /, keeping the backslash of a drive root ("C:\a" -> "C:\");
// empty when there is no separator.
std::u16string PathFolder(std::u16string_view windowsPath);

}  // namespace platform
