// The `clsid` checker: an in-process COM server (a browser control) is registered, its file
// passes the file test, and the user has not disabled it in the browser's add-on list. The
// repair re-enables a disabled add-on; a missing registration is left to the item's
// installer.
#pragma once

#include <string>
#include <string_view>

#include "engine/check/check_fix.h"

namespace Corvane::Assistant {

class CheckFixCOM : public ICheckFix {
 public:
  CheckStatus CheckEntry(ConfigEntry& entry) override;
  CheckStatus FixEntry(ConfigEntry& entry) override;
};

// The file named by an InprocServer32 value: surrounding blanks and quotes removed and
// %VARIABLE% references expanded, as the system's loader reads it.
std::u16string ServerFilePath(std::u16string_view value);

}  // namespace Corvane::Assistant
