// The command dispatcher: the one answer to the page's calls. It resolves the command name
// (or number), checks the arguments and calls the part of the program that does the work.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/assistant_app.h"
#include "ui/bs_dialog.h"

enum CommandId : int32_t {
  kGetConfig = 1,
  kSaveSettings = 2,
  kLoadSettings = 3,
  kMessageBox = 4,
  kOpenIe = 5,
  kGetData = 6,
  kIsKeyConnect = 7,
  kDoCheck = 8,
  kDoFix = 9,
  kDoInstall = 10,
  kGetVersion = 11,
  kDebugPrint = 12,
  kDoExtraStartup = 13,
  kCheckUpdate = 14,
  kUpdateKeyInfo = 15,
  kChangePin = 16,
  kChangeTokenName = 17,
  kGetTokenName = 18,
  kLog = 19,
  kShutDown = 20,
  kHttpRequest = 21,
};

// The 21 command names and their ids.
CommandTable BuildCommandTable();

// An integer is the id itself; a string is looked up exactly; anything else is -1.
int32_t ResolveCommand(const CommandTable& table, const platform::Variant& name);

// The script-call handler of the dialog. Never fails towards the caller: problems are
// reported with message boxes and default results.
platform::Variant DispatchCommand(Corvane::UI::IBSDialog* dialog, const platform::Variant& name,
                                  const platform::Variant& a1, const platform::Variant& a2,
                                  const platform::Variant& a3, const platform::Variant& a4);

// The device identifiers of `is_key_connect`: pieces between '|' and ',' read as hex.
std::vector<uint32_t> ParseDeviceIds(std::u16string_view text);
