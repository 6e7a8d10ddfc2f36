// The checker interface: one class per kind of configuration entry knows how to test an
// entry and how to repair it. Every operation returns a CheckStatus.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/config/item_configuration.h"

namespace Corvane::Assistant {

using Corvane::Model::AttributeMap;
using Corvane::Model::CheckGroup;
using Corvane::Model::ConfigEntry;
using Corvane::Model::ConfigItem;

// The signed outcome of every check and repair, also stored in ConfigEntry::status. Any
// other negative value a checker returns is passed through unchanged.
using CheckStatus = int32_t;
inline constexpr CheckStatus kCheckOk = 2;           // as required, or repaired
inline constexpr CheckStatus kCheckUpgrade = 1;      // ok, but a newer version is wanted
inline constexpr CheckStatus kCheckNotChecked = 0;   // set by the parser and before a check
inline constexpr CheckStatus kCheckUnsupported = -1; // not supported or undecidable
inline constexpr CheckStatus kCheckFailed = -2;      // not as required, or repair failed
inline constexpr CheckStatus kCheckDisabled = -3;    // browser add-on switched off by the user
inline constexpr CheckStatus kCheckRefused = -4;     // the user declined (root certificate)
inline constexpr CheckStatus kCheckNoChecker = -5;   // no checker of the requested type

// Abstract checker. Begin/End operations default to 2; CheckEntry and FixEntry are the
// checker's own. Entries are taken by reference: checkers read `text` and `attributes`.
class ICheckFix {
 public:
  virtual ~ICheckFix() = default;
  virtual CheckStatus BeginCheck() { return kCheckOk; }
  virtual CheckStatus CheckEntry(ConfigEntry& entry) = 0;
  virtual CheckStatus EndCheck() { return kCheckOk; }
  virtual CheckStatus BeginFix() { return kCheckOk; }
  virtual CheckStatus FixEntry(ConfigEntry& entry) = 0;
  virtual CheckStatus EndFix() { return kCheckOk; }
};

// A decimal number as the C runtime's atoi reads it: leading blanks and a sign allowed,
// reading stops at the first non-digit, no digits give 0 (overflow wraps to 32 bits).
int32_t ReadDecimal(std::string_view text);

// The 64-bit rule's first half: an entry with a non-empty `bit` attribute applies only on
// 64-bit Windows.
bool EntryAppliesHere(const ConfigEntry& entry);

}  // namespace Corvane::Assistant
