// Minimal Windows PE files for tests: an MZ header, PE headers, one .rsrc section and a
// resource tree holding a VS_VERSIONINFO block, as a resource compiler lays them out.
#pragma once

#include <cstdint>
#include <string>

namespace testing_support {

struct PeFileOptions {
  uint16_t version[4] = {1, 0, 0, 0};  // the file version a.b.c.d
  bool pe64 = false;                   // PE32+ (x64) instead of PE32
  bool withVersion = true;             // false: a resource tree without RT_VERSION
};

std::string MakePeFile(const PeFileOptions& options = {});
inline std::string MakePeFile(uint16_t a, uint16_t b, uint16_t c, uint16_t d, bool pe64 = false) {
  PeFileOptions options;
  options.version[0] = a, options.version[1] = b, options.version[2] = c, options.version[3] = d;
  options.pe64 = pe64;
  return MakePeFile(options);
}

}  // namespace testing_support
