#pragma once

// Reading the kernel's device tree (sysfs) for the daemon backends: which USB port a device
// hangs on, whether a kernel driver is loaded, which HID device a hidraw node belongs to.
// The root is $KELV_SYSFS_ROOT (tests lay out a tree of their own there), else /sys.

#include <string>
#include <vector>

namespace kelv::dc::sysfs {

std::string root();
// The path with every link resolved; empty when it does not exist.
std::string resolve(const std::string &path);
bool exists(const std::string &path);
// The names in a folder, sorted; empty when it cannot be read.
std::vector<std::string> names(const std::string &folder);

// The HID devices (bus/hid/devices/<bus>:<vendor>:<product>.<n>) of a vendor and product that
// hold the file `marker` (a driver's attribute), as their resolved paths, sorted.
std::vector<std::string> hidDevices(unsigned vendor, unsigned product, const char *marker);
// The USB port of a device path: the last element shaped like "1-3" or "2-1.4"; empty: none.
std::string usbPort(const std::string &devicePath);
// The HID device a hidraw node ("hidraw3") belongs to (resolved); empty when unknown.
std::string hidDeviceOfHidraw(const std::string &hidraw);

} // namespace kelv::dc::sysfs
