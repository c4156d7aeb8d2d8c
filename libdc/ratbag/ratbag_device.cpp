// The reading side of a ratbagd mouse: which properties it has, which of the daemon's values
// each needs, and the bytes of each from those values (ratbag_device.h); with the small
// conversions the other parts share (ratbag_device_internal.h). The button mappings are in
// ratbag_mapping.cpp, the writes in ratbag_plan.cpp, the description in ratbag_describe.cpp.

#include "libdc/ratbag/ratbag_device.h"

#include "libdc/libdc.h"
#include "libdc/ratbag/ratbag_device_internal.h"

#include <algorithm>

namespace kelv::ratbag {

namespace detail {

uint32_t modeForEffect(uint32_t effect)
{
    for (uint32_t mode = 0; mode < 4; ++mode) {
        if (kEffectForMode[mode] == effect)
            return mode;
    }
    return UINT32_MAX;
}

uint32_t durationForSpeed(uint32_t speed)
{
    return (11 - speed) * 1000;
}

uint32_t speedForDuration(uint32_t ms)
{
    const uint32_t rounded = (std::min(ms, kMaxDurationMs) + 500) / 1000;
    return std::clamp<uint32_t>(11 - std::max<uint32_t>(rounded, 1), 1, 10);
}

uint32_t brightnessToDaemon(uint32_t percent)
{
    return (percent * 255 + 50) / 100;
}

uint32_t brightnessToPercent(uint32_t value)
{
    return (std::min<uint32_t>(value, 255) * 100 + 127) / 255;
}

uint32_t colourToDaemon(uint32_t value, uint32_t depth)
{
    return depth == DepthRgb111 ? (value >= 128 ? 1 : 0) : value;
}

uint8_t colourToByte(uint32_t value, uint32_t depth)
{
    if (depth == DepthRgb111)
        return value ? 0xff : 0;
    return uint8_t(std::min<uint32_t>(value, 255));
}

const Profile &activeProfile(const Device &device, const Values &values)
{
    const size_t index = values.activeProfile >= 0 ? size_t(values.activeProfile) : 0;
    return device.profiles.at(std::min(index, device.profiles.size() - 1));
}

// --- small helpers for the byte layouts ------------------------------------------------------

void putU16(std::vector<uint8_t> *out, uint32_t v)
{
    v = std::min<uint32_t>(v, 0xffff);
    out->push_back(uint8_t(v & 0xff));
    out->push_back(uint8_t(v >> 8));
}

uint32_t u16(const uint8_t *p)
{
    return p[0] | uint32_t(p[1]) << 8;
}

int indexOfActive(const Values &values)
{
    for (size_t i = 0; i < values.resolutions.size(); ++i) {
        if (values.resolutions[i].active)
            return int(i);
    }
    return -1;
}

int indexOfDefault(const Values &values)
{
    for (size_t i = 0; i < values.resolutions.size(); ++i) {
        if (values.resolutions[i].isDefault)
            return int(i);
    }
    return -1;
}

} // namespace detail

using namespace detail;

namespace {

uint32_t enabledMask(const Values &values)
{
    uint32_t mask = 0;
    for (size_t i = 0; i < values.enabled.size() && i < 16; ++i) {
        if (values.enabled[i])
            mask |= 1u << i;
    }
    return mask;
}

uint32_t disabledStages(const Values &values)
{
    uint32_t mask = 0;
    for (size_t i = 0; i < values.resolutions.size() && i < 16; ++i) {
        if (values.resolutions[i].disabled)
            mask |= 1u << i;
    }
    return mask;
}

bool anyProfileNamed(const Device &d)
{
    for (const Profile &p : d.profiles) {
        if (p.canRename)
            return true;
    }
    return false;
}

} // namespace

uint32_t rateHz(uint32_t code)
{
    return code >= 1 && code <= 7 ? 125u << (code - 1) : 0;
}

uint32_t rateCode(uint32_t hz)
{
    for (uint32_t code = 1; code <= 7; ++code) {
        if (rateHz(code) == hz)
            return code;
    }
    return 0;
}

unsigned groupsFor(uint32_t id)
{
    switch (id) {
    case 1:
    case 2:
    case 3:
    case 12:
    case 13:
        return GroupProfiles | GroupResolutions;
    case 5:
    case 9:
    case 10:
    case 14:
    case 15:
    case 16:
        return GroupProfiles;
    case 7:
        return GroupProfiles | GroupButtons;
    case 8:
        return GroupProfiles | GroupLeds;
    default:
        return 0;
    }
}

std::vector<uint32_t> propertyIds(const Device &device)
{
    std::vector<uint32_t> ids = {1, 2, 3};
    if (device.profiles.empty())
        return {DC_PROP_DESCRIPTION, DC_PROP_SERVICE_STATE, DC_PROP_LAST_RESULT};
    const Profile &p = device.profiles.front();
    if (!p.reportRates.empty())
        ids.push_back(5);
    if (!p.buttons.empty())
        ids.push_back(7);
    if (!p.leds.empty())
        ids.push_back(8);
    if (p.hasAngleSnapping)
        ids.push_back(9);
    if (p.hasDebounce)
        ids.push_back(10);
    if (p.hasDefaultStage)
        ids.push_back(12);
    ids.insert(ids.end(), {13u, 14u, 15u});
    if (anyProfileNamed(device))
        ids.push_back(16);
    for (uint32_t id : {DC_PROP_DESCRIPTION, DC_PROP_SERVICE_STATE, DC_PROP_LAST_RESULT})
        ids.push_back(id);
    return ids;
}

int32_t readProperty(const Device &device, const Values &values, const SlotView &view, uint32_t id,
                     std::vector<uint8_t> *bytes)
{
    bytes->clear();
    const std::vector<uint32_t> ids = propertyIds(device);
    if (device.profiles.empty() || std::find(ids.begin(), ids.end(), id) == ids.end())
        return DC_BAD_ARGUMENT;
    const Profile &p = activeProfile(device, values);
    switch (id) {
    case 1:
        bytes->push_back(uint8_t(p.resolutions.size()));
        return DC_OK;
    case 2:
        bytes->push_back(uint8_t(std::max(indexOfActive(values), 0)));
        return DC_OK;
    case 3:
        for (const ResolutionValues &r : values.resolutions)
            putU16(bytes, r.x);
        return DC_OK;
    case 5:
        bytes->push_back(uint8_t(rateCode(values.reportRate)));
        return DC_OK;
    case 7:
        for (size_t i = 0; i < values.buttons.size(); ++i) {
            uint8_t b[4];
            const int assigned =
                view.assigned && i < view.assigned->size() ? (*view.assigned)[i] : -1;
            mappingBytes(values.buttons[i], assigned, view.memory, b);
            bytes->insert(bytes->end(), b, b + 4);
        }
        return DC_OK;
    case 8:
        for (size_t i = 0; i < values.leds.size() && i < p.leds.size(); ++i) {
            const LedValues &l = values.leds[i];
            const uint32_t depth = p.leds[i].depth;
            bytes->push_back(l.mode < 4 ? uint8_t(kEffectForMode[l.mode]) : uint8_t(TypeKeep));
            bytes->push_back(colourToByte(l.red, depth));
            bytes->push_back(colourToByte(l.green, depth));
            bytes->push_back(colourToByte(l.blue, depth));
            bytes->push_back(uint8_t(brightnessToPercent(l.brightness)));
            bytes->push_back(uint8_t(speedForDuration(l.duration)));
            putU16(bytes, std::min(l.duration, kMaxDurationMs));
        }
        return DC_OK;
    case 9:
        bytes->push_back(values.angleSnapping == 1 ? 1 : 0);
        return DC_OK;
    case 10:
        bytes->push_back(uint8_t(std::clamp<int32_t>(values.debounce, 0, 255)));
        return DC_OK;
    case 12:
        bytes->push_back(uint8_t(std::max(indexOfDefault(values), 0)));
        return DC_OK;
    case 13:
        putU16(bytes, disabledStages(values));
        return DC_OK;
    case 14:
        bytes->push_back(uint8_t(std::max(values.activeProfile, 0)));
        return DC_OK;
    case 15:
        putU16(bytes, enabledMask(values));
        return DC_OK;
    case 16:
        for (size_t i = 0; i < device.profiles.size(); ++i) {
            const std::string name =
                cleanText(i < values.names.size() ? values.names[i] : "", kProfileNameRecord - 1);
            bytes->insert(bytes->end(), name.begin(), name.end());
            bytes->insert(bytes->end(), kProfileNameRecord - name.size(), 0);
        }
        return DC_OK;
    default:
        return DC_BAD_ARGUMENT; // the description, service state and last result: the service
    }
}

} // namespace kelv::ratbag
