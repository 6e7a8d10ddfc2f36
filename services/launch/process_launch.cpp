#include "services/launch/process_launch.h"

#include "platform/machine.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace {
constexpr size_t kCommandLineBuffer = 520;
}

int LaunchProcess(std::u16string_view commandLine, bool wait, bool asShellUser) {
  // The command line is copied into a buffer of 520 characters; a longer one would be cut
  // and start something else, so it is refused.
  if (commandLine.size() >= kCommandLineBuffer) return -1;
  if (asShellUser && platform::WindowsMajorVersion() >= 6) {
    // Starting with the desktop shell's token needs the shell's window; the machine image
    // has no desktop shell yet, which the shell-user path reports as -1.
    return -1;
  }
  platform::Process process;
  if (platform::CreateProcess(commandLine, process) != platform::ERROR_SUCCESS) return -1;
  if (wait) process.Wait(platform::INFINITE);
  uint32_t code = process.ExitCode();
  return code == platform::STILL_ACTIVE ? 0 : int(code);
}

std::u16string AutostartValueName(std::u16string_view commandLine) {
  std::u16string name(commandLine);
  size_t at = name.rfind(u'\\');
  if (at != std::u16string::npos) name.erase(0, at + 1);
  at = name.rfind(u'/');
  if (at != std::u16string::npos) name.erase(0, at + 1);
  at = name.find(u'.');
  if (at != std::u16string::npos) name.erase(at);
  return name;
}

bool SetAutostart(const std::optional<std::u16string>& commandLine, bool enable) {
  if (!commandLine) return false;
  std::u16string valueName = AutostartValueName(*commandLine);
  if (enable) {
    platform::RegKey run;
    if (platform::RegKey::Create(platform::Hive::CurrentUser, kRunKey, platform::RegView::Process,
                                 run) != platform::ERROR_SUCCESS)
      return false;
    // The data is the command line's characters without a terminating zero, as the shell's
    // SHRegSetUSValue writes it when given the character count times two.
    std::vector<uint8_t> bytes;
    for (char16_t c : *commandLine) {
      bytes.push_back(uint8_t(c & 0xFF));
      bytes.push_back(uint8_t(c >> 8));
    }
    return run.SetValue(valueName, platform::REG_SZ, bytes.data(), uint32_t(bytes.size())) ==
           platform::ERROR_SUCCESS;
  }
  platform::RegKey run;
  if (platform::RegKey::Open(platform::Hive::CurrentUser, kRunKey, platform::RegView::Process,
                             run) != platform::ERROR_SUCCESS)
    return false;
  return run.DeleteValue(valueName) == platform::ERROR_SUCCESS;
}
