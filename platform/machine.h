// The machine image: one folder holding all emulated Windows state of one machine
// (registry.db, drive_c/). The process works on the image named by LUMEDESK_MACHINE, or
// on a default image under the user's data folder, created on first use.
#pragma once

#include <filesystem>
#include <string>

#include "platform/errors.h"

namespace platform {

struct MachineOptions {
  std::string os = "win10";  // xp, vista, win7, win8, win81, win10
  std::string arch = "x64";  // x86, x64
  std::string user = "user";
};

// The environment variable that names the image.
inline constexpr const char* kMachineVariable = "LUMEDESK_MACHINE";

// Creates a fresh image in `dir` (created when missing; must not already hold files).
// On failure *error says why.
LSTATUS CreateMachineImage(const std::filesystem::path& dir, const MachineOptions& options,
                           std::string* error);

// True when `dir` holds a machine image.
bool IsMachineImage(const std::filesystem::path& dir);

// Selects the current image: LUMEDESK_MACHINE when set (it must exist), otherwise the
// default image (created when missing). Called once at start by the programs; later calls
// re-read the environment, so a test can switch images. On failure *error says why and
// nothing is created.
LSTATUS SelectCurrentMachine(std::string* error);
// Selects an explicit image (tests).
LSTATUS SelectMachine(const std::filesystem::path& dir, std::string* error);

// The current image's folder; empty before a successful selection.
std::filesystem::path MachineRoot();
std::filesystem::path DefaultMachineDir();

// Facts about the current image, read from its registry.
bool Is64BitWindows();
// Major and minor version of Windows (10.0, 6.1, 5.1, ...).
int WindowsMajorVersion();
int WindowsMinorVersion();
// The logged-on user's name and profile folder (C:\Users\name).
std::u16string UserName();

}  // namespace platform
