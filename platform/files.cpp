#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>

#include "platform/environment.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

constexpr char16_t kSessionManagerKey[] =
    u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char16_t kPendingValue[] = u"PendingFileRenameOperations";
constexpr char16_t kNtPrefix[] = u"\\??\\";

// Read-modify-write of the restart list by the threads of this process, one at a time.
std::mutex g_pendingMutex;

LSTATUS LastErrno() { return Win32FromErrno(errno); }

// Whether the lock `type` could be placed on the file by a new open file description:
// F_UNLCK when nothing conflicts, otherwise the type of a conflicting lock.
short ConflictingLock(int fd, short type) {
  struct flock query {};
  query.l_type = type;
  query.l_whence = SEEK_SET;
  query.l_start = 0;
  query.l_len = 0;
  query.l_pid = 0;
  if (fcntl(fd, F_OFD_GETLK, &query) != 0) return F_UNLCK;
  return query.l_type;
}

// True when `line` of /proc/PID/maps maps the file `canonical`.
bool MapsLineNames(const std::string& line, const std::string& canonical) {
  // "start-end perms offset dev inode      /path/name"
  size_t slash = line.find('/');
  if (slash == std::string::npos) return false;
  std::string_view name(line.data() + slash, line.size() - slash);
  return name == canonical;
}

bool IsRunningImage(const fs::path& hostPath) {
  struct stat target {};
  if (stat(hostPath.c_str(), &target) != 0 || !S_ISREG(target.st_mode)) return false;
  std::error_code ec;
  const std::string canonical = fs::canonical(hostPath, ec).string();
  DIR* proc = opendir("/proc");
  if (!proc) return false;
  bool found = false;
  while (!found) {
    dirent* entry = readdir(proc);
    if (!entry) break;
    const char* name = entry->d_name;
    if (*name < '0' || *name > '9') continue;
    std::string base = std::string("/proc/") + name;
    struct stat exe {};
    if (stat((base + "/exe").c_str(), &exe) == 0 && exe.st_dev == target.st_dev &&
        exe.st_ino == target.st_ino) {
      found = true;
      break;
    }
    if (canonical.empty()) continue;
    std::ifstream maps(base + "/maps");
    for (std::string line; std::getline(maps, line);)
      if (MapsLineNames(line, canonical)) {
        found = true;
        break;
      }
  }
  closedir(proc);
  return found;
}

// The answer Windows gives for deleting, replacing or renaming a file in this use.
LSTATUS RemovalRefusal(FileUse use, bool renameOnly) {
  switch (use) {
    case FileUse::Open:
    case FileUse::Locked: return ERROR_SHARING_VIOLATION;
    case FileUse::RunningImage: return renameOnly ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    case FileUse::None: break;
  }
  return ERROR_SUCCESS;
}

bool Exists(const fs::path& host, struct stat* info = nullptr) {
  struct stat st {};
  if (lstat(host.c_str(), &st) != 0) return false;
  if (info) *info = st;
  return true;
}

// Copies `from` to a fresh temporary file beside `to` and returns its name; the caller
// renames it into place. On failure nothing is left behind.
LSTATUS CopyToTemporary(const fs::path& from, const fs::path& to, fs::path& temporary) {
  FileHandle in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.IsOpen()) return LastErrno();
  struct stat info {};
  if (fstat(in.Fd(), &info) != 0) return LastErrno();
  if (S_ISDIR(info.st_mode)) return ERROR_ACCESS_DENIED;
  std::string name(1, '.');
  name += to.filename().string();
  name += ".XXXXXX";
  std::string pattern = (to.parent_path() / name).string();
  FileHandle out(mkostemp(pattern.data(), O_CLOEXEC));
  if (!out.IsOpen()) return LastErrno();
  temporary = pattern;
  char buffer[1 << 16];
  LSTATUS status = ERROR_SUCCESS;
  for (;;) {
    ssize_t n = read(in.Fd(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      status = LastErrno();
      break;
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out.Fd(), buffer + done, size_t(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        status = LastErrno();
        break;
      }
      done += w;
    }
    if (status != ERROR_SUCCESS) break;
  }
  if (status == ERROR_SUCCESS && fchmod(out.Fd(), info.st_mode & 07777) != 0) status = LastErrno();
  if (status == ERROR_SUCCESS && fsync(out.Fd()) != 0) status = LastErrno();
  out.Close();
  if (status != ERROR_SUCCESS) unlink(temporary.c_str());
  return status;
}

// rename(2) that replaces the target or refuses an existing one.
LSTATUS RenameHost(const fs::path& from, const fs::path& to, bool replace) {
  int rc = replace ? rename(from.c_str(), to.c_str())
                   : renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  if (rc == 0) return ERROR_SUCCESS;
  if (errno == EEXIST || errno == ENOTEMPTY) return ERROR_ALREADY_EXISTS;
  if (errno == EXDEV) return ERROR_NOT_SAME_DEVICE;
  return LastErrno();
}

// The restart list is a sequence of (source, target) strings, each ending in a zero
// character; an empty target is a deletion. An empty source ends the list.
std::vector<uint8_t> EncodePending(const std::vector<PendingRename>& list) {
  std::u16string text;
  for (const auto& entry : list) {
    text += kNtPrefix;
    text += entry.from;
    text += u'\0';
    if (!entry.to.empty()) {
      if (entry.replace) text += u'!';
      text += kNtPrefix;
      text += entry.to;
    }
    text += u'\0';
  }
  text += u'\0';
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(uint8_t(c & 0xFF));
    bytes.push_back(uint8_t(c >> 8));
  }
  return bytes;
}

std::u16string StripNtPrefix(std::u16string_view path) {
  if (path.starts_with(kNtPrefix)) path.remove_prefix(std::char_traits<char16_t>::length(kNtPrefix));
  return std::u16string(path);
}

std::vector<PendingRename> DecodePending(const std::vector<uint8_t>& bytes) {
  std::vector<std::u16string> strings;
  std::u16string current;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char16_t c = char16_t(bytes[i] | (bytes[i + 1] << 8));
    if (c == 0) {
      strings.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  std::vector<PendingRename> list;
  for (size_t i = 0; i + 1 < strings.size() && !strings[i].empty(); i += 2) {
    PendingRename entry;
    entry.from = StripNtPrefix(strings[i]);
    std::u16string_view to = strings[i + 1];
    if (to.starts_with(u"!")) {
      entry.replace = true;
      to.remove_prefix(1);
    }
    entry.to = StripNtPrefix(to);
    list.push_back(std::move(entry));
  }
  return list;
}

LSTATUS OpenSessionManager(RegKey& key) {
  return RegKey::Create(Hive::LocalMachine, kSessionManagerKey, RegView::Reg64, key);
}

LSTATUS ReadPending(const RegKey& key, std::vector<PendingRename>& out) {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  LSTATUS rc = key.GetValue(kPendingValue, type, data);
  if (rc == ERROR_FILE_NOT_FOUND) {
    out.clear();
    return ERROR_SUCCESS;
  }
  if (rc != ERROR_SUCCESS) return rc;
  out = DecodePending(data);
  return ERROR_SUCCESS;
}

LSTATUS AddPending(PendingRename entry) {
  std::lock_guard lock(g_pendingMutex);
  RegKey key;
  if (LSTATUS rc = OpenSessionManager(key)) return rc;
  std::vector<PendingRename> list;
  if (LSTATUS rc = ReadPending(key, list)) return rc;
  list.push_back(std::move(entry));
  std::vector<uint8_t> bytes = EncodePending(list);
  return key.SetValue(kPendingValue, REG_MULTI_SZ, bytes.data(), uint32_t(bytes.size()));
}

template <typename F>
LSTATUS Guarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_GEN_FAILURE;
  }
}

}  // namespace

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.Release();
  }
  return *this;
}

int FileHandle::Release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void FileHandle::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

FileUse QueryFileUse(const fs::path& hostPath) {
  try {
    FileHandle file(open(hostPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (file.IsOpen()) {
      if (ConflictingLock(file.Fd(), F_RDLCK) != F_UNLCK) return FileUse::Locked;
      if (ConflictingLock(file.Fd(), F_WRLCK) != F_UNLCK) return FileUse::Open;
    }
    return IsRunningImage(hostPath) ? FileUse::RunningImage : FileUse::None;
  } catch (...) {
    return FileUse::None;
  }
}

bool PathFileExists(std::u16string_view path) {
  fs::path host;
  return MapToHost(path, host) == ERROR_SUCCESS && Exists(host);
}

LSTATUS CreateDirectory(std::u16string_view path) {
  return Guarded([&]() -> LSTATUS {
    fs::path host;
    if (LSTATUS rc = MapToHost(path, host)) return rc;
    if (mkdir(host.c_str(), 0755) == 0) return ERROR_SUCCESS;
    if (errno == EEXIST) return ERROR_ALREADY_EXISTS;
    if (errno == ENOENT) return ERROR_PATH_NOT_FOUND;
    return LastErrno();
  });
}

LSTATUS DeleteFile(std::u16string_view path) {
  return Guarded([&]() -> LSTATUS {
    fs::path host;
    if (LSTATUS rc = MapToHost(path, host)) return rc;
    struct stat info {};
    if (!Exists(host, &info)) return errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : LastErrno();
    if (S_ISDIR(info.st_mode)) return ERROR_ACCESS_DENIED;
    if (LSTATUS refused = RemovalRefusal(QueryFileUse(host), false)) return refused;
    return unlink(host.c_str()) == 0 ? ERROR_SUCCESS : LastErrno();
  });
}

LSTATUS MoveFileEx(std::u16string_view from, std::u16string_view to, uint32_t flags) {
  return Guarded([&]() -> LSTATUS {
    fs::path hostFrom, hostTo;
    if (LSTATUS rc = MapToHost(from, hostFrom)) return rc;
    if (!to.empty())
      if (LSTATUS rc = MapToHost(to, hostTo)) return rc;
    const bool replace = flags & MOVEFILE_REPLACE_EXISTING;
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
      auto fromPath = MapFromHost(hostFrom);
      std::optional<std::u16string> toPath;
      if (!to.empty()) toPath = MapFromHost(hostTo);
      if (!fromPath || (!to.empty() && !toPath)) return ERROR_INVALID_PARAMETER;
      return AddPending({*fromPath, toPath.value_or(u""), replace});
    }
    if (to.empty()) return ERROR_INVALID_PARAMETER;

    struct stat source {};
    if (!Exists(hostFrom, &source)) return errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : LastErrno();
    if (LSTATUS refused = RemovalRefusal(QueryFileUse(hostFrom), true)) return refused;
    struct stat target {};
    if (Exists(hostTo, &target)) {
      // Moving a file onto itself (another spelling of the same name) is a no-op rename.
      const bool same = target.st_dev == source.st_dev && target.st_ino == source.st_ino;
      if (!same) {
        if (!replace) return ERROR_ALREADY_EXISTS;
        if (S_ISDIR(target.st_mode)) return ERROR_ACCESS_DENIED;
        if (LSTATUS refused = RemovalRefusal(QueryFileUse(hostTo), false)) return refused;
      }
    }
    LSTATUS rc = RenameHost(hostFrom, hostTo, replace);
    if (rc != ERROR_NOT_SAME_DEVICE || !(flags & MOVEFILE_COPY_ALLOWED) || S_ISDIR(source.st_mode))
      return rc;
    // Another file system: copy beside the target, rename it into place, drop the source.
    fs::path temporary;
    if ((rc = CopyToTemporary(hostFrom, hostTo, temporary))) return rc;
    if ((rc = RenameHost(temporary, hostTo, replace))) {
      unlink(temporary.c_str());
      return rc;
    }
    unlink(hostFrom.c_str());
    return ERROR_SUCCESS;
  });
}

LSTATUS MoveFile(std::u16string_view from, std::u16string_view to) {
  return MoveFileEx(from, to, MOVEFILE_COPY_ALLOWED);
}

LSTATUS CopyFile(std::u16string_view from, std::u16string_view to, bool failIfExists) {
  return Guarded([&]() -> LSTATUS {
    fs::path hostFrom, hostTo;
    if (LSTATUS rc = MapToHost(from, hostFrom)) return rc;
    if (LSTATUS rc = MapToHost(to, hostTo)) return rc;
    struct stat source {};
    if (stat(hostFrom.c_str(), &source) != 0)
      return errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : LastErrno();
    if (S_ISDIR(source.st_mode)) return ERROR_ACCESS_DENIED;
    // Copying reads while letting the holder go on writing; only a file held without any
    // sharing cannot be copied.
    if (QueryFileUse(hostFrom) == FileUse::Locked) return ERROR_SHARING_VIOLATION;
    struct stat target {};
    if (Exists(hostTo, &target)) {
      if (failIfExists) return ERROR_FILE_EXISTS;
      if (S_ISDIR(target.st_mode)) return ERROR_ACCESS_DENIED;
      if (target.st_dev == source.st_dev && target.st_ino == source.st_ino)
        return ERROR_SHARING_VIOLATION;  // a file cannot be copied onto itself
      if (QueryFileUse(hostTo) != FileUse::None) return ERROR_SHARING_VIOLATION;
    }
    fs::path temporary;
    if (LSTATUS rc = CopyToTemporary(hostFrom, hostTo, temporary)) return rc;
    LSTATUS rc = RenameHost(temporary, hostTo, !failIfExists);
    if (rc == ERROR_ALREADY_EXISTS) rc = ERROR_FILE_EXISTS;
    if (rc != ERROR_SUCCESS) unlink(temporary.c_str());
    return rc;
  });
}

std::u16string GetTempPath() {
  for (std::u16string_view name : {u"TMP", u"TEMP", u"USERPROFILE"}) {
    std::optional<std::u16string> value = GetEnvironmentVariable(name);
    if (value && !value->empty()) {
      if (value->back() != u'\\') *value += u'\\';
      return *value;
    }
  }
  return u"C:\\Windows\\";
}

LSTATUS OpenFileForReading(std::u16string_view path, FileHandle& out) {
  return Guarded([&]() -> LSTATUS {
    out.Close();
    fs::path host;
    if (LSTATUS rc = MapToHost(path, host)) return rc;
    FileUse use = QueryFileUse(host);
    if (use == FileUse::Open || use == FileUse::Locked) return ERROR_SHARING_VIOLATION;
    FileHandle file(open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!file.IsOpen()) return errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : LastErrno();
    struct stat info {};
    if (fstat(file.Fd(), &info) != 0) return LastErrno();
    if (S_ISDIR(info.st_mode)) return ERROR_ACCESS_DENIED;
    out = std::move(file);
    return ERROR_SUCCESS;
  });
}

LSTATUS FileHold::Acquire(std::u16string_view path, FileUse use, FileHold& out) {
  return Guarded([&]() -> LSTATUS {
    if (use != FileUse::Open && use != FileUse::Locked) return ERROR_INVALID_PARAMETER;
    fs::path host;
    if (LSTATUS rc = MapToHost(path, host)) return rc;
    const bool exclusive = use == FileUse::Locked;
    FileHandle file(open(host.c_str(), (exclusive ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY));
    if (!file.IsOpen()) return LastErrno();
    struct flock lock {};
    lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(file.Fd(), F_OFD_SETLK, &lock) != 0)
      return errno == EAGAIN || errno == EACCES ? ERROR_SHARING_VIOLATION : LastErrno();
    out.file_ = std::move(file);
    return ERROR_SUCCESS;
  });
}

LSTATUS GetPendingFileRenames(std::vector<PendingRename>& out) {
  return Guarded([&]() -> LSTATUS {
    std::lock_guard lock(g_pendingMutex);
    RegKey key;
    LSTATUS rc = RegKey::Open(Hive::LocalMachine, kSessionManagerKey, RegView::Reg64, key);
    if (rc == ERROR_FILE_NOT_FOUND) {
      out.clear();
      return ERROR_SUCCESS;
    }
    if (rc != ERROR_SUCCESS) return rc;
    return ReadPending(key, out);
  });
}

LSTATUS RunPendingFileRenames() {
  return Guarded([&]() -> LSTATUS {
    std::lock_guard lock(g_pendingMutex);
    RegKey key;
    if (LSTATUS rc = OpenSessionManager(key)) return rc;
    std::vector<PendingRename> list;
    if (LSTATUS rc = ReadPending(key, list)) return rc;
    LSTATUS first = ERROR_SUCCESS;
    for (const auto& entry : list) {
      // Nothing runs while Windows restarts: files in use do not matter here.
      fs::path from, to;
      LSTATUS rc = MapToHost(entry.from, from);
      if (rc == ERROR_SUCCESS && entry.to.empty()) {
        std::error_code ec;
        if (!fs::remove(from, ec)) rc = ec ? Win32FromErrno(ec.value()) : ERROR_FILE_NOT_FOUND;
      } else if (rc == ERROR_SUCCESS && (rc = MapToHost(entry.to, to)) == ERROR_SUCCESS) {
        rc = RenameHost(from, to, entry.replace);
      }
      if (rc != ERROR_SUCCESS && first == ERROR_SUCCESS) first = rc;
    }
    LSTATUS rc = key.DeleteValue(kPendingValue);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && first == ERROR_SUCCESS) first = rc;
    return first;
  });
}

}  // namespace platform
