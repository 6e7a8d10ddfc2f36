// Named mutexes local to the user's logon session (the "Local\" namespace), as used for
// single-instance checks. A name exists while some process holds it open; the stand-in
// keeps one lock file per name in the machine image and holds an flock on it.
#pragma once

#include <string>
#include <string_view>

#include "platform/errors.h"

namespace platform {

class NamedMutex {
 public:
  NamedMutex() = default;
  NamedMutex(NamedMutex&& other) noexcept;
  NamedMutex& operator=(NamedMutex&& other) noexcept;
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;
  ~NamedMutex() { Close(); }

  // CreateMutex(bInitialOwner = TRUE): S_OK when this call created the name and owns it;
  // S_FALSE when the name already existed (the handle is open but not owned, as with
  // ERROR_ALREADY_EXISTS); a failure HRESULT otherwise.
  static HRESULT Create(std::u16string_view name, NamedMutex& out);

  bool IsOpen() const { return fd_ >= 0; }
  void Close();

 private:
  int fd_ = -1;
};

}  // namespace platform
