#include "libdc/sysfs_linux.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>

namespace kelv::dc::sysfs {

std::string root()
{
    const char *r = std::getenv("KELV_SYSFS_ROOT");
    return r && *r ? std::string(r) : std::string("/sys");
}

std::string resolve(const std::string &path)
{
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

bool exists(const std::string &path)
{
    struct stat st
    {
    };
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> names(const std::string &folder)
{
    std::vector<std::string> out;
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return out;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && out.size() < 4096)
            out.push_back(name);
    }
    ::closedir(dir);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> hidDevices(unsigned vendor, unsigned product, const char *marker)
{
    char middle[16];
    std::snprintf(middle, sizeof middle, ":%04X:%04X.", vendor & 0xffff, product & 0xffff);
    const std::string folder = root() + "/bus/hid/devices";
    std::vector<std::string> out;
    for (std::string name : names(folder)) {
        std::string upper = name;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return char(std::toupper(c)); });
        if (upper.size() != 19 || upper.compare(4, 11, middle) != 0)
            continue;
        if (!exists(folder + "/" + name + "/" + marker))
            continue;
        const std::string path = resolve(folder + "/" + name);
        if (!path.empty())
            out.push_back(path);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string usbPort(const std::string &devicePath)
{
    std::string port;
    size_t start = 0;
    while (start < devicePath.size()) {
        size_t end = devicePath.find('/', start);
        if (end == std::string::npos)
            end = devicePath.size();
        const std::string part = devicePath.substr(start, end - start);
        const size_t dash = part.find('-');
        bool shaped = dash != std::string::npos && dash > 0 && dash + 1 < part.size();
        for (size_t i = 0; shaped && i < part.size(); ++i)
            shaped = i == dash || std::isdigit(static_cast<unsigned char>(part[i])) ||
                     (part[i] == '.' && i > dash + 1);
        if (shaped)
            port = part;
        start = end + 1;
    }
    return port;
}

std::string hidDeviceOfHidraw(const std::string &hidraw)
{
    if (hidraw.compare(0, 6, "hidraw") != 0 || hidraw.size() == 6 || hidraw.size() > 12 ||
        !std::all_of(hidraw.begin() + 6, hidraw.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; }))
        return std::string();
    return resolve(root() + "/class/hidraw/" + hidraw + "/device");
}

} // namespace kelv::dc::sysfs
