// The host's channels on Linux: two Unix socket pairs made by the program, whose other ends
// the host inherits as descriptors 3 (calls) and 4 (events), named "fd:3:4".

#include "libdc/host/host_system.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace kelv::dchost {
namespace {

constexpr int kCallsFd = 3;
constexpr int kEventsFd = 4;

std::string errnoText(const char *what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

} // namespace

struct Channel::Impl
{
    explicit Impl(int descriptor) : fd(descriptor) {}
    ~Impl() { ::close(fd); }
    int fd;
};

Channel::Channel(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
Channel::~Channel() = default;

bool Channel::read(void *data, std::size_t size, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto *out = static_cast<char *>(data);
    while (size > 0) {
        if (timeout.count() >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd readable = {m_impl->fd, POLLIN, 0};
            const int ready = ::poll(&readable, 1, int(std::max<long long>(left.count(), 0)));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                return false;
        }
        const ssize_t n = ::recv(m_impl->fd, out, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out += n;
        size -= std::size_t(n);
    }
    return true;
}

bool Channel::write(const void *data, std::size_t size)
{
    const auto *in = static_cast<const char *>(data);
    while (size > 0) {
        // MSG_NOSIGNAL: a host that went away is a failed write, not SIGPIPE.
        const ssize_t n = ::send(m_impl->fd, in, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        in += n;
        size -= std::size_t(n);
    }
    return true;
}

void Channel::shutdown()
{
    ::shutdown(m_impl->fd, SHUT_RDWR);
}

struct HostProcess::Impl
{
    pid_t pid = -1;
    mutable bool reaped = false;
    mutable int status = 0;
    std::unique_ptr<Channel> calls;
    std::unique_ptr<Channel> events;
};

HostProcess::HostProcess(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

std::unique_ptr<HostProcess> HostProcess::start(const std::string &hostProgram,
                                                const std::vector<std::string> &arguments,
                                                std::chrono::milliseconds, std::string *error)
{
    int calls[2];
    int events[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, calls) != 0) {
        *error = errnoText("socketpair", errno);
        return nullptr;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, events) != 0) {
        *error = errnoText("socketpair", errno);
        ::close(calls[0]);
        ::close(calls[1]);
        return nullptr;
    }
    // The child's ends move above 4 first, so neither dup2 below overwrites the other's
    // source; dup2 onto 3 and 4 clears close-on-exec there, every other descriptor closes.
    for (int *end : {&calls[1], &events[1]}) {
        const int moved = ::fcntl(*end, F_DUPFD_CLOEXEC, 10);
        if (moved >= 0) {
            ::close(*end);
            *end = moved;
        }
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, calls[1], kCallsFd);
    posix_spawn_file_actions_adddup2(&actions, events[1], kEventsFd);
    std::vector<std::string> words{hostProgram, "fd:3:4"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    auto impl = std::make_unique<Impl>();
    const int spawned =
        posix_spawn(&impl->pid, hostProgram.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(calls[1]);
    ::close(events[1]);
    impl->calls = std::make_unique<Channel>(std::make_unique<Channel::Impl>(calls[0]));
    impl->events = std::make_unique<Channel>(std::make_unique<Channel::Impl>(events[0]));
    if (spawned != 0) {
        *error = errnoText(("cannot start " + hostProgram).c_str(), spawned);
        return nullptr;
    }
    // The host is connected from its first instruction on; its hello tells the rest.
    return std::make_unique<HostProcess>(std::move(impl));
}

HostProcess::~HostProcess()
{
    m_impl->calls->shutdown();
    m_impl->events->shutdown();
    for (int step = 0; step < 100 && !ended(); ++step)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!ended()) {
        ::kill(m_impl->pid, SIGKILL);
        ::waitpid(m_impl->pid, nullptr, 0);
    }
}

Channel &HostProcess::calls()
{
    return *m_impl->calls;
}

Channel &HostProcess::events()
{
    return *m_impl->events;
}

std::uint64_t HostProcess::pid() const
{
    return std::uint64_t(m_impl->pid);
}

bool HostProcess::ended(long *exitCode) const
{
    if (!m_impl->reaped && ::waitpid(m_impl->pid, &m_impl->status, WNOHANG) == m_impl->pid)
        m_impl->reaped = true;
    if (m_impl->reaped && exitCode) {
        *exitCode = WIFEXITED(m_impl->status) ? WEXITSTATUS(m_impl->status)
                                              : 128 + WTERMSIG(m_impl->status);
    }
    return m_impl->reaped;
}

bool openHostChannels(const std::string &endpoint, std::unique_ptr<Channel> *calls,
                      std::unique_ptr<Channel> *events)
{
    if (endpoint != "fd:3:4")
        return false;
    // A write to a program that went away fails instead of ending the host by SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    *calls = std::make_unique<Channel>(std::make_unique<Channel::Impl>(kCallsFd));
    *events = std::make_unique<Channel>(std::make_unique<Channel::Impl>(kEventsFd));
    return true;
}

HostLibrary::HostLibrary(const std::string &file)
{
    m_handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) {
        const char *reason = ::dlerror();
        m_error = reason ? reason : "cannot load " + file;
    }
}

HostLibrary::~HostLibrary() = default;

void *HostLibrary::find(const char *name) const
{
    return m_handle ? ::dlsym(m_handle, name) : nullptr;
}

std::string HostLibrary::defaultFile()
{
    std::error_code ignored;
    return (std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path() / "libdc.so")
        .string();
}

} // namespace kelv::dchost
