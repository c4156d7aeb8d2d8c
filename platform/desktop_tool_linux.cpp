#include "platform/desktop_tool_linux.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char **environ;

namespace kelv::platform::desktop_tool {
namespace {

constexpr int kToolTimeoutMs = 2000;

} // namespace

int run(std::vector<std::string> words, std::string *output)
{
    if (words.empty())
        return -1;
    const std::string program = words.front();
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    pid_t pid = -1;
    const int spawned =
        posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        return -1;
    }

    // Read until the tool has exited (a helper it started may keep the pipe
    // open after that) or the deadline passes.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kToolTimeoutMs);
    bool open = true;
    bool exited = false;
    int status = 0;
    char buffer[512];
    while (!exited) {
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        if (open) {
            pollfd fd{pipeFds[0], POLLIN, 0};
            if (poll(&fd, 1, 20) > 0) {
                const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
                if (n > 0 && output && output->size() < 65536)
                    output->append(buffer, size_t(n));
                if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
                    open = false;
                continue; // keep reading while there is output
            }
        } else {
            usleep(200);
        }
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            exited = true;
        else if (done < 0 && errno != EINTR)
            break;
    }
    if (exited && open) {
        // Whatever the tool wrote before it exited is already in the pipe.
        fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
        ssize_t n;
        while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
            if (output && output->size() < 65536)
                output->append(buffer, size_t(n));
        }
    }
    close(pipeFds[0]);

    if (!exited) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return -1;
    }
    if (!WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::string trimmed(const std::string &text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

bool parseNumber(const std::string &text, double *value)
{
    std::string word = trimmed(text);
    // GVariant text names the type of an integer that is not an int32.
    for (const char *type : {"int32 ", "uint32 ", "int64 ", "uint64 ", "double "}) {
        const std::string prefix(type);
        if (word.compare(0, prefix.size(), prefix) == 0)
            word = trimmed(word.substr(prefix.size()));
    }
    if (word.empty())
        return false;
    const char *end = word.data() + word.size();
    const auto parsed = std::from_chars(word.data(), end, *value);
    return parsed.ec == std::errc() && parsed.ptr == end;
}

bool sameNumber(const std::string &stored, double expected)
{
    double value = 0;
    return parseNumber(stored, &value) && std::fabs(value - expected) < 1e-5;
}

std::string doubleText(double value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".e") == std::string::npos)
        text += ".0";
    return text;
}

bool isExecutableInPath(const std::string &name)
{
    std::string path = environment("PATH");
    size_t start = 0;
    while (start <= path.size()) {
        const size_t colon = std::min(path.find(':', start), path.size());
        const std::string folder = path.substr(start, colon - start);
        if (!folder.empty() && access((folder + '/' + name).c_str(), X_OK) == 0)
            return true;
        start = colon + 1;
    }
    return false;
}

} // namespace kelv::platform::desktop_tool
