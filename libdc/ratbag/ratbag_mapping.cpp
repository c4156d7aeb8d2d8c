// The buttons of a ratbagd mouse: the daemon's mappings (button numbers, special functions,
// macros) to the 4-byte assignments of property 7 and back (doc/device-map.md, "Real mice:
// buttons"), and which assignments a button takes.

#include "libdc/libdc.h"
#include "libdc/ratbag/ratbag_device.h"
#include "libdc/ratbag/ratbag_device_internal.h"
#include "libdc/ratbag/ratbag_macro.h"

#include <algorithm>

namespace kelv::ratbag {

namespace {

using namespace detail;

// The daemon's special functions (offset from kSpecialBase) and the assignment each is.
struct SpecialFunction
{
    uint8_t type;
    uint8_t p1;
    uint32_t special;
};
constexpr SpecialFunction kSpecials[] = {
    {TypeMouse, 6, 4},    {TypeMouse, 7, 5},    {TypeMouse, 8, 1},    {TypeMouse, 9, 2},
    {TypeMouse, 10, 3},   {TypeOther, 1, 6},    {TypeDpi, 1, 7},      {TypeDpi, 2, 8},
    {TypeDpi, 3, 9},      {TypeDpi, 4, 10},     {TypeDpi, 5, 11},     {TypeDpi, 6, 12},
    {TypeProfile, 1, 13}, {TypeProfile, 2, 14}, {TypeProfile, 3, 15}, {TypeProfile, 4, 16},
    {TypeOther, 2, 17},   {TypeOther, 3, 18},
};

Mapping special(uint32_t offset)
{
    return Mapping{ActionSpecial, kSpecialBase + offset, {}};
}

} // namespace

namespace detail {

BusValue mappingValue(const Mapping &m)
{
    BusValue value;
    if (m.type == ActionMacro) {
        value.kind = BusValue::Kind::MapMacro;
        value.macro = m.macro;
    } else {
        value.kind = BusValue::Kind::MapButton;
        value.a = m.type;
        value.b = m.value;
    }
    return value;
}

bool mappingWritable(const Mapping &m)
{
    return m.type == ActionButton || m.type == ActionSpecial || m.type == ActionMacro;
}

// --- buttons ------------------------------------------------------------------------------

// The 4 bytes of a button's mapping.
void mappingBytes(const Mapping &m, int assigned, const std::vector<uint8_t> *memory,
                  uint8_t out[4])
{
    out[0] = TypeKeep;
    out[1] = out[2] = out[3] = 0;
    if (m.type == ActionButton && m.value >= 1 && m.value <= kHighestButton) {
        out[0] = m.value <= kMouseButtons ? TypeMouse : TypeButtonNumber;
        out[1] = uint8_t(m.value);
        return;
    }
    if (m.type == ActionSpecial) {
        for (const SpecialFunction &f : kSpecials) {
            if (kSpecialBase + f.special == m.value) {
                out[0] = f.type;
                out[1] = f.p1;
                return;
            }
        }
        return;
    }
    if (m.type != ActionMacro)
        return;
    const Macro events = normalised(m.macro);
    Macro slot;
    if (memory && assigned >= 0 && slotMacro(*memory, uint32_t(assigned), &slot) == DC_OK &&
        slot == events) {
        out[0] = TypeMacro;
        out[1] = uint8_t(assigned);
        return;
    }
    unsigned modifiers = 0, key = 0, scan = 0;
    bool extended = false;
    if (keyOfMacro(events, &modifiers, &key)) {
        if (modifiers == 0 && mediaFunction(key) != 0) {
            out[0] = TypeMedia;
            out[1] = uint8_t(mediaFunction(key));
            return;
        }
        // A key that shares its scan code with another (F24 and Zenkaku/Hankaku both send
        // 0x76) would be written back as the other one: it stays as the mouse has it.
        unsigned back = 0;
        if (scanForKey(key, &scan, &extended) && scan >= 1 && scan <= 127 &&
            keyForScan(scan, extended, &back) && back == key) {
            out[0] = TypeKey;
            out[1] = uint8_t(modifiers);
            out[2] = uint8_t(scan);
            out[3] = extended ? 1 : 0;
            return;
        }
    }
    // A macro without events is no slot's: an empty slot would match it, and storing a macro
    // there later would send it to this button.
    for (uint32_t s = 0; memory && !events.empty() && s < kSlotCount; ++s) {
        if (slotMacro(*memory, s, &slot) == DC_OK && slot == events) {
            out[0] = TypeMacro;
            out[1] = uint8_t(s);
            return;
        }
    }
}

// The mapping 4 bytes ask for. DC_OK with *keep when the button stays as it is.
int32_t mappingFor(const uint8_t b[4], const Button &button, const std::vector<uint8_t> *memory,
                   Mapping *out, bool *keep, int *slot)
{
    *keep = false;
    *slot = -1;
    const uint8_t type = b[0], p1 = b[1], p2 = b[2], p3 = b[3];
    if (type == TypeKeep) {
        *keep = true;
        return DC_OK;
    }
    const bool plain = p2 == 0 && p3 == 0;
    switch (type) {
    case TypeMouse:
        if (p1 >= 1 && p1 <= kMouseButtons && plain && button.allows(ActionButton)) {
            *out = Mapping{ActionButton, p1, {}};
            return DC_OK;
        }
        break;
    case TypeButtonNumber:
        if (p1 >= 1 && p1 <= kHighestButton && plain && button.allows(ActionButton)) {
            *out = Mapping{ActionButton, p1, {}};
            return DC_OK;
        }
        return DC_BAD_ARGUMENT;
    case TypeKey:
        if (button.allows(ActionMacro) && p3 <= 1) {
            Mapping m{ActionMacro, 0, {}};
            if (!keyMacro(p1, p2, p3 == 1, &m.macro))
                return DC_BAD_ARGUMENT;
            *out = m;
            return DC_OK;
        }
        return DC_BAD_ARGUMENT;
    case TypeMedia:
        if (button.allows(ActionMacro) && plain && mediaKey(p1) != 0) {
            *out = Mapping{ActionMacro, 0, linuxKeyMacro(0, mediaKey(p1))};
            return DC_OK;
        }
        return DC_BAD_ARGUMENT;
    case TypeMacro:
        if (button.allows(ActionMacro) && p1 < kSlotCount && plain && memory) {
            Mapping m{ActionMacro, 0, {}};
            if (const int32_t r = slotMacro(*memory, p1, &m.macro))
                return r;
            *out = m;
            *slot = p1;
            return DC_OK;
        }
        return DC_BAD_ARGUMENT;
    default:
        break;
    }
    // Everything else is one of the daemon's special functions.
    if (!plain || !button.allows(ActionSpecial))
        return DC_BAD_ARGUMENT;
    for (const SpecialFunction &f : kSpecials) {
        if (f.type == type && f.p1 == p1) {
            *out = special(f.special);
            return DC_OK;
        }
    }
    return DC_BAD_ARGUMENT;
}

uint32_t allowedTypes(const Button &button)
{
    uint32_t bits = 0;
    if (button.allows(ActionButton))
        bits |= 1u << TypeMouse | 1u << TypeButtonNumber;
    if (button.allows(ActionSpecial))
        bits |= 1u << TypeMouse | 1u << TypeDpi | 1u << TypeProfile | 1u << TypeOther;
    if (button.allows(ActionMacro))
        bits |= 1u << TypeKey | 1u << TypeMacro | 1u << TypeMedia;
    return bits;
}

} // namespace detail

bool Button::allows(uint32_t type) const
{
    return std::find(actionTypes.begin(), actionTypes.end(), type) != actionTypes.end();
}

bool Mapping::operator==(const Mapping &o) const
{
    if (type != o.type)
        return false;
    if (type == ActionMacro)
        return normalised(macro) == normalised(o.macro);
    return value == o.value;
}

} // namespace kelv::ratbag
