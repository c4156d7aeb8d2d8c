#include "platform/system_mouse.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace kelv::platform {
namespace {

const char *const kMouseSchema = "org.gnome.desktop.peripherals.mouse";

// gsettings answers at once; a tool that hangs (a stuck D-Bus session) must
// not freeze the caller, so it gets this long and is then killed.
constexpr int kToolTimeoutMs = 2000;

std::string settingsTool()
{
    const char *tool = std::getenv("KELV_GSETTINGS");
    return tool && *tool ? std::string(tool) : std::string("gsettings");
}

// Runs the settings tool with the arguments; collects its standard output.
// Returns its exit status, or -1 when it could not be started, was killed or
// timed out.
int runTool(const std::vector<std::string> &arguments, std::string *output)
{
    const std::string program = settingsTool();
    std::vector<std::string> words;
    words.push_back(program);
    words.insert(words.end(), arguments.begin(), arguments.end());
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

// GVariant text of a double, always with a '.' whatever the C locale says.
std::string doubleText(double value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".e") == std::string::npos)
        text += ".0";
    return text;
}

bool readKey(const char *key, std::string *value)
{
    std::string output;
    if (runTool({"get", kMouseSchema, key}, &output) != 0)
        return false;
    *value = trimmed(output);
    return true;
}

// Sets the key and reads it back: gsettings exits with 0 even when it only
// kept the value in memory (no session bus, read-only database), so only the
// value the desktop reports afterwards tells whether the change took.
bool writeKey(const char *key, const std::string &value)
{
    if (runTool({"set", kMouseSchema, key, value}, nullptr) != 0)
        return false;
    std::string stored;
    return readKey(key, &stored) && !stored.empty() && stored == value;
}

bool writeDoubleKey(const char *key, double value)
{
    if (runTool({"set", kMouseSchema, key, doubleText(value)}, nullptr) != 0)
        return false;
    std::string stored;
    if (!readKey(key, &stored))
        return false;
    double readBack = 0;
    const char *end = stored.data() + stored.size();
    const auto parsed = std::from_chars(stored.data(), end, readBack);
    return parsed.ec == std::errc() && parsed.ptr == end && std::fabs(readBack - value) < 1e-9;
}

} // namespace

bool setPointerSpeed(long long speed)
{
    if (speed < 1 || speed > 20)
        return false;
    // GNOME's speed runs from -1 to 1 with 0 as its default; the middle of the
    // 1..20 scale (10) maps to that default, each end to its end.
    const double value = speed <= 10 ? double(speed - 10) / 9.0 : double(speed - 10) / 10.0;
    return writeDoubleKey("speed", value);
}

bool setWheelScrollLines(long long lines)
{
    (void)lines;
    // GNOME scrolls by its own per-device amounts and keeps no lines-per-notch
    // setting, so there is nothing on this desktop that could hold the value.
    return false;
}

bool setDoubleClickTime(long long milliseconds)
{
    if (milliseconds < 1 || milliseconds > 5000)
        return false;
    return writeKey("double-click", std::to_string(milliseconds));
}

} // namespace kelv::platform
