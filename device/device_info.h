#pragma once

#include <QMap>
#include <QString>

namespace kelv {

// One device record of the device list, as the rest of the program sees it.
struct DeviceInfo
{
    QString DeviceID;
    QString SN;
    QString Version;
    QString HardwareID;
    QString DevicePath;
    QString MASK;
    // Mice of a daemon: the daemon's name and model text (empty for the simulated mouse).
    QString Name;
    QString Model;
    // What the library says about calling the device (DC_FLAG_... of libdc/libdc.h).
    quint8 Flags = 0;
};

// Ordered by DeviceID (case-sensitive UTF-16 comparison).
using DeviceTable = QMap<QString, DeviceInfo>;

} // namespace kelv
