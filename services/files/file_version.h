// The version block of a file: the fixed part (VS_FIXEDFILEINFO) of the RT_VERSION
// resource of a Windows PE file, found through the PE headers and the resource directory
// exactly where GetFileVersionInfoW / VerQueryValueW(L"\\") find it. Real Windows
// executables and the small test files of our own carry it the same way.
#pragma once

#include <cstdint>
#include <string_view>

struct VS_FIXEDFILEINFO {
  uint32_t dwSignature = 0;  // 0xFEEF04BD
  uint32_t dwStrucVersion = 0;
  uint32_t dwFileVersionMS = 0;
  uint32_t dwFileVersionLS = 0;
  uint32_t dwProductVersionMS = 0;
  uint32_t dwProductVersionLS = 0;
  uint32_t dwFileFlagsMask = 0;
  uint32_t dwFileFlags = 0;
  uint32_t dwFileOS = 0;
  uint32_t dwFileType = 0;
  uint32_t dwFileSubtype = 0;
  uint32_t dwFileDateMS = 0;
  uint32_t dwFileDateLS = 0;
};

inline constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

// Finds the fixed version block in the bytes of a PE file. Every offset is checked
// against the bytes given: a truncated or malformed file yields false, never a read
// outside `image`.
bool ReadFixedFileInfo(std::string_view image, VS_FIXEDFILEINFO* info);

// True when the file (a Windows path of the machine image) has a version block; fills
// `info` when it is given.
bool GetFileVersion(std::u16string_view path, VS_FIXEDFILEINFO* info);
