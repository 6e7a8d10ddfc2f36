#include "services/files/file_version.h"

#include <cstring>
#include <optional>
#include <string>

#include "services/files/file_helpers.h"

namespace {

constexpr uint32_t kResourceDirectoryIndex = 2;  // IMAGE_DIRECTORY_ENTRY_RESOURCE
constexpr uint32_t kRtVersion = 16;              // RT_VERSION
constexpr uint32_t kSubdirectoryBit = 0x80000000u;
constexpr size_t kFixedInfoSize = 52;

// Little-endian reads that fail instead of leaving the bytes.
class Bytes {
 public:
  explicit Bytes(std::string_view data) : data_(data) {}
  size_t size() const { return data_.size(); }

  bool Has(uint64_t offset, uint64_t length) const {
    return offset <= data_.size() && length <= data_.size() - offset;
  }
  std::optional<uint16_t> U16(uint64_t offset) const {
    if (!Has(offset, 2)) return std::nullopt;
    auto* p = reinterpret_cast<const unsigned char*>(data_.data() + offset);
    return uint16_t(p[0] | (p[1] << 8));
  }
  std::optional<uint32_t> U32(uint64_t offset) const {
    if (!Has(offset, 4)) return std::nullopt;
    auto* p = reinterpret_cast<const unsigned char*>(data_.data() + offset);
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) |
           (uint32_t(p[3]) << 24);
  }

 private:
  std::string_view data_;
};

struct Section {
  uint32_t virtualAddress;
  uint32_t virtualSize;
  uint32_t rawSize;
  uint32_t rawOffset;
};

// The file offset of a relative virtual address, when the address lies in the file-backed
// part of a section.
std::optional<uint64_t> RvaToOffset(const Bytes& file, uint64_t sectionTable,
                                    uint16_t sectionCount, uint32_t rva) {
  for (uint16_t i = 0; i < sectionCount; ++i) {
    uint64_t at = sectionTable + uint64_t(i) * 40;
    auto vsize = file.U32(at + 8), va = file.U32(at + 12), raw = file.U32(at + 16),
         ptr = file.U32(at + 20);
    if (!vsize || !va || !raw || !ptr) return std::nullopt;
    if (rva < *va) continue;
    uint64_t delta = uint64_t(rva) - *va;
    uint64_t extent = *vsize ? *vsize : *raw;
    if (delta >= extent) continue;
    if (delta >= *raw) return std::nullopt;  // in the section's zero-filled tail
    return uint64_t(*ptr) + delta;
  }
  return std::nullopt;
}

// The offset (relative to the resource directory) of the entry of a directory that
// matches `id`, or of its first entry when `id` is not given.
std::optional<uint32_t> FindEntry(const Bytes& file, uint64_t root, uint32_t directory,
                                  std::optional<uint32_t> id, bool wantSubdirectory) {
  uint64_t at = root + directory;
  auto named = file.U16(at + 12), ids = file.U16(at + 14);
  if (!named || !ids) return std::nullopt;
  uint32_t count = uint32_t(*named) + *ids;
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t entry = at + 16 + uint64_t(i) * 8;
    auto name = file.U32(entry), target = file.U32(entry + 4);
    if (!name || !target) return std::nullopt;
    if (id && ((*name & kSubdirectoryBit) || *name != *id)) continue;
    if (bool((*target & kSubdirectoryBit)) != wantSubdirectory) return std::nullopt;
    return *target & ~kSubdirectoryBit;
  }
  return std::nullopt;
}

bool ParseVersionBlock(const Bytes& file, uint64_t at, uint64_t size, VS_FIXEDFILEINFO* info) {
  static const char16_t kKey[] = u"VS_VERSION_INFO";
  constexpr uint64_t kKeyOffset = 6, kKeyBytes = sizeof(kKey);  // with its terminator
  constexpr uint64_t kValueOffset = (kKeyOffset + kKeyBytes + 3) & ~uint64_t(3);
  if (!file.Has(at, size) || size < kValueOffset + kFixedInfoSize) return false;
  auto length = file.U16(at), valueLength = file.U16(at + 2);
  if (!length || !valueLength || *length < kValueOffset + kFixedInfoSize || *length > size ||
      *valueLength < kFixedInfoSize)
    return false;
  for (size_t i = 0; i < sizeof(kKey) / sizeof(kKey[0]); ++i)
    if (file.U16(at + kKeyOffset + 2 * i) != uint16_t(kKey[i])) return false;
  uint32_t words[kFixedInfoSize / 4];
  for (size_t i = 0; i < kFixedInfoSize / 4; ++i) words[i] = *file.U32(at + kValueOffset + 4 * i);
  if (words[0] != kFixedFileInfoSignature) return false;
  if (info) std::memcpy(info, words, sizeof(words));
  return true;
}

}  // namespace

static_assert(sizeof(VS_FIXEDFILEINFO) == kFixedInfoSize);

bool ReadFixedFileInfo(std::string_view image, VS_FIXEDFILEINFO* info) {
  Bytes file(image);
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return false;
  auto peOffset = file.U32(0x3C);
  if (!peOffset || !file.Has(*peOffset, 24) || image.compare(*peOffset, 4, "PE\0\0", 4) != 0)
    return false;
  uint64_t coff = uint64_t(*peOffset) + 4;
  auto sectionCount = file.U16(coff + 2), optionalSize = file.U16(coff + 16);
  uint64_t optional = coff + 20;
  auto magic = file.U16(optional);
  if (!sectionCount || !optionalSize || !magic) return false;

  // PE32 and PE32+ differ only in where the data directories start.
  uint64_t countAt, directoriesAt;
  if (*magic == 0x10B) {
    countAt = 92, directoriesAt = 96;
  } else if (*magic == 0x20B) {
    countAt = 108, directoriesAt = 112;
  } else {
    return false;
  }
  auto directoryCount = file.U32(optional + countAt);
  if (!directoryCount || *directoryCount <= kResourceDirectoryIndex ||
      directoriesAt + (kResourceDirectoryIndex + 1) * 8 > *optionalSize)
    return false;
  auto resourceRva = file.U32(optional + directoriesAt + kResourceDirectoryIndex * 8);
  if (!resourceRva || *resourceRva == 0) return false;

  uint64_t sectionTable = optional + *optionalSize;
  auto root = RvaToOffset(file, sectionTable, *sectionCount, *resourceRva);
  if (!root) return false;

  // The resource tree has exactly three levels: type, name, language.
  auto names = FindEntry(file, *root, 0, kRtVersion, true);
  if (!names) return false;
  auto languages = FindEntry(file, *root, *names, std::nullopt, true);
  if (!languages) return false;
  auto leaf = FindEntry(file, *root, *languages, std::nullopt, false);
  if (!leaf) return false;
  auto dataRva = file.U32(*root + *leaf), dataSize = file.U32(*root + *leaf + 4);
  if (!dataRva || !dataSize) return false;
  auto data = RvaToOffset(file, sectionTable, *sectionCount, *dataRva);
  if (!data) return false;
  return ParseVersionBlock(file, *data, *dataSize, info);
}

bool GetFileVersion(std::u16string_view path, VS_FIXEDFILEINFO* info) {
  std::string bytes;
  if (ReadWholeFile(path, bytes) < 0) return false;
  return ReadFixedFileInfo(bytes, info);
}
