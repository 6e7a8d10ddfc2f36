// File operations on Windows paths of the machine image (DeleteFileW, MoveFileExW,
// CopyFileW, ...) with the Windows answers the program relies on: a file that another
// program holds cannot be deleted or replaced, and a move can be left for the next restart.
//
// Files in use are emulated with real Linux facts, so that any process on the machine
// image (a test, a started program) can put a file into use:
//   FileUse::Open          another program has the file open for writing and lets others
//                          read and write (a log being written). Opening it for reading
//                          while refusing writers fails; copying it works; deleting,
//                          renaming and overwriting it fail with ERROR_SHARING_VIOLATION.
//                          Held as an open-file-description read lock (F_OFD_SETLK).
//   FileUse::Locked        another program has the file open without any sharing:
//                          everything fails with ERROR_SHARING_VIOLATION. Held as an
//                          open-file-description write lock.
//   FileUse::RunningImage  the file is the program of a running process or a library
//                          mapped into one: it can be read and renamed, but deleting or
//                          replacing it fails with ERROR_ACCESS_DENIED and writing to it
//                          with ERROR_SHARING_VIOLATION.
//
// Moves left for the next restart are kept where Windows keeps them: the REG_MULTI_SZ value
// PendingFileRenameOperations of HKLM\SYSTEM\CurrentControlSet\Control\Session Manager, as
// pairs of "\??\C:\source" and "\??\C:\target" ("!\??\..." when the target is replaced,
// empty when the source is to be deleted). RunPendingFileRenames does what Windows does with
// them while it restarts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace platform {

inline constexpr uint32_t MOVEFILE_REPLACE_EXISTING = 0x1;
inline constexpr uint32_t MOVEFILE_COPY_ALLOWED = 0x2;
inline constexpr uint32_t MOVEFILE_DELAY_UNTIL_REBOOT = 0x4;

enum class FileUse { None, Open, Locked, RunningImage };

// How other programs use the host file right now (None for a missing file).
FileUse QueryFileUse(const std::filesystem::path& hostPath);

// PathFileExistsW: a file or folder.
bool PathFileExists(std::u16string_view path);
// CreateDirectoryW: one folder; ERROR_ALREADY_EXISTS when it exists, ERROR_PATH_NOT_FOUND
// when its parent does not.
LSTATUS CreateDirectory(std::u16string_view path);
// DeleteFileW: a file (a folder is ERROR_ACCESS_DENIED).
LSTATUS DeleteFile(std::u16string_view path);
// MoveFileExW. Without MOVEFILE_REPLACE_EXISTING an existing target is ERROR_ALREADY_EXISTS;
// with it the target is replaced in one step. With MOVEFILE_DELAY_UNTIL_REBOOT nothing moves
// now: the pair is added to the restart list (an empty `to` deletes `from` at restart).
LSTATUS MoveFileEx(std::u16string_view from, std::u16string_view to, uint32_t flags);
// MoveFileW: MoveFileEx with MOVEFILE_COPY_ALLOWED.
LSTATUS MoveFile(std::u16string_view from, std::u16string_view to);
// CopyFileW. The copy appears under its name only when complete.
LSTATUS CopyFile(std::u16string_view from, std::u16string_view to, bool failIfExists);
// GetTempPathW: %TMP%, %TEMP%, %USERPROFILE% or the Windows folder, with a trailing
// backslash.
std::u16string GetTempPath();

// An open file descriptor, closed with the object.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  FileHandle(FileHandle&& other) noexcept : fd_(other.Release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { Close(); }

  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  int Release();
  void Close();

 private:
  int fd_ = -1;
};

// CreateFileW(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING): refused while another program
// has the file open for writing.
LSTATUS OpenFileForReading(std::u16string_view path, FileHandle& out);

// Puts a file into use as another program would (tests and tools): kept until the object
// is destroyed. `use` is FileUse::Open or FileUse::Locked.
class FileHold {
 public:
  static LSTATUS Acquire(std::u16string_view path, FileUse use, FileHold& out);

 private:
  FileHandle file_;
};

struct PendingRename {
  std::u16string from;  // Windows path
  std::u16string to;    // Windows path, empty: delete `from`
  bool replace = false;
};

// The restart list in its order.
LSTATUS GetPendingFileRenames(std::vector<PendingRename>& out);
// Carries out the restart list as Windows does while it restarts, then empties it. An entry
// that fails is skipped (as Windows skips it); the first failure is returned.
LSTATUS RunPendingFileRenames();

}  // namespace platform
