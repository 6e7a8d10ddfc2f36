#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/machine.h"
#include "platform/text.h"

namespace platform {

NamedMutex::NamedMutex(NamedMutex&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

NamedMutex& NamedMutex::operator=(NamedMutex&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void NamedMutex::Close() {
  if (fd_ >= 0) close(fd_);  // closing the descriptor releases the lock
  fd_ = -1;
}

HRESULT NamedMutex::Create(std::u16string_view name, NamedMutex& out) {
  out.Close();
  const std::filesystem::path root = MachineRoot();
  if (root.empty()) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  if (name.empty() || name.size() > 260) return E_INVALIDARG;

  // "Local\" names are the session's own namespace, the same as a name without prefix;
  // "Global\" names are shared by all sessions.
  std::string space = "Local";
  if (name.size() > 6 && EqualsNoCase(name.substr(0, 6), u"Local\\")) {
    name.remove_prefix(6);
  } else if (name.size() > 7 && EqualsNoCase(name.substr(0, 7), u"Global\\")) {
    name.remove_prefix(7);
    space = "Global";
  }
  // Object names compare case-sensitively. Any name becomes a safe file name: letters,
  // digits, '-' and '_' stay, everything else (braces, backslashes, non-ASCII) is hex.
  std::string fileName;
  for (char16_t c : name) {
    if ((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
        c == u'-' || c == u'_') {
      fileName += char(c);
    } else {
      static const char* hex = "0123456789abcdef";
      fileName += '%';
      for (int shift = 12; shift >= 0; shift -= 4) fileName += hex[(c >> shift) & 0xF];
    }
  }
  std::error_code ec;
  std::filesystem::path dir = root / "session" / space;
  std::filesystem::create_directories(dir, ec);
  if (ec) return HRESULT_FROM_WIN32(Win32FromErrno(ec.value()));

  // Close-on-exec: a program we start must not keep our instance alive.
  int fd = open((dir / (fileName + ".lock")).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return HRESULT_FROM_WIN32(Win32FromErrno(errno));
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    out.fd_ = fd;
    return S_OK;
  }
  int err = errno;
  if (err == EWOULDBLOCK) {
    out.fd_ = fd;  // the name exists: an open handle that does not own the mutex
    return S_FALSE;
  }
  close(fd);
  return HRESULT_FROM_WIN32(Win32FromErrno(err));
}

}  // namespace platform
