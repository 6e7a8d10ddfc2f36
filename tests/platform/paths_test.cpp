#include "platform/paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/text.h"
#include "tests/support/machine_fixture.h"

namespace fs = std::filesystem;
using platform::MapFromHost;
using platform::MapToHost;

namespace {

constexpr platform::LSTATUS kErrorInvalidFunction = 1;

// The Windows spelling of a host path on the Z: drive.
std::u16string ZPath(const fs::path& host) {
  std::u16string out = u"Z:";
  for (const auto& part : host.relative_path()) out += u"\\" + platform::Utf8ToUtf16(part.native());
  return out;
}

class PathsTest : public testing_support::MachineTest {
 public:
  // Maps `path` and returns the host path relative to drive_c with / separators, or the
  // error code as text, so that a table row states both outcomes in one string.
  std::string Map(std::u16string_view path) {
    fs::path host;
    platform::LSTATUS status = MapToHost(path, host);
    if (status != platform::ERROR_SUCCESS) {
      EXPECT_TRUE(host.empty());
      return "error " + std::to_string(status);
    }
    return host.lexically_relative(DriveC()).generic_string();
  }

 protected:
  void SetUp() override {
    MachineTest::SetUp();
    fs::create_directories(DriveC() / "Data" / "SubDir");
    std::ofstream(DriveC() / "Data" / "SubDir" / "File.txt") << "x";
    fs::create_directories(Dir() / "prog" / "Download");
    fs::create_directories(Dir() / "other");
    platform::SetModuleFileNameForTesting(Dir() / "prog" / "Lumedesk");
  }
  void TearDown() override {
    platform::SetModuleFileNameForTesting(std::nullopt);
    MachineTest::TearDown();
  }

  fs::path DriveC() const { return Image() / "drive_c"; }
};

struct PathCase {
  const char16_t* windowsPath;
  const char* expected;  // path below drive_c, or "error N"
};

void ExpectCases(PathsTest& test, std::initializer_list<PathCase> cases) {
  for (const auto& c : cases)
    EXPECT_EQ(test.Map(c.windowsPath), c.expected)
        << "path " << platform::Utf16ToUtf8(c.windowsPath);
}

// ERROR_ACCESS_DENIED 5, ERROR_PATH_NOT_FOUND 3, ERROR_INVALID_NAME 123.
TEST_F(PathsTest, MapsDriveCPaths) {
  ExpectCases(*this, {
      // Existing components take the case on disk; missing ones keep the case given.
      {u"C:\\data\\SUBDIR\\file.TXT", "Data/SubDir/File.txt"},
      {u"c:\\DATA\\subdir\\New\\Thing.txt", "Data/SubDir/New/Thing.txt"},
      {u"C:/Data/SubDir", "Data/SubDir"},
      {u"C:\\", "."},
      {u"\\\\?\\C:\\Data", "Data"},
      // Dots, empty components and ".." are applied before mapping.
      {u"C:/a/../Data", "Data"},
      {u"C:\\Data\\.\\\\SubDir\\..\\SubDir\\", "Data/SubDir"},
      {u"C:\\Data\\..", "."},
      {u"C:\\..", "error 5"},
      {u"C:\\Data\\..\\..\\Windows", "error 5"},
      // Trailing dots and spaces are not part of a Windows name.
      {u"C:\\Data. \\SubDir...\\File.txt .", "Data/SubDir/File.txt"},
      {u"C:\\Data\\...", "error 123"},
      {u"C:\\Data\\ ", "error 123"},
      // Wildcards, streams, control characters and device names are no file names.
      {u"C:\\Data\\*.txt", "error 123"},
      {u"C:\\Data\\File.txt:stream", "error 123"},
      {u"C:\\Data\\a?b", "error 123"},
      {u"C:\\Data\\a|b", "error 123"},
      {u"C:\\Data\\a\"b", "error 123"},
      {u"C:\\Data\\a<b>", "error 123"},
      {u"C:\\Data\\a\tb", "error 123"},
      {u"C:\\Data\\x*\\..\\y", "error 123"},
      {u"C:\\Data\\NUL", "error 123"},
      {u"C:\\Data\\com1.txt", "error 123"},
      {u"C:\\Data\\CONsole.txt", "Data/CONsole.txt"},
      // Everything that is not a drive-absolute path of the image.
      {u"", "error 3"},
      {u"Data\\File.txt", "error 123"},
      {u"\\Data", "error 123"},
      {u"C:Data", "error 123"},
      {u"C:", "error 123"},
      {u"\\\\server\\share\\x", "error 123"},
      {u"//server/share/x", "error 123"},
      {u"\\\\.\\C:\\Data", "error 123"},
      {u"\\\\?\\UNC\\server\\share", "error 123"},
      {u"D:\\Data", "error 3"},
      {u"1:\\Data", "error 123"},
  });
}

TEST_F(PathsTest, RejectsOverlongComponent) {
  std::u16string longName(256, u'a');
  EXPECT_EQ(Map(u"C:\\" + longName), "error 206");
  EXPECT_EQ(Map(u"C:\\" + longName.substr(1)), std::string(255, 'a'));
}

TEST_F(PathsTest, PrefersExactCaseAmongSeveralMatches) {
  fs::create_directories(DriveC() / "Data" / "subdir");
  EXPECT_EQ(Map(u"C:\\Data\\subdir"), "Data/subdir");
  EXPECT_EQ(Map(u"C:\\Data\\SubDir"), "Data/SubDir");
  EXPECT_EQ(Map(u"C:\\Data\\SUBDIR"), "Data/SubDir");  // the smallest name
}

TEST_F(PathsTest, SymlinksMustNotLeaveTheImage) {
  fs::create_directory_symlink("/etc", DriveC() / "EtcLink");
  fs::create_directory_symlink("../../..", DriveC() / "Data" / "Up");
  fs::create_symlink(Dir() / "other" / "new.txt", DriveC() / "Dangling");
  fs::create_symlink("Loop", DriveC() / "Loop");
  fs::create_directory_symlink("Data/SubDir", DriveC() / "Inside");
  ExpectCases(*this, {
      {u"C:\\EtcLink\\passwd", "error 5"},
      {u"C:\\etclink", "error 5"},
      {u"C:\\Data\\Up\\x", "error 5"},
      {u"C:\\Dangling", "error 5"},  // creating it would create a file outside
      {u"C:\\Loop", "error 5"},
      {u"C:\\inside\\file.txt", "Inside/File.txt"},
  });
}

TEST_F(PathsTest, ProgramFolderOnDriveZ) {
  const fs::path prog = Dir() / "prog";
  fs::create_directory_symlink("/etc", prog / "EtcLink");
  struct Case {
    std::u16string path;
    platform::LSTATUS status;
    fs::path host;
  } cases[] = {
      {ZPath(prog / "Lumedesk"), 0, prog / "Lumedesk"},
      {ZPath(prog), 0, prog},
      {ZPath(prog / "download" / "update.exe"), 0, prog / "Download" / "update.exe"},
      {u"z:" + ZPath(prog).substr(2) + u"/Download/../tray", 0, prog / "tray"},
      {ZPath(Dir() / "other" / "x"), platform::ERROR_ACCESS_DENIED, {}},
      {ZPath(prog) + u"\\..\\other", platform::ERROR_ACCESS_DENIED, {}},
      {ZPath(prog / "EtcLink" / "passwd"), platform::ERROR_ACCESS_DENIED, {}},
      {u"Z:\\etc\\passwd", platform::ERROR_ACCESS_DENIED, {}},
      {u"Z:\\", platform::ERROR_ACCESS_DENIED, {}},
      {ZPath(prog) + u"\\a*b", platform::ERROR_INVALID_NAME, {}},
  };
  // A program in the host's root folder would open the whole host: refused.
  platform::SetModuleFileNameForTesting("/Lumedesk");
  fs::path rootHost;
  EXPECT_EQ(MapToHost(u"Z:\\etc\\passwd", rootHost), platform::ERROR_ACCESS_DENIED);
  platform::SetModuleFileNameForTesting(prog / "Lumedesk");
  for (const auto& c : cases) {
    fs::path host;
    EXPECT_EQ(MapToHost(c.path, host), c.status) << platform::Utf16ToUtf8(c.path);
    EXPECT_EQ(host, c.host) << platform::Utf16ToUtf8(c.path);
  }
}

TEST_F(PathsTest, RedirectsSystem32For32BitProgram) {
  const std::initializer_list<PathCase> redirected = {
      {u"C:\\Windows\\System32\\kernel32.dll", "Windows/SysWOW64/kernel32.dll"},
      {u"C:\\windows\\SYSTEM32", "Windows/SysWOW64"},
      {u"C:\\Windows\\System32\\drivers\\x.sys", "Windows/SysWOW64/drivers/x.sys"},
      {u"C:\\Windows\\System32\\drivers\\etc\\hosts", "Windows/System32/drivers/etc/hosts"},
      {u"C:\\Windows\\System32\\catroot\\x", "Windows/System32/catroot/x"},
      {u"C:\\Windows\\System32\\CatRoot2", "Windows/System32/CatRoot2"},
      {u"C:\\Windows\\System32\\LogFiles\\x", "Windows/System32/LogFiles/x"},
      {u"C:\\Windows\\System32\\spool", "Windows/System32/spool"},
      {u"C:\\Windows\\Sysnative\\cmd.exe", "Windows/System32/cmd.exe"},
      {u"C:\\Windows\\Temp\\..\\System32\\x", "Windows/SysWOW64/x"},
      {u"C:\\Windows\\SysWOW64\\x", "Windows/SysWOW64/x"},
  };
  ExpectCases(*this, redirected);

  {
    platform::Wow64RedirectionOff off;
    ExpectCases(*this, {
        {u"C:\\Windows\\System32\\kernel32.dll", "Windows/System32/kernel32.dll"},
        {u"C:\\Windows\\Sysnative\\cmd.exe", "Windows/Sysnative/cmd.exe"},
    });
    // Redirection is a property of the thread.
    std::thread other([&] { ExpectCases(*this, redirected); });
    other.join();
    {
      platform::Wow64RedirectionOff nested;
    }
    EXPECT_EQ(Map(u"C:\\Windows\\System32\\x"), "Windows/System32/x");
  }
  EXPECT_EQ(Map(u"C:\\Windows\\System32\\x"), "Windows/SysWOW64/x");

  void* old = nullptr;
  ASSERT_TRUE(platform::DisableWow64Redirection(&old));
  EXPECT_EQ(Map(u"C:\\Windows\\System32\\x"), "Windows/System32/x");
  ASSERT_TRUE(platform::RevertWow64Redirection(old));
  EXPECT_EQ(Map(u"C:\\Windows\\System32\\x"), "Windows/SysWOW64/x");
}

TEST_F(PathsTest, MapsHostPathsBack) {
  fs::create_directory_symlink("/etc", DriveC() / "EtcLink");
  EXPECT_EQ(MapFromHost(DriveC() / "Data" / "SubDir" / "File.txt"), u"C:\\Data\\SubDir\\File.txt");
  EXPECT_EQ(MapFromHost(DriveC()), u"C:\\");
  EXPECT_EQ(MapFromHost(DriveC() / "Data" / ".." / "Data" / "New"), u"C:\\Data\\New");
  EXPECT_EQ(MapFromHost(Image() / "registry.db"), std::nullopt);
  EXPECT_EQ(MapFromHost(DriveC() / ".." / "registry.db"), std::nullopt);
  EXPECT_EQ(MapFromHost("/etc/passwd"), std::nullopt);
  EXPECT_EQ(MapFromHost(DriveC() / "EtcLink" / "passwd"), std::nullopt);
  EXPECT_EQ(MapFromHost(DriveC() / "Data" / "a:b"), std::nullopt);

  fs::path host;
  ASSERT_EQ(MapToHost(u"c:\\data\\subdir\\file.txt", host), 0);
  EXPECT_EQ(MapFromHost(host), u"C:\\Data\\SubDir\\File.txt");
}

TEST_F(PathsTest, ModuleInsideTheImage) {
  fs::create_directories(DriveC() / "Apps" / "Lumedesk");
  platform::SetModuleFileNameForTesting(DriveC() / "Apps" / "Lumedesk" / "Lumedesk.exe");
  EXPECT_EQ(platform::ModuleFileName(), u"C:\\Apps\\Lumedesk\\Lumedesk.exe");
  EXPECT_EQ(platform::ModuleFolder(), u"C:\\Apps\\Lumedesk");
  EXPECT_EQ(platform::ModuleBaseName(), u"Lumedesk");

  platform::SetModuleFileNameForTesting(DriveC() / "Tool.v2.exe");
  EXPECT_EQ(platform::ModuleFolder(), u"C:\\");
  EXPECT_EQ(platform::ModuleBaseName(), u"Tool.v2");
}

TEST_F(PathsTest, ModuleOutsideTheImageIsOnDriveZ) {
  const fs::path prog = Dir() / "prog";
  EXPECT_EQ(platform::ModuleFileName(), ZPath(prog / "Lumedesk"));
  EXPECT_EQ(platform::ModuleFolder(), ZPath(prog));
  EXPECT_EQ(platform::ModuleBaseName(), u"Lumedesk");

  fs::path host;
  ASSERT_EQ(MapToHost(platform::ModuleFolder() + u"\\Download", host), 0);
  EXPECT_EQ(host, prog / "Download");

  // Without an override the real executable is the module.
  platform::SetModuleFileNameForTesting(std::nullopt);
  ASSERT_EQ(MapToHost(platform::ModuleFileName(), host), 0);
  const fs::path exe = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(host, exe);
  EXPECT_EQ(platform::ModuleBaseName(), platform::Utf8ToUtf16(exe.stem().native()));
}

TEST(PathTextTest, FileNameAndFolder) {
  struct Case {
    const char16_t* path;
    const char16_t* fileName;
    const char16_t* folder;
  } cases[] = {
      {u"C:\\a\\b.txt", u"b.txt", u"C:\\a"},
      {u"C:/a/b", u"b", u"C:/a"},
      {u"C:\\b.txt", u"b.txt", u"C:\\"},
      {u"C:\\a\\", u"", u"C:\\a"},
      {u"b.txt", u"b.txt", u""},
      {u"Z:\\work\\main\\build\\Lumedesk", u"Lumedesk", u"Z:\\work\\main\\build"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::PathFileName(c.path), c.fileName) << platform::Utf16ToUtf8(c.path);
    EXPECT_EQ(platform::PathFolder(c.path), c.folder) << platform::Utf16ToUtf8(c.path);
  }
}

class Paths32Test : public testing_support::MachineTest {
 protected:
  platform::MachineOptions Options() const override { return {"win10", "x86"}; }
};

TEST_F(Paths32Test, NoRedirectionOn32BitWindows) {
  const fs::path driveC = Image() / "drive_c";
  for (auto [path, expected] : {
           std::pair{u"C:\\Windows\\System32\\kernel32.dll", "Windows/System32/kernel32.dll"},
           std::pair{u"C:\\Windows\\Sysnative\\cmd.exe", "Windows/Sysnative/cmd.exe"},
       }) {
    fs::path host;
    ASSERT_EQ(MapToHost(path, host), 0);
    EXPECT_EQ(host.lexically_relative(driveC).generic_string(), expected);
  }

  void* old = nullptr;
  platform::SetLastError(0);
  EXPECT_FALSE(platform::DisableWow64Redirection(&old));
  EXPECT_EQ(platform::GetLastError(), kErrorInvalidFunction);
  platform::SetLastError(0);
  EXPECT_FALSE(platform::RevertWow64Redirection(old));
  EXPECT_EQ(platform::GetLastError(), kErrorInvalidFunction);
}

}  // namespace
