#include "platform/system_mouse.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <initializer_list>
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

// The desktop tools answer at once; one that hangs (a stuck D-Bus session)
// must not freeze the caller, so it gets this long and is then killed.
constexpr int kToolTimeoutMs = 2000;

// Runs a desktop tool (words[0], looked up in PATH) with its arguments and
// collects its standard output. Returns its exit status, or -1 when it could
// not be started, was killed or timed out.
int runTool(std::vector<std::string> words, std::string *output)
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

// A number as the tools print it ("0.5", "2.500000", "400"); false when the
// text is not exactly one number.
bool parseNumber(const std::string &text, double *value)
{
    const std::string word = trimmed(text);
    if (word.empty())
        return false;
    const char *end = word.data() + word.size();
    const auto parsed = std::from_chars(word.data(), end, *value);
    return parsed.ec == std::errc() && parsed.ptr == end;
}

bool sameNumber(const std::string &stored, double expected)
{
    double value = 0;
    // Tools print doubles with six or seventeen digits.
    return parseNumber(stored, &value) && std::fabs(value - expected) < 1e-5;
}

// A double in the C locale's form with a '.' (GVariant text needs one).
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

// ---- Which desktop keeps the settings --------------------------------------

enum class Desktop { Gnome, Kde, Xfce, Cinnamon, Mate, Other };

// XDG_CURRENT_DESKTOP is a colon-separated list, most specific first
// ("ubuntu:GNOME", "X-Cinnamon"); the first name this program knows decides.
// Desktops built on GNOME's settings (Unity, Budgie, Pantheon) use its schema.
Desktop runningDesktop()
{
    std::string names = environment("XDG_CURRENT_DESKTOP");
    if (names.empty())
        names = environment("XDG_SESSION_DESKTOP");
    size_t start = 0;
    while (start <= names.size()) {
        const size_t colon = std::min(names.find(':', start), names.size());
        const std::string name = lowerCase(names.substr(start, colon - start));
        if (name == "gnome" || name == "gnome-classic" || name == "gnome-flashback" ||
            name == "unity" || name == "budgie" || name == "pantheon")
            return Desktop::Gnome;
        if (name == "kde" || name == "plasma")
            return Desktop::Kde;
        if (name == "xfce")
            return Desktop::Xfce;
        if (name == "x-cinnamon" || name == "cinnamon")
            return Desktop::Cinnamon;
        if (name == "mate")
            return Desktop::Mate;
        start = colon + 1;
    }
    return Desktop::Other;
}

bool waylandSession()
{
    return lowerCase(environment("XDG_SESSION_TYPE")) == "wayland" ||
           (environment("XDG_SESSION_TYPE").empty() && !environment("WAYLAND_DISPLAY").empty());
}

// ---- GSettings desktops: GNOME, Cinnamon, MATE --------------------------------

struct GSettingsKey
{
    const char *schema;
    const char *key;
    const char *dconfPath; // where the dconf database keeps the key
};

// Writes through gsettings (which checks the schema's type and range) and
// confirms in the dconf database itself: gsettings exits with 0 even when it
// only kept the value in memory (no session bus, no dconf service, a
// read-only database), so only the database tells whether the desktop has it.
bool writeGSettings(const GSettingsKey &key, const std::string &value, double expected)
{
    if (runTool({"gsettings", "set", key.schema, key.key, value}, nullptr) != 0)
        return false;
    std::string stored;
    if (runTool({"dconf", "read", key.dconfPath}, &stored) != 0)
        return false;
    return sameNumber(stored, expected);
}

const GSettingsKey kGnomeSpeed{"org.gnome.desktop.peripherals.mouse", "speed",
                               "/org/gnome/desktop/peripherals/mouse/speed"};
const GSettingsKey kGnomeDoubleClick{"org.gnome.desktop.peripherals.mouse", "double-click",
                                     "/org/gnome/desktop/peripherals/mouse/double-click"};
const GSettingsKey kCinnamonSpeed{"org.cinnamon.desktop.peripherals.mouse", "speed",
                                  "/org/cinnamon/desktop/peripherals/mouse/speed"};
const GSettingsKey kCinnamonDoubleClick{"org.cinnamon.desktop.peripherals.mouse", "double-click",
                                        "/org/cinnamon/desktop/peripherals/mouse/double-click"};
const GSettingsKey kMateAcceleration{"org.mate.peripherals-mouse", "motion-acceleration",
                                     "/org/mate/desktop/peripherals/mouse/motion-acceleration"};
const GSettingsKey kMateDoubleClick{"org.mate.peripherals-mouse", "double-click",
                                    "/org/mate/desktop/peripherals/mouse/double-click"};

// ---- KDE Plasma: kdeglobals and kcminputrc ----------------------------------

std::string kdeTool(const char *base)
{
    // Plasma 6 ships kwriteconfig6, Plasma 5 kwriteconfig5.
    const std::string six = std::string(base) + '6';
    return isExecutableInPath(six) ? six : std::string(base) + '5';
}

// groups: the nested group names, outermost first.
bool writeKdeConfig(const std::string &file, const std::vector<std::string> &groups,
                    const std::string &key, const std::string &value)
{
    std::vector<std::string> write{kdeTool("kwriteconfig"), "--file", file};
    std::vector<std::string> read{kdeTool("kreadconfig"), "--file", file};
    for (const std::string &group : groups) {
        write.insert(write.end(), {"--group", group});
        read.insert(read.end(), {"--group", group});
    }
    // "--" ends the options: a negative value (a pointer speed below the middle) is a value.
    write.insert(write.end(), {"--key", key, "--", value});
    read.insert(read.end(), {"--key", key});
    if (runTool(write, nullptr) != 0)
        return false;
    std::string stored;
    return runTool(read, &stored) == 0 && trimmed(stored) == value;
}

// Tells the running Plasma session that the mouse settings changed, so that
// it reads the files again: KGlobalSettings' change notice for the mouse
// category, and KWin's configuration reload (the Wayland compositor applies
// the input settings itself). A session that is not listening loses nothing:
// the files hold the values for its next start.
void notifyKde()
{
    runTool({"dbus-send", "--session", "--type=signal", "/KGlobalSettings",
             "org.kde.KGlobalSettings.notifyChange", "int32:3", "int32:0"},
            nullptr);
    runTool({"dbus-send", "--session", "--type=signal", "/KWin", "org.kde.KWin.reloadConfig"},
            nullptr);
}

std::string configFolder()
{
    const std::string config = environment("XDG_CONFIG_HOME");
    if (!config.empty() && config.front() == '/')
        return config;
    return environment("HOME") + "/.config";
}

// The per-device groups of kcminputrc that Plasma's Wayland session keeps
// ([Libinput][vendor][product][name]), each as its nested group names.
std::vector<std::vector<std::string>> kdeLibinputDevices()
{
    std::vector<std::vector<std::string>> devices;
    std::ifstream file(configFolder() + "/kcminputrc");
    std::string line;
    while (std::getline(file, line)) {
        line = trimmed(line);
        if (line.size() < 2 || line.front() != '[' || line.back() != ']')
            continue;
        std::vector<std::string> groups;
        size_t at = 0;
        while (at < line.size() && line[at] == '[') {
            const size_t close = line.find(']', at);
            if (close == std::string::npos)
                break;
            groups.push_back(line.substr(at + 1, close - at - 1));
            at = close + 1;
        }
        if (groups.size() == 4 && groups.front() == "Libinput")
            devices.push_back(groups);
    }
    return devices;
}

bool setKdePointerSpeed(double libinputSpeed)
{
    const std::string value = doubleText(libinputSpeed);
    bool ok = false;
    if (waylandSession()) {
        // KWin keeps the speed per input device; a device it has never
        // configured has no group yet and cannot be given one from here.
        const auto devices = kdeLibinputDevices();
        ok = !devices.empty();
        for (const auto &groups : devices)
            ok = writeKdeConfig("kcminputrc", groups, "PointerAcceleration", value) && ok;
    } else {
        ok = writeKdeConfig("kcminputrc", {"Mouse"}, "XLbInptPointerAcceleration", value);
    }
    if (ok)
        notifyKde();
    return ok;
}

bool setKdeGlobal(const char *key, long long value)
{
    const bool ok = writeKdeConfig("kdeglobals", {"KDE"}, key, std::to_string(value));
    if (ok)
        notifyKde();
    return ok;
}

// ---- Xfce: xfconf --------------------------------------------------------------

bool writeXfconf(const std::string &channel, const std::string &property, const char *type,
                 const std::string &value, double expected)
{
    if (runTool({"xfconf-query", "--channel", channel, "--property", property, "--create", "--type",
                 type, "--set", value},
                nullptr) != 0)
        return false;
    std::string stored;
    return runTool({"xfconf-query", "--channel", channel, "--property", property}, &stored) == 0 &&
           sameNumber(stored, expected);
}

// Xfce keeps the pointer settings per device in the "pointers" channel, one
// property folder per device name ("/Logitech_USB_Receiver/Acceleration");
// a property at the channel's top ("/DisableTouchpadDuringTyping") is a
// setting of its own, not a device.
std::vector<std::string> xfcePointerDevices()
{
    std::string listing;
    std::vector<std::string> devices;
    if (runTool({"xfconf-query", "--channel", "pointers", "--list"}, &listing) != 0)
        return devices;
    size_t start = 0;
    while (start < listing.size()) {
        const size_t end = std::min(listing.find('\n', start), listing.size());
        const std::string property = trimmed(listing.substr(start, end - start));
        start = end + 1;
        const size_t folderEnd = property.find('/', 1);
        if (property.size() < 2 || property.front() != '/' || folderEnd == std::string::npos)
            continue;
        const std::string device = property.substr(1, folderEnd - 1);
        if (!device.empty() && std::find(devices.begin(), devices.end(), device) == devices.end())
            devices.push_back(device);
    }
    return devices;
}

bool setXfcePointerSpeed(double acceleration)
{
    const auto devices = xfcePointerDevices();
    bool ok = !devices.empty();
    for (const std::string &device : devices)
        ok = writeXfconf("pointers", '/' + device + "/Acceleration", "double",
                         doubleText(acceleration), acceleration) &&
             ok;
    return ok;
}

// ---- Scales --------------------------------------------------------------------

// The 1..20 scale onto libinput's -1..1 (GNOME, Cinnamon, Plasma): the middle
// (10) is libinput's default 0, each end maps to its end.
double libinputSpeed(long long speed)
{
    return speed <= 10 ? double(speed - 10) / 9.0 : double(speed - 10) / 10.0;
}

// MATE's acceleration multiplier runs from 1 to 10.
double mateAcceleration(long long speed)
{
    return 1.0 + double(speed - 1) * 9.0 / 19.0;
}

// Xfce's acceleration runs from 0.1 to 10; 1..20 maps onto 0.5..10.
double xfceAcceleration(long long speed)
{
    return double(speed) / 2.0;
}

} // namespace

ChangeableMouseSettings changeableMouseSettings()
{
    const auto tools = [](std::initializer_list<const char *> names) {
        for (const char *name : names)
            if (!isExecutableInPath(name))
                return false;
        return true;
    };
    switch (runningDesktop()) {
    case Desktop::Gnome:
    case Desktop::Cinnamon:
    case Desktop::Mate: {
        const bool ok = tools({"gsettings", "dconf"});
        return {ok, false, ok};
    }
    case Desktop::Kde: {
        const bool ok = isExecutableInPath(kdeTool("kwriteconfig")) &&
                        isExecutableInPath(kdeTool("kreadconfig"));
        return {ok, ok, ok};
    }
    case Desktop::Xfce: {
        const bool ok = tools({"xfconf-query"});
        return {ok, false, ok};
    }
    case Desktop::Other:
        break;
    }
    return {};
}

bool setPointerSpeed(long long speed)
{
    if (speed < 1 || speed > 20)
        return false;
    switch (runningDesktop()) {
    case Desktop::Gnome:
        return writeGSettings(kGnomeSpeed, doubleText(libinputSpeed(speed)), libinputSpeed(speed));
    case Desktop::Cinnamon:
        return writeGSettings(kCinnamonSpeed, doubleText(libinputSpeed(speed)),
                              libinputSpeed(speed));
    case Desktop::Mate:
        return writeGSettings(kMateAcceleration, doubleText(mateAcceleration(speed)),
                              mateAcceleration(speed));
    case Desktop::Kde:
        return setKdePointerSpeed(libinputSpeed(speed));
    case Desktop::Xfce:
        return setXfcePointerSpeed(xfceAcceleration(speed));
    case Desktop::Other:
        break;
    }
    return false;
}

bool setWheelScrollLines(long long lines)
{
    if (lines < 1 || lines > 100)
        return false;
    // Only Plasma keeps a lines-per-notch setting; GNOME, Cinnamon, MATE and
    // Xfce scroll by their own per-device amounts.
    if (runningDesktop() == Desktop::Kde)
        return setKdeGlobal("WheelScrollLines", lines);
    return false;
}

bool setDoubleClickTime(long long milliseconds)
{
    if (milliseconds < 1 || milliseconds > 5000)
        return false;
    const std::string text = std::to_string(milliseconds);
    const double value = double(milliseconds);
    switch (runningDesktop()) {
    case Desktop::Gnome:
        return writeGSettings(kGnomeDoubleClick, text, value);
    case Desktop::Cinnamon:
        return writeGSettings(kCinnamonDoubleClick, text, value);
    case Desktop::Mate:
        return writeGSettings(kMateDoubleClick, text, value);
    case Desktop::Kde:
        return setKdeGlobal("DoubleClickInterval", milliseconds);
    case Desktop::Xfce:
        return writeXfconf("xsettings", "/Net/DoubleClickTime", "int", text, value);
    case Desktop::Other:
        break;
    }
    return false;
}

} // namespace kelv::platform
