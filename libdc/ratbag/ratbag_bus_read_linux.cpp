// What ratbagd's objects are and the values they hold, read over the bus (ratbag_bus.h): the
// Manager's devices, a device with its profiles, resolutions, buttons and LEDs when it
// arrives, and the values a request needs. Every value is read with its type checked and its
// size bounded (ratbag_bus_message_linux.h).

#include "libdc/libdc.h"
#include "libdc/ratbag/ratbag_bus.h"
#include "libdc/ratbag/ratbag_bus_message_linux.h"

#include <algorithm>
#include <systemd/sd-bus.h>

namespace kelv::ratbag {

using namespace detail;

int32_t Bus::devicePaths(std::vector<std::string> *paths)
{
    Message reply;
    if (const int32_t r = getAll(m_root, "Manager", reply.out()))
        return r;
    const int r = forEachProperty(reply.m, [&](const std::string &name, const char *contents) {
        return name == "Devices" ? readPaths(reply.m, contents, m_root, kMaxMice, paths) : 0;
    });
    std::sort(paths->begin(), paths->end());
    return r < 0 ? DC_DEVICE_FAULT : DC_OK;
}

int32_t Bus::readDevice(const std::string &path, int api, Device *out)
{
    *out = Device();
    out->path = path;
    out->profileDisabledProperty = api >= 2;
    Message reply;
    if (const int32_t r = getAll(path, "Device", reply.out()))
        return r;
    std::vector<std::string> profiles;
    bool hasModel = false;
    int r = forEachProperty(reply.m, [&](const std::string &name, const char *contents) {
        std::string text;
        if (name == "Profiles")
            return readPaths(reply.m, contents, m_root, kMaxProfiles, &profiles);
        if (name == "DeviceType")
            return readUint(reply.m, contents, &out->type);
        if (name != "Name" && name != "Model" && name != "FirmwareVersion")
            return 0;
        hasModel = hasModel || name == "Model";
        const int rr = readText(reply.m, contents, &text);
        if (name == "Name")
            out->name = cleanText(text, kMaxNameBytes);
        else if (name == "Model")
            out->model = asciiText(text, kMaxModelBytes);
        else
            out->firmware = asciiText(text, 16);
        return rr < 0 ? rr : 1;
    });
    if (r < 0 || !hasModel)
        return DC_DEVICE_FAULT;
    // A keyboard, a headset: not read any further, not listed.
    if (kindOf(*out) != DeviceMouse)
        return DC_OK;
    if (profiles.empty())
        return DC_DEVICE_FAULT;

    for (const std::string &profilePath : profiles) {
        Profile p;
        if (const int32_t res = readProfileObject(profilePath, api, &p))
            return res;
        out->profiles.push_back(std::move(p));
    }
    return DC_OK;
}

// A profile's own properties, then its resolutions, buttons and LEDs.
int32_t Bus::readProfileObject(const std::string &profilePath, int api, Profile *out)
{
    Profile &p = *out;
    p.path = profilePath;
    std::vector<std::string> resolutions, buttons, leds;
    std::vector<uint32_t> caps;
    Message pr;
    if (const int32_t res = getAll(profilePath, "Profile", pr.out()))
        return res;
    const int r = forEachProperty(pr.m, [&](const std::string &name, const char *contents) {
        if (name == "Resolutions")
            return readPaths(pr.m, contents, m_root, kMaxResolutions, &resolutions);
        if (name == "Buttons")
            return readPaths(pr.m, contents, m_root, kMaxButtons, &buttons);
        if (name == "Leds")
            return readPaths(pr.m, contents, m_root, kMaxLeds, &leds);
        if (name == "ReportRates")
            return readUints(pr.m, contents, kMaxRates, &p.reportRates);
        if (name == "Capabilities")
            return readUints(pr.m, contents, 32, &caps);
        if (name == "Debounces")
            return readUints(pr.m, contents, 32, &p.debounces);
        if (name == "Name") {
            std::string text;
            const int rr = readText(pr.m, contents, &text);
            // The daemon's empty name: this profile's name cannot be changed.
            p.canRename = !cleanText(text, kProfileNameRecord - 1).empty();
            return rr;
        }
        if (name == "AngleSnapping" || name == "Debounce") {
            int32_t value = -1;
            const int rr = readInt(pr.m, contents, &value);
            // -1: the daemon has the property but the device does not have the setting.
            if (name == "AngleSnapping")
                p.hasAngleSnapping = value >= 0;
            else
                p.hasDebounce = value >= 0;
            return rr < 0 ? rr : 1;
        }
        return 0;
    });
    if (r < 0 || resolutions.empty())
        return DC_DEVICE_FAULT;
    p.canDisable = std::find(caps.begin(), caps.end(), 102u) != caps.end();
    p.hasDebounce = p.hasDebounce && !p.debounces.empty();
    p.reportRates.erase(std::remove(p.reportRates.begin(), p.reportRates.end(), 0u),
                        p.reportRates.end());

    for (const std::string &resolutionPath : resolutions) {
        Resolution res;
        bool isDefault = false;
        if (const int32_t res2 = readResolutionObject(resolutionPath, api, &res, &isDefault))
            return res2;
        p.hasDefaultStage = p.hasDefaultStage || isDefault;
        p.resolutions.push_back(res);
    }
    for (const std::string &buttonPath : buttons) {
        Button b;
        if (const int32_t res2 = readButtonObject(buttonPath, &b))
            return res2;
        p.buttons.push_back(b);
    }
    for (const std::string &ledPath : leds) {
        Led led;
        if (const int32_t res2 = readLedObject(ledPath, &led))
            return res2;
        p.leds.push_back(led);
    }
    return DC_OK;
}

int32_t Bus::readResolutionObject(const std::string &resolutionPath, int api, Resolution *out,
                                  bool *isDefault)
{
    Resolution &res = *out;
    res.path = resolutionPath;
    uint32_t x = 0, y = 0;
    std::vector<uint32_t> resolutionCaps;
    Message rr;
    if (const int32_t res2 = getAll(resolutionPath, "Resolution", rr.out()))
        return res2;
    const int r = forEachProperty(rr.m, [&](const std::string &name, const char *contents) {
        if (name == "Resolution")
            return readResolution(rr.m, contents, &x, &y, &res.separateXY);
        if (name == "Resolutions")
            return readUints(rr.m, contents, kMaxDpis, &res.dpis);
        if (name == "IsDefault")
            return readBool(rr.m, contents, isDefault);
        if (name == "Capabilities")
            return readUints(rr.m, contents, 32, &resolutionCaps);
        return 0;
    });
    if (r < 0)
        return DC_DEVICE_FAULT;
    // Capability 2: the resolution can be disabled (API 2's IsDisabled).
    res.canDisable = api >= 2 && std::find(resolutionCaps.begin(), resolutionCaps.end(), 2u) !=
                                     resolutionCaps.end();
    res.dpis.erase(std::remove_if(res.dpis.begin(), res.dpis.end(),
                                  [](uint32_t dpi) { return dpi == 0 || dpi > 0xffff; }),
                   res.dpis.end());
    return DC_OK;
}

int32_t Bus::readButtonObject(const std::string &buttonPath, Button *out)
{
    Button &b = *out;
    b.path = buttonPath;
    Message br;
    if (const int32_t res2 = getAll(buttonPath, "Button", br.out()))
        return res2;
    std::vector<uint32_t> types;
    const int r = forEachProperty(br.m, [&](const std::string &name, const char *contents) {
        return name == "ActionTypes" ? readUints(br.m, contents, 16, &types) : 0;
    });
    if (r < 0)
        return DC_DEVICE_FAULT;
    for (const uint32_t t : types) {
        if (t == ActionButton || t == ActionSpecial || t == ActionMacro)
            b.actionTypes.push_back(t);
    }
    return DC_OK;
}

int32_t Bus::readLedObject(const std::string &ledPath, Led *out)
{
    Led &led = *out;
    led.path = ledPath;
    Message lr;
    if (const int32_t res2 = getAll(ledPath, "Led", lr.out()))
        return res2;
    std::vector<uint32_t> modes;
    const int r = forEachProperty(lr.m, [&](const std::string &name, const char *contents) {
        if (name == "Modes")
            return readUints(lr.m, contents, 16, &modes);
        if (name == "ColorDepth")
            return readUint(lr.m, contents, &led.depth);
        return 0;
    });
    if (r < 0)
        return DC_DEVICE_FAULT;
    for (const uint32_t mode : modes) {
        if (mode < 4)
            led.modes.push_back(mode);
    }
    if (led.depth > DepthRgb111)
        led.depth = DepthMonochrome; // an unknown depth: the colour is left alone
    return DC_OK;
}

int32_t Bus::readValues(const Device &device, unsigned groups, Values *out)
{
    *out = Values();
    for (size_t i = 0; i < device.profiles.size(); ++i) {
        if (const int32_t r = readProfileValues(device, i, out))
            return r;
    }
    const Profile &p = device.profiles.at(size_t(std::max(out->activeProfile, 0)));
    if (groups & GroupResolutions) {
        if (const int32_t r = readResolutionValues(p, out))
            return r;
    }
    if (groups & GroupButtons) {
        if (const int32_t r = readButtonValues(p, out))
            return r;
    }
    if (groups & GroupLeds) {
        if (const int32_t r = readLedValues(p, out))
            return r;
    }
    return DC_OK;
}

// Profile i's IsActive, whether it is in use and its name; the active one's settings.
int32_t Bus::readProfileValues(const Device &device, size_t i, Values *out)
{
    const Profile &p = device.profiles[i];
    Message reply;
    if (const int32_t r = getAll(p.path, "Profile", reply.out()))
        return r;
    bool active = false, enabled = true, disabled = false;
    uint32_t rate = 0;
    int32_t angle = -1, debounce = -1;
    std::string profileName;
    // API 1 says "Enabled", API 2 "Disabled"; a daemon that answers the other is not read
    // the wrong way round: that property is left out.
    const char *inUse = device.profileDisabledProperty ? "Disabled" : "Enabled";
    const int r = forEachProperty(reply.m, [&](const std::string &name, const char *contents) {
        if (name == "IsActive")
            return readBool(reply.m, contents, &active);
        if (name == inUse)
            return readBool(reply.m, contents,
                            device.profileDisabledProperty ? &disabled : &enabled);
        if (name == "Name") {
            const int rr = readText(reply.m, contents, &profileName);
            profileName = cleanText(profileName, kProfileNameRecord - 1);
            return rr;
        }
        if (name == "ReportRate")
            return readUint(reply.m, contents, &rate);
        if (name == "AngleSnapping")
            return readInt(reply.m, contents, &angle);
        if (name == "Debounce")
            return readInt(reply.m, contents, &debounce);
        return 0;
    });
    if (r < 0)
        return DC_DEVICE_FAULT;
    out->enabled.push_back(device.profileDisabledProperty ? !disabled : enabled);
    out->names.push_back(profileName);
    if (active && out->activeProfile < 0) {
        out->activeProfile = int(i);
        out->reportRate = rate;
        out->angleSnapping = angle;
        out->debounce = debounce;
    }
    return DC_OK;
}

int32_t Bus::readResolutionValues(const Profile &p, Values *out)
{
    for (const Resolution &res : p.resolutions) {
        Message reply;
        if (const int32_t r = getAll(res.path, "Resolution", reply.out()))
            return r;
        ResolutionValues v;
        bool xy = false;
        const int r = forEachProperty(reply.m, [&](const std::string &name, const char *contents) {
            if (name == "IsActive")
                return readBool(reply.m, contents, &v.active);
            if (name == "IsDefault")
                return readBool(reply.m, contents, &v.isDefault);
            if (name == "IsDisabled" && res.canDisable)
                return readBool(reply.m, contents, &v.disabled);
            if (name == "Resolution")
                return readResolution(reply.m, contents, &v.x, &v.y, &xy);
            return 0;
        });
        if (r < 0)
            return DC_DEVICE_FAULT;
        out->resolutions.push_back(v);
    }
    return DC_OK;
}

int32_t Bus::readButtonValues(const Profile &p, Values *out)
{
    for (const Button &b : p.buttons) {
        Message reply;
        if (const int32_t r = getAll(b.path, "Button", reply.out()))
            return r;
        Mapping mapping;
        const int r = forEachProperty(reply.m, [&](const std::string &name, const char *contents) {
            return name == "Mapping" ? readMapping(reply.m, contents, &mapping) : 0;
        });
        if (r < 0)
            return DC_DEVICE_FAULT;
        out->buttons.push_back(mapping);
    }
    return DC_OK;
}

int32_t Bus::readLedValues(const Profile &p, Values *out)
{
    for (const Led &led : p.leds) {
        Message reply;
        if (const int32_t r = getAll(led.path, "Led", reply.out()))
            return r;
        LedValues v;
        const int r = forEachProperty(reply.m, [&](const std::string &name, const char *contents) {
            if (name == "Mode")
                return readUint(reply.m, contents, &v.mode);
            if (name == "Color")
                return readRgb(reply.m, contents, &v);
            if (name == "EffectDuration")
                return readUint(reply.m, contents, &v.duration);
            if (name == "Brightness")
                return readUint(reply.m, contents, &v.brightness);
            return 0;
        });
        if (r < 0)
            return DC_DEVICE_FAULT;
        out->leds.push_back(v);
    }
    return DC_OK;
}

int32_t Bus::resolutionDpi(const std::string &path, uint32_t *dpi)
{
    Message reply;
    if (const int32_t r = getAll(path, "Resolution", reply.out()))
        return r;
    uint32_t y = 0;
    bool xy = false;
    const int r = forEachProperty(reply.m, [&](const std::string &name, const char *contents) {
        return name == "Resolution" ? readResolution(reply.m, contents, dpi, &y, &xy) : 0;
    });
    return r < 0 ? DC_DEVICE_FAULT : DC_OK;
}

} // namespace kelv::ratbag
