#include "platform/device_path.h"

namespace kelv::platform {

bool devicePathToDrivePath(const std::u16string &imagePath, const std::vector<DriveDevice> &drives,
                           std::u16string *out)
{
    for (const DriveDevice &drive : drives) {
        const std::u16string &device = drive.device;
        // The device name must be a whole leading component: \Device\HarddiskVolume1
        // must not claim \Device\HarddiskVolume10\..., nor a name found later in the path.
        if (device.empty() || drive.drive.size() < 2 || imagePath.size() <= device.size() ||
            imagePath.compare(0, device.size(), device) != 0 || imagePath[device.size()] != u'\\')
            continue;
        std::u16string result = drive.drive.substr(0, 2);
        result += u'\\';
        result.append(imagePath, device.size() + 1, std::u16string::npos);
        if (result.size() + 1 > kMaxDrivePath)
            break; // would be cut short; a truncated path must never match a binding
        *out = result;
        return true;
    }
    *out = u"Unknown";
    return false;
}

} // namespace kelv::platform
