#pragma once

// The simulated mouse's persistent state and its on-disk text form. Plain C++17: the
// device library stands in for a vendor library and must not depend on Qt.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kelv::sim {

constexpr uint32_t kProductCode = 4118;
constexpr uint32_t kMemorySize = 0x10000;
// The largest firmware an update.bin carries (bytes 264 .. 66112 of the image).
constexpr uint32_t kRomSize = 65849;
constexpr int kPropertyCount = 11; // ids 1..11
constexpr int kDefaultBootDelayMs = 1500;
constexpr int kRestartDelayMs = 500;

constexpr uint16_t kMouseProductId = 0x5e30;
constexpr uint16_t kBootProductId = 0x5e31;
constexpr uint32_t kMouseInterface = 0xFFA00001;
constexpr uint32_t kBootInterface = 0xFFAA0001;

extern const char kMouseHardwareId[];
extern const char kBootHardwareId[];
extern const char kMouseDevicePath[];
extern const char kBootDevicePath[];
extern const char kMouseDeviceId[];
extern const char kBootDeviceId[];

// Where the device is between plug and firmware update. ToBoot and ToMouse are the gaps
// while it restarts: nothing is visible until the delay has passed.
enum class Mode { Mouse, ToBoot, Boot, ToMouse };

// Which device the host sees right now.
enum class Visible { None, Mouse, Boot };

enum Fault : unsigned { FaultRead = 1, FaultWrite = 2, FaultNotify = 4 };

// Operation kinds that `unplug-after` counts.
enum class OpKind { Read, Write, Notify, Rom };

struct MouseState
{
    bool plugged = true;
    Mode mode = Mode::Mouse;
    int64_t modeSince = 0; // monotonic-clock milliseconds of the last mode change
    std::string version = "1.0.0";
    std::string serial;
    int bootDelayMs = kDefaultBootDelayMs; // -1: the boot loader never shows up
    unsigned faults = 0;
    int unplugAfter = -1;         // matching calls still allowed before the unplug; -1 off
    std::string unplugOp = "any"; // read, write, notify, rom or any
    std::array<std::vector<uint8_t>, kPropertyCount + 1> props; // index 0 unused
    // Firmware update progress.
    bool romErased = false;
    uint32_t romWritten = 0; // one past the highest byte written since the erase
    bool romChecked = false;
    uint32_t romCheckedLength = 0;
};

// The simulated mouse's device description (property 64): compact JSON text.
std::string mouseDescription();

// Property sizes by id (0 for unknown ids).
uint32_t propertySize(uint32_t id);
// The short name of a property ("dpi-stages"), or "" for unknown ids.
const char *propertyName(uint32_t id);
// The id of a property given by number or by short name; 0 when there is none.
uint32_t propertyId(const std::string &nameOrNumber);
// A property's value in words ("400, 800, 1600, ..."), as the device map describes it.
std::string describeProperty(uint32_t id, const std::vector<uint8_t> &value);
// Factory values of every property.
void setFactoryProperties(MouseState &state);
MouseState factoryState(const std::string &serial);
// True when every property holds a value in range.
bool propertiesValid(const MouseState &state);
// True when property `id` may hold `value` (a full-size value) given the other properties.
bool propertyValueValid(const MouseState &state, uint32_t id, const std::vector<uint8_t> &value);
// The DPI value of a stage (property 3).
uint16_t stageDpi(const MouseState &state, int stage);

Visible visibleDevice(const MouseState &state);
uint16_t productId(Visible device);

// A new serial number: "KM1" and 9 random digits.
std::string newSerial();

// Text form with a trailing CRC line; parse returns false for anything damaged.
std::string encodeState(const MouseState &state);
bool decodeState(const std::string &text, MouseState *state);

// CRC-32 as zlib computes it (reflected 0xEDB88320, init and final XOR 0xFFFFFFFF).
uint32_t crc32(const uint8_t *data, size_t size, uint32_t crc = 0);

std::string hexBytes(const uint8_t *data, size_t size);
bool parseHexBytes(const std::string &text, std::vector<uint8_t> *bytes);

// Milliseconds of the machine's monotonic clock.
int64_t nowMs();
// True once delayMs have passed since the time since (a time from before the machine's
// start counts as passed).
bool delayPassed(int64_t since, int64_t delayMs);
const char *modeName(Mode mode);

} // namespace kelv::sim
