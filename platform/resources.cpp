#include "platform/resources.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/text.h"

// Bounds of the resource section, provided by the linker when a program carries one.
extern "C" {
extern const char __start_lume_rsrc[] __attribute__((weak));
extern const char __stop_lume_rsrc[] __attribute__((weak));
}

namespace platform {

namespace {

constexpr std::string_view kMagic = "LUMERSRC";
constexpr std::string_view kSectionName = "lume_rsrc";

uint32_t ReadU16(std::string_view b, size_t at) {
  return uint8_t(b[at]) | uint32_t(uint8_t(b[at + 1])) << 8;
}
uint32_t ReadU32(std::string_view b, size_t at) { return ReadU16(b, at) | ReadU16(b, at + 2) << 16; }

// The section is aligned in the file, so the blob may be followed by padding; the
// magic marks its start.
std::string_view TrimToBlob(std::string_view section) {
  size_t at = section.find(kMagic);
  return at == std::string_view::npos ? std::string_view() : section.substr(at);
}

// Finds the resource section of a 64-bit ELF file in memory.
std::string_view FindElfSection(std::string_view file) {
  if (file.size() < sizeof(Elf64_Ehdr) || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0 ||
      file[EI_CLASS] != ELFCLASS64)
    return {};
  Elf64_Ehdr eh;
  std::memcpy(&eh, file.data(), sizeof eh);
  if (eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shoff == 0 ||
      eh.e_shoff + uint64_t(eh.e_shnum) * sizeof(Elf64_Shdr) > file.size() ||
      eh.e_shstrndx >= eh.e_shnum)
    return {};
  auto section = [&](size_t i) {
    Elf64_Shdr sh;
    std::memcpy(&sh, file.data() + eh.e_shoff + i * sizeof(Elf64_Shdr), sizeof sh);
    return sh;
  };
  Elf64_Shdr names = section(eh.e_shstrndx);
  if (names.sh_offset + names.sh_size > file.size()) return {};
  std::string_view nameTable = file.substr(names.sh_offset, names.sh_size);
  for (size_t i = 0; i < eh.e_shnum; ++i) {
    Elf64_Shdr sh = section(i);
    if (sh.sh_name >= nameTable.size()) continue;
    std::string_view name = nameTable.substr(sh.sh_name);
    name = name.substr(0, name.find('\0'));
    if (name == kSectionName && sh.sh_type == SHT_PROGBITS &&
        sh.sh_offset + sh.sh_size <= file.size())
      return file.substr(sh.sh_offset, sh.sh_size);
  }
  return {};
}

}  // namespace

const ResourceModule& ResourceModule::Self() {
  static const ResourceModule self(
      (__start_lume_rsrc && __stop_lume_rsrc)
          ? TrimToBlob(std::string_view(__start_lume_rsrc, size_t(__stop_lume_rsrc - __start_lume_rsrc)))
          : std::string_view());
  return self;
}

std::optional<ResourceModule> ResourceModule::LoadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  std::string bytes = ss.str();
  if (bytes.empty()) return std::nullopt;
  auto storage = std::make_shared<const std::string>(std::move(bytes));
  ResourceModule module(TrimToBlob(FindElfSection(*storage)));
  module.storage_ = std::move(storage);
  if (module.Empty()) return std::nullopt;
  return module;
}

std::optional<std::string_view> ResourceModule::Find(std::string_view type,
                                                     std::string_view name) const {
  std::string_view b = blob_;
  if (b.size() < 12 || b.substr(0, 8) != kMagic) return std::nullopt;
  uint32_t count = ReadU32(b, 8);
  size_t at = 12;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + 2 > b.size()) return std::nullopt;
    size_t typeLen = ReadU16(b, at);
    if (at + 2 + typeLen + 2 > b.size()) return std::nullopt;
    std::string_view entryType = b.substr(at + 2, typeLen);
    at += 2 + typeLen;
    size_t nameLen = ReadU16(b, at);
    if (at + 2 + nameLen + 8 > b.size()) return std::nullopt;
    std::string_view entryName = b.substr(at + 2, nameLen);
    at += 2 + nameLen;
    uint32_t offset = ReadU32(b, at), size = ReadU32(b, at + 4);
    at += 8;
    if (entryType == type && entryName == name) {
      if (uint64_t(offset) + size > b.size()) return std::nullopt;
      return b.substr(offset, size);
    }
  }
  return std::nullopt;
}

std::optional<std::string_view> ResourceModule::Find(std::string_view type, uint32_t id) const {
  return Find(type, std::to_string(id));
}

std::u16string ResourceModule::LoadString(uint32_t id) const {
  auto text = Find("STRING", id);
  return text ? Utf8ToUtf16(*text) : std::u16string();
}

}  // namespace platform
