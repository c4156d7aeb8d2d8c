#include "libdc/razer/transaction_linux.h"

#include "libdc/libdc.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace kelv::razer {

namespace {

constexpr const char kMisc[] = "razer.device.misc";
constexpr const char kDpi[] = "razer.device.dpi";
constexpr const char kPower[] = "razer.device.power";
constexpr const char kDevices[] = "razer.devices";

bool dpiGroup(uint32_t id)
{
    return id == kPropStageCount || id == kPropActiveStage || id == kPropStages;
}

bool stageDevice(const Device &d)
{
    return d.stages && d.dpiList.empty();
}

uint8_t percent(double value)
{
    return uint8_t(std::clamp(std::lround(value), 0L, 100L));
}

bool sameZone(const ZoneValues &a, const ZoneValues &b)
{
    if (a.effect != b.effect || a.brightness != b.brightness)
        return false;
    const bool colour = a.effect == EffectStatic || a.effect == EffectBreath ||
                        a.effect == EffectReactive || a.effect == EffectBreathDual;
    if (colour && !std::equal(a.rgb, a.rgb + 3, b.rgb))
        return false;
    if (a.effect == EffectBreathDual && !std::equal(a.rgb2, a.rgb2 + 3, b.rgb2))
        return false;
    return a.effect != EffectReactive || a.speed == b.speed;
}

std::string fileKey(const std::string &hardwareId)
{
    std::string out;
    for (char c : dc::lowerAscii(hardwareId))
        out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '_';
    return out;
}

} // namespace

void Transactions::setFolder(const std::string &stateFolder)
{
    std::lock_guard<std::mutex> lock(m_folderMutex);
    m_folder = stateFolder.empty() ? std::string() : stateFolder + "/openrazer";
}

int32_t Transactions::readDevice(Device *d)
{
    std::string xml;
    if (const int32_t r = m_bus.introspect(d->path, &xml))
        return r;
    d->methods = introspectedMethods(xml);
    std::string type;
    if (!d->has(kMisc, "getDeviceType"))
        return DC_BAD_ARGUMENT;
    if (const int32_t r = m_bus.getText(d->path, kMisc, "getDeviceType", &type))
        return r;
    if (type != "mouse")
        return DC_BAD_ARGUMENT;
    learn(d);
    std::string text;
    if (d->has(kMisc, "getDeviceName") &&
        m_bus.getText(d->path, kMisc, "getDeviceName", &text) == DC_OK)
        d->name = cleanText(text, kMaxNameBytes);
    if (d->has(kMisc, "getFirmware") &&
        m_bus.getText(d->path, kMisc, "getFirmware", &text) == DC_OK)
        d->firmware = asciiText(text, 16);
    std::vector<int64_t> list;
    if (d->has(kMisc, "getVidPid") &&
        m_bus.getList(d->path, kMisc, "getVidPid", 2, &list) == DC_OK && list.size() == 2) {
        d->vid = uint32_t(list[0]) & 0xffff;
        d->pid = uint32_t(list[1]) & 0xffff;
    }
    int64_t value = 0;
    if (d->has(kDpi, "maxDPI") && m_bus.getInt(d->path, kDpi, "maxDPI", &value) == DC_OK)
        d->maxDpi = uint32_t(std::clamp<int64_t>(value, 0, 0xffff));
    if (d->has(kDpi, "availableDPI") &&
        m_bus.getList(d->path, kDpi, "availableDPI", kMaxDpiList, &list) == DC_OK) {
        for (int64_t v : list) {
            if (v > 0 && v <= 0xffff)
                d->dpiList.push_back(uint32_t(v));
        }
        std::sort(d->dpiList.begin(), d->dpiList.end());
        d->dpiList.erase(std::unique(d->dpiList.begin(), d->dpiList.end()), d->dpiList.end());
    }
    d->rates = {125, 500, 1000};
    if (d->has(kMisc, "getSupportedPollRates") &&
        m_bus.getList(d->path, kMisc, "getSupportedPollRates", 16, &list) == DC_OK) {
        d->rates.clear();
        for (int64_t hz : list) {
            if (hz > 0 && rateCode(uint32_t(hz)) != 0 && d->rates.size() < kMaxRates)
                d->rates.push_back(uint32_t(hz));
        }
        std::sort(d->rates.begin(), d->rates.end());
        d->rates.erase(std::unique(d->rates.begin(), d->rates.end()), d->rates.end());
    }
    std::string rootXml;
    d->sync = m_bus.introspect(kRootPath, &rootXml) == DC_OK &&
              introspectedMethods(rootXml).count("razer.devices.getSyncEffects") != 0 &&
              introspectedMethods(rootXml).count("razer.devices.syncEffects") != 0;
    return m_bus.timedOut() ? int32_t(DC_DEVICE_FAULT) : int32_t(DC_OK);
}

int32_t Transactions::readBattery(Mouse &m, Battery *out)
{
    double level = -1;
    bool charging = false;
    if (const int32_t r = m_bus.getDouble(m.device.path, kPower, "getBattery", &level))
        return r;
    if (m.device.charging) {
        if (const int32_t r = m_bus.getBool(m.device.path, kPower, "isCharging", &charging))
            return r;
    }
    *out = batteryFrom(level, charging);
    return DC_OK;
}

int32_t Transactions::readDpi(Mouse &m)
{
    const Device &d = m.device;
    Values &v = m.values;
    if (d.dpi) {
        std::vector<int64_t> xy;
        if (const int32_t r = m_bus.getList(d.path, kDpi, "getDPI", 2, &xy))
            return r;
        v.dpi = xy.empty() ? 0 : uint32_t(std::clamp<int64_t>(xy[0], 0, 0xffff));
    }
    if (stageDevice(d)) {
        uint8_t active = 1;
        if (const int32_t r = m_bus.getStages(d.path, &active, &v.stages, &v.stagesY))
            return r;
        if (v.stages.size() > kMaxStages) {
            v.stages.resize(kMaxStages);
            v.stagesY.resize(kMaxStages);
        }
        if (v.stages.empty()) {
            // A mouse without stages in its memory: its current DPI is the one stage.
            v.stages = {std::max(v.dpi, kMinDpi)};
            v.stagesY = v.stages;
        }
        // The daemon counts the active stage from 1.
        v.activeStage = std::clamp<int>(int(active) - 1, 0, int(v.stages.size()) - 1);
    }
    return DC_OK;
}

int32_t Transactions::readZones(Mouse &m)
{
    const Device &d = m.device;
    m.values.zones.resize(d.zones.size());
    for (size_t z = 0; z < d.zones.size(); ++z) {
        const Zone &zone = d.zones[z];
        ZoneValues &v = m.values.zones[z];
        const std::string p = zone.prefix;
        if (zone.onOff && zone.readsActive) {
            bool on = false;
            if (const int32_t r =
                    m_bus.getBool(d.path, zone.iface.c_str(), ("get" + p + "Active").c_str(), &on))
                return r;
            v.effect = on ? EffectStatic : EffectOff;
        } else if (zone.readsEffect) {
            std::string name;
            std::vector<int64_t> colours;
            if (const int32_t r = m_bus.getText(d.path, zone.iface.c_str(),
                                                ("get" + p + "Effect").c_str(), &name))
                return r;
            if (const int32_t r = m_bus.getList(d.path, zone.iface.c_str(),
                                                ("get" + p + "EffectColors").c_str(), 9, &colours))
                return r;
            v.effect = effectFromName(name);
            if (!zone.takes(v.effect))
                v.effect = zone.effects.back();
            for (size_t i = 0; i < 3 && i < colours.size(); ++i)
                v.rgb[i] = uint8_t(colours[i]);
            for (size_t i = 3; i < 6 && i < colours.size(); ++i)
                v.rgb2[i - 3] = uint8_t(colours[i]);
            int64_t speed = 0;
            if (d.has(zone.iface, "get" + p + "EffectSpeed") &&
                m_bus.getInt(d.path, zone.iface.c_str(), ("get" + p + "EffectSpeed").c_str(),
                             &speed) == DC_OK)
                v.speed = uint8_t(std::clamp<int64_t>(speed, 1, 4));
        }
        if (!zone.brightnessIface.empty()) {
            double b = 0;
            if (const int32_t r = m_bus.getDouble(d.path, zone.brightnessIface.c_str(),
                                                  ("get" + p + "Brightness").c_str(), &b))
                return r;
            v.brightness = percent(b);
        }
    }
    return DC_OK;
}

int32_t Transactions::readGroup(Mouse &m, uint32_t id)
{
    const Device &d = m.device;
    Values &v = m.values;
    if (dpiGroup(id))
        return readDpi(m);
    int64_t value = 0;
    switch (id) {
    case kPropRate:
        if (!d.rate)
            return DC_OK;
        if (const int32_t r = m_bus.getInt(d.path, kMisc, "getPollRate", &value))
            return r;
        v.rate = uint32_t(std::clamp<int64_t>(value, 0, 100000));
        return DC_OK;
    case kPropLighting:
        return readZones(m);
    case kPropSync:
        return d.sync ? m_bus.getBool(kRootPath, kDevices, "getSyncEffects", &v.sync) : DC_OK;
    case kPropIdle:
    case kPropLowBattery:
        recall(m, &v);
        if (id == kPropIdle && d.idleGet &&
            m_bus.getInt(d.path, kPower, "getIdleTime", &value) == DC_OK)
            v.idle = uint32_t(std::clamp<int64_t>(value, 0, 0xffff));
        if (id == kPropLowBattery && d.lowGet &&
            m_bus.getInt(d.path, kPower, "getLowBatteryThreshold", &value) == DC_OK)
            v.low = uint32_t(std::clamp<int64_t>(value, 0, 100));
        return m_bus.timedOut() ? int32_t(DC_DEVICE_FAULT) : int32_t(DC_OK);
    default:
        return DC_OK;
    }
}

int32_t Transactions::readSetting(const std::string &key, uint32_t id, std::vector<uint8_t> *out)
{
    Mouse *m = m_daemon.byKey(key);
    if (!m)
        return DC_NOT_PRESENT;
    m_bus.beginRequest();
    std::vector<uint8_t> probe;
    if (readProperty(m->device, m->values, m->battery, id, &probe) != DC_OK)
        return DC_BAD_ARGUMENT;
    if (const int32_t r = readGroup(*m, id))
        return r;
    return readProperty(m->device, m->values, m->battery, id, out);
}

bool Transactions::sameGroup(const Device &d, uint32_t id, const Values &a, const Values &b) const
{
    if (dpiGroup(id)) {
        if (stageDevice(d))
            return a.stages == b.stages && a.activeStage == b.activeStage;
        return a.dpi == b.dpi;
    }
    switch (id) {
    case kPropRate:
        return a.rate == b.rate;
    case kPropLighting:
        for (size_t z = 0; z < a.zones.size() && z < b.zones.size(); ++z) {
            if (!sameZone(a.zones[z], b.zones[z]))
                return false;
        }
        return true;
    case kPropSync:
        return a.sync == b.sync;
    case kPropIdle:
        return a.idle == b.idle;
    case kPropLowBattery:
        return a.low == b.low;
    default:
        return true;
    }
}

int32_t Transactions::applyZone(const Device &d, size_t z, const ZoneValues &now,
                                const ZoneValues &want)
{
    const Zone &zone = d.zones[z];
    const char *iface = zone.iface.c_str();
    ZoneValues look = now; // brightness has a method of its own
    look.brightness = want.brightness;
    if (!sameZone(look, want)) {
        const std::string method = effectMethod(zone, want.effect);
        if (method.empty())
            return DC_BAD_ARGUMENT;
        const uint8_t *c = want.rgb, *c2 = want.rgb2;
        int32_t r = DC_OK;
        if (zone.onOff)
            r = m_bus.set(d.path, iface, method.c_str(), "b", int(want.effect != EffectOff));
        else if (want.effect == EffectStatic || want.effect == EffectBreath)
            r = m_bus.set(d.path, iface, method.c_str(), "yyy", c[0], c[1], c[2]);
        else if (want.effect == EffectBreathDual)
            r = m_bus.set(d.path, iface, method.c_str(), "yyyyyy", c[0], c[1], c[2], c2[0], c2[1],
                          c2[2]);
        else if (want.effect == EffectReactive)
            r = m_bus.set(d.path, iface, method.c_str(), "yyyy", c[0], c[1], c[2], want.speed);
        else if (want.effect == EffectWave)
            r = m_bus.set(d.path, iface, method.c_str(), "i", int32_t(1));
        else
            r = m_bus.set(d.path, iface, method.c_str(), "");
        if (r)
            return r;
    }
    if (now.brightness != want.brightness && !zone.brightnessIface.empty())
        return m_bus.set(d.path, zone.brightnessIface.c_str(),
                         ("set" + zone.prefix + "Brightness").c_str(), "d",
                         double(want.brightness));
    return DC_OK;
}

int32_t Transactions::apply(Mouse &m, uint32_t id, const Values &now, const Values &want)
{
    const Device &d = m.device;
    if (dpiGroup(id)) {
        if (stageDevice(d) && (now.stages != want.stages || now.activeStage != want.activeStage)) {
            if (const int32_t r = m_bus.setStages(d.path, uint8_t(want.activeStage + 1),
                                                  want.stages, want.stagesY))
                return r;
        }
        // The daemon keeps the current DPI apart from the stages: it follows the active stage.
        if (d.dpi && now.dpi != want.dpi) {
            const uint32_t y = d.dpiList.empty() ? want.dpi : 0; // X-only mice take Y 0
            return m_bus.set(d.path, kDpi, "setDPI", "qq", uint16_t(want.dpi), uint16_t(y));
        }
        return DC_OK;
    }
    switch (id) {
    case kPropRate:
        return now.rate == want.rate
                   ? DC_OK
                   : m_bus.set(d.path, kMisc, "setPollRate", "q", uint16_t(want.rate));
    case kPropLighting:
        for (size_t z = 0; z < d.zones.size() && z < want.zones.size(); ++z) {
            if (const int32_t r = applyZone(d, z, now.zones[z], want.zones[z]))
                return r;
        }
        return DC_OK;
    case kPropSync:
        return now.sync == want.sync
                   ? DC_OK
                   : m_bus.set(kRootPath, kDevices, "syncEffects", "b", int(want.sync));
    case kPropIdle:
        if (now.idle == want.idle)
            return DC_OK;
        if (const int32_t r = m_bus.set(d.path, kPower, "setIdleTime", "q", uint16_t(want.idle)))
            return r;
        remember(m, want);
        return DC_OK;
    case kPropLowBattery:
        if (now.low == want.low)
            return DC_OK;
        if (const int32_t r =
                m_bus.set(d.path, kPower, "setLowBatteryThreshold", "y", uint8_t(want.low)))
            return r;
        remember(m, want);
        return DC_OK;
    default:
        return DC_BAD_ARGUMENT;
    }
}

int32_t Transactions::writeSetting(const std::string &key, uint32_t id, const uint8_t *bytes,
                                   uint32_t size)
{
    Mouse *m = m_daemon.byKey(key);
    if (!m)
        return DC_NOT_PRESENT;
    m_bus.beginRequest();
    int32_t r = DC_OK;
    std::vector<uint8_t> probe;
    if (readProperty(m->device, m->values, m->battery, id, &probe) != DC_OK || id == kPropBattery)
        r = DC_BAD_ARGUMENT;
    if (r == DC_OK)
        r = readGroup(*m, id);
    Values want;
    if (r == DC_OK)
        r = planWrite(m->device, m->values, id, bytes, size, &want);
    if (r == DC_OK) {
        const Values before = m->values;
        r = apply(*m, id, before, want);
        // Read back: a value the daemon dropped without an error is refused, and what the
        // write changed is put back.
        if (r == DC_OK)
            r = readGroup(*m, id);
        if (r == DC_OK && !sameGroup(m->device, id, m->values, want)) {
            apply(*m, id, m->values, before);
            readGroup(*m, id);
            r = DC_REFUSED;
        } else if (r == DC_OK) {
            m->values = want;
        }
        if (r == DC_OK)
            m->values.spare = want.spare;
    }
    m_daemon.setLastResult(*m, r);
    return r;
}

int32_t Transactions::notify(const std::string &key, unsigned type, unsigned data)
{
    if (type == 1) {
        const uint8_t stage = uint8_t(data);
        return writeSetting(key, kPropActiveStage, &stage, 1);
    }
    Mouse *m = m_daemon.byKey(key);
    if (!m)
        return DC_NOT_PRESENT;
    const int32_t r = type == 4 && data == 0 ? DC_OK : DC_BAD_ARGUMENT;
    m_daemon.setLastResult(*m, r);
    return r;
}

int32_t Transactions::scriptOut(const std::string &key, std::string *out)
{
    Mouse *m = m_daemon.byKey(key);
    if (!m)
        return DC_NOT_PRESENT;
    for (uint32_t id : {kPropStageCount, kPropActiveStage, kPropStages, kPropRate, kPropLighting,
                        kPropBattery, kPropSync, kPropIdle, kPropLowBattery}) {
        std::vector<uint8_t> bytes;
        const int32_t r = readSetting(key, id, &bytes);
        if (r == DC_BAD_ARGUMENT)
            continue;
        if (r)
            return r;
        *out += "prop " + std::to_string(id) + " ";
        for (uint8_t b : bytes) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", b);
            *out += hex;
        }
        *out += "\n";
    }
    return DC_OK;
}

void Transactions::recall(const Mouse &m, Values *v)
{
    std::string folder;
    {
        std::lock_guard<std::mutex> lock(m_folderMutex);
        folder = m_folder;
    }
    if (folder.empty())
        return;
    std::ifstream in(folder + "/" + fileKey(m.identity.hardwareId));
    uint32_t idle = 0, low = 0;
    if (in >> idle >> low) {
        v->idle = idle >= kIdleMin && idle <= kIdleMax ? idle : 0;
        v->low = low >= kLowMin && low <= kLowMax ? low : 0;
    }
}

// Written to a new file that replaces the old one, so a crash never leaves half a file.
void Transactions::remember(const Mouse &m, const Values &v)
{
    std::string folder;
    {
        std::lock_guard<std::mutex> lock(m_folderMutex);
        folder = m_folder;
    }
    if (folder.empty())
        return;
    ::mkdir(folder.c_str(), 0700);
    const std::string file = folder + "/" + fileKey(m.identity.hardwareId);
    {
        std::ofstream out(file + ".new", std::ios::trunc);
        out << v.idle << " " << v.low << "\n";
        if (!out.flush())
            return;
    }
    std::rename((file + ".new").c_str(), file.c_str());
}

} // namespace kelv::razer
