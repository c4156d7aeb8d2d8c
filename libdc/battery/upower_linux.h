#pragma once

// The batteries UPower reports for mice (devices of Type 5 on the system bus), given to the
// mice of a daemon that reports none itself (ratbagd's). A mouse is matched to a UPower device
// through the HID device both hang on in sysfs, never by name: the mouse's record names its
// hidraw node (the last element of a ratbagd object path, e.g. hidraw3), the HID device is
// what /sys/class/hidraw/hidraw3/device leads to, and UPower's NativePath is a power supply
// of that device (an absolute sysfs path below it, or its name below <device>/power_supply/).
//
// One thread of its own with one system bus connection: it lists UPower's devices when UPower
// appears and follows DeviceAdded, DeviceRemoved and every device's PropertiesChanged, so it
// never polls; a change of a mouse's level or state is announced as device event 4.

#include "libdc/backend.h"
#include "libdc/job_thread_linux.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace kelv::dc {

class UPowerBatteries final : public BatterySource
{
public:
    explicit UPowerBatteries(Outbox &outbox);
    ~UPowerBatteries() override;
    UPowerBatteries(const UPowerBatteries &) = delete;
    UPowerBatteries &operator=(const UPowerBatteries &) = delete;

    void begin() override;
    bool battery(const Record &record, uint8_t out[2]) override;

    // UPower's State and Percentage as property 67 (exposed for the tests).
    static void toProperty(uint32_t state, double percentage, uint8_t out[2]);

private:
    struct Bus;
    struct Device
    {
        std::string nativePath;
        uint8_t value[2] = {255, 0};
    };
    void run();
    void refresh();
    void readDevice(const std::string &path);
    void publish(bool announce);

    Outbox &m_outbox;
    JobThread m_jobs;
    std::unique_ptr<Bus> m_bus;              // the thread's only
    std::map<std::string, Device> m_devices; // the thread's only: mice by object path
    mutable std::mutex m_mutex;
    std::map<std::string, Device> m_published; // guarded by m_mutex
};

} // namespace kelv::dc
