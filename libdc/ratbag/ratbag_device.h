#pragma once

// A mouse that libratbag's daemon ratbagd serves, as kelv sees it: what the daemon's objects
// are (read once when the mouse arrives), the values they hold (read for each request), and
// the translation between those and the properties of doc/device-map.md ("Real mice"). Plain
// C++17 without the bus: the bus client (ratbag_bus.h) fills these structures and
// carries out the changes planned here, so every rule can be tested without a daemon.

#include <cstdint>
#include <string>
#include <vector>

namespace kelv::ratbag {

// What is taken from the daemon at most; anything beyond is left out.
constexpr size_t kMaxMice = 16;
constexpr size_t kMaxProfiles = 16;
constexpr size_t kMaxResolutions = 16;
constexpr size_t kMaxButtons = 32;
constexpr size_t kMaxLeds = 8;
constexpr size_t kMaxRates = 16;
constexpr size_t kMaxDpis = 400;
constexpr size_t kMaxMacroEvents = 256; // libratbag's own limit per macro
constexpr size_t kMaxNameBytes = 127;
constexpr size_t kMaxModelBytes = 63;
constexpr uint32_t kMaxDurationMs = 10000;
// Property 16: one record per onboard profile, its name in UTF-8, NUL-padded.
constexpr size_t kProfileNameRecord = 64;

// The daemon's button action types and the base of its special functions.
enum ActionType : uint32_t {
    ActionNone = 0,
    ActionButton = 1,
    ActionSpecial = 2,
    ActionKey = 3,
    ActionMacro = 4,
    ActionUnknown = 1000,
};
constexpr uint32_t kSpecialBase = 0x40000000u;

// The daemon's macro events: (1, key) pressed, (2, key) released, (3, ms) wait.
enum MacroEventType : uint32_t { EventPress = 1, EventRelease = 2, EventWait = 3 };
struct MacroEvent
{
    uint32_t type = 0;
    uint32_t value = 0;
    bool operator==(const MacroEvent &o) const { return type == o.type && value == o.value; }
};
using Macro = std::vector<MacroEvent>;

// The daemon's LED colour depths.
enum ColourDepth : uint32_t { DepthMonochrome = 0, DepthRgb888 = 1, DepthRgb111 = 2 };

// --- what the daemon's objects are ----------------------------------------------------

struct Resolution
{
    std::string path;
    bool separateXY = false;    // the Resolution property is (uu)
    bool canDisable = false;    // the resolution capability 2 (API 2: IsDisabled is writable)
    std::vector<uint32_t> dpis; // the values it takes, as the daemon lists them
};

struct Button
{
    std::string path;
    std::vector<uint32_t> actionTypes; // the daemon's ActionTypes (known ones only)
    bool allows(uint32_t type) const;
};

struct Led
{
    std::string path;
    std::vector<uint32_t> modes; // the daemon's Modes (0 off, 1 on, 2 cycle, 3 breathing)
    uint32_t depth = DepthRgb888;
};

struct Profile
{
    std::string path;
    std::vector<uint32_t> reportRates; // Hz, ascending
    bool canDisable = false;           // the profile capability 102
    bool hasAngleSnapping = false;     // the profile has the property AngleSnapping
    bool hasDebounce = false;          // ... Debounce and Debounces
    bool hasDefaultStage = false;      // a resolution said IsDefault when the mouse arrived
    bool canRename = false;            // the profile had a name when the mouse arrived
    std::vector<uint32_t> debounces;
    std::vector<Resolution> resolutions;
    std::vector<Button> buttons;
    std::vector<Led> leds;
};

// The daemon's DeviceType (API 2); API 1 has none (DeviceUnspecified).
enum DeviceType : uint32_t {
    DeviceUnspecified = 0,
    DeviceOther = 1,
    DeviceMouse = 2,
    DeviceKeyboard = 3,
};

struct Device
{
    std::string path;
    std::string name;     // valid UTF-8, at most kMaxNameBytes
    std::string model;    // the daemon's Model text
    std::string firmware; // FirmwareVersion where the daemon has one
    uint32_t type = DeviceUnspecified;
    // The profile property that says whether a profile is in use: API 1 "Enabled", API 2
    // "Disabled" (the opposite meaning).
    bool profileDisabledProperty = false;
    std::vector<Profile> profiles;
};

// What the device is, from its DeviceType, or for a daemon without one (and a type it leaves
// unspecified) from the models of libratbag's device files that are no mice: keyboards, a
// headset, a mouse pad. Only mice are listed.
DeviceType kindOf(const Device &device);

// --- the values they hold --------------------------------------------------------------

struct ResolutionValues
{
    bool active = false;
    bool isDefault = false;
    uint32_t x = 0;
    uint32_t y = 0;
    bool disabled = false; // API 2: IsDisabled
};

struct Mapping
{
    uint32_t type = ActionUnknown;
    uint32_t value = 0; // Button: the button number; Special: the function
    Macro macro;        // Macro
    bool operator==(const Mapping &o) const;
};

struct LedValues
{
    uint32_t mode = 0;
    uint32_t red = 0, green = 0, blue = 0;
    uint32_t duration = 0;   // ms
    uint32_t brightness = 0; // 0..255
};

// Which values a request needs (the groups of objects to read).
enum Group : unsigned {
    GroupProfiles = 1,    // every profile's IsActive and Enabled, the active one's rate etc.
    GroupResolutions = 2, // the active profile's resolutions
    GroupButtons = 4,
    GroupLeds = 8,
};

struct Values
{
    int activeProfile = -1;         // -1 when no profile says it is active
    std::vector<bool> enabled;      // one per profile
    std::vector<std::string> names; // one per profile (clean UTF-8)
    uint32_t reportRate = 0;        // of the active profile
    int32_t angleSnapping = -1;     // -1: the daemon has none
    int32_t debounce = -1;
    std::vector<ResolutionValues> resolutions; // of the active profile (GroupResolutions)
    std::vector<Mapping> buttons;              // (GroupButtons)
    std::vector<LedValues> leds;               // (GroupLeds)
};

// --- changes asked of the daemon -------------------------------------------------------

// A value written to a property, in the daemon's own types.
struct BusValue
{
    enum class Kind {
        Uint,      // u
        Int,       // i
        Bool,      // b
        Text,      // s
        Rgb,       // (uuu)
        Dpi,       // v holding u
        DpiXY,     // v holding (uu)
        MapButton, // (uv) holding u: (type, value)
        MapMacro,  // (uv) holding a(uu)
    } kind = Kind::Uint;
    uint32_t a = 0, b = 0, c = 0;
    Macro macro;
    std::string text;
};

struct Op
{
    enum class Kind { Set, Call } kind = Kind::Set;
    std::string path;
    std::string interface; // "Profile", "Resolution", "Button", "Led" (the daemon's name is added)
    std::string member;    // property or method name
    BusValue value;        // Set only
};

// One step of a write with what puts it back.
struct Change
{
    Op op;
    Op undo;
};

// --- the properties of the device map --------------------------------------------------

// The value groups that reading or writing property id needs (0: none, the property does
// not come from the daemon's values).
unsigned groupsFor(uint32_t id);

// The bytes of property id from the values the daemon holds. DC_OK, or DC_BAD_ARGUMENT when
// the device has no such property. view: the mouse's macro slots (64 KiB onboard memory)
// and, per button of the active profile, the slot kelv last assigned to it (-1 none).
struct SlotView
{
    const std::vector<uint8_t> *memory = nullptr;
    const std::vector<int> *assigned = nullptr;
};
int32_t readProperty(const Device &device, const Values &values, const SlotView &view, uint32_t id,
                     std::vector<uint8_t> *bytes);

// The changes that make the daemon hold bytes as property id (a whole property or a leading
// part of it). DC_OK with no changes: it holds them already. DC_BAD_ARGUMENT when the bytes
// are outside what the device takes (nothing to send then). *slotsUsed gets, for property 7,
// the slot each written button now runs (-1 for other assignments, -2 not written).
int32_t planWrite(const Device &device, const Values &values, const SlotView &view, uint32_t id,
                  const uint8_t *bytes, uint32_t size, std::vector<Change> *changes,
                  std::vector<int> *slotsUsed = nullptr);

// The change of notification type/data (1: active stage), like planWrite.
int32_t planNotify(const Device &device, const Values &values, unsigned type, unsigned data,
                   std::vector<Change> *changes);

// The property numbers the device answers, ascending.
std::vector<uint32_t> propertyIds(const Device &device);

// The device description (property 64) of doc/device-map.md.
std::string describe(const Device &device, uint8_t tag);

// --- identity ----------------------------------------------------------------------------

struct Identity
{
    std::string deviceId;   // RATBAG-usb-046d-c539 (without an instance suffix)
    std::string hardwareId; // RATBAG\usb&Vid_046d&Pid_c539&Rev_0 (without an instance suffix)
};
Identity identify(const std::string &model, const std::string &name);
// The identity of the n-th mouse (n from 1) of the same model.
Identity instance(const Identity &base, int n);

// The hardware ID of the service itself ("RATBAG\"): it answers property 65 whether or not a
// mouse is listed.
extern const char kServiceId[];
// A device the daemon serves that kelv does not list, and why: "keyboard", "other" (no mouse),
// "unreadable" (its objects could not be read; retrying: kelv looks again).
struct NotShown
{
    std::string name;
    std::string why;
    bool retrying = false;
};
// The service state (property 65): JSON text. notShown: at most four are named, their names
// cut to 40 bytes, as many as keep the text within 512 bytes. startGivenUp: a daemon that failed to
// start again and again is not started until the user asks.
std::string serviceState(const std::string &state, const std::string &busName, int api, int mice,
                         const std::vector<NotShown> &notShown = {}, bool startGivenUp = false);

// --- checking what the daemon sends ------------------------------------------------------

// Text cut to at most maxBytes of valid UTF-8 (invalid sequences become U+FFFD, a character
// that does not fit whole is left out), without control characters.
std::string cleanText(const std::string &text, size_t maxBytes);
// Printable ASCII only, at most maxBytes.
std::string asciiText(const std::string &text, size_t maxBytes);

// The report rate codes of property 5: code 1..7 to Hz and back (0: not in the table).
uint32_t rateHz(uint32_t code);
uint32_t rateCode(uint32_t hz);

} // namespace kelv::ratbag
