#pragma once

// What tells a mouse from another of the same model, read from sysfs for the daemon's device
// object (its last path element is the device's hidraw name): the serial number it reports
// (HID_UNIQ of its HID device: the USB serial number, a Bluetooth device's address), else the
// USB device's serial file, else the USB port it is plugged into ("1-2.3": bus 1, port 2,
// port 3 of the hub there). Test devices and anything sysfs does not know have neither.
// $KELV_RATBAG_SYSFS names another sysfs root (the suites' own tree); default /sys.

#include <string>

namespace kelv::ratbag {

// "sn:<serial>", "port:<port>", or "" when neither is known. At most 80 printable ASCII bytes.
std::string usbIdentityKey(const std::string &objectPath);

} // namespace kelv::ratbag
