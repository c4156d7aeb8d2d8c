// What a ratbagd device is and who it is: mouse or not (kindOf), its identity, the service
// state's text, and the checks of text the daemon sends (ratbag_device.h).

#include "libdc/json_text.h"
#include "libdc/ratbag/ratbag_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <regex>

namespace kelv::ratbag {

// --- what the device is ---------------------------------------------------------------------

namespace {

// The models of libratbag 0.17's device files that are no mice (0.18 says so in DeviceType):
// Logitech's G513, G815, G910, G915 and G915 TKL keyboards, the G935 headset and the
// G Powerplay mouse pad. The model's version part varies; bus, vendor and product decide.
struct KnownModel
{
    const char *prefix; // "usb:046d:c33c:"
    DeviceType type;
};
constexpr KnownModel kNotMice[] = {
    {"usb:046d:c33c:", DeviceKeyboard}, {"usb:046d:c33f:", DeviceKeyboard},
    {"usb:046d:c335:", DeviceKeyboard}, {"usb:046d:c33e:", DeviceKeyboard},
    {"usb:046d:c343:", DeviceKeyboard}, {"bluetooth:046d:b35f:", DeviceKeyboard},
    {"usb:046d:0a87:", DeviceOther},    {"usb:046d:405f:", DeviceOther},
};

} // namespace

DeviceType kindOf(const Device &device)
{
    if (device.type == DeviceMouse || device.type == DeviceKeyboard || device.type == DeviceOther)
        return DeviceType(device.type);
    for (const KnownModel &known : kNotMice) {
        if (device.model.compare(0, std::strlen(known.prefix), known.prefix) == 0)
            return known.type;
    }
    return DeviceMouse;
}

// --- identity -------------------------------------------------------------------------------

namespace {

uint32_t fnv1a(const std::string &text)
{
    uint32_t hash = 2166136261u;
    for (const char c : text) {
        hash ^= uint8_t(c);
        hash *= 16777619u;
    }
    return hash;
}

} // namespace

Identity identify(const std::string &model, const std::string &name)
{
    static const std::regex kModel("^(usb|bluetooth):([0-9a-f]{4}):([0-9a-f]{4}):([0-9]{1,10})$");
    std::smatch m;
    Identity id;
    if (std::regex_match(model, m, kModel)) {
        id.deviceId = "RATBAG-" + m[1].str() + "-" + m[2].str() + "-" + m[3].str();
        id.hardwareId = "RATBAG\\" + m[1].str() + "&Vid_" + m[2].str() + "&Pid_" + m[3].str() +
                        "&Rev_" + m[4].str();
        return id;
    }
    char hash[9];
    std::snprintf(hash, sizeof hash, "%08x", unsigned(fnv1a(name)));
    id.deviceId = std::string("RATBAG-unknown-") + hash;
    id.hardwareId = std::string("RATBAG\\unknown&Name_") + hash;
    return id;
}

Identity instance(const Identity &base, int n)
{
    if (n <= 1)
        return base;
    return Identity{base.deviceId + "-" + std::to_string(n),
                    base.hardwareId + "&Inst_" + std::to_string(n)};
}

const char kServiceId[] = "RATBAG\\";

std::string serviceState(const std::string &state, const std::string &busName, int api, int mice,
                         const std::vector<NotShown> &notShown, bool startGivenUp)
{
    constexpr size_t kNamed = 4, kNameBytes = 40, kMaxText = 511;
    // The devices not shown are named as far as the text stays within its 512 bytes.
    for (size_t named = std::min(notShown.size(), kNamed);; --named) {
        dc::JsonText j;
        j.beginObject();
        j.key("id").value(kServiceId);
        j.key("service").value("ratbagd");
        j.key("bus").value(busName);
        j.key("state").value(state);
        j.key("api").value(int64_t(api));
        j.key("mice").value(int64_t(mice));
        if (named > 0) {
            j.key("notShown").beginArray();
            for (size_t i = 0; i < named; ++i) {
                j.beginObject();
                j.key("name").value(cleanText(notShown[i].name, kNameBytes));
                j.key("why").value(notShown[i].why);
                if (notShown[i].why == "unreadable")
                    j.key("retrying").value(notShown[i].retrying);
                j.endObject();
            }
            j.endArray();
        }
        if (startGivenUp)
            j.key("startGivenUp").value(true);
        j.endObject();
        if (j.text().size() <= kMaxText || named == 0)
            return j.text();
    }
}

// --- checking text from the daemon ------------------------------------------------------------

std::string cleanText(const std::string &text, size_t maxBytes)
{
    static const std::string kReplacement = "\xEF\xBF\xBD";
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = uint8_t(text[i]);
        size_t length = lead < 0x80           ? 1
                        : (lead >> 5) == 0x6  ? 2
                        : (lead >> 4) == 0xE  ? 3
                        : (lead >> 3) == 0x1E ? 4
                                              : 0;
        bool valid = length > 0 && i + length <= text.size();
        uint32_t cp = length == 1   ? lead
                      : length == 2 ? lead & 0x1F
                      : length == 3 ? lead & 0x0F
                                    : lead & 0x07;
        for (size_t k = 1; valid && k < length; ++k) {
            const auto cont = uint8_t(text[i + k]);
            valid = (cont & 0xC0) == 0x80;
            cp = cp << 6 | (cont & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
        if (valid &&
            ((length == 2 && cp < 0x80) || (length == 3 && cp < 0x800) ||
             (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)))
            valid = false;
        std::string piece = valid ? text.substr(i, length) : kReplacement;
        if (!valid)
            length = 1;
        if (valid && length == 1 && (lead < 0x20 || lead == 0x7F))
            piece.clear();
        if (out.size() + piece.size() > maxBytes)
            break;
        out += piece;
        i += length;
    }
    return out;
}

std::string asciiText(const std::string &text, size_t maxBytes)
{
    std::string out;
    for (const char c : text) {
        if (out.size() == maxBytes)
            break;
        if (c > 0x20 && c < 0x7F)
            out += c;
    }
    return out;
}

} // namespace kelv::ratbag
