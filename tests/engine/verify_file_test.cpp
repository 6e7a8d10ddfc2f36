#include "engine/checks/verify_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "services/files/digest.h"
#include "services/files/file_version.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/pe_file.h"

using namespace Corvane::Assistant;
namespace fs = std::filesystem;

namespace {

ConfigEntry FileEntry(std::string version, std::string md5 = {}, std::string sha1 = {}) {
  ConfigEntry entry;
  entry.attributes.Set("version", version);
  entry.attributes.Set("md5", md5);
  entry.attributes.Set("sha1", sha1);
  return entry;
}

std::string Upper(std::string text) {
  for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The version block of the bytes, as "a.b.c.d"; empty when there is none.
std::string VersionOf(const std::string& image) {
  VS_FIXEDFILEINFO info;
  if (!ReadFixedFileInfo(image, &info)) return {};
  return std::to_string(info.dwFileVersionMS >> 16) + "." +
         std::to_string(info.dwFileVersionMS & 0xFFFF) + "." +
         std::to_string(info.dwFileVersionLS >> 16) + "." +
         std::to_string(info.dwFileVersionLS & 0xFFFF);
}

TEST(FileVersionTest, ReadsTheVersionBlockOfPe32AndPe32Plus) {
  EXPECT_EQ(VersionOf(testing_support::MakePeFile(6, 0, 1, 65535)), "6.0.1.65535");
  EXPECT_EQ(VersionOf(testing_support::MakePeFile(10, 2, 3, 4, /*pe64=*/true)), "10.2.3.4");
  testing_support::PeFileOptions noVersion;
  noVersion.withVersion = false;
  EXPECT_EQ(VersionOf(testing_support::MakePeFile(noVersion)), "");
  EXPECT_EQ(VersionOf(""), "");
  EXPECT_EQ(VersionOf("MZ"), "");
  EXPECT_EQ(VersionOf(std::string(4096, 'A')), "");
}

// Every prefix of a valid file, and the file with any one byte damaged, is read safely
// (the sanitizers see any read outside the bytes); a prefix that lacks the block fails.
TEST(FileVersionTest, TruncatedOrDamagedFilesNeverReadOutside) {
  for (bool pe64 : {false, true}) {
    const std::string image = testing_support::MakePeFile(1, 2, 3, 4, pe64);
    const size_t blockEnd = 0x200 + 0x58 + 92;
    for (size_t n = 0; n < image.size(); ++n) {
      // A heap copy of exactly n bytes, so that a read past the end is caught.
      std::string prefix = image.substr(0, n);
      EXPECT_EQ(ReadFixedFileInfo(prefix, nullptr), n >= blockEnd) << n;
    }
    for (size_t at = 0; at < 0x200 + 0x58 + 92; ++at) {
      for (unsigned char value : {0x00, 0x7F, 0x80, 0xFF}) {
        std::string damaged = image;
        damaged[at] = char(value);
        VS_FIXEDFILEINFO info;
        ReadFixedFileInfo(damaged, &info);
      }
    }
  }
}

TEST(FileVersionTest, HostileOffsetsAreRefused) {
  struct Edit {
    size_t at;
    uint32_t value;
    int bytes;
  };
  struct Case {
    const char* what;
    std::vector<Edit> edits;
  } cases[] = {
      {"PE header beyond the file", {{0x3C, 0xFFFFFFF0u, 4}}},
      {"many sections, none holding the resources",
       {{0x44 + 2, 0xFFFF, 2}, {0x138 + 12, 0x5000, 4}}},
      {"resource address outside every section", {{0x58 + 96 + 16, 0x7FFFFFFFu, 4}}},
      {"type directory pointing back at the root", {{0x200 + 0x14, 0x80000000u, 4}}},
      {"type directory far outside", {{0x200 + 0x14, 0xFFFFFFFFu, 4}}},
      {"entry counts at maximum, no version type",
       {{0x200 + 0x0C, 0xFFFFFFFFu, 4}, {0x200 + 0x10, 17, 4}}},
      {"data entry outside the section", {{0x200 + 0x48, 0xFFFFFFF0u, 4}}},
      {"data size beyond the file", {{0x200 + 0x4C, 0x7FFFFFFFu, 4}}},
      {"section raw offset beyond the file", {{0x138 + 20, 0xFFFFFF00u, 4}}},
      {"section without raw data", {{0x138 + 16, 0, 4}}},
      {"block length larger than its data", {{0x200 + 0x58, 0xFFFF, 2}}},
      {"wrong block key", {{0x200 + 0x58 + 6, 'X', 2}}},
      {"wrong signature", {{0x200 + 0x58 + 40, 0, 4}}},
      {"unknown optional-header kind", {{0x58, 0x107, 2}}},
  };
  const std::string good = testing_support::MakePeFile(1, 0, 0, 0);
  ASSERT_TRUE(ReadFixedFileInfo(good, nullptr));
  for (const Case& c : cases) {
    std::string bad = good;
    for (const Edit& e : c.edits)
      for (int i = 0; i < e.bytes; ++i) bad[e.at + i] = char((e.value >> (8 * i)) & 0xFF);
    EXPECT_FALSE(ReadFixedFileInfo(bad, nullptr)) << c.what;
  }
}

TEST(VersionConditionTest, OperatorsAndComponents) {
  struct Case {
    const char* required;
    uint16_t file[4];
    bool holds;
  } cases[] = {
      {">=6.0.1.0", {6, 0, 0, 9}, false},
      {">=6.0.1.0", {6, 0, 1, 0}, true},
      {"6.0", {6, 0, 0, 0}, true},
      {"6.0", {6, 0, 0, 1}, false},
      {"<2", {1, 9, 9, 9}, true},
      {"<2", {2, 0, 0, 0}, false},
      {"<=2.1", {2, 1, 0, 0}, true},
      {">2.1", {2, 1, 0, 0}, false},
      {">2.1", {2, 1, 0, 1}, true},
      {">= v3.2", {3, 2, 0, 0}, true},           // non-digits after the operator skipped
      {"65537.1", {1, 1, 0, 0}, true},           // components cut to 16 bits
      {"1.2.3.4.5", {1, 2, 3, 4}, true},         // a fifth component is ignored
      {">=1.10", {1, 9, 0, 0}, false},           // numeric, not textual, comparison
  };
  for (const Case& c : cases)
    EXPECT_EQ(VersionSatisfies(c.file, ParseVersionCondition(c.required)), c.holds)
        << c.required << " against " << c.file[0] << "." << c.file[1] << "." << c.file[2]
        << "." << c.file[3];
}

class VerifyFileTest : public testing_support::MachineTest {
 protected:
  // Writes a file at C:\Bank\<name> and returns its Windows path.
  std::u16string Write(const std::string& name, const std::string& bytes) {
    fs::path host = Image() / "drive_c" / "Bank" / name;
    fs::create_directories(host.parent_path());
    std::ofstream(host, std::ios::binary) << bytes;
    return u"C:\\Bank\\" + std::u16string(name.begin(), name.end());
  }
};

TEST_F(VerifyFileTest, PresenceVersionAndDigests) {
  const std::string image = testing_support::MakePeFile(6, 0, 1, 0);
  const std::u16string file = Write("ctl.dll", image);
  const std::string md5 = DigestHex(image, kDigestMd5), sha1 = DigestHex(image, kDigestSha1);
  const std::string otherMd5(32, 'a'), otherSha1(40, 'b');
  fs::create_directories(Image() / "drive_c" / "Bank" / "folder.dll");

  struct Case {
    const char* what;
    std::u16string path;
    ConfigEntry entry;
    CheckStatus expected;
  } cases[] = {
      {"present, nothing required", file, FileEntry(""), 2},
      {"missing file", u"C:\\Bank\\none.dll", FileEntry(""), -2},
      {"a folder", u"C:\\Bank\\folder.dll", FileEntry(""), -2},
      {"bad path", u"relative\\ctl.dll", FileEntry(""), -2},
      {"version below", file, FileEntry(">=6.0.1.1"), 1},
      {"version equal", file, FileEntry("6.0.1"), 2},
      {"version above", file, FileEntry("<6.0.1"), 1},
      {"md5 listed among two, upper case", file, FileEntry("", Upper(otherMd5 + "|" + md5)), 2},
      {"md5 not listed", file, FileEntry("", otherMd5), 1},
      {"sha1 listed", file, FileEntry("", "", sha1), 2},
      {"sha1 not listed", file, FileEntry("", md5, otherSha1), 1},
      {"all three hold", file, FileEntry(">=6", md5, sha1), 2},
      {"version fails before digests", file, FileEntry(">7", md5, sha1), 1},
  };
  for (Case& c : cases) EXPECT_EQ(VerifyFile(c.entry, c.path), c.expected) << c.what;
}

TEST_F(VerifyFileTest, FileWithoutVersionBlockFailsAVersionTest) {
  const std::u16string plain = Write("readme.txt", "no version here");
  EXPECT_EQ(VerifyFile(FileEntry("1.0"), plain), -2);
  EXPECT_EQ(VerifyFile(FileEntry(""), plain), 2);
}

// A file that exists but cannot be read has no digest; it must not pass as if the empty
// digest were listed.
TEST_F(VerifyFileTest, UnreadableFileNeverPassesADigestTest) {
  const std::string image = testing_support::MakePeFile(1, 0, 0, 0);
  const std::u16string file = Write("locked.dll", image);
  platform::FileHold hold;
  ASSERT_EQ(platform::FileHold::Acquire(file, platform::FileUse::Locked, hold), 0);
  EXPECT_EQ(VerifyFile(FileEntry("", DigestHex(image, kDigestMd5)), file), -2);
  EXPECT_EQ(VerifyFile(FileEntry("", "", DigestHex(image, kDigestSha1)), file), -2);
  EXPECT_EQ(VerifyFile(FileEntry("1.0"), file), -2);
  EXPECT_EQ(VerifyFile(FileEntry(""), file), 2);  // presence alone needs no read
}

}  // namespace
