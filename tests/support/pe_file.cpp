#include "tests/support/pe_file.h"

namespace testing_support {

namespace {

void Put16(std::string& s, size_t at, uint32_t v) {
  s[at] = char(v & 0xFF);
  s[at + 1] = char((v >> 8) & 0xFF);
}
void Put32(std::string& s, size_t at, uint32_t v) {
  Put16(s, at, v & 0xFFFF);
  Put16(s, at + 2, v >> 16);
}

}  // namespace

std::string MakePeFile(const PeFileOptions& options) {
  constexpr size_t kPe = 0x40, kCoff = kPe + 4, kOptional = kCoff + 20;
  constexpr uint32_t kSectionRva = 0x1000, kRaw = 0x200;
  const uint32_t optionalSize = options.pe64 ? 240 : 224;
  const size_t directories = kOptional + (options.pe64 ? 112 : 96);
  const size_t sectionTable = kOptional + optionalSize;

  // The resource section: root (type) -> name -> language -> data entry -> VS_VERSIONINFO.
  std::string rsrc(0x58 + 92, '\0');
  Put16(rsrc, 0x0E, 1);  // root: one id entry
  Put32(rsrc, 0x10, options.withVersion ? 16 : 3);  // RT_VERSION, or RT_ICON
  Put32(rsrc, 0x14, 0x80000000u | 0x18);
  Put16(rsrc, 0x18 + 0x0E, 1);  // names: VS_VERSION_INFO = 1
  Put32(rsrc, 0x18 + 0x10, 1);
  Put32(rsrc, 0x18 + 0x14, 0x80000000u | 0x30);
  Put16(rsrc, 0x30 + 0x0E, 1);  // languages: 0x409
  Put32(rsrc, 0x30 + 0x10, 0x409);
  Put32(rsrc, 0x30 + 0x14, 0x48);
  Put32(rsrc, 0x48, kSectionRva + 0x58);  // data entry: RVA and size of the block
  Put32(rsrc, 0x4C, 92);
  const size_t block = 0x58;
  Put16(rsrc, block, 92);      // wLength
  Put16(rsrc, block + 2, 52);  // wValueLength: the fixed part
  Put16(rsrc, block + 4, 0);   // wType: binary
  const char16_t key[] = u"VS_VERSION_INFO";
  for (size_t i = 0; i < sizeof(key) / sizeof(key[0]); ++i) Put16(rsrc, block + 6 + 2 * i, key[i]);
  const size_t fixed = block + 40;  // after the key, aligned to 4 bytes
  const uint16_t* v = options.version;
  Put32(rsrc, fixed, 0xFEEF04BD);
  Put32(rsrc, fixed + 4, 0x00010000);
  Put32(rsrc, fixed + 8, uint32_t(v[0]) << 16 | v[1]);   // dwFileVersionMS
  Put32(rsrc, fixed + 12, uint32_t(v[2]) << 16 | v[3]);  // dwFileVersionLS
  Put32(rsrc, fixed + 16, uint32_t(v[0]) << 16 | v[1]);  // product version: the same
  Put32(rsrc, fixed + 20, uint32_t(v[2]) << 16 | v[3]);
  Put32(rsrc, fixed + 32, 0x40004);  // VOS_NT_WINDOWS32
  Put32(rsrc, fixed + 36, 2);        // VFT_DLL
  const uint32_t rawSize = uint32_t((rsrc.size() + 0x1FF) & ~size_t(0x1FF));
  rsrc.resize(rawSize, '\0');

  std::string file(kRaw, '\0');
  file[0] = 'M', file[1] = 'Z';
  Put32(file, 0x3C, kPe);
  file.replace(kPe, 4, std::string("PE\0\0", 4));
  Put16(file, kCoff, options.pe64 ? 0x8664 : 0x14C);
  Put16(file, kCoff + 2, 1);  // one section
  Put16(file, kCoff + 16, optionalSize);
  Put16(file, kCoff + 18, 0x2102);  // executable, 32-bit machine, DLL
  Put16(file, kOptional, options.pe64 ? 0x20B : 0x10B);
  Put32(file, kOptional + (options.pe64 ? 108 : 92), 16);  // NumberOfRvaAndSizes
  Put32(file, directories + 2 * 8, kSectionRva);            // the resource directory
  Put32(file, directories + 2 * 8 + 4, 0x58 + 92);
  file.replace(sectionTable, 8, std::string(".rsrc\0\0\0", 8));
  Put32(file, sectionTable + 8, 0x58 + 92);  // VirtualSize
  Put32(file, sectionTable + 12, kSectionRva);
  Put32(file, sectionTable + 16, rawSize);
  Put32(file, sectionTable + 20, kRaw);
  Put32(file, sectionTable + 36, 0x40000040);  // initialised data, readable
  return file + rsrc;
}

}  // namespace testing_support
