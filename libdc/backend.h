#pragma once

// One source of devices behind libdc's eighteen entry points: the simulated mouse
// (libdc/sim/), the mice of ratbagd (libdc/ratbag/), and whatever daemon comes next, each in
// a folder of its own. The library (libdc/library.h) asks every backend for its devices
// when it lists them, and hands each request to the one backend that answers for the
// request's hardware ID (owns()): no one else ever sees it, and an ID no backend answers
// for fails with DC_NOT_PRESENT (DC_WRONG_PRODUCT before that for a wrong product code).
// Nothing above the library tells backends apart: what the program needs to know about a
// device is data, in its record (flags) and its description (property 64).
//
// Results are those of libdc.h. Hardware IDs are the entry points' NUL-terminated UTF-16
// text (possibly null); a backend compares them without regard to case.

#include "libdc/libdc.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelv::dc {

// One record of the device list (doc/device-map.md, "Identity"). Text is UTF-8 for name
// and model, ASCII elsewhere; the library cuts every field to its size in the block.
struct Record
{
    std::string deviceId;
    std::string hardwareId;
    std::string devicePath;
    std::string sn;
    std::string version;
    std::string mask = "01";
    std::string name;  // daemon mice: the daemon's name for it
    std::string model; // daemon mice: the daemon's model text
    uint8_t flags = 0; // DC_FLAG_... of libdc.h
};

// A device event or an 8-byte data report on its way to the program's callbacks.
struct Item
{
    enum Kind { Event, Data } kind = Event;
    uint32_t event = 0;
    std::array<uint8_t, 8> data{};
    // Data reports only: the hardware ID whose subscriber alone gets the report; empty:
    // whoever subscribed to data, for whichever device (byte 7 then names the device).
    std::string onlyFor;
};

// How a backend reaches the program: through the library's thread, which calls the
// callbacks one item after the other, in the order posted. Any thread may post.
class Outbox
{
public:
    // A burst of device events (one per interface of the device, doc/device-map.md), which
    // the library delivers in one piece.
    virtual void postEvents(const std::vector<uint32_t> &events) = 0;
    // A data report for whoever subscribed to data: byte 7 names the device.
    virtual void postData(const std::array<uint8_t, 8> &report) = 0;
    // Makes the library's thread call collect() of every backend soon.
    virtual void wake() = 0;

protected:
    ~Outbox() = default;
};

// The firmware calls (the boot loader path of doc/device-map.md, "Firmware"), for a backend
// whose devices can be flashed. Each takes the product code as the entry point got it.
class Firmware
{
public:
    virtual int32_t reset(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out) = 0;
    virtual int32_t idWrite(const char16_t *id, uint32_t code, const char *serial) = 0;
    virtual int32_t rebootRom(const char16_t *id, uint32_t code) = 0;
    virtual int32_t finishUpdateRom(const char16_t *id, uint32_t code) = 0;
    virtual int32_t checkRom(const char16_t *id, uint32_t code, uint32_t length,
                             uint32_t check) = 0;
    virtual int32_t bornRom(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t length,
                            uint32_t offset) = 0;
    virtual int32_t eraseRom(const char16_t *id, uint32_t code) = 0;

protected:
    ~Firmware() = default;
};

class Backend
{
public:
    virtual ~Backend() = default;

    // Every entry point calls this first, from the caller's thread, with the library's
    // state folder (where a backend keeps what must outlive the process): the first call
    // starts the backend (its thread, if it has one), later ones follow the folder. Cheap.
    virtual void begin(const std::string &stateFolder) = 0;

    // True for the hardware IDs this backend answers for: the devices it lists right now,
    // its service's own ID (serviceId()), and IDs that are its own whether or not they are
    // listed at the moment (the simulated mouse and its boot loader). Never waits.
    virtual bool owns(const char16_t *id) const = 0;

    // Appends the records of its devices that the filter admits (see filterAdmits()).
    // DC_OK, or a result the listing passes on while the other backends' devices are still
    // listed (DC_BUSY: the simulated mouse is held by another process). Never waits for a
    // daemon.
    virtual int32_t list(const uint32_t filter[20], std::vector<Record> *out) = 0;

    // The service this backend reaches its devices through: its own hardware ID ("RATBAG\";
    // empty: none), which answers property 65 whether or not a device is listed, and that
    // state as one JSON object with at least "id" (the hardware ID) and "state" (see
    // doc/device-map.md). Never waits.
    virtual std::string serviceId() const { return std::string(); }
    virtual std::string serviceState() const { return std::string(); }

    // The device calls, for IDs owns() accepted; each checks the product code itself.
    virtual int32_t exists(const char16_t *id) = 0;
    // May the data callback be registered for this device (dconDeviceData)? Default: the
    // product code, then exists().
    virtual int32_t subscribe(const char16_t *id, uint32_t code);
    virtual int32_t ask(const char16_t *id, uint32_t code, uint32_t question, char *answer,
                        uint32_t size) = 0;
    virtual int32_t notify(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out) = 0;
    virtual int32_t read(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size,
                         uint32_t address) = 0;
    virtual int32_t write(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                          uint32_t address) = 0;
    virtual int32_t readProp(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size,
                             uint32_t propId) = 0;
    virtual int32_t writeProp(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                              uint32_t propId) = 0;
    virtual int32_t scriptOut(const char16_t *id, uint32_t code, char *script, uint32_t size) = 0;

    // The firmware calls, or null: the library then answers them as for a device without a
    // boot loader (DC_WRONG_MODE; dcIDWrite DC_BAD_ARGUMENT), after the product code and
    // presence.
    virtual Firmware *firmware() { return nullptr; }

    // For a backend without a thread of its own: called on every turn of the library's
    // thread, it returns what arrived since the last call. *soon: set it when the thread
    // must look again shortly whatever happens (a timed change is due); otherwise the
    // thread sleeps until the state folder changes or something is posted.
    virtual std::vector<Item> collect(bool *soon)
    {
        (void)soon;
        return {};
    }
};

// Makes one backend of the library for the library's outbox.
using BackendFactory = std::function<std::unique_ptr<Backend>(Outbox &outbox)>;

// Whether the dcDevices filter admits a device interface ((usage page << 16) | usage): a
// word names it, or every word is zero.
inline bool filterAdmits(const uint32_t filter[20], uint32_t interface)
{
    bool allZero = true;
    for (int i = 0; i < 20; ++i) {
        if (filter[i] == interface)
            return true;
        allZero = allZero && filter[i] == 0;
    }
    return allZero;
}

// A hardware ID as lower-case ASCII: "" when it is null, longer than 255 units or holds
// anything but printable ASCII.
inline std::string idKey(const char16_t *id)
{
    std::string key;
    for (size_t i = 0; id && id[i] != 0; ++i) {
        if (i >= 255 || id[i] > 0x7e || id[i] < 0x20)
            return std::string();
        char c = char(id[i]);
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        key += c;
    }
    return key;
}

// An ASCII text in lower case, to compare with idKey().
inline std::string lowerAscii(std::string text)
{
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return text;
}

// Gives text with its terminating NUL to a caller's buffer of size bytes (dcAsk,
// dcScriptOut): DC_OK, or DC_BAD_ARGUMENT when there is no buffer or it is too small.
inline int32_t copyText(const std::string &text, char *out, uint32_t size)
{
    if (!out || size < text.size() + 1)
        return DC_BAD_ARGUMENT;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return DC_OK;
}

inline int32_t Backend::subscribe(const char16_t *id, uint32_t code)
{
    return code != DC_PRODUCT_CODE ? int32_t(DC_WRONG_PRODUCT) : exists(id);
}

} // namespace kelv::dc
