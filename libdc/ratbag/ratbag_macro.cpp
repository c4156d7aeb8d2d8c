#include "libdc/ratbag/ratbag_macro.h"

#include "libdc/libdc.h"
#include "platform/scancode.h"

namespace kelv::ratbag {

namespace {

constexpr uint8_t kSlotMarker = 0x4D;
constexpr uint32_t kSlotHeader = 32;
constexpr uint32_t kSlotMaxEvents = 672;

// Linux key codes of Ctrl, Shift, Alt and Win (the left-hand keys), in the order of the
// modifier bits.
constexpr unsigned kModifierKeys[4] = {29, 42, 56, 125};

// KEY_PLAYPAUSE, KEY_NEXTSONG, KEY_PREVIOUSSONG, KEY_VOLUMEUP, KEY_VOLUMEDOWN, KEY_MUTE.
constexpr unsigned kMediaKeys[6] = {164, 163, 165, 115, 114, 113};

// X key codes are Linux key codes + 8 (the recorder's table is written for them).
constexpr unsigned kXOffset = 8;

} // namespace

bool scanForKey(unsigned key, unsigned *scan, bool *extended)
{
    platform::ScanCode code;
    if (!platform::scanCodeForEvdev(key, &code))
        return false;
    *scan = code.code;
    *extended = code.extended;
    return true;
}

bool keyForScan(unsigned scan, bool extended, unsigned *key)
{
    unsigned xKeycode = 0;
    if (!platform::xKeycodeForScanCode(platform::ScanCode{scan, extended}, &xKeycode) ||
        xKeycode < kXOffset)
        return false;
    *key = xKeycode - kXOffset;
    return true;
}

Macro normalised(const Macro &macro)
{
    Macro out;
    for (const MacroEvent &e : macro) {
        if (e.type == EventWait) {
            if (e.value == 0)
                continue;
            if (!out.empty() && out.back().type == EventWait) {
                out.back().value += e.value;
                continue;
            }
        }
        out.push_back(e);
    }
    return out;
}

int32_t slotMacro(const std::vector<uint8_t> &memory, uint32_t slot, Macro *out)
{
    out->clear();
    const uint32_t base = kSlotBase + slot * kSlotSize;
    if (slot >= kSlotCount || memory.size() < base + kSlotSize)
        return DC_BAD_ARGUMENT;
    const uint8_t *record = memory.data() + base;
    bool empty = true;
    for (uint32_t i = 0; i < kSlotSize && empty; ++i)
        empty = record[i] == 0;
    if (empty)
        return DC_OK;
    const uint32_t count = record[1] | uint32_t(record[2]) << 8;
    if (record[0] != kSlotMarker || count > kSlotMaxEvents)
        return DC_BAD_ARGUMENT;
    Macro events;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *e = record + kSlotHeader + 3 * i;
        unsigned key = 0;
        switch (e[0]) {
        case 1:
        case 2:
            if (e[2] > 1 || !keyForScan(e[1], e[2] == 1, &key))
                return DC_BAD_ARGUMENT;
            events.push_back({e[0] == 1 ? uint32_t(EventPress) : uint32_t(EventRelease), key});
            break;
        case 3:
            events.push_back({EventWait, uint32_t(e[1] | e[2] << 8)});
            break;
        default:
            return DC_BAD_ARGUMENT;
        }
    }
    *out = normalised(events);
    if (out->size() > kMaxMacroEvents) {
        out->clear();
        return DC_BAD_ARGUMENT;
    }
    return DC_OK;
}

Macro linuxKeyMacro(unsigned modifiers, unsigned key)
{
    Macro macro;
    for (unsigned bit = 0; bit < 4; ++bit) {
        if (modifiers & (1u << bit))
            macro.push_back({EventPress, kModifierKeys[bit]});
    }
    macro.push_back({EventPress, key});
    macro.push_back({EventRelease, key});
    for (unsigned bit = 4; bit-- > 0;) {
        if (modifiers & (1u << bit))
            macro.push_back({EventRelease, kModifierKeys[bit]});
    }
    return macro;
}

bool keyMacro(unsigned modifiers, unsigned scan, bool extended, Macro *out)
{
    unsigned key = 0;
    if (modifiers > 15 || !keyForScan(scan, extended, &key))
        return false;
    *out = linuxKeyMacro(modifiers, key);
    return true;
}

bool keyOfMacro(const Macro &macro, unsigned *modifiers, unsigned *key)
{
    // Presses of the modifiers (in bit order), the key; then the same released in reverse.
    const size_t n = macro.size();
    if (n < 2 || n % 2 != 0 || n > 10)
        return false;
    const size_t half = n / 2;
    for (size_t i = 0; i < half; ++i) {
        if (macro[i].type != EventPress || macro[n - 1 - i].type != EventRelease ||
            macro[i].value != macro[n - 1 - i].value)
            return false;
    }
    unsigned mods = 0;
    unsigned nextBit = 0;
    for (size_t i = 0; i + 1 < half; ++i) {
        unsigned bit = nextBit;
        while (bit < 4 && kModifierKeys[bit] != macro[i].value)
            ++bit;
        if (bit == 4)
            return false;
        mods |= 1u << bit;
        nextBit = bit + 1;
    }
    *modifiers = mods;
    *key = macro[half - 1].value;
    return true;
}

unsigned mediaKey(unsigned function)
{
    return function >= 1 && function <= 6 ? kMediaKeys[function - 1] : 0;
}

unsigned mediaFunction(unsigned key)
{
    for (unsigned i = 0; i < 6; ++i) {
        if (kMediaKeys[i] == key)
            return i + 1;
    }
    return 0;
}

} // namespace kelv::ratbag
