// Platform pieces used by start-up and the exit sequence: command-line splitting, process
// start, named mutexes, resources, code pages, crypto set-up and the autostart entry.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <filesystem>
#include <fstream>

#include "platform/codepage.h"
#include "platform/named_mutex.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "services/crypto/crypto_setup.h"
#include "services/launch/process_launch.h"
#include "tests/support/machine_fixture.h"

namespace fs = std::filesystem;
using platform::CommandLineToArgv;

namespace {

TEST(CommandLineTest, SplitsLikeCommandLineToArgv) {
  struct Case {
    std::u16string line;
    std::vector<std::u16string> args;
  } cases[] = {
      {u"\"C:\\Program Files (x86)\\Paylume\\TrayletRX\" Lumedesk 103 102 128",
       {u"C:\\Program Files (x86)\\Paylume\\TrayletRX", u"Lumedesk", u"103", u"102", u"128"}},
      {u"\"C:\\a b\\TrayletRX\" Lume desk 103 102 128",
       {u"C:\\a b\\TrayletRX", u"Lume", u"desk", u"103", u"102", u"128"}},
      {u"prog", {u"prog"}},
      {u"", {u""}},
      {u"C:\\dir\\prog.exe  a\tb ", {u"C:\\dir\\prog.exe", u"a", u"b"}},
      // The program name takes no escapes; later arguments follow the backslash rules.
      {u"\"C:\\x\\\" \"a\\\\\\\"b\" c\\\\d \"e\\\\\"", {u"C:\\x\\", u"a\\\"b", u"c\\\\d", u"e\\"}},
      {u"p \"a \"\"quoted\"\" word\"", {u"p", u"a \"quoted\" word"}},
      {u"p \"unterminated arg", {u"p", u"unterminated arg"}},
  };
  for (const auto& c : cases) EXPECT_EQ(CommandLineToArgv(c.line), c.args) << platform::Utf16ToUtf8(c.line);

  for (std::u16string arg : {u"plain", u"with blank", u"", u"q\"uote", u"trail\\", u"a\\\"b", u"c:\\x y\\"}) {
    auto split = CommandLineToArgv(u"p " + platform::QuoteArgument(arg));
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(split[1], arg);
  }
}

TEST(PercentDecodeTest, EscapesAndLoneSigns) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"a%20b", "a b"}, {"%2e%2E/x", "../x"}, {"%E4%B8%AD", "\xE4\xB8\xAD"},
      {"100%", "100%"}, {"%4", "%4"}, {"%zz", "%zz"}, {"%%41", "%A"}, {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::PercentDecode(c.in), c.out) << c.in;
}

TEST(CodePageTest, Gbk) {
  EXPECT_EQ(platform::Utf16ToCodePage(u"错误 ok", platform::CP_GBK), "\xB4\xED\xCE\xF3 ok");
  EXPECT_EQ(platform::CodePageToUtf16("\xB4\xED\xCE\xF3 ok", platform::CP_GBK), u"错误 ok");
  // A character GBK lacks becomes '?', the rest is kept.
  EXPECT_EQ(platform::Utf16ToCodePage(u"a\u0E01b", platform::CP_GBK), "a?b");
  // A broken byte sequence becomes the replacement character.
  EXPECT_EQ(platform::CodePageToUtf16("a\xB4", platform::CP_GBK), u"a\uFFFD");
}

TEST(CryptoSetupTest, AlgorithmsAvailableByName) {
  ASSERT_TRUE(RegisterCryptoAlgorithms());
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_MD* md4 = EVP_MD_fetch(nullptr, "MD4", nullptr);
  ASSERT_NE(md4, nullptr);
  ASSERT_EQ(EVP_Digest("abc", 3, out, &len, md4, nullptr), 1);
  EVP_MD_free(md4);
  EXPECT_EQ(len, 16u);
  EXPECT_EQ(out[0], 0xa4);  // MD4("abc") = a448017a...
  EXPECT_EQ(out[1], 0x48);
}

TEST(ResourcesTest, StringTableIconAndPage) {
  const auto& self = platform::ResourceModule::Self();
  struct Case {
    uint32_t id;
    std::u16string text;
  } strings[] = {
      {102, u"Haverly银行村镇银行网银助手"}, {103, u"启动Haverly银行村镇银行网银助手"},
      {104, u"应用程序有更新发布\n是否立即应用"}, {105, u"应用程序有重要更新\n需要立即应用"},
      {106, u"发现更新"}, {107, u"立即更新"}, {108, u"稍后更新"}, {109, u"未发现更新"},
      {110, u""},
  };
  for (const auto& s : strings) EXPECT_EQ(self.LoadString(s.id), s.text) << s.id;
  EXPECT_TRUE(self.Find("ICON", 128).has_value());
  auto page = self.Find("HTML", 129);
  ASSERT_TRUE(page.has_value());
  EXPECT_EQ(page->substr(0, 15), "<!DOCTYPE html>");

  // Another program reads the same resources from Lumedesk's file.
  auto other = platform::ResourceModule::LoadFile(LUMEDESK_BIN);
  ASSERT_TRUE(other.has_value());
  EXPECT_EQ(other->LoadString(102), u"Haverly银行村镇银行网银助手");
  EXPECT_EQ(other->Find("ICON", 128), self.Find("ICON", 128));
  EXPECT_FALSE(platform::ResourceModule::LoadFile("/etc/hostname").has_value());
  EXPECT_FALSE(platform::ResourceModule::LoadFile("/nonexistent").has_value());
}

class ProcessTest : public testing_support::MachineTest {
 protected:
  // A script in the image's drive C, started by its Windows path.
  std::u16string Script(const std::string& name, const std::string& body) {
    fs::path file = Image() / "drive_c" / "Tools" / name;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(file, fs::perms::owner_all);
    return u"C:\\Tools\\" + platform::Utf8ToUtf16(name);
  }
};

TEST_F(ProcessTest, LaunchResults) {
  std::u16string exit3 = Script("setup", "exit 3");
  std::u16string slow = Script("slow", "sleep 5");
  EXPECT_EQ(LaunchProcess(exit3, true, false), 3);
  // A name ending in .exe finds the program without the extension.
  EXPECT_EQ(LaunchProcess(u"c:\\tools\\SETUP.exe", true, false), 3);
  EXPECT_EQ(LaunchProcess(slow, false, false), 0);  // still running
  EXPECT_EQ(LaunchProcess(u"C:\\Tools\\missing", true, false), -1);
  EXPECT_EQ(LaunchProcess(u"C:\\..\\..\\bin\\true", true, false), -1);  // outside the image
  EXPECT_EQ(LaunchProcess(exit3 + u" " + std::u16string(520, u'x'), true, false), -1);
}

TEST_F(ProcessTest, ArgumentsArriveSplitAndNoShellRuns) {
  fs::path record = Dir() / "args";
  std::u16string echo = Script("echo args", "for a in \"$@\"; do printf '[%s]' \"$a\"; done > '" +
                                                record.string() + "'");
  EXPECT_EQ(LaunchProcess(u"\"" + echo + u"\" one \"two three\" \";$(touch x)|&\"", true, false), 0);
  EXPECT_EQ(testing_support::ReadText(record), "[one][two three][;$(touch x)|&]");
}

TEST_F(ProcessTest, AutostartValue) {
  struct Case {
    std::u16string command;
    std::u16string name;
  } names[] = {
      {u"\"C:\\Program Files (x86)\\Paylume\\TrayletRX.exe\" Lumedesk.exe 103 102 128", u"TrayletRX"},
      {u"plain name arg", u"plain name arg"},
      {u"plainname", u"plainname"},
      {u"C:/dir/app.v2.exe arg", u"app"},
  };
  for (const auto& c : names) EXPECT_EQ(AutostartValueName(c.command), c.name);

  const std::u16string command = u"\"C:\\P\\TrayletRX.exe\" Lumedesk 103 102 128";
  ASSERT_TRUE(SetAutostart(command, true));
  platform::RegKey run;
  ASSERT_EQ(platform::RegKey::Open(platform::Hive::CurrentUser, kRunKey, platform::RegView::Reg64, run), 0);
  uint32_t type = 0;
  std::vector<uint8_t> data;
  ASSERT_EQ(run.GetValue(u"TrayletRX", type, data), 0);
  EXPECT_EQ(type, platform::REG_SZ);
  EXPECT_EQ(data.size(), command.size() * 2);  // the characters, no terminating zero
  std::u16string stored;
  ASSERT_EQ(run.GetString(u"TrayletRX", stored), 0);
  EXPECT_EQ(stored, command);

  EXPECT_TRUE(SetAutostart(command, false));
  EXPECT_NE(run.GetString(u"TrayletRX", stored), 0);
  EXPECT_FALSE(SetAutostart(command, false));  // nothing left to delete
  EXPECT_FALSE(SetAutostart(std::nullopt, true));
}

TEST_F(ProcessTest, NamedMutexIsHeldUntilClosed) {
  platform::NamedMutex a, b, c;
  EXPECT_EQ(platform::NamedMutex::Create(u"{077B1E2B-1515-4320-BA91-F5E063E00CB7}", a), platform::S_OK);
  // "Local\" is the session namespace every unprefixed name lives in.
  EXPECT_EQ(platform::NamedMutex::Create(u"Local\\{077B1E2B-1515-4320-BA91-F5E063E00CB7}", b),
            platform::S_FALSE);
  EXPECT_TRUE(b.IsOpen());
  // Names compare case-sensitively.
  EXPECT_EQ(platform::NamedMutex::Create(u"{077b1e2b-1515-4320-ba91-f5e063e00cb7}", c), platform::S_OK);
  a.Close();
  b.Close();
  EXPECT_EQ(platform::NamedMutex::Create(u"{077B1E2B-1515-4320-BA91-F5E063E00CB7}", b), platform::S_OK);
  EXPECT_EQ(platform::NamedMutex::Create(u"", a), platform::E_INVALIDARG);
}

}  // namespace
