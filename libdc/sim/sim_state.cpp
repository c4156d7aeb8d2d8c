#include "libdc/sim/sim_state.h"

#include "libdc/json_text.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <sstream>

namespace kelv::sim {

const char kMouseHardwareId[] = "HID\\Vid_0aa0&Pid_5e30";
const char kBootHardwareId[] = "HID\\Vid_0aa0&Pid_5e31";
const char kMouseDevicePath[] =
    "\\\\?\\hid#vid_0aa0&pid_5e30#kelv-sim#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const char kBootDevicePath[] =
    "\\\\?\\hid#vid_0aa0&pid_5e31#kelv-sim#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const char kMouseDeviceId[] = "KELV-M1";
const char kBootDeviceId[] = "KELV-M1-BOOT";

namespace {

constexpr uint32_t kSizes[kPropertyCount + 1] = {0, 1, 1, 16, 24, 1, 1, 32, 6, 1, 1, 1};
const char kMagic[] = "kelv-dcsim-state 1";

bool buttonValid(const uint8_t *b)
{
    const uint8_t type = b[0], p1 = b[1], p2 = b[2], p3 = b[3];
    switch (type) {
    case 0:
        return p1 == 0 && p2 == 0 && p3 == 0;
    case 1:
        return p1 >= 1 && p1 <= 8 && p2 == 0 && p3 == 0;
    case 2:
        return p1 <= 15 && p2 >= 1 && p2 <= 127 && p3 <= 1;
    case 3:
        return p1 >= 1 && p1 <= 5 && p2 == 0 && p3 == 0;
    case 4:
        return p1 >= 1 && p1 <= 2 && p2 == 0 && p3 == 0;
    case 5:
        return p1 <= 7 && p2 <= 3 && (p2 != 3 || p3 >= 1);
    case 6:
        return p1 >= 1 && p1 <= 6 && p2 == 0 && p3 == 0;
    default:
        return false;
    }
}

bool printable(const std::string &text, size_t maxSize)
{
    if (text.size() > maxSize)
        return false;
    for (char c : text) {
        if (c < 0x21 || c > 0x7e)
            return false;
    }
    return true;
}

bool parseInt(const std::string &text, long long *value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *value = v;
    return true;
}

} // namespace

std::string mouseDescription()
{
    // The ranges and lists below are the ones propertyValueValid() and buttonValid() accept.
    dc::JsonText j;
    j.beginObject();
    j.key("format").value(int64_t(1));
    j.key("source").value("simulator");
    j.key("name").value("kelv M1 (simulated)");
    j.key("model").value(kMouseDeviceId);
    j.key("tag").value(int64_t(0));
    j.key("properties").numbers({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 64, 66});
    j.key("stages").beginObject();
    j.key("min").value(int64_t(1)).key("max").value(int64_t(8));
    j.key("dpi").beginArray().numbers({100, 26000, 50}).endArray();
    j.key("colours").value(true).key("default").value(false).key("disable").value(false);
    j.key("separateXY").value(false);
    j.endObject();
    j.key("reportRates").beginArray();
    for (const uint32_t code : {1u, 2u, 3u, 4u})
        j.numbers({code, 125u << (code - 1)});
    j.endArray();
    j.key("liftOff").numbers({1, 2, 3});
    j.key("angleSnap").value(true);
    std::vector<uint32_t> debounce;
    for (uint32_t ms = 2; ms <= 16; ++ms)
        debounce.push_back(ms);
    j.key("debounce").numbers(debounce);
    j.key("motionSync").value(true);
    j.key("buttons").beginObject();
    j.key("count").value(int64_t(8));
    j.key("roles").beginArray();
    for (const char *role :
         {"left", "right", "middle", "back", "forward", "dpiUp", "dpiDown", "profile"})
        j.value(role);
    j.endArray();
    j.key("allowed").numbers(std::vector<uint32_t>(8, 0x7f)); // types 0 to 6
    j.endObject();
    j.key("functions").beginObject();
    j.key("1").numbers({1, 2, 3, 4, 5, 6, 7, 8});
    j.key("3").numbers({1, 2, 3, 4, 5});
    j.key("4").numbers({1, 2});
    j.key("6").numbers({1, 2, 3, 4, 5, 6});
    j.endObject();
    j.key("lighting").beginObject();
    j.key("record").value(int64_t(6));
    j.key("leds").beginArray().beginObject();
    j.key("effects").numbers({0, 1, 2, 3, 4, 5, 6});
    j.key("colour").value("rgb");
    j.key("duration").null();
    j.endObject().endArray();
    j.endObject();
    j.key("profiles").beginObject();
    j.key("count").value(int64_t(1)).key("disable").value(false);
    j.endObject();
    j.key("macros").beginObject();
    j.key("slots").value(int64_t(8)).key("repeat").numbers({0, 1, 2, 3});
    j.key("events").value(int64_t(672));
    j.endObject();
    j.key("firmware").value(true);
    j.endObject();
    return j.text();
}

uint32_t propertySize(uint32_t id)
{
    return id >= 1 && id <= uint32_t(kPropertyCount) ? kSizes[id] : 0;
}

namespace {

const char *const kPropertyNames[kPropertyCount + 1] = {
    "",         "stage-count", "active-stage", "dpi-stages", "stage-colours", "polling-rate",
    "lift-off", "buttons",     "lighting",     "angle-snap", "debounce",      "motion-sync"};

std::string colourText(const uint8_t *rgb)
{
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
    return text;
}

std::string listOf(const std::vector<std::string> &items)
{
    std::string text;
    for (const std::string &item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

std::string named(unsigned value, const std::vector<const char *> &names)
{
    const std::string number = std::to_string(value);
    return value < names.size() && names[value][0] ? number + " (" + names[value] + ")" : number;
}

std::string buttonText(const uint8_t *b)
{
    static const std::vector<const char *> types = {"disabled", "mouse", "key",  "dpi",
                                                    "profile",  "macro", "media"};
    std::string text = b[0] < types.size() ? types[b[0]] : "type " + std::to_string(b[0]);
    for (int i = 1; i < 4; ++i)
        text += " " + std::to_string(b[i]);
    return text;
}

} // namespace

const char *propertyName(uint32_t id)
{
    return id >= 1 && id <= uint32_t(kPropertyCount) ? kPropertyNames[id] : "";
}

uint32_t propertyId(const std::string &nameOrNumber)
{
    for (uint32_t id = 1; id <= uint32_t(kPropertyCount); ++id) {
        if (nameOrNumber == kPropertyNames[id] || nameOrNumber == std::to_string(id))
            return id;
    }
    return 0;
}

std::string describeProperty(uint32_t id, const std::vector<uint8_t> &v)
{
    if (propertySize(id) == 0 || v.size() != propertySize(id))
        return hexBytes(v.data(), v.size());
    std::vector<std::string> items;
    switch (id) {
    case 3:
        for (int i = 0; i < 8; ++i)
            items.push_back(std::to_string(v[2 * i] | (unsigned(v[2 * i + 1]) << 8)));
        return listOf(items);
    case 4:
        for (int i = 0; i < 8; ++i)
            items.push_back(colourText(&v[3 * i]));
        return listOf(items);
    case 5:
        return named(v[0], {"", "125 Hz", "250 Hz", "500 Hz", "1000 Hz"});
    case 6:
        return named(v[0], {"", "1 mm", "2 mm", "3 mm"});
    case 7: {
        static const char *const buttons[8] = {"left",    "right",  "middle",   "back",
                                               "forward", "dpi-up", "dpi-down", "profile"};
        for (int i = 0; i < 8; ++i)
            items.push_back(std::string(buttons[i]) + ": " + buttonText(&v[4 * i]));
        return listOf(items);
    }
    case 8:
        return "effect " +
               named(v[0], {"off", "static", "breathing", "spectrum cycle", "wave", "reactive",
                            "DPI colour"}) +
               ", colour " + colourText(&v[1]) + ", brightness " + std::to_string(v[4]) +
               ", speed " + std::to_string(v[5]);
    case 9:
    case 11:
        return v[0] ? "on" : "off";
    case 10:
        return std::to_string(v[0]) + " ms";
    default:
        return std::to_string(v[0]);
    }
}

void setFactoryProperties(MouseState &state)
{
    state.props[1] = {5};
    state.props[2] = {1};
    const uint16_t dpi[8] = {400, 800, 1600, 3200, 6400, 12000, 16000, 26000};
    state.props[3].clear();
    for (uint16_t d : dpi) {
        state.props[3].push_back(uint8_t(d & 0xff));
        state.props[3].push_back(uint8_t(d >> 8));
    }
    state.props[4] = {0xff, 0x00, 0x00, 0x00, 0xff, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0x00,
                      0xff, 0x00, 0xff, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x80, 0x00};
    state.props[5] = {4};
    state.props[6] = {2};
    state.props[7] = {1, 1, 0, 0, 1, 2, 0, 0, 1, 3, 0, 0, 1, 4, 0, 0,
                      1, 5, 0, 0, 3, 3, 0, 0, 3, 4, 0, 0, 4, 1, 0, 0};
    state.props[8] = {2, 0x39, 0xa7, 0xda, 80, 5};
    state.props[9] = {0};
    state.props[10] = {4};
    state.props[11] = {1};
}

MouseState factoryState(const std::string &serial)
{
    MouseState state;
    state.serial = serial;
    setFactoryProperties(state);
    return state;
}

bool propertyValueValid(const MouseState &state, uint32_t id, const std::vector<uint8_t> &v)
{
    if (propertySize(id) == 0 || v.size() != propertySize(id))
        return false;
    switch (id) {
    case 1:
        return v[0] >= 1 && v[0] <= 8;
    case 2:
        return state.props[1].size() == 1 && v[0] < state.props[1][0];
    case 3:
        for (int i = 0; i < 8; ++i) {
            const unsigned dpi = v[2 * i] | (unsigned(v[2 * i + 1]) << 8);
            if (dpi < 100 || dpi > 26000 || dpi % 50 != 0)
                return false;
        }
        return true;
    case 4:
        return true;
    case 5:
        return v[0] >= 1 && v[0] <= 4;
    case 6:
        return v[0] >= 1 && v[0] <= 3;
    case 7:
        for (int i = 0; i < 8; ++i) {
            if (!buttonValid(&v[4 * i]))
                return false;
        }
        return true;
    case 8:
        return v[0] <= 6 && v[4] <= 100 && v[5] >= 1 && v[5] <= 10;
    case 9:
    case 11:
        return v[0] <= 1;
    case 10:
        return v[0] >= 2 && v[0] <= 16;
    default:
        return false;
    }
}

bool propertiesValid(const MouseState &state)
{
    // Property 2 is checked against property 1, so 1 goes first.
    for (uint32_t id = 1; id <= uint32_t(kPropertyCount); ++id) {
        if (!propertyValueValid(state, id, state.props[id]))
            return false;
    }
    return true;
}

uint16_t stageDpi(const MouseState &state, int stage)
{
    if (stage < 0 || stage > 7 || state.props[3].size() != 16)
        return 0;
    return uint16_t(state.props[3][2 * stage] | (state.props[3][2 * stage + 1] << 8));
}

Visible visibleDevice(const MouseState &state)
{
    if (!state.plugged)
        return Visible::None;
    switch (state.mode) {
    case Mode::Mouse:
        return Visible::Mouse;
    case Mode::Boot:
        return Visible::Boot;
    default:
        return Visible::None;
    }
}

uint16_t productId(Visible device)
{
    return device == Visible::Boot ? kBootProductId : kMouseProductId;
}

std::string newSerial()
{
    std::random_device random;
    std::uniform_int_distribution<int> digit(0, 9);
    std::string serial = "KM1";
    for (int i = 0; i < 9; ++i)
        serial += char('0' + digit(random));
    return serial;
}

const char *modeName(Mode mode)
{
    switch (mode) {
    case Mode::Mouse:
        return "mouse";
    case Mode::ToBoot:
        return "to-boot";
    case Mode::Boot:
        return "boot";
    case Mode::ToMouse:
        return "to-mouse";
    }
    return "mouse";
}

std::string encodeState(const MouseState &s)
{
    std::ostringstream out;
    out << kMagic << '\n';
    out << "plugged=" << (s.plugged ? 1 : 0) << '\n';
    out << "mode=" << modeName(s.mode) << '\n';
    out << "modeSince=" << s.modeSince << '\n';
    out << "version=" << s.version << '\n';
    out << "serial=" << s.serial << '\n';
    out << "bootDelay=" << s.bootDelayMs << '\n';
    out << "faults=" << s.faults << '\n';
    out << "unplugAfter=" << s.unplugAfter << '\n';
    out << "unplugOp=" << s.unplugOp << '\n';
    out << "romErased=" << (s.romErased ? 1 : 0) << '\n';
    out << "romWritten=" << s.romWritten << '\n';
    out << "romChecked=" << (s.romChecked ? 1 : 0) << '\n';
    out << "romCheckedLength=" << s.romCheckedLength << '\n';
    for (int id = 1; id <= kPropertyCount; ++id)
        out << "prop" << id << '=' << hexBytes(s.props[id].data(), s.props[id].size()) << '\n';
    std::string text = out.str();
    char crcLine[32];
    std::snprintf(crcLine, sizeof crcLine, "crc=%08x\n",
                  unsigned(crc32(reinterpret_cast<const uint8_t *>(text.data()), text.size())));
    return text + crcLine;
}

bool decodeState(const std::string &text, MouseState *state)
{
    const size_t crcPos = text.rfind("crc=");
    if (crcPos == std::string::npos || (crcPos > 0 && text[crcPos - 1] != '\n'))
        return false;
    const std::string crcText = text.substr(crcPos + 4);
    char *end = nullptr;
    const unsigned long stored = std::strtoul(crcText.c_str(), &end, 16);
    if (end == crcText.c_str() || (*end != '\n' && *end != '\0'))
        return false;
    if (crc32(reinterpret_cast<const uint8_t *>(text.data()), crcPos) != uint32_t(stored))
        return false;

    std::istringstream in(text.substr(0, crcPos));
    std::string line;
    if (!std::getline(in, line) || line != kMagic)
        return false;
    std::map<std::string, std::string> values;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            return false;
        values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    auto get = [&](const char *key, std::string *value) {
        const auto it = values.find(key);
        if (it == values.end())
            return false;
        *value = it->second;
        return true;
    };
    auto getInt = [&](const char *key, long long lo, long long hi, long long *value) {
        std::string text;
        return get(key, &text) && parseInt(text, value) && *value >= lo && *value <= hi;
    };

    MouseState s;
    long long v = 0;
    std::string t;
    if (!getInt("plugged", 0, 1, &v))
        return false;
    s.plugged = v == 1;
    if (!get("mode", &t))
        return false;
    if (t == "mouse")
        s.mode = Mode::Mouse;
    else if (t == "to-boot")
        s.mode = Mode::ToBoot;
    else if (t == "boot")
        s.mode = Mode::Boot;
    else if (t == "to-mouse")
        s.mode = Mode::ToMouse;
    else
        return false;
    if (!getInt("modeSince", 0, INT64_MAX, &v))
        return false;
    s.modeSince = v;
    if (!get("version", &s.version) || s.version.empty() || !printable(s.version, 16))
        return false;
    if (!get("serial", &s.serial) || s.serial.empty() || !printable(s.serial, 13))
        return false;
    if (!getInt("bootDelay", -1, 600000, &v))
        return false;
    s.bootDelayMs = int(v);
    if (!getInt("faults", 0, 7, &v))
        return false;
    s.faults = unsigned(v);
    if (!getInt("unplugAfter", -1, 1000000000, &v))
        return false;
    s.unplugAfter = int(v);
    if (!get("unplugOp", &s.unplugOp) ||
        (s.unplugOp != "read" && s.unplugOp != "write" && s.unplugOp != "notify" &&
         s.unplugOp != "rom" && s.unplugOp != "any"))
        return false;
    if (!getInt("romErased", 0, 1, &v))
        return false;
    s.romErased = v == 1;
    if (!getInt("romWritten", 0, kRomSize, &v))
        return false;
    s.romWritten = uint32_t(v);
    if (!getInt("romChecked", 0, 1, &v))
        return false;
    s.romChecked = v == 1;
    if (!getInt("romCheckedLength", 0, kRomSize, &v))
        return false;
    s.romCheckedLength = uint32_t(v);
    for (int id = 1; id <= kPropertyCount; ++id) {
        const std::string key = "prop" + std::to_string(id);
        if (!get(key.c_str(), &t) || !parseHexBytes(t, &s.props[id]))
            return false;
    }
    if (!propertiesValid(s))
        return false;
    *state = s;
    return true;
}

uint32_t crc32(const uint8_t *data, size_t size, uint32_t crc)
{
    static uint32_t table[256];
    static const bool ready = [] {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        return true;
    }();
    (void)ready;
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    return ~crc;
}

std::string hexBytes(const uint8_t *data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0xf];
    }
    return text;
}

bool parseHexBytes(const std::string &text, std::vector<uint8_t> *bytes)
{
    if (text.size() % 2 != 0)
        return false;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::vector<uint8_t> out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = digit(text[i]), lo = digit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(uint8_t(hi << 4 | lo));
    }
    *bytes = std::move(out);
    return true;
}

int64_t nowMs()
{
    // The monotonic clock: the same for every process on the machine, and a change of the
    // system time neither stretches nor cuts the mouse's restarts.
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool delayPassed(int64_t since, int64_t delayMs)
{
    const int64_t now = nowMs();
    // A time ahead of the clock was taken before the machine started: long ago.
    return since > now || now - since >= delayMs;
}

} // namespace kelv::sim
