#pragma once

// Reads and writes of a Razer mouse on the job thread. A write is one transaction: the bytes
// are checked against the device (razer_device.h: OpenRazer takes a DPI above maxDPI and
// ignores a report rate outside the model's list without an error, so kelv refuses them
// itself), the daemon's values are read, only what differs is written, and the values are read
// back: a value that did not stick is put back and the write fails with DC_REFUSED. The idle
// time and the mouse's own low-battery threshold have only setters in OpenRazer 3.5.1: kelv
// keeps what it set, per hardware ID, in <state folder>/openrazer/.

#include "libdc/razer/daemon_linux.h"
#include "libdc/razer/razer_bus.h"

#include <mutex>
#include <string>
#include <vector>

namespace kelv::razer {

class Transactions
{
public:
    Transactions(Bus &bus, Daemon &daemon) : m_bus(bus), m_daemon(daemon) {}

    // Any thread: where the idle times and thresholds kelv set are kept.
    void setFolder(const std::string &stateFolder);

    // What the daemon offers for the device at d->path (filled in); DC_BAD_ARGUMENT when it is
    // not a mouse.
    int32_t readDevice(Device *d);
    int32_t readBattery(Mouse &m, Battery *out);

    int32_t readSetting(const std::string &key, uint32_t id, std::vector<uint8_t> *out);
    int32_t writeSetting(const std::string &key, uint32_t id, const uint8_t *bytes, uint32_t size);
    // Notification 1 (make a stage active) and 4 (save: the daemon writes at once).
    int32_t notify(const std::string &key, unsigned type, unsigned data);
    int32_t scriptOut(const std::string &key, std::string *out);

private:
    // Reads what property id depends on into m.values.
    int32_t readGroup(Mouse &m, uint32_t id);
    int32_t readDpi(Mouse &m);
    int32_t readZones(Mouse &m);
    int32_t apply(Mouse &m, uint32_t id, const Values &now, const Values &want);
    int32_t applyZone(const Device &d, size_t z, const ZoneValues &now, const ZoneValues &want);
    bool sameGroup(const Device &d, uint32_t id, const Values &a, const Values &b) const;
    // The values kelv set where the daemon cannot answer them.
    void recall(const Mouse &m, Values *v);
    void remember(const Mouse &m, const Values &v);

    Bus &m_bus;
    Daemon &m_daemon;
    std::mutex m_folderMutex;
    std::string m_folder;
};

} // namespace kelv::razer
