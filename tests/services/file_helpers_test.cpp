// Download file names and folders, replacing files in use, reading held files, digests and
// the hand-off of download callbacks.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "services/crypto/crypto_setup.h"
#include "services/files/digest.h"
#include "services/files/download_notify.h"
#include "services/files/file_helpers.h"
#include "services/process_state.h"
#include "tests/support/machine_fixture.h"

namespace fs = std::filesystem;
using platform::HRESULT_FROM_WIN32;

namespace {

class FileHelpersTest : public testing_support::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    drive_ = Image() / "drive_c";
    savedOption_ = OptionTable::Instance().Get(kOptionDownloadBesideProgram);
  }
  void TearDown() override {
    OptionTable::Instance().Set(kOptionDownloadBesideProgram, savedOption_);
    platform::SetModuleFileNameForTesting(std::nullopt);
    MachineTest::TearDown();
  }

  void Write(const std::string& windowsRelative, const std::string& content) {
    fs::path file = drive_ / windowsRelative;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
  }
  std::string Read(const std::string& windowsRelative) {
    return testing_support::ReadText(drive_ / windowsRelative);
  }
  bool Exists(const std::string& windowsRelative) { return fs::exists(drive_ / windowsRelative); }

  fs::path drive_;
  int32_t savedOption_ = 0;
};

TEST(DownloadFileNameTest, OnlyTheLastSegmentAndOnlySafeNames) {
  struct Case {
    const char16_t* url;
    const char16_t* name;  // empty: refused
  } cases[] = {
      {u"https://bank.example/files/setup.exe", u"setup.exe"},
      {u"https://bank.example/files/setup.exe?v=2&x=a/b#part", u"setup.exe"},
      {u"setup.exe", u"setup.exe"},
      {u"https://bank.example/a%20b.exe", u"a%20b.exe"},
      {u"https://bank.example/files/", u""},
      {u"https://bank.example", u""},
      {u"https://bank.example/files/..", u""},
      {u"https://bank.example/files/.", u""},
      {u"https://bank.example/x/..\\..\\evil.exe", u""},
      {u"https://bank.example/C:evil.exe", u""},
      {u"https://bank.example/a\tb.exe", u""},
      {u"https://bank.example/a\x7f" u"b.exe", u""},
      {u"https://bank.example/a*b.exe", u""},
      {u"https://bank.example/ . .", u""},
      {u"", u""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(DownloadFileName(c.url), c.name) << platform::Utf16ToUtf8(c.url);
}

TEST_F(FileHelpersTest, DownloadTargetIsTheDownloadFolderBesideTheProgram) {
  fs::path program = drive_ / "Program Files (x86)/Haverly/Lumedesk";
  fs::create_directories(program.parent_path());
  std::ofstream(program) << "";
  platform::SetModuleFileNameForTesting(program);
  OptionTable::Instance().Set(kOptionDownloadBesideProgram, 1);

  EXPECT_EQ(DownloadTarget(u"https://bank.example/perbank/files/setup.exe"),
            u"C:\\Program Files (x86)\\Haverly\\Download\\setup.exe");
  EXPECT_TRUE(fs::is_directory(drive_ / "Program Files (x86)/Haverly/Download"));
  EXPECT_EQ(DownloadTarget(u"driver.msi"), u"C:\\Program Files (x86)\\Haverly\\Download\\driver.msi");
  for (const char16_t* refused : {u"https://bank.example/files/..", u"https://bank.example/files/",
                                  u"https://bank.example/CON", u"https://bank.example/a:b"})
    EXPECT_EQ(DownloadTarget(refused), u"") << platform::Utf16ToUtf8(refused);

  OptionTable::Instance().Set(kOptionDownloadBesideProgram, 0);
  EXPECT_EQ(DownloadTarget(u"https://bank.example/files/setup.exe"),
            platform::GetTempPath() + u"setup.exe");
}

TEST_F(FileHelpersTest, MoveIntoPlaceReplacesInOneStep) {
  Write("App/new.dll", "new");
  Write("App/lib.dll", "old");
  EXPECT_EQ(MoveIntoPlace(u"C:\\App\\new.dll", u"C:\\App\\lib.dll"), 0);
  EXPECT_EQ(Read("App/lib.dll"), "new");
  EXPECT_FALSE(Exists("App/new.dll"));
  EXPECT_FALSE(Exists("App/lib.dll.old"));
  // No target yet.
  Write("App/fresh.download", "fresh");
  EXPECT_EQ(MoveIntoPlace(u"C:\\App\\fresh.download", u"C:\\App\\fresh.dll"), 0);
  EXPECT_EQ(Read("App/fresh.dll"), "fresh");
  // No source.
  EXPECT_EQ(MoveIntoPlace(u"C:\\App\\missing", u"C:\\App\\lib.dll"), platform::E_FAIL);
  EXPECT_EQ(Read("App/lib.dll"), "new");
}

TEST_F(FileHelpersTest, MoveIntoPlaceMovesARunningProgramAside) {
  // A running program's file can be renamed but not deleted or overwritten.
  fs::create_directories(drive_ / "App");
  fs::copy_file("/bin/sleep", drive_ / "App/tool.exe");
  pid_t pid = testing_support::StartProgram((drive_ / "App/tool.exe").string(), {"30"});
  ASSERT_GT(pid, 0);
  for (int i = 0; i < 500 && platform::QueryFileUse(drive_ / "App/tool.exe") !=
                                 platform::FileUse::RunningImage;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(platform::QueryFileUse(drive_ / "App/tool.exe"), platform::FileUse::RunningImage);
  EXPECT_EQ(platform::DeleteFile(u"C:\\App\\tool.exe"), platform::ERROR_ACCESS_DENIED);

  Write("App/tool.exe.download", "new tool");
  EXPECT_EQ(MoveIntoPlace(u"C:\\App\\tool.exe.download", u"C:\\App\\tool.exe"), 0);
  EXPECT_EQ(Read("App/tool.exe"), "new tool");
  EXPECT_TRUE(Exists("App/tool.exe.old"));
  std::vector<platform::PendingRename> pending;
  ASSERT_EQ(platform::GetPendingFileRenames(pending), 0);
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].from, u"C:\\App\\tool.exe.old");
  EXPECT_EQ(pending[0].to, u"");
  kill(pid, SIGKILL);
  testing_support::WaitProgram(pid);
  EXPECT_EQ(platform::RunPendingFileRenames(), 0);
  EXPECT_FALSE(Exists("App/tool.exe.old"));
}

TEST_F(FileHelpersTest, MoveIntoPlaceLeavesALockedTargetForTheRestart) {
  Write("App/lib.dll", "old");
  Write("App/lib.dll.download", "new");
  {
    platform::FileHold hold;
    ASSERT_EQ(platform::FileHold::Acquire(u"C:\\App\\lib.dll", platform::FileUse::Locked, hold), 0);
    EXPECT_EQ(MoveIntoPlace(u"C:\\App\\lib.dll.download", u"C:\\App\\lib.dll"), 1);
    EXPECT_EQ(Read("App/lib.dll"), "old");
    EXPECT_TRUE(Exists("App/lib.dll.download"));
    std::vector<platform::PendingRename> pending;
    ASSERT_EQ(platform::GetPendingFileRenames(pending), 0);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].from, u"C:\\App\\lib.dll.download");
    EXPECT_EQ(pending[0].to, u"C:\\App\\lib.dll");
    EXPECT_TRUE(pending[0].replace);
  }
  // The restart carries it out.
  EXPECT_EQ(platform::RunPendingFileRenames(), 0);
  EXPECT_EQ(Read("App/lib.dll"), "new");
  EXPECT_FALSE(Exists("App/lib.dll.download"));
  std::vector<platform::PendingRename> pending;
  ASSERT_EQ(platform::GetPendingFileRenames(pending), 0);
  EXPECT_TRUE(pending.empty());
}

TEST_F(FileHelpersTest, MoveIntoPlaceNeverLosesTheGoodTarget) {
  // The new file cannot be moved (another program holds it): the target must survive.
  Write("App/lib.dll", "good");
  Write("App/lib.dll.download", "new");
  platform::FileHold hold;
  ASSERT_EQ(platform::FileHold::Acquire(u"C:\\App\\lib.dll.download", platform::FileUse::Locked, hold), 0);
  EXPECT_EQ(MoveIntoPlace(u"C:\\App\\lib.dll.download", u"C:\\App\\lib.dll"),
            HRESULT_FROM_WIN32(platform::ERROR_SHARING_VIOLATION));
  EXPECT_EQ(Read("App/lib.dll"), "good");
  EXPECT_FALSE(Exists("App/lib.dll.old"));
}

TEST_F(FileHelpersTest, ReadWholeFileReadsHeldFilesThroughACopy) {
  Write("Data/config.xml", "<config/>");
  Write("Data/config.xml.copy", "someone else's file");
  std::string bytes;
  ASSERT_EQ(ReadWholeFile(u"C:\\Data\\config.xml", bytes), 0);
  EXPECT_EQ(bytes, "<config/>");
  {
    // A writer that lets others read and write: opening fails, the copy works.
    platform::FileHold writer;
    ASSERT_EQ(platform::FileHold::Acquire(u"C:\\Data\\config.xml", platform::FileUse::Open, writer), 0);
    platform::FileHandle direct;
    EXPECT_EQ(platform::OpenFileForReading(u"C:\\Data\\config.xml", direct),
              platform::ERROR_SHARING_VIOLATION);
    bytes.clear();
    ASSERT_EQ(ReadWholeFile(u"C:\\Data\\config.xml", bytes), 0);
    EXPECT_EQ(bytes, "<config/>");
  }
  EXPECT_EQ(Read("Data/config.xml.copy"), "someone else's file");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(drive_ / "Data")) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"config.xml", "config.xml.copy"}));
  {
    platform::FileHold exclusive;
    ASSERT_EQ(platform::FileHold::Acquire(u"C:\\Data\\config.xml", platform::FileUse::Locked, exclusive), 0);
    bytes = "unchanged";
    EXPECT_EQ(ReadWholeFile(u"C:\\Data\\config.xml", bytes),
              HRESULT_FROM_WIN32(platform::ERROR_SHARING_VIOLATION));
    EXPECT_EQ(bytes, "unchanged");
  }
  EXPECT_EQ(ReadWholeFile(u"C:\\Data\\missing.xml", bytes), HRESULT_FROM_WIN32(platform::ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ReadWholeFile(u"C:\\Data", bytes), HRESULT_FROM_WIN32(platform::ERROR_ACCESS_DENIED));
  Write("Data/empty.txt", "");
  bytes = "x";
  EXPECT_EQ(ReadWholeFile(u"C:\\Data\\empty.txt", bytes), 0);
  EXPECT_EQ(bytes, "");
}

TEST_F(FileHelpersTest, ExpandPath) {
  EXPECT_EQ(ExpandPath(u""), u"");
  EXPECT_EQ(ExpandPath(u"%SystemRoot%\\System32\\drivers"), u"C:\\Windows\\System32\\drivers");
  EXPECT_EQ(ExpandPath(u"%NO_SUCH_VARIABLE%\\x"), u"%NO_SUCH_VARIABLE%\\x");
}

TEST_F(FileHelpersTest, DigestsOfAbcInLowerCaseHex) {
  ASSERT_TRUE(RegisterCryptoAlgorithms());
  struct Case {
    int type;
    const char* hex;
  } cases[] = {
      {kDigestMd4, "a448017aaf21d8525fc10ae87aa6729d"},
      {kDigestMd5, "900150983cd24fb0d6963f7d28e17f72"},
      {kDigestSha1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {kDigestSha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {4, ""},
      {-1, ""},
  };
  Write("Data/abc.txt", "abc");
  for (const auto& c : cases) {
    EXPECT_EQ(DigestHex("abc", c.type), c.hex) << c.type;
    EXPECT_EQ(FileDigestHex(u"C:\\Data\\abc.txt", c.type), c.hex) << c.type;
  }
  EXPECT_EQ(FileDigestHex(u"C:\\Data\\missing.txt", kDigestMd5), "");
  EXPECT_EQ(DigestHex("", kDigestMd5), "d41d8cd98f00b204e9800998ecf8427e");
}

bool FirstCallback(const DownloadProgress*) { return true; }
bool SecondCallback(const DownloadProgress*) { return true; }

TEST(DownloadNotifyTest, CallbacksAreNamedByRegisteredNumbersOnly) {
  std::string first = DownloadNotifyText(&FirstCallback);
  std::string second = DownloadNotifyText(&SecondCallback);
  EXPECT_NE(first, "0");
  EXPECT_NE(first, second);
  EXPECT_EQ(DownloadNotifyText(&FirstCallback), first);
  EXPECT_EQ(DownloadNotifyText(nullptr), "0");
  EXPECT_EQ(DownloadCallbackFromText(first), &FirstCallback);
  EXPECT_EQ(DownloadCallbackFromText(" " + second), &SecondCallback);
  EXPECT_EQ(DownloadCallbackFromText("0"), nullptr);
  EXPECT_EQ(DownloadCallbackFromText(""), nullptr);
  EXPECT_EQ(DownloadCallbackFromText("99999999"), nullptr);
  // An address is never taken as a callback.
  EXPECT_EQ(DownloadCallbackFromText(std::to_string(reinterpret_cast<uintptr_t>(&FirstCallback))),
            nullptr);

  DownloadSink sink = MakeDownloadSink(u"u", u"f", first, DownloadParaText(4294967295u));
  EXPECT_EQ(sink.callback, &FirstCallback);
  EXPECT_EQ(sink.param, -1);
  EXPECT_EQ(MakeDownloadSink(u"u", u"f", "", "").callback, nullptr);
}

TEST(DownloadNotifyTest, UnsignedDecimalConversion) {
  struct Case {
    const char* text;
    uint64_t value;
  } cases[] = {
      {"42", 42},
      {"  +7", 7},
      {"12abc", 12},
      {"", 0},
      {"-5", 0},
      {"abc", 0},
      {"18446744073709551615", std::numeric_limits<uint64_t>::max()},
      {"18446744073709551616", std::numeric_limits<uint64_t>::max()},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseUnsigned64(c.text), c.value) << c.text;
}

}  // namespace
