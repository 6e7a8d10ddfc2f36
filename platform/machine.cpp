#include "platform/machine.h"

#include <cstdlib>
#include <fstream>
#include <mutex>

#include "platform/registry.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

std::mutex g_machineMutex;
fs::path g_machineRoot;

struct WindowsRelease {
  const char* id;
  int major;
  int minor;
  const char16_t* currentVersion;  // the CurrentVersion text Windows reports
  const char16_t* build;
  const char16_t* productName;
  const char16_t* ieVersion;     // "Version" of Internet Explorer
  const char16_t* ieSvcVersion;  // "svcVersion" (IE 10 and later), or empty
};

// The releases an image can imitate, with the version data Windows keeps for them.
constexpr WindowsRelease kReleases[] = {
    {"xp", 5, 1, u"5.1", u"2600", u"Microsoft Windows XP", u"8.0.6001.18702", u""},
    {"vista", 6, 0, u"6.0", u"6002", u"Windows Vista (TM) Business", u"9.0.8112.16421", u""},
    {"win7", 6, 1, u"6.1", u"7601", u"Windows 7 Professional", u"9.11.9600.19596",
     u"11.0.9600.19596"},
    {"win8", 6, 2, u"6.2", u"9200", u"Windows 8 Pro", u"9.10.9200.16384", u"10.0.9200.16384"},
    {"win81", 6, 3, u"6.3", u"9600", u"Windows 8.1 Pro", u"9.11.9600.19596",
     u"11.0.9600.19596"},
    {"win10", 10, 0, u"6.3", u"19045", u"Windows 10 Pro", u"9.11.19041.0",
     u"11.1790.19041.0"},
};

constexpr char16_t kUserSid[] = u"S-1-5-21-1000-1000-1000-1001";
constexpr char16_t kEnvironmentKey[] =
    u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr char16_t kNtCurrentVersionKey[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

const WindowsRelease* FindRelease(const std::string& id) {
  for (const auto& r : kReleases)
    if (id == r.id) return &r;
  return nullptr;
}

// Writes the keys Windows keeps about itself, in both registry views where Windows has
// both, so that version and architecture queries read what a real machine would hold.
LSTATUS SeedRegistry(RegistryDatabase& db, const WindowsRelease& release, bool is64,
                     const std::u16string& user) {
  // The architecture comes first: until it is stored the image counts as 64-bit, and the
  // 32-bit view of a 32-bit image must not be redirected.
  RegKey key;
  LSTATUS rc = db.CreateKey(Hive::LocalMachine, kEnvironmentKey, RegView::Reg64, key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  if ((rc = key.SetString(u"PROCESSOR_ARCHITECTURE", is64 ? u"AMD64" : u"x86"))) return rc;
  if ((rc = key.SetString(u"OS", u"Windows_NT"))) return rc;
  if ((rc = key.SetString(u"windir", u"%SystemRoot%", REG_EXPAND_SZ))) return rc;

  std::vector<RegView> views{RegView::Reg64};
  if (is64) views.push_back(RegView::Reg32);
  for (RegView view : views) {
    if ((rc = db.CreateKey(Hive::LocalMachine, kNtCurrentVersionKey, view, key, nullptr)))
      return rc;
    if ((rc = key.SetString(u"ProductName", release.productName))) return rc;
    if ((rc = key.SetString(u"CurrentVersion", release.currentVersion))) return rc;
    if ((rc = key.SetString(u"CurrentBuild", release.build))) return rc;
    if ((rc = key.SetString(u"CurrentBuildNumber", release.build))) return rc;
    if ((rc = key.SetString(u"SystemRoot", u"C:\\Windows"))) return rc;
    if (release.major >= 10) {
      if ((rc = key.SetDword(u"CurrentMajorVersionNumber", uint32_t(release.major)))) return rc;
      if ((rc = key.SetDword(u"CurrentMinorVersionNumber", uint32_t(release.minor)))) return rc;
    }

    if ((rc = db.CreateKey(Hive::LocalMachine, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
                           view, key, nullptr)))
      return rc;
    bool native = view == RegView::Reg64;
    if ((rc = key.SetString(u"ProgramFilesDir",
                            (is64 && !native) ? u"C:\\Program Files (x86)" : u"C:\\Program Files")))
      return rc;
    if ((rc = key.SetString(u"CommonFilesDir", (is64 && !native)
                                                   ? u"C:\\Program Files (x86)\\Common Files"
                                                   : u"C:\\Program Files\\Common Files")))
      return rc;

    if ((rc = db.CreateKey(Hive::LocalMachine, u"SOFTWARE\\Microsoft\\Internet Explorer", view,
                           key, nullptr)))
      return rc;
    if ((rc = key.SetString(u"Version", release.ieVersion))) return rc;
    if (*release.ieSvcVersion && (rc = key.SetString(u"svcVersion", release.ieSvcVersion)))
      return rc;
  }

  if ((rc = db.CreateKey(Hive::LocalMachine,
                         std::u16string(kNtCurrentVersionKey) + u"\\ProfileList\\" + kUserSid,
                         RegView::Reg64, key, nullptr)))
    return rc;
  if ((rc = key.SetString(u"ProfileImagePath", u"C:\\Users\\" + user, REG_EXPAND_SZ))) return rc;

  // The user's own hive with the keys every logged-on user has.
  if ((rc = db.CreateKey(Hive::Users, std::u16string(kUserSid) + u"\\Environment", RegView::Reg64,
                         key, nullptr)))
    return rc;
  if ((rc = key.SetString(u"TEMP", u"%USERPROFILE%\\AppData\\Local\\Temp", REG_EXPAND_SZ)))
    return rc;
  if ((rc = key.SetString(u"TMP", u"%USERPROFILE%\\AppData\\Local\\Temp", REG_EXPAND_SZ)))
    return rc;
  for (const char16_t* sub : {u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                              u"\\Software\\Microsoft\\Internet Explorer\\Main"}) {
    if ((rc = db.CreateKey(Hive::Users, std::u16string(kUserSid) + sub, RegView::Reg64, key,
                           nullptr)))
      return rc;
  }
  return ERROR_SUCCESS;
}

// The folders every Windows installation has.
LSTATUS SeedFiles(const fs::path& driveC, bool is64, const std::string& user) {
  std::vector<std::string> folders = {
      "Windows/System32/drivers/etc",
      "Program Files/Common Files",
      "Program Files/Internet Explorer",
      "ProgramData",
      "Users/Public",
      "Users/" + user + "/AppData/Roaming",
      "Users/" + user + "/AppData/Local/Temp",
      "Users/" + user + "/Desktop",
  };
  if (is64) {
    folders.push_back("Windows/SysWOW64");
    folders.push_back("Program Files (x86)/Common Files");
    folders.push_back("Program Files (x86)/Internet Explorer");
  }
  std::error_code ec;
  for (const auto& f : folders) {
    fs::create_directories(driveC / f, ec);
    if (ec) return Win32FromErrno(ec.value());
  }
  std::ofstream hosts(driveC / "Windows/System32/drivers/etc/hosts", std::ios::binary);
  hosts << "# Copyright (c) 1993-2009 Microsoft Corp.\r\n"
           "#\r\n"
           "# This is a sample HOSTS file used by Microsoft TCP/IP for Windows.\r\n"
           "#\r\n"
           "# localhost name resolution is handled within DNS itself.\r\n"
           "#\t127.0.0.1       localhost\r\n"
           "#\t::1             localhost\r\n";
  return hosts ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

// Reads a value of the current image's registry, 64-bit view.
std::u16string ReadMachineString(std::u16string_view keyPath, std::u16string_view name) {
  RegKey key;
  std::u16string value;
  if (RegKey::Open(Hive::LocalMachine, keyPath, RegView::Reg64, key) == ERROR_SUCCESS)
    key.GetString(name, value);
  return value;
}

}  // namespace

bool IsMachineImage(const fs::path& dir) {
  std::error_code ec;
  return fs::is_regular_file(dir / "registry.db", ec) && fs::is_directory(dir / "drive_c", ec);
}

LSTATUS CreateMachineImage(const fs::path& dir, const MachineOptions& options,
                           std::string* error) {
  auto fail = [&](LSTATUS rc, const std::string& why) {
    if (error) *error = why;
    return rc;
  };
  const WindowsRelease* release = FindRelease(options.os);
  if (!release)
    return fail(ERROR_INVALID_PARAMETER,
                "unknown Windows release '" + options.os +
                    "' (one of xp, vista, win7, win8, win81, win10)");
  if (options.arch != "x86" && options.arch != "x64")
    return fail(ERROR_INVALID_PARAMETER,
                "unknown architecture '" + options.arch + "' (x86 or x64)");
  if (options.user.empty() || options.user.find_first_of("/\\:*?\"<>|") != std::string::npos)
    return fail(ERROR_INVALID_PARAMETER, "invalid user name '" + options.user + "'");
  bool is64 = options.arch == "x64";

  std::error_code ec;
  if (fs::exists(dir, ec) && !fs::is_empty(dir, ec))
    return fail(ERROR_ALREADY_EXISTS, dir.string() + " already exists and is not empty");
  fs::create_directories(dir / "drive_c", ec);
  if (ec) return fail(Win32FromErrno(ec.value()), "cannot create " + dir.string() + ": " + ec.message());

  LSTATUS rc = SeedFiles(dir / "drive_c", is64, options.user);
  if (rc != ERROR_SUCCESS) return fail(rc, "cannot create the folders of " + dir.string());

  // The database is written under a temporary name and renamed last, so a half-made
  // image is never taken for a machine.
  fs::path tmpDb = dir / "registry.db.new";
  {
    std::shared_ptr<RegistryDatabase> db;
    rc = RegistryDatabase::Open(tmpDb, db);
    if (rc == ERROR_SUCCESS) rc = SeedRegistry(*db, *release, is64, Utf8ToUtf16(options.user));
    if (rc != ERROR_SUCCESS)
      return fail(rc, "cannot write the registry of " + dir.string() + " (error " +
                          std::to_string(rc) + ")");
  }
  for (const char* suffix : {"-wal", "-shm"}) fs::remove(dir / ("registry.db.new" + std::string(suffix)), ec);
  fs::rename(tmpDb, dir / "registry.db", ec);
  if (ec) return fail(Win32FromErrno(ec.value()), "cannot finish " + dir.string() + ": " + ec.message());
  return ERROR_SUCCESS;
}

fs::path DefaultMachineDir() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
    return fs::path(data) / "lumedesk" / "machine";
  if (const char* home = std::getenv("HOME"); home && *home)
    return fs::path(home) / ".local" / "share" / "lumedesk" / "machine";
  return fs::path("/tmp") / "lumedesk-machine";
}

LSTATUS SelectMachine(const fs::path& dir, std::string* error) {
  if (!IsMachineImage(dir)) {
    if (error) *error = "machine image " + dir.string() + " does not exist (create it with 'lumectl machine init " + dir.string() + "')";
    return ERROR_PATH_NOT_FOUND;
  }
  std::error_code ec;
  fs::path abs = fs::absolute(dir, ec);
  std::lock_guard lock(g_machineMutex);
  g_machineRoot = ec ? dir : abs.lexically_normal();
  return ERROR_SUCCESS;
}

LSTATUS SelectCurrentMachine(std::string* error) {
  const char* named = std::getenv(kMachineVariable);
  if (named && *named) return SelectMachine(named, error);
  fs::path dir = DefaultMachineDir();
  if (!IsMachineImage(dir)) {
    LSTATUS rc = CreateMachineImage(dir, MachineOptions{}, error);
    if (rc != ERROR_SUCCESS) return rc;
  }
  return SelectMachine(dir, error);
}

fs::path MachineRoot() {
  std::lock_guard lock(g_machineMutex);
  return g_machineRoot;
}

bool Is64BitWindows() {
  auto db = CurrentRegistry();
  return db && db->Is64BitMachine();
}

namespace {

// Windows 10 and later keep the version as numbers; earlier releases only as the text
// CurrentVersion ("6.1").
int WindowsVersionPart(bool major) {
  RegKey key;
  uint32_t number = 0;
  if (RegKey::Open(Hive::LocalMachine, kNtCurrentVersionKey, RegView::Reg64, key) == 0 &&
      key.GetDword(major ? u"CurrentMajorVersionNumber" : u"CurrentMinorVersionNumber", number) == 0)
    return int(number);
  std::u16string v = ReadMachineString(kNtCurrentVersionKey, u"CurrentVersion");
  size_t dot = v.find(u'.');
  if (dot == std::u16string::npos) return 0;
  return std::atoi(Utf16ToUtf8(major ? v.substr(0, dot) : v.substr(dot + 1)).c_str());
}

}  // namespace

int WindowsMajorVersion() { return WindowsVersionPart(true); }
int WindowsMinorVersion() { return WindowsVersionPart(false); }

std::u16string UserName() {
  auto db = CurrentRegistry();
  if (!db) return u"user";
  std::u16string profile = ReadMachineString(
      std::u16string(kNtCurrentVersionKey) + u"\\ProfileList\\" + db->CurrentUserSid(),
      u"ProfileImagePath");
  size_t slash = profile.find_last_of(u"\\/");
  return profile.empty() ? u"user" : profile.substr(slash == std::u16string::npos ? 0 : slash + 1);
}

}  // namespace platform
