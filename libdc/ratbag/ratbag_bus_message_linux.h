#pragma once

// The sd-bus messages of the ratbagd client (ratbag_bus.h): typed values read with their
// types checked and their sizes bounded, the property lists of GetAll replies, and the values
// written to the daemon's properties. Shared by the connection (ratbag_bus_linux.cpp) and the
// reading of the daemon's objects (ratbag_bus_read_linux.cpp); not part of the library's
// interface.

#include "libdc/ratbag/ratbag_device.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <systemd/sd-bus.h>
#include <vector>

namespace kelv::ratbag::detail {

inline constexpr uint64_t kCallTimeoutUsec = 1000000; // one second per call
inline constexpr size_t kMaxPathBytes = 255;
inline constexpr const char kProperties[] = "org.freedesktop.DBus.Properties";
inline constexpr const char kBusName[] = "org.freedesktop.DBus";
inline constexpr const char kBusPath[] = "/org/freedesktop/DBus";

// Frees an sd-bus message when it goes out of scope.
struct Message
{
    sd_bus_message *m = nullptr;
    ~Message() { sd_bus_message_unref(m); }
    sd_bus_message **out() { return &m; }
};

struct Error
{
    sd_bus_error e = SD_BUS_ERROR_NULL;
    ~Error() { sd_bus_error_free(&e); }
};

// --- reading typed values (the message stands at a variant holding `contents`) -------------
// Each reader answers 1 when it read the value, or a negative error.

// Leaves the container entered last; 1, or the first error.
int done(sd_bus_message *m, int r);
int enterVariant(sd_bus_message *m, const char *contents, const char *want);
int readUint(sd_bus_message *m, const char *contents, uint32_t *out);
int readInt(sd_bus_message *m, const char *contents, int32_t *out);
int readBool(sd_bus_message *m, const char *contents, bool *out);
int readText(sd_bus_message *m, const char *contents, std::string *out);
// A list of u, at most max kept (the rest is read and left out), sorted and without repeats.
int readUints(sd_bus_message *m, const char *contents, size_t max, std::vector<uint32_t> *out);
// Object paths below root, at most max kept.
int readPaths(sd_bus_message *m, const char *contents, const std::string &root, size_t max,
              std::vector<std::string> *out);
// The Resolution property: a variant holding u, or (uu) where X and Y are kept apart.
int readResolution(sd_bus_message *m, const char *contents, uint32_t *x, uint32_t *y, bool *xy);
// A button's Mapping: (type, variant) where the variant holds u or a(uu).
int readMapping(sd_bus_message *m, const char *contents, Mapping *out);
int readRgb(sd_bus_message *m, const char *contents, LedValues *out);

// Calls handle(name, contents) for every member of a GetAll reply; handle reads the value
// (returns > 0), leaves it (0: it is skipped) or fails (< 0).
template <typename Handle> int forEachProperty(sd_bus_message *m, Handle handle)
{
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char *name = nullptr;
        const char *contents = nullptr;
        char type = 0;
        r = sd_bus_message_read_basic(m, 's', &name);
        if (r >= 0)
            r = sd_bus_message_peek_type(m, &type, &contents);
        if (r >= 0 && (type != 'v' || !contents))
            r = -EBADMSG;
        if (r >= 0)
            r = handle(std::string(name), contents);
        if (r == 0)
            r = sd_bus_message_skip(m, "v");
        if (r >= 0)
            r = sd_bus_message_exit_container(m);
    }
    return done(m, r);
}

// --- writing typed values ---------------------------------------------------------------------

// Appends v to a Set call (a variant in the daemon's own types).
int appendValue(sd_bus_message *m, const BusValue &v);

} // namespace kelv::ratbag::detail
