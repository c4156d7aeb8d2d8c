#pragma once

// A mouse that OpenRazer's daemon serves, as kelv sees it: what the daemon offers for it (its
// introspected methods, read once when it arrives), the values it holds (read for each
// request), and the translation between those and the properties of doc/device-map.md
// ("Razer mice"). Plain C++17 without the bus: the bus client fills these structures and
// carries out the changes planned here, so every rule is tested without a daemon.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace kelv::razer {

// Properties beyond the simulated mouse's (doc/device-map.md).
constexpr uint32_t kPropStageCount = 1, kPropActiveStage = 2, kPropStages = 3, kPropRate = 5,
                   kPropLighting = 8, kPropBattery = 67, kPropSync = 68, kPropIdle = 69,
                   kPropLowBattery = 70;

// What is taken from the daemon at most; anything beyond is left out.
constexpr size_t kMaxMice = 16;
constexpr size_t kMaxStages = 5; // the mice's own limit
constexpr size_t kMaxZones = 6;
constexpr size_t kMaxRates = 8;
constexpr size_t kMaxDpiList = 16;
constexpr size_t kMaxNameBytes = 127;
constexpr uint32_t kMinDpi = 100, kDpiStep = 50;
// Idle time (seconds) and the mouse's own low-battery threshold (percent) kelv offers.
constexpr uint32_t kIdleMin = 60, kIdleMax = 900;
constexpr uint32_t kLowMin = 5, kLowMax = 25;
// Bytes per lighting zone in property 8.
constexpr uint32_t kZoneRecord = 9;

// The effect codes of property 8 (the simulated mouse's, and two more).
enum Effect : uint8_t {
    EffectOff = 0,
    EffectStatic = 1,
    EffectBreath = 2, // breathing in one colour
    EffectSpectrum = 3,
    EffectWave = 4,
    EffectReactive = 5,
    EffectBreathDual = 7,
    EffectBreathRandom = 8,
};

// Battery states of property 67.
enum BatteryState : uint8_t { BatteryUnknown = 0, Discharging = 1, Charging = 2, Full = 3 };
constexpr uint8_t kLevelUnknown = 255;

// One lighting zone: the methods of one of the daemon's lighting interfaces.
struct Zone
{
    std::string name;             // "matrix", "backlight", "logo", "scroll", "left", "right"
    std::string iface;            // e.g. razer.device.lighting.logo
    std::string prefix;           // the methods' infix: setLogoStatic -> "Logo"; "" for the matrix
    std::vector<uint8_t> effects; // the effect codes it takes, ascending
    bool onOff = false;           // only set<P>Active: on (static) or off
    bool pulsate = false;         // breathing through set<P>Pulsate (older models)
    std::string brightnessIface;  // where get/set<P>Brightness live; empty: no brightness
    bool readsEffect = false;     // get<P>Effect, get<P>EffectColors, get<P>EffectSpeed
    bool readsActive = false;     // get<P>Active
    bool takes(uint8_t effect) const;
};

// What the daemon offers for one mouse, from its object's introspection.
struct Device
{
    std::string path;   // /org/razer/device/<serial>
    std::string serial; // as the daemon names it
    std::string name;   // getDeviceName
    std::string firmware;
    uint32_t vid = 0, pid = 0;

    std::set<std::string> methods; // "interface.Method"
    bool has(const std::string &iface, const std::string &method) const;

    bool dpi = false;              // getDPI and setDPI
    bool stages = false;           // getDPIStages and setDPIStages
    uint32_t maxDpi = 0;           // maxDPI
    std::vector<uint32_t> dpiList; // availableDPI: the only values it takes (no stages then)
    bool rate = false;             // getPollRate and setPollRate
    std::vector<uint32_t> rates;   // Hz, ascending: getSupportedPollRates, else 125/500/1000
    std::vector<Zone> zones;
    bool battery = false;  // getBattery
    bool charging = false; // isCharging
    bool idleSet = false, idleGet = false;
    bool lowSet = false, lowGet = false;
    bool sync = false; // the daemon has getSyncEffects/syncEffects
};

// What a zone holds, as the daemon answers (from its memory, see doc/device-map.md).
struct ZoneValues
{
    uint8_t effect = EffectSpectrum;
    uint8_t rgb[3] = {0, 255, 0};
    uint8_t rgb2[3] = {0, 255, 255};
    uint8_t brightness = 100; // percent
    uint8_t speed = 1;        // reactive: 1 to 4
};

struct Values
{
    uint32_t dpi = 0;              // getDPI's X
    int activeStage = 0;           // 0-based (the daemon counts from 1)
    std::vector<uint32_t> stages;  // X per stage
    std::vector<uint32_t> stagesY; // Y per stage, kept as the daemon holds it
    // Stages past the count as last written (0: none), kept by kelv like the simulated
    // mouse keeps them: a stage added later starts from its value.
    std::vector<uint32_t> spare = std::vector<uint32_t>(kMaxStages, 0);
    uint32_t rate = 0;             // Hz
    std::vector<ZoneValues> zones; // one per Device::zones
    bool sync = false;
    uint32_t idle = 0; // seconds; 0: not known
    uint32_t low = 0;  // percent; 0: not known
};

// The battery as property 67 reports it.
struct Battery
{
    uint8_t level = kLevelUnknown;
    uint8_t state = BatteryUnknown;
    bool operator==(const Battery &o) const { return level == o.level && state == o.state; }
    bool operator!=(const Battery &o) const { return !(*this == o); }
};

// getBattery (percent as a double, -1 unknown) and isCharging as property 67: 0 % while not
// charging is a mouse asleep or out of reach, not an empty one.
Battery batteryFrom(double percent, bool charging);

// The report rate codes of property 5: 1 125 Hz ... 7 8000 Hz; 0 for another rate.
uint8_t rateCode(uint32_t hertz);
uint32_t rateHertz(uint8_t code);

// The device's methods (introspected) turned into what it offers; fills everything but the
// values read with calls (name, firmware, vid/pid, maxDpi, dpiList, rates).
void learn(Device *device);
// Every method name of an introspection text, as "interface.Method".
std::set<std::string> introspectedMethods(const std::string &xml);
// The zone method for an effect ("setLogoStatic"); empty when the zone has none.
std::string effectMethod(const Zone &zone, uint8_t effect);
// The daemon's effect name (getLogoEffect) as an effect code; EffectSpectrum for a name kelv
// does not know (what the daemon starts with).
uint8_t effectFromName(const std::string &name);

// Whether a stage may hold dpi (the device's values, or 100 to maxDPI in steps of 50).
bool dpiAllowed(const Device &d, uint32_t dpi);
// The stage counts property 1 takes.
uint32_t minStages(const Device &d);
uint32_t maxStages(const Device &d);

// The bytes of a property (DC_BAD_ARGUMENT for one the device does not have).
int32_t readProperty(const Device &d, const Values &v, const Battery &battery, uint32_t id,
                     std::vector<uint8_t> *out);
// The values a write asks for: checked against the device (size, lists, ranges) and applied to
// a copy of the current values. DC_BAD_ARGUMENT when anything is outside; nothing is written
// then.
int32_t planWrite(const Device &d, const Values &now, uint32_t id, const uint8_t *bytes,
                  uint32_t size, Values *want);

// The description (property 64).
std::string describe(const Device &d, uint8_t tag);
// The service state (property 65 of "OPENRAZER\"): hardware says whether a device of the
// daemon's vendor is plugged in (the page then tells how to get the daemon going).
std::string serviceState(const std::string &state, int mice, bool driver, bool hardware);

// Identity: the hardware ID from vendor, product and serial, or (a serial the daemon made up,
// "UNKWN" and a number that changes at every start) from vendor, product and the USB port.
struct Identity
{
    std::string deviceId;
    std::string hardwareId;
};
bool serialIsMadeUp(const std::string &serial);
Identity identify(uint32_t vid, uint32_t pid, const std::string &serial, const std::string &port);

// Text from outside: valid UTF-8 of at most maxBytes (invalid bytes become '?', control
// characters are left out); printable ASCII only for asciiText.
std::string cleanText(const std::string &text, size_t maxBytes);
std::string asciiText(const std::string &text, size_t maxBytes);

} // namespace kelv::razer
