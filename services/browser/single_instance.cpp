#include "services/browser/single_instance.h"

Mutex& SingleInstanceMutex() {
  static Mutex mutex;
  return mutex;
}

platform::HRESULT AcquireSingleInstance() {
  platform::NamedMutex handle;
  platform::HRESULT hr = platform::NamedMutex::Create(kSingleInstanceMutexName, handle);
  if (platform::FAILED(hr))
    return hr == platform::HRESULT_FROM_WIN32(platform::ERROR_INVALID_HANDLE) ? platform::E_INVALIDARG
                                                                             : hr;
  SingleInstanceMutex().Handle() = std::move(handle);
  return hr == platform::S_FALSE ? 1 : 0;
}
