// The main program's single-instance mutex.
#pragma once

#include "platform/named_mutex.h"

// The process-wide holder of the single-instance mutex handle.
class Mutex {
 public:
  virtual ~Mutex() = default;
  platform::NamedMutex& Handle() { return handle_; }
  void Close() { handle_.Close(); }
  bool IsOpen() const { return handle_.IsOpen(); }

 private:
  platform::NamedMutex handle_;
};

inline constexpr char16_t kSingleInstanceMutexName[] = u"{077B1E2B-1515-4320-BA91-F5E063E00CB7}";

Mutex& SingleInstanceMutex();

// Creates the mutex owned by the caller in the logon session's namespace: 0 created,
// 1 the name already existed (another instance runs), or a failure HRESULT. The handle is
// kept in SingleInstanceMutex() in both success cases.
platform::HRESULT AcquireSingleInstance();
