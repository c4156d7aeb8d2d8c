#include "platform/desktop_tool_linux.h"
#include "platform/system_mouse.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

namespace kelv::platform {
namespace {

using namespace desktop_tool;

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
    if (run({"gsettings", "set", key.schema, key.key, value}, nullptr) != 0)
        return false;
    std::string stored;
    if (run({"dconf", "read", key.dconfPath}, &stored) != 0)
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
    if (run(write, nullptr) != 0)
        return false;
    std::string stored;
    return run(read, &stored) == 0 && trimmed(stored) == value;
}

// Tells the running Plasma session that the mouse settings changed, so that
// it reads the files again: KGlobalSettings' change notice for the mouse
// category, and KWin's configuration reload (the Wayland compositor applies
// the input settings itself). A session that is not listening loses nothing:
// the files hold the values for its next start.
void notifyKde()
{
    run({"dbus-send", "--session", "--type=signal", "/KGlobalSettings",
         "org.kde.KGlobalSettings.notifyChange", "int32:3", "int32:0"},
        nullptr);
    run({"dbus-send", "--session", "--type=signal", "/KWin", "org.kde.KWin.reloadConfig"}, nullptr);
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
    if (run({"xfconf-query", "--channel", channel, "--property", property, "--create", "--type",
             type, "--set", value},
            nullptr) != 0)
        return false;
    std::string stored;
    return run({"xfconf-query", "--channel", channel, "--property", property}, &stored) == 0 &&
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
    if (run({"xfconf-query", "--channel", "pointers", "--list"}, &listing) != 0)
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

// The way back, for a value set with the desktop's own settings: the nearest
// step of the 1..20 scale (the desktops' sliders are finer than ours).
long long onScale(double speed)
{
    return std::clamp<long long>(std::llround(speed), 1, 20);
}

long long speedFromLibinput(double value)
{
    return onScale(value <= 0 ? 10.0 + value * 9.0 : 10.0 + value * 10.0);
}

long long speedFromMate(double acceleration)
{
    // -1 (any value below the scale) is "the system default".
    return acceleration < 1.0 ? kDesktopDefault : onScale(1.0 + (acceleration - 1.0) * 19.0 / 9.0);
}

long long speedFromXfce(double acceleration)
{
    return onScale(acceleration * 2.0);
}

// ---- Reading what the desktop holds now -----------------------------------------

// A number the tool prints, or kUnknown when it fails or prints something else.
bool readNumber(const std::vector<std::string> &words, double *value)
{
    std::string output;
    return run(words, &output) == 0 && parseNumber(output, value);
}

// gsettings gives the schema's default where dconf holds nothing.
bool readGSettings(const GSettingsKey &key, double *value)
{
    return readNumber({"gsettings", "get", key.schema, key.key}, value);
}

// Plasma's own default where the file holds nothing (kreadconfig --default).
bool readKdeConfig(const std::string &file, const std::vector<std::string> &groups,
                   const std::string &key, const std::string &fallback, double *value)
{
    std::vector<std::string> read{kdeTool("kreadconfig"), "--file", file};
    for (const std::string &group : groups)
        read.insert(read.end(), {"--group", group});
    read.insert(read.end(), {"--key", key, "--default", fallback});
    return readNumber(read, value);
}

// GTK's and Xfce's double-click time where xsettings holds none.
constexpr double kXfceDoubleClickDefault = 400;

MouseSettingValues readGSettingsDesktop(const GSettingsKey &speed, const GSettingsKey &doubleClick,
                                        long long (*fromSpeed)(double))
{
    MouseSettingValues values;
    double value = 0;
    if (readGSettings(speed, &value))
        values.pointerSpeed = fromSpeed(value);
    if (readGSettings(doubleClick, &value) && value >= 0)
        values.doubleClickTime = std::llround(value);
    return values;
}

MouseSettingValues readKde()
{
    MouseSettingValues values;
    double value = 0;
    if (readKdeConfig("kdeglobals", {"KDE"}, "DoubleClickInterval", "400", &value) && value >= 0)
        values.doubleClickTime = std::llround(value);
    if (readKdeConfig("kdeglobals", {"KDE"}, "WheelScrollLines", "3", &value) && value >= 0)
        values.wheelScrollLines = std::llround(value);
    if (waylandSession()) {
        // Per device: the first one KWin configured speaks for them (kelv sets
        // them all alike); without any there is no speed to show.
        const auto devices = kdeLibinputDevices();
        if (!devices.empty() &&
            readKdeConfig("kcminputrc", devices.front(), "PointerAcceleration", "0", &value))
            values.pointerSpeed = speedFromLibinput(value);
    } else if (readKdeConfig("kcminputrc", {"Mouse"}, "XLbInptPointerAcceleration", "0", &value)) {
        values.pointerSpeed = speedFromLibinput(value);
    }
    return values;
}

MouseSettingValues readXfce()
{
    MouseSettingValues values;
    double value = 0;
    if (readNumber({"xfconf-query", "--channel", "xsettings", "--property", "/Net/DoubleClickTime"},
                   &value))
        values.doubleClickTime = std::llround(value);
    // xfconf-query fails alike for a property that is not set and for a store
    // it cannot reach; listing the channel (empty or not) succeeds only when
    // the store answers.
    else if (run({"xfconf-query", "--channel", "xsettings", "--list"}, nullptr) == 0)
        values.doubleClickTime = std::llround(kXfceDoubleClickDefault);
    const auto devices = xfcePointerDevices();
    if (!devices.empty()) {
        values.pointerSpeed = readNumber({"xfconf-query", "--channel", "pointers", "--property",
                                          '/' + devices.front() + "/Acceleration"},
                                         &value)
                                  ? speedFromXfce(value)
                                  : kDesktopDefault;
    }
    return values;
}

} // namespace

MouseSettingValues currentMouseSettings()
{
    const ChangeableMouseSettings can = changeableMouseSettings();
    MouseSettingValues values;
    switch (runningDesktop()) {
    case Desktop::Gnome:
        values = readGSettingsDesktop(kGnomeSpeed, kGnomeDoubleClick, speedFromLibinput);
        break;
    case Desktop::Cinnamon:
        values = readGSettingsDesktop(kCinnamonSpeed, kCinnamonDoubleClick, speedFromLibinput);
        break;
    case Desktop::Mate:
        values = readGSettingsDesktop(kMateAcceleration, kMateDoubleClick, speedFromMate);
        break;
    case Desktop::Kde:
        values = readKde();
        break;
    case Desktop::Xfce:
        values = readXfce();
        break;
    case Desktop::Other:
        break;
    }
    // Only what kelv could also change is shown as the desktop's.
    if (!can.pointerSpeed)
        values.pointerSpeed = kUnknown;
    if (!can.wheelScrollLines)
        values.wheelScrollLines = kUnknown;
    if (!can.doubleClickTime)
        values.doubleClickTime = kUnknown;
    return values;
}

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
