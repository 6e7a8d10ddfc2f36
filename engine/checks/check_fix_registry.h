// The `registry` checker: named registry values must hold what the bank requires (DWORD
// under a mask, string, binary, or merely exist); the repair writes them.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/check/check_fix.h"
#include "platform/registry.h"

namespace Corvane::Assistant {

class CheckFixRegistry : public ICheckFix {
 public:
  // Registry editing forbidden by policy (Disableregistrytools) fails every check at once;
  // the repair lifts the policy first.
  CheckStatus BeginCheck() override;
  CheckStatus CheckEntry(ConfigEntry& entry) override;
  CheckStatus BeginFix() override;
  CheckStatus FixEntry(ConfigEntry& entry) override;
};

// OpenEntryKey: the key named by the entry's text ("ROOT\sub\key") in the entry's view,
// created when `create` is set and it is missing. False when the text has no backslash or
// the key cannot be opened (or made).
bool OpenEntryKey(const ConfigEntry& entry, bool create, platform::RegKey& key);

// The bytes of a reg_binary `value`: two hexadecimal digits per byte, up to the first pair
// that is not two digits; a last odd digit is ignored.
std::vector<uint8_t> DecodeHexBytes(std::string_view text);

}  // namespace Corvane::Assistant
