#include "services/files/file_helpers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "services/process_state.h"

using namespace platform;

namespace {

HRESULT Win32(LSTATUS code) { return HRESULT_FROM_WIN32(code); }

bool IsRefusedNameChar(char16_t c) {
  return c < 0x20 || c == 0x7F || c == u'\\' || c == u'/' || c == u':' || c == u'<' ||
         c == u'>' || c == u'"' || c == u'|' || c == u'?' || c == u'*';
}

std::u16string JoinPath(std::u16string folder, std::u16string_view name) {
  if (!folder.empty() && folder.back() != u'\\' && folder.back() != u'/') folder += u'\\';
  folder += name;
  return folder;
}

// Reads exactly the file's size from an open file.
HRESULT ReadOpened(const FileHandle& file, std::string& bytes) {
  struct stat info {};
  if (fstat(file.Fd(), &info) != 0) return Win32(Win32FromErrno(errno));
  std::string buffer;
  try {
    buffer.resize(size_t(info.st_size));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::length_error&) {
    return E_OUTOFMEMORY;
  }
  size_t done = 0;
  while (done < buffer.size()) {
    ssize_t n = read(file.Fd(), buffer.data() + done, buffer.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Win32(Win32FromErrno(errno));
    if (n == 0) break;
    done += size_t(n);
  }
  if (done < buffer.size()) return Win32(ERROR_HANDLE_EOF);
  bytes = std::move(buffer);
  return S_OK;
}

}  // namespace

std::u16string DownloadFileName(std::u16string_view url) {
  std::u16string_view text = url.substr(0, url.find_first_of(u"?#"));
  size_t slash = text.rfind(u'/');
  // "http://host" names no file: its only slashes belong to the scheme.
  size_t scheme = text.find(u"://");
  if (scheme != std::u16string_view::npos && slash != std::u16string_view::npos &&
      slash <= scheme + 2)
    return {};
  std::u16string_view name = slash == std::u16string_view::npos ? text : text.substr(slash + 1);
  if (name.empty() || name == u"." || name == u"..") return {};
  if (std::any_of(name.begin(), name.end(), IsRefusedNameChar)) return {};
  // Windows drops trailing dots and spaces: a name of nothing else names the folder.
  if (name.find_first_not_of(u". ") == std::u16string_view::npos) return {};
  return std::u16string(name);
}

std::u16string DownloadTarget(std::u16string_view url) {
  try {
    std::u16string name = DownloadFileName(url);
    if (name.empty()) return {};
    std::u16string folder;
    if (OptionTable::Instance().Get(kOptionDownloadBesideProgram) != 0) {
      folder = JoinPath(ModuleFolder(), u"Download");
      if (!PathFileExists(folder)) {
        LSTATUS rc = CreateDirectory(folder);
        if (rc != ERROR_SUCCESS && rc != ERROR_ALREADY_EXISTS) return {};
      }
    } else {
      folder = GetTempPath();
    }
    std::u16string target = JoinPath(folder, name);
    // The name may still be one the file system refuses (a reserved device name, too long).
    std::filesystem::path host;
    if (MapToHost(target, host) != ERROR_SUCCESS) return {};
    return target;
  } catch (...) {
    return {};
  }
}

HRESULT MoveIntoPlace(std::u16string_view source, std::u16string_view target) {
  try {
    if (!PathFileExists(source)) return E_FAIL;
    // Replacing in one step keeps the good target until the new file is in place.
    LSTATUS rc = MoveFileEx(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
    if (rc == ERROR_SUCCESS) return S_OK;
    if ((rc != ERROR_ACCESS_DENIED && rc != ERROR_SHARING_VIOLATION) || !PathFileExists(target))
      return Win32(rc);

    // The target is in use: move it aside, then move the new file in.
    const std::u16string old = std::u16string(target) + u".old";
    DeleteFile(old);
    if (MoveFile(target, old) != ERROR_SUCCESS) {
      // Not even that: Windows replaces it while restarting.
      rc = MoveFileEx(source, target, MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING);
      return rc == ERROR_SUCCESS ? 1 : Win32(rc);
    }
    rc = MoveFile(source, target);
    if (rc != ERROR_SUCCESS) {
      // Put the good file back rather than leave no file at all.
      MoveFile(old, target);
      return Win32(rc);
    }
    MoveFileEx(old, u"", MOVEFILE_DELAY_UNTIL_REBOOT);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ReadWholeFile(std::u16string_view path, std::string& bytes, uint32_t /*attributes*/) {
  try {
    FileHandle file;
    LSTATUS opened = OpenFileForReading(path, file);
    if (opened == ERROR_SUCCESS) return ReadOpened(file, bytes);

    // Held by a writer: read a copy. An unrelated file already bearing the copy's name is
    // left alone; the next free numbered name is used instead.
    std::u16string copy;
    LSTATUS copied = ERROR_FILE_EXISTS;
    for (int n = 0; n < 100 && copied == ERROR_FILE_EXISTS; ++n) {
      copy.assign(path);
      if (n > 0) {
        copy += u'.';
        copy += Utf8ToUtf16(std::to_string(n));
      }
      copy += u".copy";
      copied = CopyFile(path, copy, true);
    }
    if (copied != ERROR_SUCCESS) return Win32(opened);
    FileHandle copyFile;
    LSTATUS rc = OpenFileForReading(copy, copyFile);
    if (rc != ERROR_SUCCESS) {
      DeleteFile(copy);
      return Win32(rc);
    }
    HRESULT hr = ReadOpened(copyFile, bytes);
    copyFile.Close();
    DeleteFile(copy);
    return hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

std::u16string ExpandPath(std::u16string_view text) {
  if (text.empty()) return {};
  return ExpandEnvironmentStrings(text);
}
