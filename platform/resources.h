// The program's resources (string table, icons, pages), kept in the `lume_rsrc` section of
// the executable. A program reads its own; another program can open the file as a resource
// module, the way Windows loads a file with LoadLibraryEx(LOAD_LIBRARY_AS_DATAFILE).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class ResourceModule {
 public:
  // The running program's own resources (empty when it carries none).
  static const ResourceModule& Self();
  // Reads the resources of another program file; nullopt when the file cannot be read or
  // carries no resource section.
  static std::optional<ResourceModule> LoadFile(const std::filesystem::path& file);

  // Type "STRING", "ICON", "HTML", ...; name a decimal id or a resource name.
  std::optional<std::string_view> Find(std::string_view type, std::string_view name) const;
  std::optional<std::string_view> Find(std::string_view type, uint32_t id) const;
  // LoadString: the text of string resource `id`, empty when absent.
  std::u16string LoadString(uint32_t id) const;

  bool Empty() const { return blob_.empty(); }

 private:
  explicit ResourceModule(std::string_view blob) : blob_(blob) {}
  std::shared_ptr<const std::string> storage_;  // owns the bytes of a module read from a file
  std::string_view blob_;                       // the section's contents
};

}  // namespace platform
