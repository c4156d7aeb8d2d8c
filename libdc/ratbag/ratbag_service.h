#pragma once

// The mice of libratbag's daemon ratbagd behind libdc's entry points (doc/device-map.md,
// "Real mice"). On Linux one thread of the service owns the bus connection: it watches the
// daemon, keeps the list of its mice, and carries out every request that needs the daemon,
// one after the other. Listing, presence and the properties 64 to 66 are answered from what
// the thread keeps, without waiting for the daemon. The Windows build has no daemon client
// (ratbag_service_win.cpp): no mice, service state "off".

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelv::ratbag {

// A listed mouse, as the device-list block carries it.
struct Listed
{
    std::string deviceId;
    std::string hardwareId;
    std::string devicePath;
    std::string sn;
    std::string version;
    std::string name;
    std::string model;
};

class Service
{
public:
    // Device events and data reports leave through these, from the service's thread. Each
    // call carries a whole burst, which the library delivers in one piece.
    using EventSink = std::function<void(const std::vector<uint32_t> &events)>;
    using DataSink = std::function<void(const std::array<uint8_t, 8> &report)>;

    Service();
    ~Service();
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // The first call starts the service's thread; later calls only follow the state folder
    // (where the mice's macro slots are kept: <folder>/ratbag/).
    void start(EventSink events, DataSink data, const std::string &stateFolder);

    // True for hardware IDs of this service: "RATBAG\" (the daemon itself) and its mice.
    static bool owns(const char16_t *id);

    std::vector<Listed> listed() const;
    // Results as in libdc.h.
    int32_t exists(const char16_t *id) const;
    int32_t readProp(const char16_t *id, uint8_t *buf, uint32_t size, uint32_t propId);
    int32_t writeProp(const char16_t *id, const uint8_t *buf, uint32_t size, uint32_t propId);
    int32_t read(const char16_t *id, uint8_t *buf, uint32_t size, uint32_t address);
    int32_t write(const char16_t *id, const uint8_t *buf, uint32_t size, uint32_t address);
    int32_t notify(const char16_t *id, uint16_t value, uint8_t *out);
    int32_t ask(const char16_t *id, uint32_t question, char *answer, uint32_t size);
    int32_t scriptOut(const char16_t *id, char *script, uint32_t size);

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace kelv::ratbag
