// File operations of the machine image: the answers for files in use and the restart list.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/files.h"
#include "platform/registry.h"
#include "tests/support/machine_fixture.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

class FilesTest : public testing_support::MachineTest {
 protected:
  void Write(const std::string& relative, const std::string& content) {
    fs::path file = Image() / "drive_c" / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
  }
  std::string Read(const std::string& relative) {
    return testing_support::ReadText(Image() / "drive_c" / relative);
  }
};

TEST_F(FilesTest, AnswersForFilesHeldByAnotherProgram) {
  Write("d/held.txt", "held");
  Write("d/other.txt", "other");
  struct Case {
    FileUse use;
    LSTATUS remove, move, copy, read;
  } cases[] = {
      {FileUse::None, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS},
      {FileUse::Open, ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION, ERROR_SUCCESS,
       ERROR_SHARING_VIOLATION},
      {FileUse::Locked, ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION,
       ERROR_SHARING_VIOLATION},
  };
  for (const auto& c : cases) {
    FileHold hold;
    if (c.use != FileUse::None) {
      ASSERT_EQ(FileHold::Acquire(u"C:\\d\\held.txt", c.use, hold), 0);
    }
    EXPECT_EQ(QueryFileUse(Image() / "drive_c/d/held.txt"), c.use);
    FileHandle file;
    EXPECT_EQ(OpenFileForReading(u"C:\\D\\HELD.TXT", file), c.read);
    EXPECT_EQ(CopyFile(u"C:\\d\\held.txt", u"C:\\d\\copy.txt", false), c.copy);
    EXPECT_EQ(MoveFileEx(u"C:\\d\\other.txt", u"C:\\d\\held.txt", MOVEFILE_REPLACE_EXISTING), c.remove);
    if (c.remove == ERROR_SUCCESS) {
      EXPECT_EQ(Read("d/held.txt"), "other");
      Write("d/other.txt", "other");
      Write("d/held.txt", "held");
    }
    EXPECT_EQ(MoveFile(u"C:\\d\\held.txt", u"C:\\d\\moved.txt"), c.move);
    if (c.move == ERROR_SUCCESS) {
      ASSERT_EQ(MoveFile(u"C:\\d\\moved.txt", u"C:\\d\\held.txt"), 0);
    }
    EXPECT_EQ(DeleteFile(u"C:\\d\\held.txt"), c.remove);
    if (c.remove == ERROR_SUCCESS) Write("d/held.txt", "held");
  }
}

TEST_F(FilesTest, MovesAndCopiesKeepWindowsAnswers) {
  Write("d/a.txt", "a");
  Write("d/b.txt", "b");
  EXPECT_EQ(MoveFile(u"C:\\d\\a.txt", u"C:\\d\\b.txt"), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(CopyFile(u"C:\\d\\a.txt", u"C:\\d\\b.txt", true), ERROR_FILE_EXISTS);
  EXPECT_EQ(Read("d/b.txt"), "b");
  EXPECT_EQ(MoveFile(u"C:\\d\\missing.txt", u"C:\\d\\c.txt"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(DeleteFile(u"C:\\d"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(DeleteFile(u"C:\\d\\missing.txt"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(CreateDirectory(u"C:\\d"), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(CreateDirectory(u"C:\\x\\y"), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(CopyFile(u"C:\\d\\a.txt", u"C:\\d\\b.txt", false), 0);
  EXPECT_EQ(Read("d/b.txt"), "a");
  EXPECT_TRUE(PathFileExists(u"C:\\D\\B.TXT"));
  EXPECT_EQ(GetTempPath().back(), u'\\');
}

TEST_F(FilesTest, RestartListIsKeptInTheSessionManagerKey) {
  Write("d/a.txt", "a");
  Write("d/old.txt", "old");
  ASSERT_EQ(MoveFileEx(u"C:\\d\\a.txt", u"C:\\d\\b.txt", MOVEFILE_DELAY_UNTIL_REBOOT), 0);
  ASSERT_EQ(MoveFileEx(u"C:\\d\\old.txt", u"", MOVEFILE_DELAY_UNTIL_REBOOT), 0);
  RegKey key;
  ASSERT_EQ(RegKey::Open(Hive::LocalMachine, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                         RegView::Reg64, key),
            0);
  uint32_t type = 0;
  std::vector<uint8_t> data;
  ASSERT_EQ(key.GetValue(u"PendingFileRenameOperations", type, data), 0);
  EXPECT_EQ(type, REG_MULTI_SZ);
  std::u16string text(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
  EXPECT_EQ(text, std::u16string(u"\\??\\C:\\d\\a.txt\0\\??\\C:\\d\\b.txt\0\\??\\C:\\d\\old.txt\0\0\0", 49));
  // Nothing moved yet.
  EXPECT_EQ(Read("d/a.txt"), "a");
  EXPECT_EQ(RunPendingFileRenames(), 0);
  EXPECT_EQ(Read("d/b.txt"), "a");
  EXPECT_FALSE(fs::exists(Image() / "drive_c/d/a.txt"));
  EXPECT_FALSE(fs::exists(Image() / "drive_c/d/old.txt"));
  std::vector<PendingRename> pending;
  ASSERT_EQ(GetPendingFileRenames(pending), 0);
  EXPECT_TRUE(pending.empty());
}

}  // namespace
