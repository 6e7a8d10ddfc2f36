// The application object of Lumedesk: start-up, the message loop and the exit sequence,
// and the state the program's parts share (command table, key managers, settings, log).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/app_log.h"
#include "app/settings_store.h"
#include "key/ukey.h"
#include "ui/browser_dialog.h"

// Command name (exact, case-sensitive) to command id.
using CommandTable = std::map<std::u16string, int32_t>;

inline constexpr char16_t kCompanyKey[] = u"Corvane";
inline constexpr char16_t kTrayProgram[] = u"TrayletRX";
inline constexpr uint32_t kStartTextString = 103;
inline constexpr uint32_t kAppIcon = 128;
inline constexpr uint32_t kBuiltInPage = 129;

class CAssistantApp {
 public:
  // `commandLine` is the process's argument list; the first element is the program.
  // `appName` names the settings key; by default the program file's name (lumectl passes
  // "Lumedesk" to work on the program's settings).
  explicit CAssistantApp(std::vector<std::u16string> commandLine,
                         std::optional<std::u16string> appName = std::nullopt);
  ~CAssistantApp();
  CAssistantApp(const CAssistantApp&) = delete;
  CAssistantApp& operator=(const CAssistantApp&) = delete;

  // The one application object, or none outside its lifetime.
  static CAssistantApp* Instance();

  // Start-up, message loop and exit sequence; returns the process's exit code.
  int Run();

  // The steps of Run, usable one by one (lumectl runs the process set-up and works on the
  // same state without a window).
  bool ProcessSetup(bool singleInstance = true);
  void SetOptions();
  void SetHttpTimeouts();
  void RunMessageLoop();
  void ExitSequence();
  // The dialog start-up creates: the built-in page, or the address in ResUrl.
  Corvane::UI::DialogParameters StartupDialogParameters() const;

  // shut_down: closes the single-instance mutex, posts the quit message to the UI thread
  // and clears the running flag. Safe from any thread.
  void ShutDown();

  const CommandTable& Commands() const { return commands_; }
  KeyMap& Keys() { return keys_; }
  std::mutex& PlugLock() { return plugLock_; }
  SettingsStore& Settings() { return settings_; }
  AppLog& Log() { return log_; }
  const std::vector<std::u16string>& CommandLine() const { return commandLine_; }
  std::atomic<bool>& Running() { return running_; }

  // The program file's name without folder and extension: the settings key's name.
  const std::u16string& AppName() const { return appName_; }
  // "{folder}\TrayletRX.exe" {program file name} 103 102 128 (the program file of the
  // tray companion carries no extension here; starting it finds the file without it)
  std::u16string TrayCommandLine() const;

  // The dialog pointer: the door through which page calls are made; none without a dialog.
  Corvane::UI::IBSDialog* Dialog() const { return dialog_.load(); }

 private:
  std::vector<std::u16string> commandLine_;
  std::u16string appName_;
  CommandTable commands_;
  KeyMap keys_;
  std::mutex plugLock_;
  SettingsStore settings_;
  AppLog log_;
  std::atomic<bool> running_{true};
  std::atomic<Corvane::UI::IBSDialog*> dialog_{nullptr};
};
