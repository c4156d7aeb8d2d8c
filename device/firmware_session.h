#pragma once

// The device library's ROM operations as the firmware update uses them. The device manager
// hands out one session at a time (devices_handler::openFirmwareSession); while it is open
// the manager reports a flash in progress. A session outlives its manager safely: once the
// manager is gone every call fails.

#include <QByteArray>
#include <QString>

namespace kelv {

class FirmwareSession
{
public:
    virtual ~FirmwareSession() = default;

    // True when a device with this hardware ID is present (dcDeviceExist answers 0).
    virtual bool present(const QString &id) = 0;
    // Restarts the device into its boot loader (dcReset with the value 1).
    virtual bool reset(const QString &id) = 0;
    virtual bool erase(const QString &id) = 0;
    // Writes one chunk (at most 2000 bytes, sent in a zeroed 2048-byte buffer) at offset.
    virtual bool writeChunk(const QString &id, const QByteArray &chunk, quint32 offset) = 0;
    // Compares the ROM's first length bytes with the image's check value.
    virtual bool check(const QString &id, quint32 length, quint32 checkValue) = 0;
    // Leaves the boot loader for the new firmware.
    virtual bool finish(const QString &id) = 0;
};

} // namespace kelv
