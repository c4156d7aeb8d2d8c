#include "platform/file_access.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelv::platform {

bool folderDeniesWriting(const std::string &folder)
{
    if (::access(folder.c_str(), W_OK) == 0)
        return false;
    // A read-only mount refuses as surely as the folder's permissions do.
    return errno == EACCES || errno == EROFS || errno == EPERM;
}

bool replaceFile(const std::string &from, const std::string &to)
{
    return ::rename(from.c_str(), to.c_str()) == 0;
}

RegularFile openRegularFile(const std::string &path)
{
    RegularFile file;
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        file.result =
            errno == ENOENT || errno == ENOTDIR ? RegularOpen::Missing : RegularOpen::Failed;
        return file;
    }
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        file.result = RegularOpen::NotRegular;
        ::close(fd);
        return file;
    }
    // A regular file never blocks; the flag is cleared so readers see no EAGAIN.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return file;
    }
    file.result = RegularOpen::Opened;
    file.fd = fd;
    return file;
}

} // namespace kelv::platform
