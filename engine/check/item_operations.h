// The item operations: detection by the item's detect entries, installation by its
// installer entries, and re-enabling of its disabled browser add-ons.
#pragma once

#include <functional>

#include "engine/check/check_fix.h"

namespace Corvane::Assistant {

// 2 installed, 1 installed but an upgrade is wanted, -3 an add-on is disabled, -5 a detect
// entry names no known checker, other negative values: not installed.
CheckStatus DetectItem(ConfigItem& item, bool stopOnFailure);

// Progress of an installation: percent and whether the download is still running.
using ItemProgressCallback = std::function<void(int32_t percent, bool active)>;

// Runs the installer entries, then repairs the detect entries that fail; 2 when everything
// is in order.
CheckStatus InstallItem(ConfigItem& item, const ItemProgressCallback& progress);

// Re-enables the item's disabled browser add-ons (its `clsid` detect entries).
CheckStatus EnableItem(ConfigItem& item);

}  // namespace Corvane::Assistant
