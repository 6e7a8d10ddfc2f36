// A fresh machine image in a temporary folder for every test, selected as the current
// image of the test process and named by LUMEDESK_MACHINE for the programs it starts.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/machine.h"

namespace testing_support {

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates the image with these options instead of the default (call from SetUp of a
  // derived fixture before anything touches the machine).
  virtual platform::MachineOptions Options() const { return {}; }

  const std::filesystem::path& Dir() const { return dir_; }
  std::filesystem::path Image() const { return dir_ / "machine"; }

 private:
  std::filesystem::path dir_;
};

// Result of running a program to its end.
struct ProcessResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs `program` with `args` (no shell) with extra environment entries NAME=VALUE,
// feeding `input` to its standard input, and waits for it.
ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env = {},
                         const std::string& input = {});

// Starts `program` in the background (output to `logFile` when given, else discarded).
pid_t StartProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {},
                   const std::filesystem::path& logFile = {});
// Waits for a started program; its exit code, 128 + signal, or -1 after the time-out
// (the program is then killed).
int WaitProgram(pid_t pid, int timeoutMs = 20000);

// Waits until `file` exists and contains `text`.
bool WaitForText(const std::filesystem::path& file, const std::string& text, int timeoutMs = 20000);

std::string ReadText(const std::filesystem::path& file);

}  // namespace testing_support
