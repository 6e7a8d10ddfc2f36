// Win32 error codes and HRESULTs with their Windows values, so that code above the
// platform layer reports and compares failures exactly as it would on Windows.
#pragma once

#include <cstdint>

namespace platform {

using HRESULT = int32_t;
using LSTATUS = int32_t;  // a Win32 error code (registry functions return these)

// Win32 error codes.
inline constexpr LSTATUS ERROR_SUCCESS = 0;
inline constexpr LSTATUS ERROR_INVALID_FUNCTION = 1;
inline constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
inline constexpr LSTATUS ERROR_PATH_NOT_FOUND = 3;
inline constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
inline constexpr LSTATUS ERROR_INVALID_HANDLE = 6;
inline constexpr LSTATUS ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr LSTATUS ERROR_INVALID_DATA = 13;
inline constexpr LSTATUS ERROR_NOT_SAME_DEVICE = 17;
inline constexpr LSTATUS ERROR_WRITE_FAULT = 29;
inline constexpr LSTATUS ERROR_READ_FAULT = 30;
inline constexpr LSTATUS ERROR_GEN_FAILURE = 31;
inline constexpr LSTATUS ERROR_SHARING_VIOLATION = 32;
inline constexpr LSTATUS ERROR_HANDLE_EOF = 38;
inline constexpr LSTATUS ERROR_NOT_SUPPORTED = 50;
inline constexpr LSTATUS ERROR_FILE_EXISTS = 80;
inline constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
inline constexpr LSTATUS ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr LSTATUS ERROR_INVALID_NAME = 123;
inline constexpr LSTATUS ERROR_BAD_PATHNAME = 161;
inline constexpr LSTATUS ERROR_ALREADY_EXISTS = 183;
inline constexpr LSTATUS ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr LSTATUS ERROR_MORE_DATA = 234;
inline constexpr LSTATUS ERROR_NO_MORE_ITEMS = 259;
inline constexpr LSTATUS ERROR_BADDB = 1009;
inline constexpr LSTATUS ERROR_BADKEY = 1010;
inline constexpr LSTATUS ERROR_CANTOPEN = 1011;
inline constexpr LSTATUS ERROR_CANTREAD = 1012;
inline constexpr LSTATUS ERROR_CANTWRITE = 1013;
inline constexpr LSTATUS ERROR_REGISTRY_CORRUPT = 1015;
inline constexpr LSTATUS ERROR_KEY_DELETED = 1018;
inline constexpr LSTATUS ERROR_CHILD_MUST_BE_VOLATILE = 1021;
inline constexpr LSTATUS ERROR_TIMEOUT = 1460;

// WinHTTP error codes (the HTTP agent reports failures with these, as WinHTTP does).
inline constexpr LSTATUS ERROR_WINHTTP_TIMEOUT = 12002;
inline constexpr LSTATUS ERROR_WINHTTP_INTERNAL_ERROR = 12004;
inline constexpr LSTATUS ERROR_WINHTTP_INVALID_URL = 12005;
inline constexpr LSTATUS ERROR_WINHTTP_UNRECOGNIZED_SCHEME = 12006;
inline constexpr LSTATUS ERROR_WINHTTP_NAME_NOT_RESOLVED = 12007;
inline constexpr LSTATUS ERROR_WINHTTP_OPERATION_CANCELLED = 12017;
inline constexpr LSTATUS ERROR_WINHTTP_CANNOT_CONNECT = 12029;
inline constexpr LSTATUS ERROR_WINHTTP_CONNECTION_ERROR = 12030;
inline constexpr LSTATUS ERROR_WINHTTP_INVALID_SERVER_RESPONSE = 12152;
inline constexpr LSTATUS ERROR_WINHTTP_REDIRECT_FAILED = 12156;
inline constexpr LSTATUS ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR = 12178;
inline constexpr LSTATUS ERROR_WINHTTP_SECURE_FAILURE = 12175;

// HRESULTs.
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = int32_t(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = int32_t(0x80004002u);
inline constexpr HRESULT E_POINTER = int32_t(0x80004003u);
inline constexpr HRESULT E_ABORT = int32_t(0x80004004u);
inline constexpr HRESULT E_FAIL = int32_t(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = int32_t(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = int32_t(0x80070005u);
inline constexpr HRESULT E_HANDLE = int32_t(0x80070006u);
inline constexpr HRESULT E_OUTOFMEMORY = int32_t(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = int32_t(0x80070057u);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = int32_t(0x80020004u);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

constexpr HRESULT HRESULT_FROM_WIN32(LSTATUS code) {
  return code <= 0 ? HRESULT(code) : HRESULT((uint32_t(code) & 0xFFFFu) | 0x80070000u);
}

// The error code of the last failed platform call on this thread, like GetLastError.
LSTATUS GetLastError();
void SetLastError(LSTATUS code);

// Maps a POSIX errno value onto the Win32 code Windows reports for the same condition.
LSTATUS Win32FromErrno(int err);

}  // namespace platform
