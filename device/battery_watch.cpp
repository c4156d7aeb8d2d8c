#include "device/battery_watch.h"

#include "device/devices_handler.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QPointer>

namespace kelv {

namespace {

Q_LOGGING_CATEGORY(lcBattery, "kelv.battery")

constexpr quint32 kBatteryProperty = 67;

} // namespace

BatteryWatch::BatteryWatch(devices_handler &devices, std::function<int()> threshold,
                           QObject *parent)
    : QObject(parent), m_devices(devices), m_threshold(std::move(threshold))
{
    // Arrivals, removals and battery changes; the service state (3) changes no battery.
    connect(&m_devices, &devices_handler::devicesChanged, this, [this](int value) {
        if (value == 1 || value == 2 || value == 4)
            refresh();
    });
}

int BatteryWatch::thresholdFromSetting(const QString &value)
{
    bool ok = false;
    const int n = value.trimmed().toInt(&ok);
    return ok ? qBound(0, n, 100) : kDefaultThreshold;
}

bool BatteryWatch::fromProperty(const QByteArray &bytes, int *level, int *state)
{
    if (bytes.size() < 2)
        return false;
    *level = quint8(bytes.at(0));
    *state = quint8(bytes.at(1));
    // A failed read leaves zeros, which no battery reports (0 % is charging, or unknown).
    if ((*level == 0 && *state == Unknown) || (*level > 100 && *level != 255) || *state > Full)
        return false;
    return true;
}

void BatteryWatch::refresh()
{
    if (m_reading) {
        m_again = true;
        return;
    }
    m_reading = true;
    const QList<DeviceInfo> devices = m_devices.listedDevices();
    QPointer<BatteryWatch> self(this);
    devices_handler *handler = &m_devices;
    m_devices.post([devices, self, handler] {
        QList<BatteryEntry> found;
        for (const DeviceInfo &d : devices) {
            BatteryEntry e;
            if (!fromProperty(handler->readProp(d.HardwareID, 2, kBatteryProperty), &e.level,
                              &e.state))
                continue;
            e.id = d.HardwareID;
            e.name = d.Name.isEmpty() ? d.DeviceID : d.Name;
            found << e;
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, found] {
                if (self)
                    self->take(found);
            },
            Qt::QueuedConnection);
    });
}

void BatteryWatch::take(const QList<BatteryEntry> &found)
{
    m_reading = false;
    const int threshold = m_threshold ? m_threshold() : kDefaultThreshold;
    for (const BatteryEntry &e : found) {
        // Charged (or charging): the next fall below the threshold is worth a warning again.
        if (e.state == Charging || e.state == Full)
            m_warned.remove(e.id);
        const bool below =
            e.level != 255 && e.level < threshold && e.state != Charging && e.state != Full;
        if (below && !m_warned.contains(e.id)) {
            m_warned.insert(e.id, true);
            qCInfo(lcBattery).noquote() << e.name << "battery low:" << e.level << "%";
            emit low(e.name, e.level);
        }
    }
    QList<BatteryEntry> known;
    for (const BatteryEntry &e : found) {
        if (e.level != 255)
            known << e;
    }
    if (known != m_entries) {
        m_entries = known;
        emit changed();
    }
    if (m_again) {
        m_again = false;
        refresh();
    }
}

} // namespace kelv
