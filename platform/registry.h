// The registry of the machine image: an SQLite database with Windows semantics.
//
// Hives HKEY_LOCAL_MACHINE and HKEY_USERS are stored; HKEY_CURRENT_USER is the image
// user's key under HKEY_USERS and HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes,
// as on Windows. Values keep their Windows bytes (REG_SZ as UTF-16LE with its terminator).
// Names are matched without regard to case and keep the case they were created with.
//
// On a 64-bit image the 32-bit view redirects the keys that WOW64 redirects
// (HKLM\SOFTWARE and the class-registration keys) into WOW6432Node. The running program's
// own view (View::Process) is the 32-bit view on a 64-bit image, because Lumedesk is a
// 32-bit program on 64-bit Windows.
//
// Every write is one transaction; the database may be used from several threads and
// several processes at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace platform {

enum class Hive { ClassesRoot, CurrentUser, LocalMachine, Users };

// KEY_WOW64_32KEY / KEY_WOW64_64KEY, or neither (the running program's view).
enum class RegView { Process, Reg32, Reg64 };

inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_DWORD_BIG_ENDIAN = 5;
inline constexpr uint32_t REG_LINK = 6;
inline constexpr uint32_t REG_MULTI_SZ = 7;
inline constexpr uint32_t REG_QWORD = 11;

// Windows limits: a key name component, a value name, and the nesting depth.
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxValueNameLength = 16383;
inline constexpr size_t kMaxKeyDepth = 512;

class RegistryDatabase;

// An open key, the counterpart of an HKEY. Cheap to copy; closing is automatic.
// Operations on a key that was deleted after it was opened fail with ERROR_KEY_DELETED.
class RegKey {
 public:
  RegKey() = default;

  bool IsOpen() const { return db_ != nullptr; }
  void Close();

  // Opens or creates `subKey` (backslash-separated, may be empty for the key itself).
  // A predefined key is opened with the static forms below.
  static LSTATUS Open(Hive hive, std::u16string_view subKey, RegView view, RegKey& out);
  static LSTATUS Create(Hive hive, std::u16string_view subKey, RegView view, RegKey& out,
                        bool* created = nullptr);
  LSTATUS OpenSubKey(std::u16string_view subKey, RegKey& out) const;
  LSTATUS CreateSubKey(std::u16string_view subKey, RegKey& out, bool* created = nullptr) const;

  // RegQueryValueEx: with `data` null, reports the size; with a buffer that is too small,
  // returns ERROR_MORE_DATA and the required size in *size. An empty name is the default
  // value. A missing value is ERROR_FILE_NOT_FOUND.
  LSTATUS QueryValue(std::u16string_view name, uint32_t* type, uint8_t* data,
                     uint32_t* size) const;
  // Reads the whole value.
  LSTATUS GetValue(std::u16string_view name, uint32_t& type, std::vector<uint8_t>& data) const;
  LSTATUS SetValue(std::u16string_view name, uint32_t type, const uint8_t* data, uint32_t size) const;
  LSTATUS DeleteValue(std::u16string_view name) const;

  // RegDeleteKeyEx: deletes one key that has no subkeys (ERROR_ACCESS_DENIED when it has).
  LSTATUS DeleteSubKey(std::u16string_view subKey) const;
  // RegDeleteTree: the subkey with everything under it; an empty subKey deletes every
  // value and subkey of this key but keeps the key itself.
  LSTATUS DeleteTree(std::u16string_view subKey) const;

  // RegEnumKeyEx (subkeys in name order, case-insensitive) and RegEnumValue (values in
  // the order they were created); ERROR_NO_MORE_ITEMS past the end.
  LSTATUS EnumKey(uint32_t index, std::u16string& name) const;
  LSTATUS EnumValue(uint32_t index, std::u16string& name, uint32_t* type,
                    std::vector<uint8_t>* data) const;
  LSTATUS QueryInfo(uint32_t* subKeys, uint32_t* values) const;

  // The stored path of the key after redirection, e.g.
  // "HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Microsoft".
  std::u16string Path() const;

  // Typed conveniences over QueryValue/SetValue.
  LSTATUS GetDword(std::u16string_view name, uint32_t& value) const;
  LSTATUS GetString(std::u16string_view name, std::u16string& value) const;  // SZ or EXPAND_SZ
  LSTATUS SetDword(std::u16string_view name, uint32_t value) const;
  LSTATUS SetString(std::u16string_view name, std::u16string_view value,
                    uint32_t type = REG_SZ) const;

 private:
  friend class RegistryDatabase;
  LSTATUS OpenOrCreateSubKey(std::u16string_view subKey, bool create, RegKey& out,
                             bool* created) const;
  LSTATUS DeleteKeyImpl(std::u16string_view subKey, bool tree) const;

  std::shared_ptr<RegistryDatabase> db_;
  int64_t id_ = 0;             // row of the key in the database
  std::u16string path_;        // stored path below the hive root, e.g. u"SOFTWARE\\WOW6432Node"
  // The path as it was asked for, before redirection: subkeys are redirected from it, so
  // that a shared key below a redirected one (SOFTWARE\Classes) is found in the 32-bit view.
  std::u16string requested_;
  int hive_ = 0;               // stored hive: 0 HKEY_LOCAL_MACHINE, 1 HKEY_USERS
  RegView view_ = RegView::Process;
};

// Static form of RegDeleteKeyEx / RegDeleteTree on a predefined key.
LSTATUS RegDeleteKey(Hive hive, std::u16string_view subKey, RegView view);
LSTATUS RegDeleteTree(Hive hive, std::u16string_view subKey, RegView view);

// The database of one machine image. RegKey::Open/Create on a Hive use the database of the
// current machine image (platform/machine.h); tests open fresh images.
class RegistryDatabase : public std::enable_shared_from_this<RegistryDatabase> {
 public:
  // Opens (creating when missing) the database file and its schema.
  static LSTATUS Open(const std::filesystem::path& file, std::shared_ptr<RegistryDatabase>& out);
  ~RegistryDatabase();

  LSTATUS OpenKey(Hive hive, std::u16string_view subKey, RegView view, RegKey& out);
  LSTATUS CreateKey(Hive hive, std::u16string_view subKey, RegView view, RegKey& out,
                    bool* created);

  // True when the image is 64-bit Windows (read from the image's PROCESSOR_ARCHITECTURE).
  bool Is64BitMachine() const;
  // The SID whose key under HKEY_USERS is HKEY_CURRENT_USER.
  std::u16string CurrentUserSid() const;

  struct Impl;

 private:
  friend class RegKey;
  RegistryDatabase();
  LSTATUS OpenHive(Hive hive, std::u16string_view subKey, RegView view, bool create,
                   RegKey& out, bool* created);
  // With the connection locked inside a transaction: opens or creates `requested` (a path
  // below stored hive `hive`) after checking that key row `parent` (when not 0) exists.
  LSTATUS OpenPathLocked(int hive, const std::vector<std::u16string>& requested, RegView view,
                         int64_t parent, bool create, RegKey& out, bool* created);

  std::unique_ptr<Impl> impl_;
};

// The registry of the current machine image, opened on first use.
std::shared_ptr<RegistryDatabase> CurrentRegistry();

}  // namespace platform
