#pragma once

// What the user sees of the mice's batteries outside the page: the lines of the tray's
// tooltip, and the desktop notification (org.freedesktop.Notifications on the session bus)
// when a mouse's battery runs low. Native: no page is needed for either.

#include <QList>
#include <QObject>
#include <QString>

namespace kelv {

struct BatteryLine
{
    QString name;
    int level = 0; // percent
    int state = 0; // 1 discharging, 2 charging, 3 full (property 67)
};

// "kelv" and one line per mouse, in the program's language.
QString batteryToolTip(const QList<BatteryLine> &lines);

class BatteryNotifier final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BatteryNotifier)

public:
    explicit BatteryNotifier(QObject *parent = nullptr);

    // Sends the notification without waiting for an answer (no notification service: the log
    // says so, nothing else happens).
    void notifyLow(const QString &name, int level);
};

} // namespace kelv
