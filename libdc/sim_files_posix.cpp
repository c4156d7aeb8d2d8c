#include "libdc/sim_files.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#endif

namespace kelv::sim::files {
namespace {

FileId idFromStat(const struct stat &st)
{
    FileId id;
    id.dev = std::uint64_t(st.st_dev);
    id.ino = std::uint64_t(st.st_ino);
    id.size = std::int64_t(st.st_size);
    id.mtimeNs = std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return id;
}

bool writeAll(int fd, const void *data, size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        size -= size_t(n);
    }
    return true;
}

std::string folderOf(const std::string &file)
{
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string(".") : file.substr(0, slash);
}

} // namespace

FileId fileId(const std::string &path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return FileId();
    return idFromStat(st);
}

FileId fileIdOf(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return FileId();
    return idFromStat(st);
}

bool readFile(const std::string &path, std::string *content, FileId *id)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const FileId read = fileIdOf(fd);
    if (read.size < 0 || read.size > 16 * 1024 * 1024) {
        ::close(fd);
        return false;
    }
    *id = read;
    content->clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        content->append(buffer, size_t(n));
    }
    ::close(fd);
    return true;
}

std::string temporaryNameFor(const std::string &path)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char random[12] = {};
    if (::getentropy(random, sizeof random) != 0) {
        // No entropy source: the time and process still make a fresh name,
        // and the exclusive creation still refuses whatever is planted there.
        std::uint64_t x =
            std::uint64_t(::getpid()) ^
            std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
        for (unsigned char &byte : random) {
            x = x * 6364136223846793005u + 1442695040888963407u;
            byte = static_cast<unsigned char>(x >> 56);
        }
    }
    std::string name = path + ".tmp.";
    for (unsigned char byte : random)
        name += kLetters[byte % (sizeof kLetters - 1)];
    return name;
}

TempWrite replaceVia(const std::string &temp, const std::string &path, const void *data,
                     size_t size)
{
    // O_EXCL refuses any file or link already at the name, O_NOFOLLOW says
    // so for a link once more: whatever another user planted there is never
    // written through.
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno == EEXIST || errno == ELOOP ? TempWrite::NameTaken : TempWrite::Failed;
    const bool written = writeAll(fd, data, size) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return TempWrite::Failed;
    }
    return TempWrite::Replaced;
}

bool writeAtomically(const std::string &path, const void *data, size_t size)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        const TempWrite result = replaceVia(temporaryNameFor(path), path, data, size);
        if (result != TempWrite::NameTaken)
            return result == TempWrite::Replaced;
    }
    return false;
}

bool appendLine(const std::string &path, const std::string &line)
{
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = writeAll(fd, line.data(), line.size());
    ::close(fd);
    return ok;
}

bool makePath(const std::string &folder)
{
    if (folder.empty())
        return false;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = folder.find('/', pos + 1);
        partial = folder.substr(0, pos);
        if (partial.empty())
            continue;
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool replaceFile(const std::string &from, const std::string &to)
{
    return ::rename(from.c_str(), to.c_str()) == 0;
}

int openFile(const std::string &path, Open mode)
{
    switch (mode) {
    case Open::Read:
        return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    case Open::ReadCreate:
        return ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    case Open::Lock:
        return ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    }
    return -1;
}

long readSome(int fd, char *buffer, size_t size)
{
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n < 0 && errno == EINTR)
            continue;
        return long(n);
    }
}

void seekToEnd(int fd)
{
    ::lseek(fd, 0, SEEK_END);
}

void closeFile(int fd)
{
    ::close(fd);
}

int processId()
{
    return int(::getpid());
}

std::tm localTime(std::time_t time)
{
    std::tm local{};
    localtime_r(&time, &local);
    return local;
}

std::string moduleFolder(const void *address)
{
    Dl_info info{};
    if (::dladdr(address, &info) && info.dli_fname)
        return folderOf(info.dli_fname);
    return std::string();
}

std::string executableFolder()
{
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return std::string();
    return folderOf(std::string(exe, size_t(n)));
}

std::string userDataFolder()
{
    // The rules say to ignore an XDG variable that names no absolute path.
    const char *dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && dataHome[0] == '/')
        return std::string(dataHome) + "/kelv";
    const char *home = std::getenv("HOME");
    std::string homeFolder = home && home[0] == '/' ? home : "";
    if (homeFolder.empty()) {
        if (const passwd *entry = ::getpwuid(::getuid()))
            homeFolder = entry->pw_dir ? entry->pw_dir : "";
    }
    return homeFolder.empty() ? std::string() : homeFolder + "/.local/share/kelv";
}

std::string stateFolderFor(const std::string &programFolder)
{
    if (programFolder.empty())
        return "simulator";
    const bool packaged = ::access((programFolder + "/Resources/packaged").c_str(), F_OK) == 0;
    if (!packaged && ::access(programFolder.c_str(), W_OK) == 0)
        return programFolder + "/simulator";
    const std::string data = userDataFolder();
    return data.empty() ? programFolder + "/simulator" : data + "/simulator";
}

#ifdef __linux__
FolderWatch::FolderWatch(const std::string &folder) : m_folder(folder)
{
    m_notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    m_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_notify >= 0 && m_wake >= 0)
        m_watch = inotify_add_watch(m_notify, folder.c_str(),
                                    IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO |
                                        IN_DELETE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF);
}

bool FolderWatch::available()
{
    return true;
}

FolderWatch::~FolderWatch()
{
    if (m_notify >= 0)
        close(m_notify);
    if (m_wake >= 0)
        close(m_wake);
}

void FolderWatch::wait(int timeoutMs)
{
    pollfd fds[2] = {{m_notify, POLLIN, 0}, {m_wake, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0)
        return;
    // Drain both: what changed is read from the files themselves. A folder removed or
    // moved away ends the watch: a folder made again at its name is watched anew.
    alignas(inotify_event) char buffer[4096];
    ssize_t n = 0;
    while ((n = read(m_notify, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))
                m_watch = -1;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    std::uint64_t count = 0;
    while (read(m_wake, &count, sizeof count) > 0) {
    }
}

void FolderWatch::wake()
{
    const std::uint64_t one = 1;
    if (m_wake >= 0 && write(m_wake, &one, sizeof one) < 0) {
        // A full counter already wakes the waiter.
    }
}
#else
FolderWatch::FolderWatch(const std::string &folder) : m_folder(folder) {}
FolderWatch::~FolderWatch() = default;
bool FolderWatch::available()
{
    return false;
}
void FolderWatch::wait(int) {}
void FolderWatch::wake() {}
#endif

} // namespace kelv::sim::files
