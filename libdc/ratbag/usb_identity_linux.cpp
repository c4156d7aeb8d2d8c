#include "libdc/ratbag/usb_identity_linux.h"

#include "libdc/ratbag/ratbag_device.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <systemd/sd-bus.h>

namespace kelv::ratbag {

namespace {

constexpr size_t kMaxKeyBytes = 80;

std::string sysfsRoot()
{
    const char *root = std::getenv("KELV_RATBAG_SYSFS");
    return root && root[0] == '/' ? std::string(root) : std::string("/sys");
}

// The first line of a small sysfs file, or "".
std::string firstLine(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

bool isFile(const std::string &path)
{
    struct stat st
    {
    };
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string parentOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

} // namespace

std::string usbIdentityKey(const std::string &objectPath)
{
    const size_t slash = objectPath.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    char *decoded = nullptr;
    if (sd_bus_path_decode(objectPath.c_str(), objectPath.substr(0, slash).c_str(), &decoded) <= 0)
        return std::string();
    const std::string sysname = decoded;
    std::free(decoded);
    if (sysname.empty() || sysname.size() > 32)
        return std::string();
    for (const char c : sysname) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return std::string();
    }
    // /sys/class/hidraw/hidraw3 -> .../<usb device>/<interface>/<hid device>/hidraw/hidraw3
    char resolved[PATH_MAX], resolvedRoot[PATH_MAX];
    if (!::realpath(sysfsRoot().c_str(), resolvedRoot) ||
        !::realpath((sysfsRoot() + "/class/hidraw/" + sysname).c_str(), resolved))
        return std::string();
    const std::string root = resolvedRoot;
    const std::string hid = parentOf(parentOf(resolved));
    std::ifstream uevent(hid + "/uevent");
    std::string serial;
    for (std::string line; serial.empty() && std::getline(uevent, line);) {
        if (line.compare(0, 9, "HID_UNIQ=") == 0)
            serial = asciiText(line.substr(9), kMaxKeyBytes - 3);
    }
    // The USB device: the nearest folder above that has a bus number and a device path.
    std::string port;
    for (std::string up = parentOf(hid); !up.empty() && up.size() > root.size();
         up = parentOf(up)) {
        if (isFile(up + "/busnum") && isFile(up + "/devpath")) {
            if (serial.empty())
                serial = asciiText(firstLine(up + "/serial"), kMaxKeyBytes - 3);
            port = asciiText(up.substr(up.rfind('/') + 1), kMaxKeyBytes - 5);
            break;
        }
    }
    if (!serial.empty())
        return "sn:" + serial;
    return port.empty() ? std::string() : "port:" + port;
}

} // namespace kelv::ratbag
