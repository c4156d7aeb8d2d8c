// The writes to a ratbagd mouse: the bytes of a property turned into the changes that make
// the daemon hold them, each with the change that puts it back (planWrite and planNotify of
// ratbag_device.h). Only what differs from the daemon's values is changed; bytes outside
// what the device takes change nothing.

#include "libdc/libdc.h"
#include "libdc/ratbag/ratbag_device.h"
#include "libdc/ratbag/ratbag_device_internal.h"

#include <algorithm>

namespace kelv::ratbag {

namespace {

using namespace detail;

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

// Property 5: the report rate code, one the profile takes.
int32_t planReportRate(const Profile &p, const Values &values, const uint8_t *bytes, uint32_t size,
                       Changes *changes)
{
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

// Property 12: the stage the mouse starts with.
int32_t planDefaultStage(const Profile &p, const Values &values, const uint8_t *bytes,
                         uint32_t size, Changes *changes)
{
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

// Property 14: the profile in use, one that is enabled.
int32_t planActiveProfile(const Device &device, const Values &values, const uint8_t *bytes,
                          uint32_t size, Changes *changes)
{
    const uint32_t index = bytes[0];
    if (size != 1 || index >= device.profiles.size() || index >= values.enabled.size() ||
        !values.enabled[index])
        return DC_BAD_ARGUMENT;
    if (int(index) == values.activeProfile)
        return DC_OK;
    Change c;
    c.op = call(device.profiles[index].path, "Profile", "SetActive");
    if (values.activeProfile >= 0)
        c.undo = call(device.profiles[size_t(values.activeProfile)].path, "Profile", "SetActive");
    changes->push_back(c);
    return DC_OK;
}

} // namespace

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
    case 5:
        return planReportRate(p, values, bytes, size, changes);
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
    case 12:
        return planDefaultStage(p, values, bytes, size, changes);
    case 13:
        return planDisabledStages(p, values, bytes, size, changes);
    case 14:
        return planActiveProfile(device, values, bytes, size, changes);
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

} // namespace kelv::ratbag
