// The registry redirection of the 32-bit view on a 64-bit image (WOW64), used by
// platform/registry.cpp only.
#pragma once

#include <string>
#include <vector>

namespace platform::registry_internal {

// A key path below a stored hive, one element per key name.
using KeyPath = std::vector<std::u16string>;

// The stored hives.
inline constexpr int kLocalMachine = 0;
inline constexpr int kUsers = 1;

// Maps a path as the program names it (below stored hive `hive`) to the path that the
// 32-bit view stores it under, e.g. SOFTWARE\Vendor -> SOFTWARE\WOW6432Node\Vendor.
// A path that already names WOW6432Node where redirection would insert it is kept.
KeyPath RedirectFor32BitView(int hive, const KeyPath& path);

}  // namespace platform::registry_internal
