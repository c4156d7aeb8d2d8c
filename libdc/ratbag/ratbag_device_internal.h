#pragma once

// What the parts of the ratbagd device model share (ratbag_device.cpp reads properties,
// ratbag_mapping.cpp converts button mappings, ratbag_plan.cpp plans writes,
// ratbag_describe.cpp describes the device): the assignment types of property 7, the LED
// record layout and the conversions both ways. Not part of the library's interface.

#include "libdc/ratbag/ratbag_device.h"

#include <cstdint>
#include <vector>

namespace kelv::ratbag::detail {

// Assignment types of property 7 (doc/device-map.md, "Real mice: buttons").
enum KelvType : uint8_t {
    TypeDisabled = 0,
    TypeMouse = 1,
    TypeKey = 2,
    TypeDpi = 3,
    TypeProfile = 4,
    TypeMacro = 5,
    TypeMedia = 6,
    TypeButtonNumber = 7,
    TypeOther = 8,
    TypeKeep = 255,
};

inline constexpr uint32_t kHighestButton = 30; // the daemon takes button numbers 1 to 30
inline constexpr uint32_t kMouseButtons = 5;   // buttons 1-5 read as mouse functions

// LED effect codes (the simulated mouse's) and the daemon's modes.
inline constexpr uint32_t kEffectForMode[4] = {0, 1, 3, 2};
inline constexpr uint32_t kLedRecord = 8;
inline constexpr uint32_t kSimLedRecord = 6;

// LED values: effect code <-> mode, speed <-> duration, percent <-> 0-255, colour depth.
uint32_t modeForEffect(uint32_t effect);
uint32_t durationForSpeed(uint32_t speed);
uint32_t speedForDuration(uint32_t ms);
uint32_t brightnessToDaemon(uint32_t percent);
uint32_t brightnessToPercent(uint32_t value);
uint32_t colourToDaemon(uint32_t value, uint32_t depth);
uint8_t colourToByte(uint32_t value, uint32_t depth);

// The profile in use (the first when none says it is).
const Profile &activeProfile(const Device &device, const Values &values);

// Little-endian 16-bit values of the byte layouts (putU16 caps at 0xffff).
void putU16(std::vector<uint8_t> *out, uint32_t v);
uint32_t u16(const uint8_t *p);

// The stage (resolution) in use and the default one; -1 when none says so.
int indexOfActive(const Values &values);
int indexOfDefault(const Values &values);

// --- button mappings (ratbag_mapping.cpp) ---------------------------------------------------

// A mapping as the value written to the Mapping property, and whether it can be written back.
BusValue mappingValue(const Mapping &m);
bool mappingWritable(const Mapping &m);

// The 4 bytes of a button's mapping.
void mappingBytes(const Mapping &m, int assigned, const std::vector<uint8_t> *memory,
                  uint8_t out[4]);

// The mapping 4 bytes ask for. DC_OK with *keep when the button stays as it is.
int32_t mappingFor(const uint8_t b[4], const Button &button, const std::vector<uint8_t> *memory,
                   Mapping *out, bool *keep, int *slot);

// The assignment types a button takes, one bit per type.
uint32_t allowedTypes(const Button &button);

} // namespace kelv::ratbag::detail
