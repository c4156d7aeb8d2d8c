#pragma once

// The device manager. Outline of the interface the rest of the program uses;
// the device work fills in the details (entry table, callbacks, list block).

#include "device/device_info.h"

#include <QObject>

namespace kelv {

class devices_handler final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(devices_handler)

public:
    // Loads libdc from the application folder and registers the event callback.
    explicit devices_handler(QObject *parent = nullptr);
    ~devices_handler() override;

    // The last listing keyed by DeviceID (first entry: the device the update
    // check reports and the firmware update addresses).
    const DeviceTable &deviceTable() const;
    void refreshDevices();

signals:
    // Emitted on the main thread: an acted-on device event (low 16 bits) and
    // the first device's data as 16 lowercase hex digits.
    void devicesChanged(int value);
    void deviceData(const QString &hex);
};

} // namespace kelv
