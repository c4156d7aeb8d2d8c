#pragma once

// The batteries of the connected mice, for the tray and the low-battery warning: property 67
// (level 0-100 or 255 unknown, state 0 unknown, 1 discharging, 2 charging, 3 full) of every
// listed device, read again when a device arrives or leaves and when a battery changes
// (device event 4). No timer: the sources announce their changes (doc/device-map.md), so the
// program costs no wake-up of its own while it rests in the tray.
//
// The reads run on the device manager's worker thread (a daemon's mouse may wait), never on
// the GUI thread; the results come back to it.

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

namespace kelv {

class devices_handler;

struct BatteryEntry
{
    QString id;   // hardware ID
    QString name; // for people
    int level = 255;
    int state = 0;
    bool operator==(const BatteryEntry &o) const
    {
        return id == o.id && name == o.name && level == o.level && state == o.state;
    }
};

class BatteryWatch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BatteryWatch)

public:
    enum State { Unknown = 0, Discharging = 1, Charging = 2, Full = 3 };
    static constexpr int kDefaultThreshold = 15;

    // threshold: the percent below which a mouse is warned about (0: never), asked each time.
    BatteryWatch(devices_handler &devices, std::function<int()> threshold,
                 QObject *parent = nullptr);

    // Reads every listed device's battery again.
    void refresh();
    // The mice with a battery of a known level, in the listing's order.
    const QList<BatteryEntry> &entries() const { return m_entries; }

    // The "batteryWarning" setting as a threshold: 0 to 100, the default when it is missing or
    // not a number.
    static int thresholdFromSetting(const QString &value);
    // Property 67's two bytes as an entry's level and state; false for no battery.
    static bool fromProperty(const QByteArray &bytes, int *level, int *state);

signals:
    void changed();
    // A mouse fell below the threshold (or was below it when first seen); once until it has
    // been charged.
    void low(const QString &name, int level);

private:
    void take(const QList<BatteryEntry> &found);

    devices_handler &m_devices;
    std::function<int()> m_threshold;
    QList<BatteryEntry> m_entries;
    QHash<QString, bool> m_warned; // hardware IDs warned about and not charged since
    bool m_reading = false;
    bool m_again = false;
};

} // namespace kelv
