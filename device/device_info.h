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
    // ratbagd mice: the daemon's name and model text (empty for the simulated mouse).
    QString Name;
    QString Model;
};

// Ordered by DeviceID (case-sensitive UTF-16 comparison).
using DeviceTable = QMap<QString, DeviceInfo>;

} // namespace kelv
