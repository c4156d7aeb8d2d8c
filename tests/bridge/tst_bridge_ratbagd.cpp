// The page's device commands for a ratbagd mouse, through the dispatcher and the device
// manager over libdc and the real daemon (ratbagd.devel on a private bus): the same reply
// texts as for the simulated mouse, answered from the manager's worker in the order they
// came while the GUI thread goes on, a bound program's mode written into the mouse, the
// daemon's own changes reaching the page as data reports, and a daemon slow to answer while
// kelv starts.

#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "device/devices_handler.h"
#include "libdc/libdc.h"
#include "tests/libdc/sim_fixture.h"
#include "tests/testsupport/ratbag_daemon.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <atomic>
#include <memory>

using namespace kelv;
using namespace kelv::test;

namespace {

const QByteArray kMouse = R"({"profiles":[
 {"is_active":true,"rate":1000,"report_rates":[125,250,500,1000],
  "resolutions":[{"xres":400,"yres":400,"dpi_min":100,"dpi_max":6400,"is_active":true},
                 {"xres":800,"yres":800},{"xres":1600,"yres":1600}],
  "buttons":[{"action_type":"button","button":1},{"action_type":"button","button":2},
             {"action_type":"button","button":3},{"action_type":"special","special":"resolution-up"}],
  "leds":[{"type":1,"mode":1,"color":[255,0,0],"brightness":100,"duration":1000}]}]})";

// The order answers arrive in, across all callbacks of a test.
std::atomic<int> g_answers{0};

// Remembers its answer, on which thread it came and as which one.
class Answer final : public QueryCallback
{
public:
    static QSharedPointer<Answer> create() { return QSharedPointer<Answer>::create(); }

    bool done() const
    {
        QMutexLocker lock(&m_mutex);
        return m_done;
    }
    QString text() const
    {
        QMutexLocker lock(&m_mutex);
        return (m_ok ? QStringLiteral("success: ") : QStringLiteral("failure: ")) + m_text;
    }
    bool onGuiThread() const
    {
        QMutexLocker lock(&m_mutex);
        return m_thread == QCoreApplication::instance()->thread();
    }
    int order() const
    {
        QMutexLocker lock(&m_mutex);
        return m_order;
    }

protected:
    void deliver(bool ok, int, const QString &text) override
    {
        QMutexLocker lock(&m_mutex);
        m_done = true;
        m_ok = ok;
        m_text = text;
        m_thread = QThread::currentThread();
        m_order = ++g_answers;
    }

private:
    mutable QMutex m_mutex;
    bool m_done = false;
    bool m_ok = false;
    QString m_text;
    QThread *m_thread = nullptr;
    int m_order = 0;
};

QByteArray bytesOf(const QString &list)
{
    QByteArray out;
    for (const QString &item : list.split(QLatin1Char(','), Qt::SkipEmptyParts))
        out.append(char(item.toUInt(nullptr, 16)));
    return out;
}

} // namespace

class TestBridgeRatbagd : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<SimFolder> m_sim;
    std::unique_ptr<RatbagDaemon> m_daemon;
    std::unique_ptr<devices_handler> m_devices;
    Dispatcher m_dispatcher;
    QString m_id;     // the ratbagd mouse's HardwareID
    QString m_device; // its object path

    QSharedPointer<Answer> send(const QString &name, const QString &members)
    {
        const QString json =
            QStringLiteral(R"({"funcname":"%1"%2})")
                .arg(name, members.isEmpty() ? QString() : QLatin1Char(',') + members);
        const Members m = QJsonDocument::fromJson(json.toUtf8()).object().toVariantMap();
        auto answer = Answer::create();
        m_dispatcher.dispatch(name, m, answer);
        return answer;
    }

    // A command for the ratbagd mouse, waited for.
    QString ask(const QString &name, const QString &members)
    {
        const auto answer = send(name, deviceMembers(m_id) + members);
        if (!QTest::qWaitFor([&] { return answer->done(); }, 10000))
            return QStringLiteral("(no reply)");
        return answer->text();
    }

    static QString deviceMembers(const QString &id)
    {
        QString escaped = id;
        escaped.replace(QLatin1String("\\"), QLatin1String("\\\\"));
        return QStringLiteral(R"("HardwareID":"%1","DevicePath":"")").arg(escaped);
    }

    QString readProp(int id, int size)
    {
        return ask(QStringLiteral("readDevicesProp"),
                   QStringLiteral(R"(,"PARAMSIZE":%1,"PARAMID":%2)").arg(size).arg(id));
    }

    QString writeProp(int id, const QByteArray &bytes)
    {
        QStringList items;
        for (const char b : bytes)
            items << QStringLiteral("0x%1").arg(quint8(b), 2, 16, QLatin1Char('0'));
        return ask(QStringLiteral("writeDevicesProp"),
                   QStringLiteral(R"(,"PARAMSIZE":%1,"PARAMID":%2,"PARAMDATA":"%3")")
                       .arg(bytes.size())
                       .arg(id)
                       .arg(items.join(QLatin1Char(','))));
    }

    QJsonObject jsonProp(const QString &id, int prop, int size)
    {
        const auto answer =
            send(QStringLiteral("readDevicesProp"),
                 deviceMembers(id) +
                     QStringLiteral(R"(,"PARAMSIZE":%1,"PARAMID":%2)").arg(size).arg(prop));
        if (!QTest::qWaitFor([&] { return answer->done(); }, 10000))
            return QJsonObject();
        const QByteArray raw = bytesOf(answer->text().mid(int(qstrlen("success: "))));
        return QJsonDocument::fromJson(raw.left(raw.indexOf('\0'))).object();
    }

    // The state of the service, read as the page reads it.
    QString serviceState()
    {
        return jsonProp(QStringLiteral("RATBAG\\"), DC_PROP_SERVICE_STATE, 512)
            .value("state")
            .toString();
    }

    QJsonArray devicesList()
    {
        const auto answer = send(QStringLiteral("getDevicesList"), QString());
        return QJsonDocument::fromJson(answer->text().mid(int(qstrlen("success: "))).toUtf8())
            .array();
    }

    QStringList objects(const char *kind)
    {
        const QString profile = m_daemon->paths(m_device, "Device", "Profiles").value(0);
        return m_daemon->paths(profile, "Profile", QLatin1String(kind));
    }

private slots:
    void initTestCase()
    {
        if (const QString why = RatbagDaemon::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        m_sim = std::make_unique<SimFolder>();
        m_daemon = std::make_unique<RatbagDaemon>();
        QVERIFY(m_daemon->start());
        m_device = m_daemon->load(kMouse);
        QVERIFY(!m_device.isEmpty());
        // kelv starts while the daemon does not answer yet (busy at login): the page reads
        // the service state before kelv could find it, and is told when it is found.
        m_daemon->pause();
        m_devices = std::make_unique<devices_handler>(libdcFile(), nullptr);
        QSignalSpy changed(m_devices.get(), &devices_handler::devicesChanged);
        registerDeviceCommands(m_dispatcher, m_devices.get());
        const QString early = serviceState();
        // Its first look gives up after a second; still nothing the page takes for a problem
        // (it said "nobus": the page told the user the computer had no system bus).
        QTest::qWait(1500);
        const QString unanswered = serviceState();
        m_daemon->resume();
        QCOMPARE(early, QStringLiteral("looking"));
        QCOMPARE(unanswered, QStringLiteral("looking"));
        QTRY_VERIFY(devicesList().size() == 2);
        QTRY_VERIFY(changed.contains(QVariantList{3}));
        QCOMPARE(serviceState(), QStringLiteral("running"));
        m_id = devicesList().at(1).toObject().value("HardwareID").toString();
        QVERIFY(m_id.startsWith(QLatin1String("RATBAG\\")));
    }

    void cleanupTestCase()
    {
        m_devices.reset();
        m_daemon.reset();
        m_sim.reset();
    }

    void theListShowsTheDaemonsNameAndModel()
    {
        const QJsonArray list = devicesList();
        const QJsonObject sim = list.at(0).toObject();
        const QJsonObject mouse = list.at(1).toObject();
        QCOMPARE(sim.value("productName").toString(), QString());
        QCOMPARE(sim.value("description").toString(), QString());
        QCOMPARE(mouse.value("productName").toString(), QStringLiteral("Test device"));
        QCOMPARE(mouse.value("description").toString(), QStringLiteral("unknown"));
        QCOMPARE(mouse.value("MASK").toString(), QStringLiteral("01"));
        // The daemon's object name stands in SN; it is no serial number people could read.
        QVERIFY(!mouse.value("SN").toString().isEmpty());
        QCOMPARE(mouse.value("serial"), QJsonValue(QString()));
        QVERIFY(sim.value("serial").toString().startsWith(QStringLiteral("KM1")));
        QCOMPARE(mouse.keys().size(), 13);
        QCOMPARE(serviceState(), QStringLiteral("running"));
        QCOMPARE(jsonProp(m_id, DC_PROP_DESCRIPTION, 2048)
                     .value("buttons")
                     .toObject()
                     .value("count")
                     .toInt(),
                 4);
    }

    void theReplyTextsAreTheSimulatedMousesOnes()
    {
        QCOMPARE(readProp(3, 6), QStringLiteral("success: 0x90,0x01,0x20,0x03,0x40,0x06"));
        QCOMPARE(writeProp(3, QByteArray::fromHex("f401")),
                 QStringLiteral("success: writeDevicesProp success!"));
        QCOMPARE(m_daemon->property(objects("Resolutions").value(0), "Resolution", "Resolution")
                     .toObject()
                     .value("data")
                     .toInt(),
                 500);
        // 1050 DPI is not in the daemon's list (steps of 100 above 1000).
        QCOMPARE(writeProp(3, QByteArray::fromHex("1a04")),
                 QStringLiteral("failure: writeDevicesProp failed!"));
        QCOMPARE(readProp(DC_PROP_LAST_RESULT, 1), QStringLiteral("success: 0x08"));
        QCOMPARE(ask(QStringLiteral("notifyDevice"),
                     QStringLiteral(R"(,"NotifyType":1,"NotifyData":2)")),
                 QStringLiteral("success: notifyDevice success!"));
        QCOMPARE(
            m_daemon->property(objects("Resolutions").value(2), "Resolution", "IsActive").toBool(),
            true);
        QCOMPARE(ask(QStringLiteral("notifyDevice"),
                     QStringLiteral(R"(,"NotifyType":2,"NotifyData":0)")),
                 QStringLiteral("failure: notifyDevice failed!"));
        QCOMPARE(ask(QStringLiteral("isPropEmpty"),
                     QStringLiteral(R"(,"PARAMSIZE":16,"PARAMADDRESS":"1000")")),
                 QStringLiteral("success: true"));
        QCOMPARE(ask(QStringLiteral("writeMacroByAddr"),
                     QStringLiteral(
                         R"(,"PARAMSIZE":3,"PARAMADDRESS":"1000","PARAMDATA":"0x4d,0x00,0x00")")),
                 QStringLiteral("success: true"));
        QCOMPARE(ask(QStringLiteral("writeMacroByAddr"),
                     QStringLiteral(
                         R"(,"PARAMSIZE":3,"PARAMADDRESS":"1000","PARAMDATA":"0x4d,0x00,0x00")")),
                 QStringLiteral("success: 1000"));
        QCOMPARE(ask(QStringLiteral("cleanMacroByAddr"),
                     QStringLiteral(R"(,"PARAMSIZE":2048,"PARAMADDRESS":"1000")")),
                 QStringLiteral("success: cleanMacroByAddr success!"));
        QCOMPARE(ask(QStringLiteral("readByAddr"),
                     QStringLiteral(R"(,"PARAMSIZE":2,"PARAMADDRESS":"1000")")),
                 QStringLiteral("success: 0x00,0x00"));
    }

    // The daemon stopped: the commands wait on the worker, in order, while the GUI thread
    // (this one) goes on; the simulated mouse still answers at once.
    void theGuiThreadNeverWaitsForTheDaemon()
    {
        m_daemon->pause();
        const QStringList data = {"0x02", "0x01", "0x00"};
        QList<QSharedPointer<Answer>> answers;
        for (int i = 0; i < 3; ++i)
            answers << send(
                QStringLiteral("writeDevicesProp"),
                deviceMembers(m_id) +
                    QStringLiteral(R"(,"PARAMSIZE":1,"PARAMID":2,"PARAMDATA":"%1")").arg(data[i]));
        answers << send(QStringLiteral("readDevicesProp"),
                        deviceMembers(m_id) + QStringLiteral(R"(,"PARAMSIZE":1,"PARAMID":1)"));
        // Nothing can have been answered: the daemon does not run.
        for (const auto &a : answers)
            QVERIFY(!a->done());
        const auto sim = send(QStringLiteral("readDevicesProp"),
                              deviceMembers(QStringLiteral("HID\\Vid_0aa0&Pid_5e30")) +
                                  QStringLiteral(R"(,"PARAMSIZE":1,"PARAMID":1)"));
        QVERIFY(sim->done());
        QVERIFY(sim->onGuiThread());
        QCOMPARE(devicesList().size(), 2);
        QVERIFY(QTest::qWaitFor([&] { return answers.last()->done(); }, 20000));
        m_daemon->resume();
        for (int i = 0; i < answers.size(); ++i) {
            QVERIFY(!answers[i]->onGuiThread());
            if (i > 0)
                QCOMPARE(answers[i]->order(), answers[i - 1]->order() + 1);
        }
        QCOMPARE(answers[0]->text(), QStringLiteral("failure: writeDevicesProp failed!"));
        QCOMPARE(answers[3]->text(), QStringLiteral("success: 0x00")); // no answer: zero bytes
        QCOMPARE(readProp(DC_PROP_LAST_RESULT, 1), QStringLiteral("success: 0x04"));
        // Answered again once the daemon runs.
        QCOMPARE(readProp(1, 1), QStringLiteral("success: 0x03"));
    }

    // What the page writes when a bound program starts (its mode's properties one after the
    // other) and when it ends (the previous mode's), into the mouse's active profile.
    void aBoundProgramsModeIsWrittenAndTakenBack()
    {
        const QList<QPair<int, QByteArray>> home = {
            {3, QByteArray::fromHex("900120034006")}, {2, QByteArray::fromHex("00")},
            {5, QByteArray::fromHex("04")},           {7, QByteArray::fromHex("0101000001020000")},
            {8, QByteArray::fromHex("01ff00006405")},
        };
        const QList<QPair<int, QByteArray>> gaming = {
            {3, QByteArray::fromHex("200340060807")}, {2, QByteArray::fromHex("02")},
            {5, QByteArray::fromHex("02")},           {7, QByteArray::fromHex("0102000001010000")},
            {8, QByteArray::fromHex("020000ff3203")},
        };
        auto apply = [&](const QList<QPair<int, QByteArray>> &mode) {
            for (const auto &[id, bytes] : mode) {
                if (writeProp(id, bytes) != QStringLiteral("success: writeDevicesProp success!"))
                    return false;
            }
            return true;
        };
        auto holds = [&](int dpi0, int active, int rate, int firstButton, int ledMode) {
            const QStringList res = objects("Resolutions");
            const QString profile = m_daemon->paths(m_device, "Device", "Profiles").value(0);
            return m_daemon->property(res.value(0), "Resolution", "Resolution")
                           .toObject()
                           .value("data")
                           .toInt() == dpi0 &&
                   m_daemon->property(res.value(active), "Resolution", "IsActive").toBool() &&
                   m_daemon->property(profile, "Profile", "ReportRate").toInt() == rate &&
                   m_daemon->property(objects("Buttons").value(0), "Button", "Mapping")
                           .toArray()
                           .at(1)
                           .toObject()
                           .value("data")
                           .toInt() == firstButton &&
                   m_daemon->property(objects("Leds").value(0), "Led", "Mode").toInt() == ledMode;
        };
        QVERIFY(apply(home));
        QVERIFY(holds(400, 0, 1000, 1, 1));
        QVERIFY(apply(gaming)); // the program started
        QVERIFY(holds(800, 2, 250, 2, 3));
        QVERIFY(apply(home)); // the program ended
        QVERIFY(holds(400, 0, 1000, 1, 1));
    }

    // Changes made by others reach the page: the active stage, and a Resync.
    void theDaemonsOwnChangesReachThePage()
    {
        QSignalSpy data(m_devices.get(), &devices_handler::deviceData);
        // The earlier tests' own writes may still be reported (a loaded
        // machine): the event each change makes is looked for among them.
        const auto arrives = [&data](const QString &event) {
            return QTest::qWaitFor([&] {
                while (!data.isEmpty()) {
                    if (data.takeFirst().at(0).toString() == event)
                        return true;
                }
                return false;
            });
        };
        const int tag = jsonProp(m_id, DC_PROP_DESCRIPTION, 2048).value("tag").toInt();
        const QString tagHex = QStringLiteral("%1").arg(tag, 2, 16, QLatin1Char('0'));
        QVERIFY(m_daemon->call(objects("Resolutions").value(1), "Resolution", "SetActive"));
        QVERIFY(arrives(QStringLiteral("01012003000000") + tagHex));
        // A macro event the daemon cannot take: it resyncs, and the page hears of it.
        QVERIFY(m_daemon->setProperty(objects("Buttons").value(3), "Button", "Mapping",
                                      {"(uv)", "4", "a(uu)", "1", "9", "5"}));
        QVERIFY(arrives(QStringLiteral("05010000000000") + tagHex));
    }

    // Another process holding the simulated mouse (a tool stopped half way) makes only that
    // mouse busy: the daemon's mouse stays listed, in the device table too, and answers.
    void theDaemonsMouseStaysListedWhileTheSimulatedOneIsBusy()
    {
        StoppedDcsim stopped;
        QVERIFY(stopped.isStopped());
        const QJsonArray list = devicesList();
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.at(0).toObject().value("HardwareID").toString(), m_id);
        m_devices->refreshDevices();
        QCOMPARE(m_devices->deviceTable().size(), 1);
        QCOMPARE(m_devices->deviceTable().first().HardwareID, m_id);
        QCOMPARE(readProp(1, 1), QStringLiteral("success: 0x03"));
        stopped.kill();
        QCOMPARE(devicesList().size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestBridgeRatbagd)
#include "tst_bridge_ratbagd.moc"
