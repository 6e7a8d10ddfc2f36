// `lumectl reg` run as a program on the fixture's machine image.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/text.h"
#include "tests/support/machine_fixture.h"

namespace {

using testing_support::ProcessResult;

class LumectlRegTest : public testing_support::MachineTest {
 protected:
  // Runs `lumectl reg ARGS`; `input` is what the user types (only give it when the
  // command asks).
  ProcessResult Reg(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), "reg");
    return testing_support::RunProgram(LUMECTL_BIN, args, {}, input);
  }
  void Add(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"add"};
    all.insert(all.end(), args.begin(), args.end());
    all.push_back("/f");
    ProcessResult r = Reg(all);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  std::string File(const std::string& name) { return (Dir() / name).string(); }
  void WriteFile(const std::string& name, const std::string& bytes) {
    std::ofstream(Dir() / name, std::ios::binary) << bytes;
  }
};

std::string Utf16File(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes += char(c & 0xFF);
    bytes += char(c >> 8);
  }
  return bytes;
}

std::u16string FromUtf16File(const std::string& bytes) {
  std::u16string text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2)
    text += char16_t(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8);
  return text;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
}

TEST_F(LumectlRegTest, AddThenQueryPrintsTheWindowsFormat) {
  const std::string key = "HKCU\\Software\\Fmt";
  struct Case {
    std::vector<std::string> add;
    std::string line;  // as query prints it
  };
  const Case cases[] = {
      {{"/v", "Str", "/d", "hello world"}, "    Str    REG_SZ    hello world"},
      {{"/ve", "/d", "dflt"}, "    (Default)    REG_SZ    dflt"},
      {{"/v", "Exp", "/t", "REG_EXPAND_SZ", "/d", "%TEMP%\\x"},
       "    Exp    REG_EXPAND_SZ    %TEMP%\\x"},
      {{"/v", "Multi", "/t", "REG_MULTI_SZ", "/d", "a\\0b\\0c"},
       "    Multi    REG_MULTI_SZ    a\\0b\\0c"},
      {{"/v", "Sep", "/t", "reg_multi_sz", "/s", "#", "/d", "x#y"},
       "    Sep    REG_MULTI_SZ    x\\0y"},
      {{"/v", "Bin", "/t", "REG_BINARY", "/d", "00ff1a"}, "    Bin    REG_BINARY    00FF1A"},
      {{"/v", "Dw", "/t", "REG_DWORD", "/d", "0x1F"}, "    Dw    REG_DWORD    0x1f"},
      {{"/v", "DwDec", "/t", "REG_DWORD", "/d", "4294967295"},
       "    DwDec    REG_DWORD    0xffffffff"},
      {{"/v", "Qw", "/t", "REG_QWORD", "/d", "4294967296"}, "    Qw    REG_QWORD    0x100000000"},
      {{"/v", "None", "/t", "REG_NONE"}, "    None    REG_NONE    "},
  };
  std::string expected = "\nHKEY_CURRENT_USER\\Software\\Fmt\n";
  for (const auto& c : cases) {
    std::vector<std::string> args = {"add", key};
    args.insert(args.end(), c.add.begin(), c.add.end());
    ProcessResult r = Reg(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "The operation completed successfully.\n");
    expected += c.line + "\n";
  }
  Add({key + "\\Sub2"});
  Add({key + "\\sub1"});
  expected += "\nHKEY_CURRENT_USER\\Software\\Fmt\\sub1\nHKEY_CURRENT_USER\\Software\\Fmt\\Sub2\n";

  ProcessResult r = Reg({"query", "hkey_current_user\\Software\\Fmt"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, expected);

  r = Reg({"query", key, "/v", "dw"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\Fmt\n    Dw    REG_DWORD    0x1f\n\n");

  Add({key + "\\sub1", "/v", "Dw", "/t", "REG_DWORD", "/d", "7"});
  r = Reg({"query", key, "/v", "Dw", "/s"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out,
            "\nHKEY_CURRENT_USER\\Software\\Fmt\n    Dw    REG_DWORD    0x1f\n"
            "\nHKEY_CURRENT_USER\\Software\\Fmt\\sub1\n    Dw    REG_DWORD    0x7\n"
            "\nEnd of search: 2 match(es) found.\n");

  r = Reg({"query", key, "/v", "Missing"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "ERROR: The system was unable to find the specified registry key or value.\n");
  r = Reg({"query", "HKCU\\Software\\NoSuchKey"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "ERROR: The system was unable to find the specified registry key or value.\n");
}

TEST_F(LumectlRegTest, BadDataIsRefusedAndChangesNothing) {
  const std::string key = "HKCU\\Software\\BadData";
  const std::vector<std::vector<std::string>> cases = {
      {"/t", "REG_DWORD", "/d", "abc"},
      {"/t", "REG_DWORD", "/d", "4294967296"},
      {"/t", "REG_DWORD", "/d", "-1"},
      {"/t", "REG_QWORD", "/d", "0x10000000000000000"},
      {"/t", "REG_BINARY", "/d", "abc"},
      {"/t", "REG_BINARY", "/d", "zz"},
      {"/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c[1] + " " + c[3]);
    std::vector<std::string> args = {"add", key, "/v", "x"};
    args.insert(args.end(), c.begin(), c.end());
    ProcessResult r = Reg(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("ERROR: Invalid syntax."), std::string::npos) << r.err;
  }
  EXPECT_EQ(Reg({"query", key}).exitCode, 1);  // not even the key was created
}

TEST_F(LumectlRegTest, DefaultViewIsTheThirtyTwoBitView) {
  Add({"HKLM\\SOFTWARE\\Vendor", "/v", "Where", "/d", "32"});
  Add({"HKLM\\SOFTWARE\\Vendor", "/v", "Where", "/d", "64", "/reg:64"});

  ProcessResult r = Reg({"query", "HKLM\\SOFTWARE\\Vendor"});
  EXPECT_EQ(r.out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Vendor\n    Where    REG_SZ    32\n");
  EXPECT_EQ(Reg({"query", "HKLM\\SOFTWARE\\Vendor", "/reg:32"}).out, r.out);
  r = Reg({"query", "HKLM\\SOFTWARE\\Vendor", "/reg:64"});
  EXPECT_EQ(r.out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\n    Where    REG_SZ    64\n");
  r = Reg({"query", "HKLM\\SOFTWARE\\WOW6432Node\\Vendor", "/reg:64", "/v", "Where"});
  EXPECT_NE(r.out.find("REG_SZ    32"), std::string::npos);

  // The program itself sees what the tool wrote in the default view.
  platform::RegKey key;
  ASSERT_EQ(platform::RegKey::Open(platform::Hive::LocalMachine, u"SOFTWARE\\Vendor",
                                   platform::RegView::Process, key),
            platform::ERROR_SUCCESS);
  std::u16string where;
  EXPECT_EQ(key.GetString(u"Where", where), platform::ERROR_SUCCESS);
  EXPECT_EQ(where, u"32");
}

TEST_F(LumectlRegTest, OverwriteAndDeleteAskFirst) {
  const std::string key = "HKCU\\Software\\Ask";
  Add({key, "/v", "Name", "/d", "old"});
  const std::string prompt = "Value Name exists, overwrite(Yes/No)? ";

  struct Case {
    std::string input;
    std::string value;  // afterwards
  };
  for (const auto& c : {Case{"n\n", "old"}, Case{"", "old"}, Case{"maybe\nNO\n", "old"},
                        Case{"yes\n", "new"}}) {
    SCOPED_TRACE("answer: " + c.input);
    ProcessResult r = Reg({"add", key, "/v", "Name", "/d", "new"}, c.input);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind(prompt, 0), 0u) << r.out;
    EXPECT_EQ(Reg({"query", key, "/v", "Name"}).out,
              "\nHKEY_CURRENT_USER\\Software\\Ask\n    Name    REG_SZ    " + c.value + "\n\n");
  }

  ProcessResult r = Reg({"delete", key, "/v", "Name"}, "n\n");
  EXPECT_EQ(r.out,
            "Delete the registry value Name (Yes/No)? The operation was cancelled by the user.\n");
  EXPECT_EQ(Reg({"query", key, "/v", "Name"}).exitCode, 0);
  Add({key + "\\Child\\Grandchild"});
  r = Reg({"delete", key}, "y\n");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out,
            "Delete the registry key HKEY_CURRENT_USER\\Software\\Ask (Yes/No)? "
            "The operation completed successfully.\n");
  EXPECT_EQ(Reg({"query", key}).exitCode, 1);
  EXPECT_EQ(Reg({"delete", key, "/f"}).exitCode, 1);
}

TEST_F(LumectlRegTest, ExportThenImportRecreatesTheTree) {
  const std::string key = "HKCU\\Software\\Orig";
  Add({key, "/ve", "/d", "default"});
  Add({key, "/v", "Quote\"And\\Slash", "/d", "C:\\Path \"quoted\""});
  Add({key, "/v", "Exp", "/t", "REG_EXPAND_SZ", "/d", "%SystemRoot%\\x"});
  Add({key, "/v", "Multi", "/t", "REG_MULTI_SZ", "/d", "one\\0two"});
  Add({key, "/v", "Dw", "/t", "REG_DWORD", "/d", "305419896"});
  Add({key, "/v", "Qw", "/t", "REG_QWORD", "/d", "0x1122334455667788"});
  Add({key, "/v", "None", "/t", "REG_NONE"});
  Add({key, "/v", "Long", "/t", "REG_BINARY", "/d", std::string(400, 'a')});
  Add({key + "\\Sub\\Deeper", "/v", "Text", "/d", "\xC3\xA4\xE4\xB8\xAD"});

  ProcessResult r = Reg({"export", key, File("orig.reg")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string bytes = testing_support::ReadText(File("orig.reg"));
  ASSERT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  std::string text = platform::Utf16ToUtf8(FromUtf16File(bytes));
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_CURRENT_USER\\Software\\Orig]\r\n"
                       "@=\"default\"\r\n"
                       "\"Quote\\\"And\\\\Slash\"=\"C:\\\\Path \\\"quoted\\\"\"\r\n",
                       0),
            0u)
      << text;
  EXPECT_NE(text.find("\"Dw\"=dword:12345678\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Qw\"=hex(b):88,77,66,55,44,33,22,11\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"None\"=hex(0):\r\n"), std::string::npos);
  EXPECT_NE(text.find(",\\\r\n  aa,aa,"), std::string::npos);  // long data wraps
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Orig\\Sub\\Deeper]\r\n"), std::string::npos);

  // The same file with the key renamed is imported into a fresh key.
  ReplaceAll(text, "Software\\Orig", "Software\\Copy");
  WriteFile("copy.reg", Utf16File(platform::Utf8ToUtf16(text)));
  r = Reg({"import", File("copy.reg")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "The operation completed successfully.\n");

  std::string original = Reg({"query", key, "/s"}).out;
  std::string copy = Reg({"query", "HKCU\\Software\\Copy", "/s"}).out;
  ReplaceAll(original, "Software\\Orig", "Software\\Copy");
  EXPECT_EQ(copy, original);
  EXPECT_NE(copy.find("End of search: 11 match(es) found."), std::string::npos) << copy;

  // Exporting over an existing file asks first.
  r = Reg({"export", key, File("orig.reg")}, "n\n");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("cancelled"), std::string::npos);
  EXPECT_EQ(testing_support::ReadText(File("orig.reg")), bytes);
}

TEST_F(LumectlRegTest, ImportReadsOtherEncodingsAndDeletes) {
  Add({"HKCU\\Software\\Old\\Child"});
  Add({"HKCU\\Software\\Keep", "/v", "gone", "/d", "x"});
  const std::string body =
      "\r\n[HKEY_CURRENT_USER\\Software\\Utf8]\r\n"
      "\"name\"=\"\xC3\xA4\"\r\n"
      "\"bin\"=hex:01,02,\\\r\n"
      "  03\r\n"
      "; a comment\r\n"
      "[-HKEY_CURRENT_USER\\Software\\Old]\r\n"
      "[HKEY_CURRENT_USER\\Software\\Keep]\r\n"
      "\"gone\"=-\r\n";
  for (const std::string& prefix : {std::string("Windows Registry Editor Version 5.00\r\n"),
                                    std::string("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"),
                                    std::string("REGEDIT4\r\n")}) {
    SCOPED_TRACE(prefix);
    WriteFile("in.reg", prefix + body);
    ProcessResult r = Reg({"import", File("in.reg")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\Utf8"}).out,
              "\nHKEY_CURRENT_USER\\Software\\Utf8\n    name    REG_SZ    \xC3\xA4\n"
              "    bin    REG_BINARY    010203\n");
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\Old"}).exitCode, 1);
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\Keep", "/v", "gone"}).exitCode, 1);
  }
}

TEST_F(LumectlRegTest, MalformedImportChangesNothing) {
  const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n";
  const std::string good = "[HKEY_CURRENT_USER\\Software\\Partial]\r\n\"a\"=\"1\"\r\n";
  const std::vector<std::string> files = {
      header + good + "\"b\"=dword:nothex\r\n",
      header + good + "\"c\"=hex:01,zz\r\n",
      header + good + "\"d\"=\"unterminated\r\n",
      header + good + "garbage line\r\n",
      header + good + "[HKEY_NOWHERE\\Software\\X]\r\n",
      header + good + "[HKEY_CURRENT_USER\\Software\\\\X]\r\n",
      header + "\"a\"=\"value before any key\"\r\n",
      "not a registry file\r\n" + good,
      "",
  };
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(i);
    WriteFile("bad.reg", files[i]);
    ProcessResult r = Reg({"import", File("bad.reg")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("ERROR: ", 0), 0u) << r.err;
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\Partial"}).exitCode, 1);
  }
  EXPECT_EQ(Reg({"import", File("missing.reg")}).exitCode, 1);
}

TEST_F(LumectlRegTest, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"query"},
      {"query", "HKXX\\Software"},
      {"query", "HKCU\\Software", "/bogus"},
      {"query", "HKCU\\Software", "/v"},
      {"query", "HKCU\\Software", "/v", "a", "/ve"},
      {"query", "HKCU\\Software", "/reg:32", "/reg:64"},
      {"add", "HKCU\\Software\\X", "/t", "REG_WHATEVER"},
      {"add", "HKCU\\Software\\X", "/s", ",", "/d", "a"},
      {"export", "HKCU\\Software"},
      {"import"},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    ProcessResult r = Reg(args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_FALSE(r.err.empty());
    EXPECT_TRUE(r.out.empty());
  }
  EXPECT_EQ(Reg({"query", "HKCU\\Software\\X"}).exitCode, 1);  // nothing was created
}

}  // namespace
