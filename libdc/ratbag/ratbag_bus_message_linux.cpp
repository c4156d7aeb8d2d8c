// The typed values of ratbagd's sd-bus messages, read and written (ratbag_bus_message_linux.h).

#include "libdc/ratbag/ratbag_bus_message_linux.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kelv::ratbag::detail {

// Leaves the container entered last; 1, or the first error.
int done(sd_bus_message *m, int r)
{
    if (r >= 0)
        r = sd_bus_message_exit_container(m);
    return r < 0 ? r : 1;
}

int enterVariant(sd_bus_message *m, const char *contents, const char *want)
{
    if (std::strcmp(contents, want) != 0)
        return -EBADMSG;
    return sd_bus_message_enter_container(m, 'v', want);
}

int readUint(sd_bus_message *m, const char *contents, uint32_t *out)
{
    int r = enterVariant(m, contents, "u");
    if (r >= 0)
        r = sd_bus_message_read_basic(m, 'u', out);
    return done(m, r);
}

int readInt(sd_bus_message *m, const char *contents, int32_t *out)
{
    int r = enterVariant(m, contents, "i");
    if (r >= 0)
        r = sd_bus_message_read_basic(m, 'i', out);
    return done(m, r);
}

int readBool(sd_bus_message *m, const char *contents, bool *out)
{
    int value = 0;
    int r = enterVariant(m, contents, "b");
    if (r >= 0)
        r = sd_bus_message_read_basic(m, 'b', &value);
    *out = value != 0;
    return done(m, r);
}

int readText(sd_bus_message *m, const char *contents, std::string *out)
{
    const char *text = nullptr;
    int r = enterVariant(m, contents, "s");
    if (r >= 0)
        r = sd_bus_message_read_basic(m, 's', &text);
    if (r >= 0)
        *out = text ? text : "";
    return done(m, r);
}

// A list of u, at most max kept (the rest is read and left out), sorted and without repeats.
int readUints(sd_bus_message *m, const char *contents, size_t max, std::vector<uint32_t> *out)
{
    const void *data = nullptr;
    size_t bytes = 0;
    int r = enterVariant(m, contents, "au");
    if (r >= 0)
        r = sd_bus_message_read_array(m, 'u', &data, &bytes);
    if (r < 0)
        return r;
    out->clear();
    if (data) {
        const auto *values = static_cast<const uint32_t *>(data);
        out->assign(values, values + std::min(bytes / sizeof(uint32_t), max));
    }
    std::sort(out->begin(), out->end());
    out->erase(std::unique(out->begin(), out->end()), out->end());
    return done(m, 0);
}

// Object paths below root, at most max kept.
int readPaths(sd_bus_message *m, const char *contents, const std::string &root, size_t max,
              std::vector<std::string> *out)
{
    out->clear();
    int r = enterVariant(m, contents, "ao");
    if (r >= 0)
        r = sd_bus_message_enter_container(m, 'a', "o");
    const char *path = nullptr;
    while (r >= 0 && (r = sd_bus_message_read_basic(m, 'o', &path)) > 0) {
        const std::string p = path;
        if (out->size() < max && p.size() <= kMaxPathBytes &&
            p.compare(0, root.size() + 1, root + "/") == 0)
            out->push_back(p);
    }
    if (r >= 0)
        r = sd_bus_message_exit_container(m);
    return done(m, r);
}

// The Resolution property: a variant holding u, or (uu) where X and Y are kept apart.
int readResolution(sd_bus_message *m, const char *contents, uint32_t *x, uint32_t *y, bool *xy)
{
    int r = enterVariant(m, contents, "v");
    const char *inner = nullptr;
    char type = 0;
    if (r >= 0)
        r = sd_bus_message_peek_type(m, &type, &inner);
    if (r >= 0 && inner && std::strcmp(inner, "u") == 0) {
        *xy = false;
        r = readUint(m, inner, x);
        *y = *x;
    } else if (r >= 0 && inner && std::strcmp(inner, "(uu)") == 0) {
        *xy = true;
        r = sd_bus_message_enter_container(m, 'v', "(uu)");
        if (r >= 0)
            r = sd_bus_message_read(m, "(uu)", x, y);
        if (r >= 0)
            r = sd_bus_message_exit_container(m);
    } else if (r >= 0) {
        r = -EBADMSG;
    }
    return done(m, r);
}

// A button's Mapping: (type, variant) where the variant holds u or a(uu).
int readMapping(sd_bus_message *m, const char *contents, Mapping *out)
{
    *out = Mapping();
    int r = enterVariant(m, contents, "(uv)");
    if (r >= 0)
        r = sd_bus_message_enter_container(m, 'r', "uv");
    if (r >= 0)
        r = sd_bus_message_read_basic(m, 'u', &out->type);
    const char *inner = nullptr;
    char type = 0;
    if (r >= 0)
        r = sd_bus_message_peek_type(m, &type, &inner);
    if (r >= 0 && inner && std::strcmp(inner, "u") == 0) {
        r = readUint(m, inner, &out->value);
    } else if (r >= 0 && inner && std::strcmp(inner, "a(uu)") == 0) {
        r = sd_bus_message_enter_container(m, 'v', "a(uu)");
        if (r >= 0)
            r = sd_bus_message_enter_container(m, 'a', "(uu)");
        uint32_t kind = 0, value = 0;
        while (r >= 0 && (r = sd_bus_message_read(m, "(uu)", &kind, &value)) > 0) {
            if (out->macro.size() < kMaxMacroEvents)
                out->macro.push_back({kind, value});
        }
        if (r >= 0)
            r = sd_bus_message_exit_container(m);
        if (r >= 0)
            r = sd_bus_message_exit_container(m);
    } else if (r >= 0) {
        r = -EBADMSG;
    }
    // The daemon's own types only; an action type kelv does not know reads as unknown.
    if (out->type != ActionButton && out->type != ActionSpecial && out->type != ActionMacro)
        *out = Mapping();
    if (r >= 0)
        r = sd_bus_message_exit_container(m);
    return done(m, r);
}

int readRgb(sd_bus_message *m, const char *contents, LedValues *out)
{
    int r = enterVariant(m, contents, "(uuu)");
    if (r >= 0)
        r = sd_bus_message_read(m, "(uuu)", &out->red, &out->green, &out->blue);
    return done(m, r);
}

// --- writing typed values ---------------------------------------------------------------------

int appendValue(sd_bus_message *m, const BusValue &v)
{
    using Kind = BusValue::Kind;
    int r = 0;
    switch (v.kind) {
    case Kind::Uint:
        return sd_bus_message_append(m, "v", "u", v.a);
    case Kind::Int:
        return sd_bus_message_append(m, "v", "i", int32_t(v.a));
    case Kind::Bool:
        return sd_bus_message_append(m, "v", "b", int(v.a != 0));
    case Kind::Text:
        return sd_bus_message_append(m, "v", "s", v.text.c_str());
    case Kind::Rgb:
        return sd_bus_message_append(m, "v", "(uuu)", v.a, v.b, v.c);
    case Kind::Dpi:
        r = sd_bus_message_open_container(m, 'v', "v");
        if (r >= 0)
            r = sd_bus_message_append(m, "v", "u", v.a);
        return r < 0 ? r : sd_bus_message_close_container(m);
    case Kind::DpiXY:
        r = sd_bus_message_open_container(m, 'v', "v");
        if (r >= 0)
            r = sd_bus_message_append(m, "v", "(uu)", v.a, v.b);
        return r < 0 ? r : sd_bus_message_close_container(m);
    case Kind::MapButton:
        return sd_bus_message_append(m, "v", "(uv)", v.a, "u", v.b);
    case Kind::MapMacro:
        r = sd_bus_message_open_container(m, 'v', "(uv)");
        if (r >= 0)
            r = sd_bus_message_open_container(m, 'r', "uv");
        if (r >= 0)
            r = sd_bus_message_append(m, "u", uint32_t(ActionMacro));
        if (r >= 0)
            r = sd_bus_message_open_container(m, 'v', "a(uu)");
        if (r >= 0)
            r = sd_bus_message_open_container(m, 'a', "(uu)");
        for (size_t i = 0; r >= 0 && i < v.macro.size(); ++i)
            r = sd_bus_message_append(m, "(uu)", v.macro[i].type, v.macro[i].value);
        for (int level = 0; r >= 0 && level < 4; ++level)
            r = sd_bus_message_close_container(m);
        return r;
    }
    return -EINVAL;
}

} // namespace kelv::ratbag::detail
