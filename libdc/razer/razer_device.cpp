#include "libdc/razer/razer_device.h"

#include "libdc/json_text.h"
#include "libdc/libdc.h"

#include <algorithm>
#include <cstdio>

namespace kelv::razer {

namespace {

constexpr uint32_t kRates[] = {125, 250, 500, 1000, 2000, 4000, 8000};

// The daemon's lighting interfaces a mouse may have, in the order the page lists them.
struct ZoneKind
{
    const char *name;
    const char *iface;
    const char *prefix;
    const char *brightnessIface;
};
constexpr ZoneKind kZoneKinds[] = {
    {"logo", "razer.device.lighting.logo", "Logo", "razer.device.lighting.logo"},
    {"scroll", "razer.device.lighting.scroll", "Scroll", "razer.device.lighting.scroll"},
    {"backlight", "razer.device.lighting.backlight", "Backlight",
     "razer.device.lighting.backlight"},
    {"matrix", "razer.device.lighting.chroma", "", "razer.device.lighting.brightness"},
    {"left", "razer.device.lighting.left", "Left", "razer.device.lighting.left"},
    {"right", "razer.device.lighting.right", "Right", "razer.device.lighting.right"},
};

// Effect codes and the daemon's method suffixes and effect names.
struct EffectName
{
    uint8_t code;
    const char *method; // set<P><method>
    const char *name;   // what get<P>Effect answers
};
constexpr EffectName kEffects[] = {
    {EffectOff, "None", "none"},
    {EffectStatic, "Static", "static"},
    {EffectBreath, "BreathSingle", "breathSingle"},
    {EffectSpectrum, "Spectrum", "spectrum"},
    {EffectWave, "Wave", "wave"},
    {EffectReactive, "Reactive", "reactive"},
    {EffectBreathDual, "BreathDual", "breathDual"},
    {EffectBreathRandom, "BreathRandom", "breathRandom"},
};

void putU16(std::vector<uint8_t> *out, uint32_t v)
{
    out->push_back(uint8_t(v & 0xff));
    out->push_back(uint8_t((v >> 8) & 0xff));
}

uint32_t u16(const uint8_t *p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8);
}

bool stageDevice(const Device &d)
{
    return d.stages && d.dpiList.empty();
}

int32_t planStageCount(const Device &d, const Values &now, const uint8_t *b, uint32_t size,
                       Values *want)
{
    if (size != 1 || b[0] < minStages(d) || b[0] > maxStages(d))
        return DC_BAD_ARGUMENT;
    if (!stageDevice(d))
        return DC_OK;
    const size_t n = b[0];
    const uint32_t last = now.stages.empty() ? std::max(now.dpi, kMinDpi) : now.stages.back();
    // A stage added gets the value written for it before (spare), else the last one's.
    for (size_t i = want->stages.size(); i < n; ++i) {
        const uint32_t v =
            i < now.spare.size() && dpiAllowed(d, now.spare[i]) ? now.spare[i] : last;
        want->stages.push_back(v);
        want->stagesY.push_back(v);
    }
    // A stage taken away is kept as spare, for when it comes back.
    for (size_t i = n; i < want->stages.size() && i < want->spare.size(); ++i)
        want->spare[i] = want->stages[i];
    want->stages.resize(n);
    want->stagesY.resize(n);
    want->activeStage = std::min<int>(want->activeStage, int(n) - 1);
    want->dpi = want->stages[size_t(want->activeStage)];
    return DC_OK;
}

int32_t planStages(const Device &d, const Values &now, const uint8_t *b, uint32_t size,
                   Values *want)
{
    const size_t count = stageDevice(d) ? now.stages.size() : 1;
    const size_t most = stageDevice(d) ? kMaxStages : 1;
    if (size == 0 || size % 2 != 0 || size / 2 > most)
        return DC_BAD_ARGUMENT;
    // Stages in use take the device's values; stages past the count those or 0 (none).
    for (uint32_t i = 0; i < size / 2; ++i) {
        const uint32_t v = u16(b + 2 * i);
        if (!dpiAllowed(d, v) && (i < count || v != 0))
            return DC_BAD_ARGUMENT;
    }
    if (!stageDevice(d)) {
        want->dpi = u16(b);
        return DC_OK;
    }
    for (uint32_t i = uint32_t(count); i < size / 2 && i < want->spare.size(); ++i)
        want->spare[i] = u16(b + 2 * i);
    for (uint32_t i = 0; i < size / 2 && i < count; ++i) {
        const uint32_t value = u16(b + 2 * i);
        if (value != want->stages[i]) {
            want->stages[i] = value;
            want->stagesY[i] = value; // a changed stage gets X and Y alike
        }
    }
    want->dpi = want->stages[size_t(want->activeStage)];
    return DC_OK;
}

int32_t planZones(const Device &d, const uint8_t *b, uint32_t size, Values *want)
{
    if (size == 0 || size % kZoneRecord != 0 || size / kZoneRecord > d.zones.size())
        return DC_BAD_ARGUMENT;
    for (uint32_t z = 0; z < size / kZoneRecord; ++z) {
        const uint8_t *r = b + z * kZoneRecord;
        const Zone &zone = d.zones[z];
        if (!zone.takes(r[0]) || r[4] > 100)
            return DC_BAD_ARGUMENT;
        ZoneValues &v = want->zones[z];
        v.effect = r[0];
        std::copy(r + 1, r + 4, v.rgb);
        if (!zone.brightnessIface.empty())
            v.brightness = r[4];
        if (r[0] == EffectReactive) {
            if (r[5] < 1 || r[5] > 4)
                return DC_BAD_ARGUMENT;
            v.speed = r[5];
        }
        std::copy(r + 6, r + 9, v.rgb2);
    }
    return DC_OK;
}

void putEffects(dc::JsonText &j, const std::vector<uint8_t> &effects)
{
    j.beginArray();
    for (uint8_t e : effects)
        j.value(int64_t(e));
    j.endArray();
}

} // namespace

bool Zone::takes(uint8_t effect) const
{
    return std::find(effects.begin(), effects.end(), effect) != effects.end();
}

bool Device::has(const std::string &iface, const std::string &method) const
{
    return methods.count(iface + "." + method) != 0;
}

Battery batteryFrom(double percent, bool charging)
{
    Battery b;
    if (!(percent >= 0.0) || percent > 100.0 || (percent < 0.5 && !charging))
        return b; // unknown, asleep or out of reach (or NaN)
    b.level = uint8_t(std::min(100.0, percent + 0.5));
    b.state = charging ? (b.level >= 100 ? Full : Charging) : Discharging;
    return b;
}

uint8_t rateCode(uint32_t hertz)
{
    for (size_t i = 0; i < sizeof kRates / sizeof kRates[0]; ++i) {
        if (kRates[i] == hertz)
            return uint8_t(i + 1);
    }
    return 0;
}

uint32_t rateHertz(uint8_t code)
{
    return code >= 1 && code <= 7 ? kRates[code - 1] : 0;
}

std::set<std::string> introspectedMethods(const std::string &xml)
{
    std::set<std::string> out;
    std::string iface;
    size_t pos = 0;
    const auto nameAt = [&xml](size_t at) {
        const size_t q = xml.find("name=\"", at);
        if (q == std::string::npos)
            return std::string();
        const size_t end = xml.find('"', q + 6);
        return end == std::string::npos ? std::string() : xml.substr(q + 6, end - q - 6);
    };
    while ((pos = xml.find('<', pos)) != std::string::npos) {
        ++pos;
        if (xml.compare(pos, 10, "interface ") == 0)
            iface = nameAt(pos);
        else if (xml.compare(pos, 7, "method ") == 0 && !iface.empty() && out.size() < 1024)
            out.insert(iface + "." + nameAt(pos));
    }
    return out;
}

std::string effectMethod(const Zone &zone, uint8_t effect)
{
    if (zone.onOff)
        return effect == EffectOff || effect == EffectStatic ? "set" + zone.prefix + "Active"
                                                             : std::string();
    if (effect == EffectBreath && zone.pulsate)
        return "set" + zone.prefix + "Pulsate";
    for (const EffectName &e : kEffects) {
        if (e.code == effect)
            return "set" + zone.prefix + e.method;
    }
    return std::string();
}

uint8_t effectFromName(const std::string &name)
{
    for (const EffectName &e : kEffects) {
        if (name == e.name)
            return e.code;
    }
    if (name == "pulsate")
        return EffectBreath;
    return EffectSpectrum;
}

void learn(Device *d)
{
    d->dpi = d->has("razer.device.dpi", "getDPI") && d->has("razer.device.dpi", "setDPI");
    d->stages =
        d->has("razer.device.dpi", "getDPIStages") && d->has("razer.device.dpi", "setDPIStages");
    d->rate =
        d->has("razer.device.misc", "getPollRate") && d->has("razer.device.misc", "setPollRate");
    d->battery = d->has("razer.device.power", "getBattery");
    d->charging = d->has("razer.device.power", "isCharging");
    d->idleSet = d->has("razer.device.power", "setIdleTime");
    d->idleGet = d->has("razer.device.power", "getIdleTime");
    d->lowSet = d->has("razer.device.power", "setLowBatteryThreshold");
    d->lowGet = d->has("razer.device.power", "getLowBatteryThreshold");
    d->zones.clear();
    for (const ZoneKind &k : kZoneKinds) {
        Zone z;
        z.name = k.name;
        z.iface = k.iface;
        z.prefix = k.prefix;
        for (const EffectName &e : kEffects) {
            if (d->has(z.iface, "set" + z.prefix + e.method))
                z.effects.push_back(e.code);
        }
        if (!z.takes(EffectBreath) && d->has(z.iface, "set" + z.prefix + "Pulsate")) {
            z.pulsate = true;
            z.effects.push_back(EffectBreath);
        }
        if (z.effects.empty() && d->has(z.iface, "set" + z.prefix + "Active")) {
            z.onOff = true;
            z.effects = {EffectOff, EffectStatic};
        }
        if (z.effects.empty() || d->zones.size() >= kMaxZones)
            continue;
        std::sort(z.effects.begin(), z.effects.end());
        if (d->has(k.brightnessIface, "set" + z.prefix + "Brightness") &&
            d->has(k.brightnessIface, "get" + z.prefix + "Brightness"))
            z.brightnessIface = k.brightnessIface;
        z.readsEffect = d->has(z.iface, "get" + z.prefix + "Effect") &&
                        d->has(z.iface, "get" + z.prefix + "EffectColors");
        z.readsActive = d->has(z.iface, "get" + z.prefix + "Active");
        d->zones.push_back(std::move(z));
    }
}

bool dpiAllowed(const Device &d, uint32_t dpi)
{
    if (!d.dpiList.empty())
        return std::find(d.dpiList.begin(), d.dpiList.end(), dpi) != d.dpiList.end();
    return dpi >= kMinDpi && dpi <= d.maxDpi && dpi % kDpiStep == 0;
}

uint32_t minStages(const Device &)
{
    return 1;
}

uint32_t maxStages(const Device &d)
{
    return stageDevice(d) ? uint32_t(kMaxStages) : 1;
}

int32_t readProperty(const Device &d, const Values &v, const Battery &battery, uint32_t id,
                     std::vector<uint8_t> *out)
{
    out->clear();
    const bool dpi = d.dpi || stageDevice(d);
    switch (id) {
    case kPropStageCount:
        if (!dpi)
            return DC_BAD_ARGUMENT;
        out->push_back(uint8_t(stageDevice(d) ? v.stages.size() : 1));
        return DC_OK;
    case kPropActiveStage:
        if (!dpi)
            return DC_BAD_ARGUMENT;
        out->push_back(uint8_t(stageDevice(d) ? v.activeStage : 0));
        return DC_OK;
    case kPropStages:
        if (!dpi)
            return DC_BAD_ARGUMENT;
        if (stageDevice(d)) {
            for (uint32_t s : v.stages)
                putU16(out, std::min<uint32_t>(s, 0xffff));
            for (size_t i = v.stages.size(); i < kMaxStages && i < v.spare.size(); ++i)
                putU16(out, std::min<uint32_t>(v.spare[i], 0xffff));
        } else {
            putU16(out, std::min<uint32_t>(v.dpi, 0xffff));
        }
        return DC_OK;
    case kPropRate:
        if (!d.rate)
            return DC_BAD_ARGUMENT;
        out->push_back(rateCode(v.rate));
        return DC_OK;
    case kPropLighting:
        if (d.zones.empty())
            return DC_BAD_ARGUMENT;
        for (size_t z = 0; z < d.zones.size() && z < v.zones.size(); ++z) {
            const ZoneValues &zv = v.zones[z];
            out->push_back(zv.effect);
            out->insert(out->end(), zv.rgb, zv.rgb + 3);
            out->push_back(zv.brightness);
            out->push_back(zv.speed);
            out->insert(out->end(), zv.rgb2, zv.rgb2 + 3);
        }
        return DC_OK;
    case kPropBattery:
        if (!d.battery)
            return DC_BAD_ARGUMENT;
        *out = {battery.level, battery.state};
        return DC_OK;
    case kPropSync:
        if (!d.sync || d.zones.empty())
            return DC_BAD_ARGUMENT;
        out->push_back(v.sync ? 1 : 0);
        return DC_OK;
    case kPropIdle:
        if (!d.idleSet)
            return DC_BAD_ARGUMENT;
        putU16(out, v.idle);
        return DC_OK;
    case kPropLowBattery:
        if (!d.lowSet)
            return DC_BAD_ARGUMENT;
        out->push_back(uint8_t(v.low));
        return DC_OK;
    default:
        return DC_BAD_ARGUMENT;
    }
}

int32_t planWrite(const Device &d, const Values &now, uint32_t id, const uint8_t *b, uint32_t size,
                  Values *want)
{
    *want = now;
    if (!b)
        return DC_BAD_ARGUMENT;
    const bool dpi = d.dpi || stageDevice(d);
    switch (id) {
    case kPropStageCount:
        return dpi ? planStageCount(d, now, b, size, want) : int32_t(DC_BAD_ARGUMENT);
    case kPropActiveStage:
        if (!dpi || size != 1 || b[0] >= (stageDevice(d) ? now.stages.size() : 1))
            return DC_BAD_ARGUMENT;
        if (stageDevice(d)) {
            want->activeStage = b[0];
            want->dpi = want->stages[b[0]];
        }
        return DC_OK;
    case kPropStages:
        return dpi ? planStages(d, now, b, size, want) : int32_t(DC_BAD_ARGUMENT);
    case kPropRate: {
        const uint32_t hz = size == 1 ? rateHertz(b[0]) : 0;
        if (!d.rate || std::find(d.rates.begin(), d.rates.end(), hz) == d.rates.end())
            return DC_BAD_ARGUMENT;
        want->rate = hz;
        return DC_OK;
    }
    case kPropLighting:
        return planZones(d, b, size, want);
    case kPropSync:
        if (!d.sync || d.zones.empty() || size != 1 || b[0] > 1)
            return DC_BAD_ARGUMENT;
        want->sync = b[0] != 0;
        return DC_OK;
    case kPropIdle:
        if (!d.idleSet || size != 2 || u16(b) < kIdleMin || u16(b) > kIdleMax)
            return DC_BAD_ARGUMENT;
        want->idle = u16(b);
        return DC_OK;
    case kPropLowBattery:
        if (!d.lowSet || size != 1 || b[0] < kLowMin || b[0] > kLowMax)
            return DC_BAD_ARGUMENT;
        want->low = b[0];
        return DC_OK;
    default:
        return DC_BAD_ARGUMENT;
    }
}

std::string describe(const Device &d, uint8_t tag)
{
    dc::JsonText j;
    char model[16];
    std::snprintf(model, sizeof model, "%04x:%04x", d.vid & 0xffff, d.pid & 0xffff);
    const bool dpi = d.dpi || stageDevice(d);
    std::vector<uint32_t> props;
    if (dpi)
        props = {kPropStageCount, kPropActiveStage, kPropStages};
    if (d.rate)
        props.push_back(kPropRate);
    if (!d.zones.empty())
        props.push_back(kPropLighting);
    props.insert(props.end(), {DC_PROP_DESCRIPTION, DC_PROP_SERVICE_STATE, DC_PROP_LAST_RESULT});
    if (d.battery)
        props.push_back(kPropBattery);
    if (d.sync && !d.zones.empty())
        props.push_back(kPropSync);
    if (d.idleSet)
        props.push_back(kPropIdle);
    if (d.lowSet)
        props.push_back(kPropLowBattery);

    j.beginObject().key("format").value(int64_t(1)).key("source").value("openrazer");
    j.key("name").value(d.name).key("model").value(model).key("tag").value(int64_t(tag));
    j.key("properties").numbers(props);
    j.key("stages").beginObject();
    j.key("min").value(int64_t(dpi ? minStages(d) : 0));
    j.key("max").value(int64_t(dpi ? maxStages(d) : 0));
    j.key("dpi").beginArray();
    if (!d.dpiList.empty()) {
        for (uint32_t v : d.dpiList)
            j.numbers({v, v, 1});
    } else if (dpi && d.maxDpi >= kMinDpi) {
        j.numbers({kMinDpi, d.maxDpi - d.maxDpi % kDpiStep, kDpiStep});
    }
    j.endArray();
    j.key("colours").value(false).key("default").value(false).key("disable").value(false);
    j.key("separateXY").value(false).endObject();
    j.key("reportRates").beginArray();
    for (uint32_t hz : d.rate ? d.rates : std::vector<uint32_t>())
        j.numbers({rateCode(hz), hz});
    j.endArray();
    j.key("liftOff").numbers({}).key("angleSnap").value(false).key("debounce").numbers({});
    j.key("motionSync").value(false);
    // OpenRazer offers neither button remapping nor onboard macros for mice.
    j.key("buttons").beginObject().key("count").value(int64_t(0)).key("roles").beginArray();
    j.endArray().key("allowed").numbers({}).endObject();
    j.key("functions").beginObject().endObject();
    j.key("lighting").beginObject().key("record").value(int64_t(kZoneRecord));
    j.key("leds").beginArray();
    for (const Zone &z : d.zones) {
        j.beginObject().key("zone").value(z.name).key("effects");
        putEffects(j, z.effects);
        j.key("colour").value(z.onOff ? "none" : "rgb").key("duration").null();
        j.key("brightness").value(!z.brightnessIface.empty());
        j.key("speed").numbers(z.takes(EffectReactive) ? std::vector<uint32_t>{1, 4}
                                                       : std::vector<uint32_t>());
        j.endObject();
    }
    j.endArray().endObject();
    j.key("profiles").beginObject().key("count").value(int64_t(1));
    j.key("disable").value(false).endObject();
    j.key("macros").beginObject().key("slots").value(int64_t(0)).key("repeat").numbers({});
    j.key("events").value(int64_t(0)).endObject();
    j.key("firmware").value(false);
    j.key("battery").value(d.battery);
    j.key("sync").value(d.sync && !d.zones.empty());
    if (d.idleSet) {
        j.key("idle").beginObject().key("min").value(int64_t(kIdleMin));
        j.key("max").value(int64_t(kIdleMax)).key("read").value(d.idleGet).endObject();
    }
    if (d.lowSet) {
        j.key("lowBattery").beginObject().key("min").value(int64_t(kLowMin));
        j.key("max").value(int64_t(kLowMax)).key("read").value(d.lowGet).endObject();
    }
    j.endObject();
    return j.text();
}

std::string serviceState(const std::string &state, int mice, bool driver, bool hardware)
{
    dc::JsonText j;
    j.beginObject().key("id").value("OPENRAZER\\").key("service").value("openrazer");
    j.key("bus").value("org.razer").key("state").value(state);
    j.key("mice").value(int64_t(mice)).key("driver").value(driver);
    j.key("hardware").value(hardware).endObject();
    return j.text();
}

bool serialIsMadeUp(const std::string &serial)
{
    return serial.empty() || serial.compare(0, 5, "UNKWN") == 0;
}

Identity identify(uint32_t vid, uint32_t pid, const std::string &serial, const std::string &port)
{
    char base[64];
    std::snprintf(base, sizeof base, "%04x-%04x", vid & 0xffff, pid & 0xffff);
    Identity id;
    id.deviceId = std::string("RAZER-") + base;
    std::snprintf(base, sizeof base, "RAZER\\Vid_%04x&Pid_%04x", vid & 0xffff, pid & 0xffff);
    id.hardwareId = base;
    if (!serialIsMadeUp(serial)) {
        std::string safe;
        for (char c : asciiText(serial, 32))
            safe += (c == '&' || c == '\\' || c == ' ') ? '_' : c;
        id.hardwareId += "&Sn_" + safe;
    } else {
        id.hardwareId += "&Port_" + asciiText(port, 32);
    }
    return id;
}

std::string cleanText(const std::string &text, size_t maxBytes)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = len != 0 && i + len <= text.size();
        for (size_t k = 1; valid && k < len; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xc0) == 0x80;
        std::string piece = valid ? text.substr(i, len) : std::string("?");
        if (valid && len == 1 && (c < 0x20 || c == 0x7f))
            piece.clear();
        if (out.size() + piece.size() > maxBytes)
            break;
        out += piece;
        i += valid ? len : 1;
    }
    return out;
}

std::string asciiText(const std::string &text, size_t maxBytes)
{
    std::string out;
    for (char c : text) {
        if (out.size() >= maxBytes)
            break;
        if (c >= 0x20 && c <= 0x7e)
            out += c;
    }
    return out;
}

} // namespace kelv::razer
