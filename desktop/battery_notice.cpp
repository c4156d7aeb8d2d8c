#include "desktop/battery_notice.h"

#include "common/ui_texts.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QLoggingCategory>
#include <QVariantMap>

namespace kelv {

namespace {

Q_LOGGING_CATEGORY(lcNotice, "kelv.battery.notice")

} // namespace

QString batteryToolTip(const QList<BatteryLine> &lines)
{
    QStringList text{QStringLiteral("kelv")};
    for (const BatteryLine &line : lines) {
        const char *form = line.state == 2   ? "%1: %2% (charging)"
                           : line.state == 3 ? "%1: %2% (charged)"
                                             : "%1: %2%";
        text << uiText(QString::fromLatin1(form)).arg(line.name).arg(line.level);
    }
    return text.join(QLatin1Char('\n'));
}

BatteryNotifier::BatteryNotifier(QObject *parent) : QObject(parent) {}

void BatteryNotifier::notifyLow(const QString &name, int level)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(1));
    hints.insert(QStringLiteral("category"), QStringLiteral("device"));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("kelv"));
    call << QStringLiteral("kelv") << 0u << QStringLiteral("kelv")
         << uiText(QStringLiteral("Mouse battery low"))
         << uiText(QStringLiteral("%1 has %2% battery left. Charge it soon.")).arg(name).arg(level)
         << QStringList() << hints << -1;
    auto *watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher] {
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError())
            qCWarning(lcNotice).noquote()
                << "no desktop notification for the low battery:" << reply.error().message();
        watcher->deleteLater();
    });
}

} // namespace kelv
