// The low-battery warning and the tray's lines, natively: the battery watch over the real
// device library, a wireless mouse of OpenRazer's real daemon (fake device files) and
// python3-dbusmock's notification_daemon template, both on one private session bus.

#include "common/ui_texts.h"
#include "desktop/battery_notice.h"
#include "device/battery_watch.h"
#include "device/devices_handler.h"
#include "tests/libdc/sim_fixture.h"
#include "tests/testsupport/dbus_mock.h"
#include "tests/testsupport/razer_daemon.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <memory>

using namespace kelv;
using namespace kelv::test;

class TestBatteryNotice : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<SimFolder> m_sim;
    std::unique_ptr<RazerDaemon> m_daemon;
    std::unique_ptr<DBusMock> m_notifications;
    std::unique_ptr<devices_handler> m_devices;
    std::unique_ptr<BatteryWatch> m_watch;
    std::unique_ptr<BatteryNotifier> m_notifier;
    QString m_mouse, m_second;
    int m_threshold = 15;

    // The notifications the desktop was asked for: [summary, body] each.
    QList<QStringList> notified()
    {
        QList<QStringList> out;
        for (const QJsonValue &call : m_notifications->calls("org.freedesktop.Notifications",
                                                             "/org/freedesktop/Notifications")) {
            const QJsonArray c = call.toArray();
            if (c.at(1).toString() != QLatin1String("Notify"))
                continue;
            const QJsonArray args = c.at(2).toArray();
            out << QStringList{args.at(3).toObject().value("data").toString(),
                               args.at(4).toObject().value("data").toString()};
        }
        return out;
    }
    // Charge as the driver's file holds it (0-255).
    void charge(const QString &mouse, int level255, bool charging)
    {
        m_daemon->setFile(mouse, "charge_level", QByteArray::number(level255));
        m_daemon->setFile(mouse, "charge_status", charging ? "1" : "0");
    }

private slots:
    void initTestCase()
    {
        if (const QString why = RazerDaemon::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        if (const QString why = DBusMock::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        qputenv("KELV_BATTERY_POLL_SECONDS", "1");
        m_sim = std::make_unique<SimFolder>();
        m_daemon = std::make_unique<RazerDaemon>();
        QVERIFY(m_daemon->busRunning());
        m_notifications =
            std::make_unique<DBusMock>(DBusMock::Kind::Session, m_daemon->busAddress());
        QVERIFY(
            m_notifications->startTemplate("notification_daemon", "org.freedesktop.Notifications"));
        // Already low when kelv starts: 26/255 is 10 %.
        m_mouse = m_daemon->addMouse(RazerDaemon::Model::ViperUltimateWireless, "PM1947H0000001A",
                                     1, "1-3");
        m_second = m_daemon->addMouse(RazerDaemon::Model::ViperUltimateWireless, "PM1947H0000002B",
                                      2, "1-4");
        charge(m_mouse, 26, false);
        charge(m_second, 200, false);
        QVERIFY(m_daemon->start(2));
        m_devices = std::make_unique<devices_handler>(libdcFile(), nullptr);
        QVERIFY(m_devices->isLoaded());
        m_devices->refreshDevices();
        m_watch = std::make_unique<BatteryWatch>(*m_devices, [this] { return m_threshold; });
        m_notifier = std::make_unique<BatteryNotifier>();
        connect(m_watch.get(), &BatteryWatch::low, m_notifier.get(), &BatteryNotifier::notifyLow);
        m_watch->refresh();
    }

    void cleanupTestCase()
    {
        m_watch.reset();
        m_devices.reset();
        m_notifier.reset();
        m_notifications.reset();
        m_daemon.reset();
        m_sim.reset();
        qunsetenv("KELV_BATTERY_POLL_SECONDS");
    }

    // Below the threshold when kelv starts: one notification within a few seconds; the other
    // mouse is fine; both are in the tray's lines.
    void warnsOnceWhenAlreadyLow()
    {
        QTRY_COMPARE_WITH_TIMEOUT(notified().size(), 1, 8000);
        QCOMPARE(notified().first().at(0), QStringLiteral("Mouse battery low"));
        QCOMPARE(notified().first().at(1),
                 QStringLiteral(
                     "Razer Viper Ultimate (Wireless) has 10% battery left. Charge it soon."));
        QTRY_COMPARE(m_watch->entries().size(), 2);
        QList<BatteryLine> lines;
        for (const BatteryEntry &e : m_watch->entries())
            lines << BatteryLine{e.name, e.level, e.state};
        QCOMPARE(batteryToolTip(lines),
                 QStringLiteral("kelv\nRazer Viper Ultimate (Wireless): 10%\n"
                                "Razer Viper Ultimate (Wireless): 78%"));
        // Lower still, not charged since: no second warning.
        charge(m_mouse, 13, false);
        QTRY_COMPARE_WITH_TIMEOUT(m_watch->entries().first().level, 5, 5000);
        QTest::qWait(1500);
        QCOMPARE(notified().size(), 1);
    }

    // Charged, then below the threshold again: warned again. A level nobody knows (asleep)
    // warns of nothing and leaves the tray.
    void warnsAgainAfterCharging()
    {
        charge(m_mouse, 100, true);
        QTRY_COMPARE_WITH_TIMEOUT(m_watch->entries().first().state, 2, 5000);
        charge(m_second, 0, false); // asleep: unknown
        QTRY_COMPARE_WITH_TIMEOUT(m_watch->entries().size(), 1, 5000);
        QTest::qWait(1500);
        QCOMPARE(notified().size(), 1);
        charge(m_mouse, 30, false); // 12 %
        QTRY_COMPARE_WITH_TIMEOUT(notified().size(), 2, 5000);
        QVERIFY(notified().last().at(1).contains(QLatin1String("12%")));
    }

    // No warning with the threshold at 0 ("never"), or above it.
    void thresholdDecides()
    {
        charge(m_mouse, 255, true);
        QTRY_COMPARE_WITH_TIMEOUT(m_watch->entries().first().state, 3, 5000);
        m_threshold = 0;
        charge(m_mouse, 5, false);
        QTRY_COMPARE_WITH_TIMEOUT(m_watch->entries().first().level, 2, 5000);
        QTest::qWait(1500);
        QCOMPARE(notified().size(), 2);
        m_threshold = 15;
        QCOMPARE(BatteryWatch::thresholdFromSetting(""), 15);
        QCOMPARE(BatteryWatch::thresholdFromSetting("x"), 15);
        QCOMPARE(BatteryWatch::thresholdFromSetting("250"), 100);
        QCOMPARE(BatteryWatch::thresholdFromSetting(" 20 "), 20);
    }

    // The tray's lines in another language.
    void toolTipInGerman()
    {
        setUiLanguage(UiLanguage::German);
        QCOMPARE(batteryToolTip({{"Maus", 40, 2}, {"Andere", 100, 3}}),
                 QStringLiteral("kelv\nMaus: 40 % (lädt)\nAndere: 100 % (geladen)"));
        setUiLanguage(UiLanguage::English);
    }
};

QTEST_GUILESS_MAIN(TestBatteryNotice)
#include "tst_battery_notice.moc"
