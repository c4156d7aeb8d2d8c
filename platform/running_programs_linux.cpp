#include "platform/running_programs.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace kelv::platform {

namespace {

bool isPid(const char *name)
{
    if (!*name)
        return false;
    for (const char *p = name; *p; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return false;
    }
    return true;
}

} // namespace

bool runningProgramPaths(std::vector<std::string> *paths)
{
    paths->clear();
    DIR *proc = opendir("/proc");
    if (!proc)
        return false;
    // "/proc/" + pid + "/exe"
    char linkPath[64];
    char target[PATH_MAX + 1];
    static constexpr char kDeleted[] = " (deleted)";
    constexpr size_t kDeletedLength = sizeof kDeleted - 1;
    while (dirent *entry = readdir(proc)) {
        if (!isPid(entry->d_name) || std::strlen(entry->d_name) > 20)
            continue;
        std::strcpy(linkPath, "/proc/");
        std::strcat(linkPath, entry->d_name);
        std::strcat(linkPath, "/exe");
        const ssize_t length = readlink(linkPath, target, PATH_MAX);
        if (length <= 0 || length >= PATH_MAX)
            continue; // gone, a kernel thread, another user's process, or truncated
        size_t size = size_t(length);
        // The kernel marks an executable that was deleted or replaced since the
        // process started; the program is still the one started from that path.
        if (size > kDeletedLength &&
            std::memcmp(target + size - kDeletedLength, kDeleted, kDeletedLength) == 0)
            size -= kDeletedLength;
        paths->emplace_back(target, size);
    }
    closedir(proc);
    return true;
}

} // namespace kelv::platform
