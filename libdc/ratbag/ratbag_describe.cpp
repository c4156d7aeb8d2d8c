// The description of a ratbagd mouse (property 64, doc/device-map.md): what its stages,
// report rates, buttons, lights, profiles and macros take, as the JSON text the page builds
// its controls from.

#include "libdc/json_text.h"
#include "libdc/libdc.h"
#include "libdc/ratbag/ratbag_device.h"
#include "libdc/ratbag/ratbag_device_internal.h"
#include "libdc/ratbag/ratbag_macro.h"

#include <algorithm>

namespace kelv::ratbag {

namespace {

using namespace detail;

bool anyStageCanBeDisabled(const Profile &p)
{
    for (const Resolution &r : p.resolutions) {
        if (r.canDisable)
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

// The stages: how many, the DPI each takes, what can be set besides.
void describeStages(dc::JsonText &j, const Profile &p, bool withDefault)
{
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
    j.key("default").value(withDefault);
    j.key("disable").value(anyStageCanBeDisabled(p));
    j.key("separateXY").value(!p.resolutions.empty() && p.resolutions.front().separateXY);
    j.endObject();
}

// Report rates, lift-off distance, angle snapping, debounce, motion sync.
void describeSettings(dc::JsonText &j, const Profile &p)
{
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
}

// The buttons and the assignment types each takes; answers the types any of them takes.
uint32_t describeButtons(dc::JsonText &j, const Profile &p)
{
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

    return anyAllowed;
}

// The functions of each assignment type that some button takes.
void describeFunctions(dc::JsonText &j, const Profile &p, uint32_t anyAllowed)
{
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
}

// The lights: the effects each shows, its colours, the durations it takes.
void describeLighting(dc::JsonText &j, const Profile &p)
{
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
}

// The profiles: how many, whether they can be switched off, which can be renamed.
void describeProfiles(dc::JsonText &j, const Device &device)
{
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
}

} // namespace

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

    describeStages(j, p, has(12));
    describeSettings(j, p);
    const uint32_t anyAllowed = describeButtons(j, p);
    describeFunctions(j, p, anyAllowed);
    describeLighting(j, p);
    describeProfiles(j, device);
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
