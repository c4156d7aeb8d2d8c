#include "libdc/ratbag/ratbag_device.h"

#include "libdc/json_text.h"
#include "libdc/libdc.h"
#include "libdc/ratbag/ratbag_macro.h"

#include <algorithm>

namespace kelv::ratbag {

namespace {

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

constexpr uint32_t kHighestButton = 30; // the daemon takes button numbers 1 to 30
constexpr uint32_t kMouseButtons = 5;   // buttons 1-5 read as mouse functions

// LED effect codes (the simulated mouse's) and the daemon's modes.
constexpr uint32_t kEffectForMode[4] = {0, 1, 3, 2};
constexpr uint32_t kLedRecord = 8;
constexpr uint32_t kSimLedRecord = 6;

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

Op call(const std::string &path, const char *interface, const char *method)
{
    Op op;
    op.kind = Op::Kind::Call;
    op.path = path;
    op.interface = interface;
    op.member = method;
    return op;
}

Op set(const std::string &path, const char *interface, const char *property, BusValue value)
{
    Op op;
    op.path = path;
    op.interface = interface;
    op.member = property;
    op.value = std::move(value);
    return op;
}

BusValue uintValue(uint32_t v, BusValue::Kind kind = BusValue::Kind::Uint)
{
    BusValue value;
    value.kind = kind;
    value.a = v;
    return value;
}

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

Mapping special(uint32_t offset)
{
    return Mapping{ActionSpecial, kSpecialBase + offset, {}};
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

bool anyStageCanBeDisabled(const Profile &p)
{
    for (const Resolution &r : p.resolutions) {
        if (r.canDisable)
            return true;
    }
    return false;
}

bool anyProfileNamed(const Device &d)
{
    for (const Profile &p : d.profiles) {
        if (p.canRename)
            return true;
    }
    return false;
}

// At most this many runs describe a DPI list; a list that needs more is one run with step 0.
constexpr size_t kMaxDpiRuns = 16;

// The DPI list as [first, last, step] runs. The daemon passes on the list a driver or a device
// file gives, which need not be in order nor free of repeats: they are put in order first.
std::vector<std::vector<uint32_t>> dpiRuns(std::vector<uint32_t> dpis)
{
    std::sort(dpis.begin(), dpis.end());
    dpis.erase(std::unique(dpis.begin(), dpis.end()), dpis.end());
    std::vector<std::vector<uint32_t>> runs;
    size_t i = 0;
    while (i < dpis.size()) {
        if (i + 1 == dpis.size()) {
            runs.push_back({dpis[i], dpis[i], 1});
            break;
        }
        const uint32_t step = dpis[i + 1] - dpis[i];
        size_t j = i + 1;
        while (j + 1 < dpis.size() && dpis[j + 1] - dpis[j] == step)
            ++j;
        runs.push_back({dpis[i], dpis[j], step});
        i = j + 1;
    }
    if (runs.size() > kMaxDpiRuns)
        return {{dpis.front(), dpis.back(), 0}};
    return runs;
}

// --- writes, one property each --------------------------------------------------------------

using Changes = std::vector<Change>;

int32_t planActiveStage(const Profile &p, const Values &v, uint32_t stage, Changes *changes)
{
    if (stage >= p.resolutions.size() || stage >= v.resolutions.size())
        return DC_BAD_ARGUMENT;
    if (v.resolutions[stage].active)
        return DC_OK;
    // A resolution at 0 DPI is switched off on the mouse, a disabled one is not in use: neither
    // can become the one in use.
    if (v.resolutions[stage].x == 0 || v.resolutions[stage].disabled)
        return DC_BAD_ARGUMENT;
    const int current = indexOfActive(v);
    Change c;
    c.op = call(p.resolutions[stage].path, "Resolution", "SetActive");
    if (current >= 0)
        c.undo = call(p.resolutions[size_t(current)].path, "Resolution", "SetActive");
    changes->push_back(c);
    return DC_OK;
}

int32_t planStages(const Profile &p, const Values &v, const uint8_t *bytes, uint32_t size,
                   Changes *changes)
{
    if (size == 0 || size % 2 != 0 || size / 2 > p.resolutions.size() ||
        v.resolutions.size() != p.resolutions.size())
        return DC_BAD_ARGUMENT;
    for (uint32_t i = 0; i < size / 2; ++i) {
        const uint32_t dpi = u16(bytes + 2 * i);
        const Resolution &r = p.resolutions[i];
        const ResolutionValues &now = v.resolutions[i];
        // A stage whose DPI stays is left alone: it keeps a Y of its own and a 0 (a resolution
        // the mouse has switched off), which the page writes back with every other stage.
        if (now.x == dpi)
            continue;
        if (dpi == 0)
            return DC_BAD_ARGUMENT;
        Change c;
        BusValue want = uintValue(dpi, r.separateXY ? BusValue::Kind::DpiXY : BusValue::Kind::Dpi);
        want.b = dpi;
        BusValue old = uintValue(now.x, want.kind);
        old.b = now.y;
        c.op = set(r.path, "Resolution", "Resolution", want);
        c.undo = set(r.path, "Resolution", "Resolution", old);
        changes->push_back(c);
    }
    return DC_OK;
}

int32_t planButtons(const Profile &p, const Values &v, const SlotView &view, const uint8_t *bytes,
                    uint32_t size, Changes *changes, std::vector<int> *slotsUsed)
{
    if (size == 0 || size % 4 != 0 || size / 4 > p.buttons.size() ||
        v.buttons.size() != p.buttons.size())
        return DC_BAD_ARGUMENT;
    std::vector<int> used(p.buttons.size(), -2);
    Changes planned;
    for (uint32_t i = 0; i < size / 4; ++i) {
        Mapping want;
        bool keep = false;
        int slot = -1;
        if (const int32_t r =
                mappingFor(bytes + 4 * i, p.buttons[i], view.memory, &want, &keep, &slot))
            return r;
        if (keep)
            continue;
        used[i] = slot;
        const Mapping &now = v.buttons[i];
        if (now == want)
            continue;
        Change c;
        c.op = set(p.buttons[i].path, "Button", "Mapping", mappingValue(want));
        if (mappingWritable(now))
            c.undo = set(p.buttons[i].path, "Button", "Mapping", mappingValue(now));
        planned.push_back(c);
    }
    changes->insert(changes->end(), planned.begin(), planned.end());
    if (slotsUsed)
        *slotsUsed = used;
    return DC_OK;
}

int32_t planLed(const Led &led, const LedValues &now, const uint8_t *r, bool withDuration,
                Changes *changes)
{
    const uint32_t effect = r[0];
    uint32_t mode = now.mode;
    if (effect != TypeKeep) {
        mode = modeForEffect(effect);
        if (std::find(led.modes.begin(), led.modes.end(), mode) == led.modes.end())
            return DC_BAD_ARGUMENT;
    }
    if (r[4] > 100)
        return DC_BAD_ARGUMENT;
    uint32_t duration = 0;
    if (withDuration) {
        duration = u16(r + 6);
        if (duration > kMaxDurationMs)
            return DC_BAD_ARGUMENT;
    } else {
        if (r[5] < 1 || r[5] > 10)
            return DC_BAD_ARGUMENT;
        // The speed the daemon's duration reads as keeps that duration.
        duration = speedForDuration(now.duration) == r[5] ? now.duration : durationForSpeed(r[5]);
    }
    auto add = [&](const char *property, BusValue want, BusValue old) {
        Change c;
        c.op = set(led.path, "Led", property, want);
        c.undo = set(led.path, "Led", property, old);
        changes->push_back(c);
    };
    if (mode != now.mode)
        add("Mode", uintValue(mode), uintValue(now.mode));
    if (led.depth != DepthMonochrome) {
        BusValue rgb;
        rgb.kind = BusValue::Kind::Rgb;
        rgb.a = colourToDaemon(r[1], led.depth);
        rgb.b = colourToDaemon(r[2], led.depth);
        rgb.c = colourToDaemon(r[3], led.depth);
        if (rgb.a != now.red || rgb.b != now.green || rgb.c != now.blue) {
            BusValue old = rgb;
            old.a = now.red;
            old.b = now.green;
            old.c = now.blue;
            add("Color", rgb, old);
        }
    }
    if (duration != now.duration)
        add("EffectDuration", uintValue(duration), uintValue(now.duration));
    // The daemon's 0-255 scale has more steps than whole percent: a brightness that reads as
    // the percent asked is left as it is (a record written back as it reads changes nothing).
    if (brightnessToPercent(now.brightness) != r[4])
        add("Brightness", uintValue(brightnessToDaemon(r[4])), uintValue(now.brightness));
    return DC_OK;
}

int32_t planLighting(const Profile &p, const Values &v, const uint8_t *bytes, uint32_t size,
                     Changes *changes)
{
    if (p.leds.empty() || v.leds.size() != p.leds.size())
        return DC_BAD_ARGUMENT;
    if (size == kSimLedRecord)
        return planLed(p.leds[0], v.leds[0], bytes, false, changes);
    if (size == 0 || size % kLedRecord != 0 || size / kLedRecord > p.leds.size())
        return DC_BAD_ARGUMENT;
    for (uint32_t i = 0; i < size / kLedRecord; ++i) {
        if (const int32_t r = planLed(p.leds[i], v.leds[i], bytes + kLedRecord * i, true, changes))
            return r;
    }
    return DC_OK;
}

int32_t planProfiles(const Device &d, const Values &v, const uint8_t *bytes, uint32_t size,
                     Changes *changes)
{
    if (size == 0 || size > 2 || v.enabled.size() != d.profiles.size())
        return DC_BAD_ARGUMENT;
    const uint32_t mask = size == 2 ? u16(bytes) : bytes[0];
    const uint32_t all = d.profiles.size() >= 16 ? 0xffff : (1u << d.profiles.size()) - 1;
    if ((mask & ~all) != 0 || size * 8 < d.profiles.size())
        return DC_BAD_ARGUMENT;
    for (size_t i = 0; i < d.profiles.size(); ++i) {
        const bool want = (mask >> i) & 1;
        if (want == v.enabled[i])
            continue;
        if (!d.profiles[i].canDisable || (!want && int(i) == v.activeProfile))
            return DC_BAD_ARGUMENT;
        // API 2 says the opposite: Disabled.
        const bool inverted = d.profileDisabledProperty;
        const char *property = inverted ? "Disabled" : "Enabled";
        Change c;
        c.op = set(d.profiles[i].path, "Profile", property,
                   uintValue(want != inverted ? 1 : 0, BusValue::Kind::Bool));
        c.undo = set(d.profiles[i].path, "Profile", property,
                     uintValue(want != inverted ? 0 : 1, BusValue::Kind::Bool));
        changes->push_back(c);
    }
    return DC_OK;
}

// Property 13: the stages to disable. Only where the resolution can be disabled, never the
// active or the default stage (the daemon refuses both without an error).
int32_t planDisabledStages(const Profile &p, const Values &v, const uint8_t *bytes, uint32_t size,
                           Changes *changes)
{
    if (size == 0 || size > 2 || v.resolutions.size() != p.resolutions.size())
        return DC_BAD_ARGUMENT;
    const uint32_t mask = size == 2 ? u16(bytes) : bytes[0];
    const uint32_t all = p.resolutions.size() >= 16 ? 0xffff : (1u << p.resolutions.size()) - 1;
    if ((mask & ~all) != 0 || size * 8 < p.resolutions.size())
        return DC_BAD_ARGUMENT;
    for (size_t i = 0; i < p.resolutions.size(); ++i) {
        const bool want = (mask >> i) & 1;
        const ResolutionValues &now = v.resolutions[i];
        if (want == now.disabled)
            continue;
        if (!p.resolutions[i].canDisable || (want && (now.active || now.isDefault)))
            return DC_BAD_ARGUMENT;
        Change c;
        c.op = set(p.resolutions[i].path, "Resolution", "IsDisabled",
                   uintValue(want ? 1 : 0, BusValue::Kind::Bool));
        c.undo = set(p.resolutions[i].path, "Resolution", "IsDisabled",
                     uintValue(want ? 0 : 1, BusValue::Kind::Bool));
        changes->push_back(c);
    }
    return DC_OK;
}

// Property 16: the profiles' names, whole records. A name is clean UTF-8 of at most 63
// bytes; only profiles the daemon lets rename (they had a name) change, and never to "".
int32_t planNames(const Device &d, const Values &v, const uint8_t *bytes, uint32_t size,
                  Changes *changes)
{
    if (size == 0 || size % kProfileNameRecord != 0 ||
        size / kProfileNameRecord > d.profiles.size() || v.names.size() != d.profiles.size())
        return DC_BAD_ARGUMENT;
    for (size_t i = 0; i < size / kProfileNameRecord; ++i) {
        const char *record = reinterpret_cast<const char *>(bytes) + i * kProfileNameRecord;
        const size_t length = std::find(record, record + kProfileNameRecord, '\0') - record;
        if (length == kProfileNameRecord)
            return DC_BAD_ARGUMENT; // no room for the NUL
        const std::string name(record, length);
        if (name == cleanText(v.names[i], kProfileNameRecord - 1))
            continue;
        if (!d.profiles[i].canRename || name.empty() ||
            cleanText(name, kProfileNameRecord - 1) != name)
            return DC_BAD_ARGUMENT;
        BusValue want, old;
        want.kind = old.kind = BusValue::Kind::Text;
        want.text = name;
        old.text = v.names[i];
        Change c;
        c.op = set(d.profiles[i].path, "Profile", "Name", want);
        c.undo = set(d.profiles[i].path, "Profile", "Name", old);
        changes->push_back(c);
    }
    return DC_OK;
}

int32_t planSetting(const Profile &p, const char *property, int32_t now, uint32_t want,
                    Changes *changes)
{
    if (int32_t(want) == now)
        return DC_OK;
    Change c;
    c.op = set(p.path, "Profile", property, uintValue(want, BusValue::Kind::Int));
    c.undo = set(p.path, "Profile", property, uintValue(uint32_t(now), BusValue::Kind::Int));
    changes->push_back(c);
    return DC_OK;
}

} // namespace

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

int32_t planWrite(const Device &device, const Values &values, const SlotView &view, uint32_t id,
                  const uint8_t *bytes, uint32_t size, std::vector<Change> *changes,
                  std::vector<int> *slotsUsed)
{
    changes->clear();
    const std::vector<uint32_t> ids = propertyIds(device);
    if (device.profiles.empty() || !bytes || size == 0 ||
        std::find(ids.begin(), ids.end(), id) == ids.end())
        return DC_BAD_ARGUMENT;
    const Profile &p = activeProfile(device, values);
    switch (id) {
    case 1:
        return size == 1 && bytes[0] == p.resolutions.size() ? DC_OK : DC_BAD_ARGUMENT;
    case 2:
        return size == 1 ? planActiveStage(p, values, bytes[0], changes) : DC_BAD_ARGUMENT;
    case 3:
        return planStages(p, values, bytes, size, changes);
    case 5: {
        const uint32_t hz = rateHz(bytes[0]);
        if (size != 1 || hz == 0 ||
            std::find(p.reportRates.begin(), p.reportRates.end(), hz) == p.reportRates.end())
            return DC_BAD_ARGUMENT;
        if (hz == values.reportRate)
            return DC_OK;
        Change c;
        c.op = set(p.path, "Profile", "ReportRate", uintValue(hz));
        c.undo = set(p.path, "Profile", "ReportRate", uintValue(values.reportRate));
        changes->push_back(c);
        return DC_OK;
    }
    case 7:
        return planButtons(p, values, view, bytes, size, changes, slotsUsed);
    case 8:
        return planLighting(p, values, bytes, size, changes);
    case 9:
        if (size != 1 || bytes[0] > 1 || !p.hasAngleSnapping)
            return DC_BAD_ARGUMENT;
        return planSetting(p, "AngleSnapping", values.angleSnapping, bytes[0], changes);
    case 10:
        if (size != 1 || !p.hasDebounce ||
            std::find(p.debounces.begin(), p.debounces.end(), bytes[0]) == p.debounces.end())
            return DC_BAD_ARGUMENT;
        return planSetting(p, "Debounce", values.debounce, bytes[0], changes);
    case 12: {
        const uint32_t stage = bytes[0];
        if (size != 1 || stage >= p.resolutions.size() || stage >= values.resolutions.size())
            return DC_BAD_ARGUMENT;
        if (values.resolutions[stage].isDefault)
            return DC_OK;
        // Switched off or disabled: not the one the mouse starts with.
        if (values.resolutions[stage].x == 0 || values.resolutions[stage].disabled)
            return DC_BAD_ARGUMENT;
        Change c;
        c.op = call(p.resolutions[stage].path, "Resolution", "SetDefault");
        const int current = indexOfDefault(values);
        if (current >= 0)
            c.undo = call(p.resolutions[size_t(current)].path, "Resolution", "SetDefault");
        changes->push_back(c);
        return DC_OK;
    }
    case 13:
        return planDisabledStages(p, values, bytes, size, changes);
    case 14: {
        const uint32_t index = bytes[0];
        if (size != 1 || index >= device.profiles.size() || index >= values.enabled.size() ||
            !values.enabled[index])
            return DC_BAD_ARGUMENT;
        if (int(index) == values.activeProfile)
            return DC_OK;
        Change c;
        c.op = call(device.profiles[index].path, "Profile", "SetActive");
        if (values.activeProfile >= 0)
            c.undo =
                call(device.profiles[size_t(values.activeProfile)].path, "Profile", "SetActive");
        changes->push_back(c);
        return DC_OK;
    }
    case 15:
        return planProfiles(device, values, bytes, size, changes);
    case 16:
        return planNames(device, values, bytes, size, changes);
    default:
        return DC_BAD_ARGUMENT; // the description, the service state, the last result
    }
}

int32_t planNotify(const Device &device, const Values &values, unsigned type, unsigned data,
                   std::vector<Change> *changes)
{
    changes->clear();
    if (device.profiles.empty())
        return DC_BAD_ARGUMENT;
    if (type == 1)
        return planActiveStage(activeProfile(device, values), values, data, changes);
    return type == 4 && data == 0 ? DC_OK : DC_BAD_ARGUMENT;
}

std::string describe(const Device &device, uint8_t tag)
{
    static const Profile kNone;
    const Profile &p = device.profiles.empty() ? kNone : device.profiles.front();
    const std::vector<uint32_t> ids = propertyIds(device);
    auto has = [&ids](uint32_t id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); };

    dc::JsonText j;
    j.beginObject();
    j.key("format").value(int64_t(1));
    j.key("source").value("ratbagd");
    j.key("name").value(device.name);
    j.key("model").value(device.model);
    j.key("tag").value(int64_t(tag));
    j.key("properties").numbers(ids);

    j.key("stages").beginObject();
    j.key("min").value(int64_t(p.resolutions.size()));
    j.key("max").value(int64_t(p.resolutions.size()));
    j.key("dpi").beginArray();
    if (!p.resolutions.empty()) {
        for (const std::vector<uint32_t> &run : dpiRuns(p.resolutions.front().dpis))
            j.numbers(run);
    }
    j.endArray();
    j.key("colours").value(false);
    j.key("default").value(has(12));
    j.key("disable").value(anyStageCanBeDisabled(p));
    j.key("separateXY").value(!p.resolutions.empty() && p.resolutions.front().separateXY);
    j.endObject();

    j.key("reportRates").beginArray();
    for (const uint32_t hz : p.reportRates) {
        if (const uint32_t code = rateCode(hz))
            j.numbers({code, hz});
    }
    j.endArray();
    j.key("liftOff").numbers({});
    j.key("angleSnap").value(p.hasAngleSnapping);
    std::vector<uint32_t> debounce;
    for (const uint32_t ms : p.debounces) {
        if (p.hasDebounce && ms <= 255)
            debounce.push_back(ms);
    }
    j.key("debounce").numbers(debounce);
    j.key("motionSync").value(false);

    uint32_t anyAllowed = 0;
    std::vector<uint32_t> allowed;
    for (const Button &b : p.buttons) {
        allowed.push_back(allowedTypes(b));
        anyAllowed |= allowed.back();
    }
    // Type 1 (mouse function) comes from two of the daemon's action types: functions 1-5
    // are its buttons, 6-10 its special functions; say which a button takes.
    std::vector<uint32_t> mouseFunctions;
    for (const Button &b : p.buttons) {
        uint32_t bits = 0;
        for (uint32_t f = 1; f <= 10; ++f) {
            if (b.allows(f <= kMouseButtons ? ActionButton : ActionSpecial))
                bits |= 1u << f;
        }
        mouseFunctions.push_back(bits);
    }
    j.key("buttons").beginObject();
    j.key("count").value(int64_t(p.buttons.size()));
    j.key("roles").beginArray();
    for (size_t i = 0; i < p.buttons.size(); ++i)
        j.value("");
    j.endArray();
    j.key("allowed").numbers(allowed);
    j.key("mouse").numbers(mouseFunctions);
    j.endObject();

    bool withButton = false, withSpecial = false;
    for (const Button &b : p.buttons) {
        withButton = withButton || b.allows(ActionButton);
        withSpecial = withSpecial || b.allows(ActionSpecial);
    }
    j.key("functions").beginObject();
    if (anyAllowed & (1u << TypeMouse)) {
        std::vector<uint32_t> list;
        for (uint32_t f = withButton ? 1 : 6; f <= (withSpecial ? 10u : kMouseButtons); ++f)
            list.push_back(f);
        j.key("1").numbers(list);
    }
    if (anyAllowed & (1u << TypeDpi))
        j.key("3").numbers({1, 2, 3, 4, 5, 6});
    if (anyAllowed & (1u << TypeProfile))
        j.key("4").numbers({1, 2, 3, 4});
    if (anyAllowed & (1u << TypeMedia))
        j.key("6").numbers({1, 2, 3, 4, 5, 6});
    if (anyAllowed & (1u << TypeButtonNumber)) {
        std::vector<uint32_t> list;
        for (uint32_t n = kMouseButtons + 1; n <= kHighestButton; ++n)
            list.push_back(n);
        j.key("7").numbers(list);
    }
    if (anyAllowed & (1u << TypeOther))
        j.key("8").numbers({1, 2, 3});
    j.endObject();

    j.key("lighting").beginObject();
    j.key("record").value(int64_t(kLedRecord));
    j.key("leds").beginArray();
    for (const Led &led : p.leds) {
        std::vector<uint32_t> effects;
        for (const uint32_t mode : led.modes) {
            if (mode < 4)
                effects.push_back(kEffectForMode[mode]);
        }
        std::sort(effects.begin(), effects.end());
        j.beginObject();
        j.key("effects").numbers(effects);
        j.key("colour").value(led.depth == DepthRgb111       ? "rgb111"
                              : led.depth == DepthMonochrome ? "none"
                                                             : "rgb");
        j.key("duration").numbers({0, kMaxDurationMs});
        j.endObject();
    }
    j.endArray();
    j.endObject();

    bool canDisable = false;
    for (const Profile &each : device.profiles)
        canDisable = canDisable || each.canDisable;
    j.key("profiles").beginObject();
    j.key("count").value(int64_t(device.profiles.size()));
    j.key("disable").value(canDisable);
    // Property 16: which profiles have a name the daemon lets kelv change.
    std::vector<uint32_t> renamable;
    for (size_t i = 0; i < device.profiles.size(); ++i) {
        if (device.profiles[i].canRename)
            renamable.push_back(uint32_t(i));
    }
    j.key("names").value(!renamable.empty());
    j.key("rename").numbers(renamable);
    j.endObject();
    j.key("macros").beginObject();
    j.key("slots").value(int64_t(kSlotCount));
    j.key("repeat").numbers({0});
    j.key("events").value(int64_t(kMaxMacroEvents));
    j.endObject();
    j.key("firmware").value(false);
    j.endObject();
    return j.text();
}

} // namespace kelv::ratbag
