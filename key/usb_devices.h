// Whether a USB device with one of the given identifiers (vendor id in the high 16 bits,
// product id in the low 16 bits) is attached.
#pragma once

#include <cstdint>
#include <vector>

using KeyDeviceId = uint32_t;

// The device tree is read by the USB watcher; until it exists no device is reported.
bool IsAnyDeviceConnected(const std::vector<KeyDeviceId>& ids);
