// The nine device commands through the dispatcher, over the real libdc simulator (and over
// no library, and a library missing most entry points).

#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "device/devices_handler.h"
#include "tests/libdc/sim_fixture.h"
#include "tests/testsupport/recording_callback.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>
#include <memory>

using namespace kelv;
using namespace kelv::test;

namespace {

const char kMouse[] = R"("HardwareID":"HID\\Vid_0aa0&Pid_5e30","DevicePath":"")";

struct Reply
{
    bool answered = false;
    bool ok = false;
    QString text;
    int count = 0;
};

Reply run(const Dispatcher &dispatcher, const QString &json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8());
    if (!document.isObject())
        qFatal("bad test request: %s", qPrintable(json));
    const Members members = document.object().toVariantMap();
    const auto callback = RecordingCallback::create();
    dispatcher.dispatch(members.value(QStringLiteral("funcname")).toString(), members, callback);
    return {callback->answered(), callback->ok(), callback->text(), callback->answerCount()};
}

// A request on the simulated mouse: {"funcname":name, HardwareID, DevicePath, rest}.
QString request(const char *name, const QString &rest)
{
    return QStringLiteral(R"({"funcname":"%1",%2%3})")
        .arg(QLatin1String(name), QLatin1String(kMouse),
             rest.isEmpty() ? QString() : QLatin1Char(',') + rest);
}

QString zeros(int n)
{
    QStringList items;
    for (int i = 0; i < n; ++i)
        items << QStringLiteral("0x00");
    return items.join(QLatin1Char(','));
}

} // namespace

class TestDeviceCommands : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<SimFolder> m_sim;
    std::unique_ptr<devices_handler> m_devices;
    Dispatcher m_dispatcher;

    Reply call(const char *name, const QString &rest)
    {
        return run(m_dispatcher, request(name, rest));
    }

    QString readMemory(const QString &address, int size)
    {
        return call("readByAddr",
                    QStringLiteral(R"("PARAMSIZE":%1,"PARAMADDRESS":"%2")").arg(size).arg(address))
            .text;
    }

    QString logText() const
    {
        QFile log(m_sim->file(QStringLiteral("dc.log")));
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }

    QString dcsim(const QStringList &args)
    {
        QString out;
        return runDcsim(args, &out) == 0 ? out : QStringLiteral("<failed> ") + out;
    }

private slots:
    void initTestCase()
    {
        m_sim = std::make_unique<SimFolder>();
        m_devices = std::make_unique<devices_handler>(libdcFile(), nullptr);
        QVERIFY(m_devices->isLoaded());
        registerDeviceCommands(m_dispatcher, m_devices.get());
    }

    void init()
    {
        m_sim.reset();
        m_sim = std::make_unique<SimFolder>();
        qunsetenv("PARTIAL_DC_LIST");
    }

    void cleanupTestCase()
    {
        m_devices.reset();
        m_sim.reset();
    }

    void allNineCommandsAreRegistered()
    {
        for (const char *name :
             {"getDevicesList", "readDevicesProp", "writeDevicesProp", "readByAddr", "writeByAddr",
              "notifyDevice", "isPropEmpty", "cleanMacroByAddr", "writeMacroByAddr"})
            QVERIFY2(m_dispatcher.contains(QLatin1String(name)), name);
        QCOMPARE(m_dispatcher.names().size(), 9);
    }

    void deviceListHasThirteenSortedMembers()
    {
        const Reply reply = run(m_dispatcher, QStringLiteral(R"({"funcname":"getDevicesList"})"));
        QVERIFY(reply.ok);
        QVERIFY(!reply.text.contains(QLatin1Char(' ')));
        QVERIFY(!reply.text.contains(QLatin1Char('\n')));
        QStringList keys;
        QRegularExpressionMatchIterator it =
            QRegularExpression(QStringLiteral(R"re("(\w+)":)re")).globalMatch(reply.text);
        while (it.hasNext())
            keys << it.next().captured(1);
        QCOMPARE(keys, (QStringList{"DeviceID", "DevicePath", "HardwareID", "MASK", "SN", "Version",
                                    "description", "device", "productCN", "productName",
                                    "productType", "serial", "timestamp"}));
        const QJsonArray list = QJsonDocument::fromJson(reply.text.toUtf8()).array();
        QCOMPARE(list.size(), 1);
        const QJsonObject mouse = list.at(0).toObject();
        QCOMPARE(mouse.value("DeviceID").toString(), QStringLiteral("KELV-M1"));
        QCOMPARE(mouse.value("HardwareID").toString(), QStringLiteral("HID\\Vid_0aa0&Pid_5e30"));
        QCOMPARE(mouse.value("Version").toString(), QStringLiteral("1.0.0"));
        QCOMPARE(mouse.value("MASK").toString(), QStringLiteral("01"));
        QVERIFY(mouse.value("SN").toString().startsWith(QStringLiteral("KM1")));
        QCOMPARE(mouse.value("serial"), mouse.value("SN"));
        QVERIFY(mouse.value("DevicePath").toString().startsWith(QStringLiteral("\\\\?\\hid#")));
        for (const char *empty :
             {"timestamp", "productType", "productName", "productCN", "description", "device"})
            QCOMPARE(mouse.value(QLatin1String(empty)), QJsonValue(QString()));

        dcsim({QStringLiteral("unplug")});
        QCOMPARE(run(m_dispatcher, QStringLiteral(R"({"funcname":"getDevicesList"})")).text,
                 QStringLiteral("[]"));
    }

    void aStoppedDcsimEndsInTheFailureText()
    {
        // A dcsim stopped half way keeps the mouse's lock: the commands give up after the
        // library's time limit and answer as for a mouse that does not answer.
        StoppedDcsim stopped;
        QVERIFY(stopped.isStopped());
        Reply r = call("writeDevicesProp",
                       QStringLiteral(R"("PARAMSIZE":1,"PARAMID":5,"PARAMDATA":"0x02")"));
        QVERIFY(r.answered && !r.ok);
        QCOMPARE(r.text, QStringLiteral("writeDevicesProp failed!"));
        r = call("writeByAddr",
                 QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"1000","PARAMDATA":"0x4d")"));
        QCOMPARE(r.text, QStringLiteral("writeByAddr failed!"));
        r = call("notifyDevice", QStringLiteral(R"("NotifyType":1,"NotifyData":2)"));
        QCOMPARE(r.text, QStringLiteral("notifyDevice failed!"));
        QCOMPARE(readMemory(QStringLiteral("1000"), 2), zeros(2));
        stopped.kill();
        QVERIFY(call("writeDevicesProp",
                     QStringLiteral(R"("PARAMSIZE":1,"PARAMID":5,"PARAMDATA":"0x02")"))
                    .ok);
        QCOMPARE(call("readDevicesProp", QStringLiteral(R"("PARAMSIZE":1,"PARAMID":5)")).text,
                 QStringLiteral("0x02"));
    }

    void propertiesByNumber()
    {
        // Colours (property 4): bytes 1, 255, 16 come back as 0x01,0xff,0x10.
        Reply r = call("writeDevicesProp",
                       QStringLiteral(R"("PARAMSIZE":3,"PARAMID":4,"PARAMDATA":"1,0xFF,10")"));
        QVERIFY(r.ok);
        QCOMPARE(r.text, QStringLiteral("writeDevicesProp success!"));
        QCOMPARE(call("readDevicesProp", QStringLiteral(R"("PARAMSIZE":3,"PARAMID":4)")).text,
                 QStringLiteral("0x01,0xff,0x10"));
        QCOMPARE(call("readDevicesProp", QStringLiteral(R"("PARAMSIZE":0,"PARAMID":4)")).text,
                 QString());
        QCOMPARE(call("readDevicesProp", QStringLiteral(R"("PARAMSIZE":-7,"PARAMID":4)")).text,
                 QString());
        // A size given as a decimal string reads as that number.
        QCOMPARE(call("readDevicesProp", QStringLiteral(R"("PARAMSIZE":"2","PARAMID":"4")")).text,
                 QStringLiteral("0x01,0xff"));
        // PARAMSIZE 2 with three items: the third is ignored.
        r = call("writeDevicesProp",
                 QStringLiteral(R"("PARAMSIZE":2,"PARAMID":4,"PARAMDATA":"0x02,0xfe,0x33")"));
        QVERIFY(r.ok);
        QCOMPARE(call("readDevicesProp", QStringLiteral(R"("PARAMSIZE":3,"PARAMID":4)")).text,
                 QStringLiteral("0x02,0xfe,0x10"));
        // The read text goes back unchanged as PARAMDATA.
        const QString colours =
            call("readDevicesProp", QStringLiteral(R"("PARAMSIZE":24,"PARAMID":4)")).text;
        QVERIFY(call("writeDevicesProp",
                     QStringLiteral(R"("PARAMSIZE":24,"PARAMID":4,"PARAMDATA":"%1")").arg(colours))
                    .ok);
        // A size above 2048 is bounded: 2048 items, the property's bytes then zeros.
        const QString big =
            call("readDevicesProp", QStringLiteral(R"("PARAMSIZE":5000,"PARAMID":1)")).text;
        QCOMPARE(big.count(QLatin1Char(',')), 2047);
        QVERIFY(big.startsWith(QStringLiteral("0x05,0x00,")));
        // The library refuses: an unknown property reads as zeros, an invalid value fails.
        QCOMPARE(call("readDevicesProp", QStringLiteral(R"("PARAMSIZE":2,"PARAMID":99)")).text,
                 zeros(2));
        r = call("writeDevicesProp",
                 QStringLiteral(R"("PARAMSIZE":1,"PARAMID":5,"PARAMDATA":"0x09")"));
        QVERIFY(r.answered && !r.ok);
        QCOMPARE(r.text, QStringLiteral("writeDevicesProp failed!"));
        QCOMPARE(call("readDevicesProp", QStringLiteral(R"("PARAMSIZE":1,"PARAMID":5)")).text,
                 QStringLiteral("0x04"));
        // Beyond 32 bits a property number names no property: 0x100000001 is not
        // property 1 (the stage count), nor is -0xffffffff.
        r = call("writeDevicesProp",
                 QStringLiteral(R"("PARAMSIZE":1,"PARAMID":4294967297,"PARAMDATA":"3")"));
        QVERIFY(r.answered && !r.ok);
        QCOMPARE(r.text, QStringLiteral("writeDevicesProp failed!"));
        QCOMPARE(
            call("readDevicesProp", QStringLiteral(R"("PARAMSIZE":1,"PARAMID":"4294967297")")).text,
            zeros(1));
        QCOMPARE(
            call("readDevicesProp", QStringLiteral(R"("PARAMSIZE":1,"PARAMID":-4294967295)")).text,
            zeros(1));
        QCOMPARE(call("readDevicesProp", QStringLiteral(R"("PARAMSIZE":1,"PARAMID":1)")).text,
                 QStringLiteral("0x05"));
    }

    void memoryByAddress()
    {
        // 1,,0x1FF with PARAMSIZE 3 writes 01 00 ff; 1A00 and 0x1A00 are the same address.
        Reply r =
            call("writeByAddr",
                 QStringLiteral(R"("PARAMSIZE":3,"PARAMADDRESS":"1A00","PARAMDATA":"1,,0x1FF")"));
        QVERIFY(r.ok);
        QCOMPARE(r.text, QStringLiteral("writeByAddr success!"));
        QCOMPARE(readMemory(QStringLiteral("0x1A00"), 4), QStringLiteral("0x01,0x00,0xff,0x00"));
        QCOMPARE(readMemory(QStringLiteral("1a00"), 1), QStringLiteral("0x01"));
        // A JSON number is read by its digits as hexadecimal: 16 is 0x16.
        r = call("writeByAddr",
                 QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":16,"PARAMDATA":"0x7e")"));
        QVERIFY(r.ok);
        QCOMPARE(readMemory(QStringLiteral("0x16"), 1), QStringLiteral("0x7e"));
        QCOMPARE(readMemory(QStringLiteral("0x10"), 1), QStringLiteral("0x00"));
        QCOMPARE(readMemory(QStringLiteral("0x1000"), 0), QString());
        // Past the end of the memory: the write fails, the read answers zeros.
        r = call("writeByAddr",
                 QStringLiteral(R"("PARAMSIZE":2,"PARAMADDRESS":"ffff","PARAMDATA":"1,2")"));
        QVERIFY(r.answered && !r.ok);
        QCOMPARE(r.text, QStringLiteral("writeByAddr failed!"));
        QCOMPARE(readMemory(QStringLiteral("ffff"), 2), zeros(2));
        // Beyond 32 bits an address stays beyond the memory: 0x100001000 is
        // not the macro memory at 0x1000.
        r = call("writeByAddr", QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"0x100001000",)"
                                               R"("PARAMDATA":"0x55")"));
        QVERIFY(r.answered && !r.ok);
        QCOMPARE(readMemory(QStringLiteral("0x100001000"), 1), zeros(1));
        QCOMPARE(readMemory(QStringLiteral("0x1000"), 1), QStringLiteral("0x00"));
        // A 2048-byte transfer; a larger size is bounded to it.
        QCOMPARE(readMemory(QStringLiteral("0"), 2048).count(QLatin1Char(',')), 2047);
        QCOMPARE(readMemory(QStringLiteral("0"), 99999).count(QLatin1Char(',')), 2047);
        r = call("writeByAddr",
                 QStringLiteral(R"("PARAMSIZE":99999,"PARAMADDRESS":"f800","PARAMDATA":"5")"));
        QVERIFY(r.ok);
        QCOMPARE(readMemory(QStringLiteral("f800"), 2), QStringLiteral("0x05,0x00"));
    }

    void notifications()
    {
        // NotifyType 259 (0x103) and NotifyData 3 send 0x0303: identify for 3 seconds.
        Reply r = run(m_dispatcher, QStringLiteral(R"({"funcname":"notifyDevice",)"
                                                   R"("HardwareID":"HID\\Vid_0aa0&Pid_5e30",)"
                                                   R"("NotifyType":259,"NotifyData":3})"));
        QVERIFY(r.ok);
        QCOMPARE(r.text, QStringLiteral("notifyDevice success!"));
        QVERIFY(logText().contains(QStringLiteral("notify type=3 data=3 result=0")));
        // 258 (0x102) with 3 sends 0x0302: a factory reset with data, which the mouse refuses.
        r = run(m_dispatcher, QStringLiteral(R"({"funcname":"notifyDevice",)"
                                             R"("HardwareID":"HID\\Vid_0aa0&Pid_5e30",)"
                                             R"("NotifyType":258,"NotifyData":3})"));
        QCOMPARE(r.text, QStringLiteral("notifyDevice failed!"));
        QVERIFY(logText().contains(QStringLiteral("notify type=2 data=3 result=2")));
        // Stage 9 does not exist: the device refuses.
        r = run(m_dispatcher, QStringLiteral(R"({"funcname":"notifyDevice",)"
                                             R"("HardwareID":"HID\\Vid_0aa0&Pid_5e30",)"
                                             R"("NotifyType":"1","NotifyData":9})"));
        QVERIFY(r.answered && !r.ok);
        QCOMPARE(r.text, QStringLiteral("notifyDevice failed!"));
        // No DevicePath needed; a missing NotifyData gets no reply.
        r = run(m_dispatcher, QStringLiteral(R"({"funcname":"notifyDevice",)"
                                             R"("HardwareID":"HID\\Vid_0aa0&Pid_5e30",)"
                                             R"("NotifyType":1})"));
        QVERIFY(!r.answered);
        dcsim({QStringLiteral("fail"), QStringLiteral("notify")});
        r = run(m_dispatcher, QStringLiteral(R"({"funcname":"notifyDevice",)"
                                             R"("HardwareID":"HID\\Vid_0aa0&Pid_5e30",)"
                                             R"("NotifyType":4,"NotifyData":0})"));
        QCOMPARE(r.text, QStringLiteral("notifyDevice failed!"));
        QVERIFY(!r.ok);
    }

    void emptyPlacesAndMacros()
    {
        const QString slot = QStringLiteral(R"("PARAMSIZE":2048,"PARAMADDRESS":"0x1000")");
        QCOMPARE(call("isPropEmpty", slot).text, QStringLiteral("true"));
        Reply r =
            call("writeMacroByAddr", QStringLiteral(R"("PARAMSIZE":4,"PARAMADDRESS":"0x1000",)"
                                                    R"("PARAMDATA":"0x4d,0x01,0x00,0x41")"));
        QVERIFY(r.ok);
        QCOMPARE(r.text, QStringLiteral("true"));
        QCOMPARE(readMemory(QStringLiteral("1000"), 5), QStringLiteral("0x4d,0x01,0x00,0x41,0x00"));
        QCOMPARE(call("isPropEmpty", slot).text, QStringLiteral("false"));
        // Taken: the answer is the PARAMADDRESS text exactly as sent, and nothing is written.
        r = call("writeMacroByAddr", QStringLiteral(R"("PARAMSIZE":4,"PARAMADDRESS":"0x1000",)"
                                                    R"("PARAMDATA":"1,2,3,4")"));
        QVERIFY(r.ok);
        QCOMPARE(r.text, QStringLiteral("0x1000"));
        QCOMPARE(readMemory(QStringLiteral("1000"), 4), QStringLiteral("0x4d,0x01,0x00,0x41"));
        r = call("writeMacroByAddr", QStringLiteral(R"("PARAMSIZE":4,"PARAMADDRESS":1000,)"
                                                    R"("PARAMDATA":"1,2,3,4")"));
        QCOMPARE(r.text, QStringLiteral("1000"));
        // One non-zero byte anywhere in the read range makes the place taken.
        QVERIFY(call("writeByAddr",
                     QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"17ff","PARAMDATA":"1")"))
                    .ok);
        QCOMPARE(
            call("isPropEmpty", QStringLiteral(R"("PARAMSIZE":2048,"PARAMADDRESS":"1000")")).text,
            QStringLiteral("false"));
        QCOMPARE(
            call("isPropEmpty", QStringLiteral(R"("PARAMSIZE":2047,"PARAMADDRESS":"1000")")).text,
            QStringLiteral("false"));
        QCOMPARE(call("isPropEmpty", QStringLiteral(R"("PARAMSIZE":4,"PARAMADDRESS":"1800")")).text,
                 QStringLiteral("true"));

        r = call("cleanMacroByAddr", slot);
        QVERIFY(r.ok);
        QCOMPARE(r.text, QStringLiteral("cleanMacroByAddr success!"));
        QCOMPARE(call("isPropEmpty", slot).text, QStringLiteral("true"));
        // Cleaning writes PARAMSIZE zeros only.
        QVERIFY(call("writeByAddr",
                     QStringLiteral(R"("PARAMSIZE":2,"PARAMADDRESS":"2000","PARAMDATA":"9,9")"))
                    .ok);
        QVERIFY(
            call("cleanMacroByAddr", QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"2000")")).ok);
        QCOMPARE(readMemory(QStringLiteral("2000"), 2), QStringLiteral("0x00,0x09"));
    }

    void injectedFaultsGiveTheFailureTexts()
    {
        dcsim({QStringLiteral("fail"), QStringLiteral("write")});
        Reply r = call("writeByAddr",
                       QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"0","PARAMDATA":"1")"));
        QCOMPARE(r.text, QStringLiteral("writeByAddr failed!"));
        QCOMPARE(r.count, 1);
        QVERIFY(!r.ok);
        QCOMPARE(
            call("writeDevicesProp", QStringLiteral(R"("PARAMSIZE":1,"PARAMID":9,"PARAMDATA":"1")"))
                .text,
            QStringLiteral("writeDevicesProp failed!"));
        QCOMPARE(
            call("cleanMacroByAddr", QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"0")")).text,
            QStringLiteral("cleanMacroByAddr failed!"));
        r = call("writeMacroByAddr",
                 QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"0","PARAMDATA":"1")"));
        QCOMPARE(r.text, QStringLiteral("writeMacroByAddr failed!"));
        QVERIFY(!r.ok);
        // Reads cannot fail: with a failing read the block stays zero.
        dcsim({QStringLiteral("fail"), QStringLiteral("none")});
        QVERIFY(call("writeByAddr",
                     QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"0","PARAMDATA":"1")"))
                    .ok);
        dcsim({QStringLiteral("fail"), QStringLiteral("read")});
        QCOMPARE(readMemory(QStringLiteral("0"), 1), QStringLiteral("0x00"));
        QCOMPARE(call("isPropEmpty", QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"0")")).text,
                 QStringLiteral("true"));
        QCOMPARE(call("readDevicesProp", QStringLiteral(R"("PARAMSIZE":1,"PARAMID":1)")).text,
                 QStringLiteral("0x00"));
        // A macro place whose read failed is not known to be empty: nothing is written there.
        r = call("writeMacroByAddr",
                 QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"0","PARAMDATA":"2")"));
        QCOMPARE(r.text, QStringLiteral("writeMacroByAddr failed!"));
        QVERIFY(!r.ok);
        dcsim({QStringLiteral("fail"), QStringLiteral("none")});
        QCOMPARE(readMemory(QStringLiteral("0"), 1), QStringLiteral("0x01"));
        // Unplugged: writes fail, reads answer zeros.
        dcsim({QStringLiteral("fail"), QStringLiteral("none")});
        dcsim({QStringLiteral("unplug")});
        QCOMPARE(call("writeByAddr",
                      QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"0","PARAMDATA":"1")"))
                     .text,
                 QStringLiteral("writeByAddr failed!"));
        QCOMPARE(call("readDevicesProp", QStringLiteral(R"("PARAMSIZE":1,"PARAMID":1)")).text,
                 QStringLiteral("0x00"));
    }

    void missingMembersGetNoReply_data()
    {
        QTest::addColumn<QString>("json");
        const char *const withoutDevicePath = R"("HardwareID":"HID\\Vid_0aa0&Pid_5e30")";
        QTest::newRow("readDevicesProp without PARAMID")
            << request("readDevicesProp", QStringLiteral(R"("PARAMSIZE":1)"));
        QTest::newRow("readDevicesProp without DevicePath")
            << QStringLiteral(R"({"funcname":"readDevicesProp",%1,"PARAMSIZE":1,"PARAMID":1})")
                   .arg(QLatin1String(withoutDevicePath));
        QTest::newRow("writeDevicesProp without PARAMDATA")
            << request("writeDevicesProp", QStringLiteral(R"("PARAMSIZE":1,"PARAMID":5)"));
        QTest::newRow("readByAddr without PARAMADDRESS")
            << request("readByAddr", QStringLiteral(R"("PARAMSIZE":1)"));
        QTest::newRow("writeByAddr without PARAMSIZE")
            << request("writeByAddr", QStringLiteral(R"("PARAMADDRESS":"0","PARAMDATA":"1")"));
        QTest::newRow("notifyDevice without HardwareID")
            << QStringLiteral(R"({"funcname":"notifyDevice","NotifyType":4,"NotifyData":0})");
        QTest::newRow("isPropEmpty without PARAMSIZE")
            << request("isPropEmpty", QStringLiteral(R"("PARAMADDRESS":"0")"));
        QTest::newRow("cleanMacroByAddr without PARAMADDRESS")
            << request("cleanMacroByAddr", QStringLiteral(R"("PARAMSIZE":1)"));
        QTest::newRow("writeMacroByAddr without PARAMDATA")
            << request("writeMacroByAddr", QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"0")"));
        QTest::newRow("wrong case")
            << request("ReadByAddr", QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"0")"));
    }

    void missingMembersGetNoReply()
    {
        QFETCH(QString, json);
        const QString before = readMemory(QStringLiteral("0"), 1);
        QVERIFY(!run(m_dispatcher, json).answered);
        QCOMPARE(readMemory(QStringLiteral("0"), 1), before);
        QCOMPARE(readMemory(QStringLiteral("0"), 1), QStringLiteral("0x00"));
    }

    void nullMembersArePresent()
    {
        // null reads as 0 or the empty text, but counts as present.
        const Reply r = run(m_dispatcher, QStringLiteral(R"({"funcname":"readByAddr",)"
                                                         R"("HardwareID":"HID\\Vid_0aa0&Pid_5e30",)"
                                                         R"("DevicePath":null,"PARAMSIZE":2,)"
                                                         R"("PARAMADDRESS":null})"));
        QVERIFY(r.ok);
        QCOMPARE(r.text, zeros(2));
    }

    void withoutAManager()
    {
        Dispatcher dispatcher;
        registerDeviceCommands(dispatcher, nullptr);
        QCOMPARE(run(dispatcher, QStringLiteral(R"({"funcname":"getDevicesList"})")).text,
                 QStringLiteral("[]"));
        QCOMPARE(run(dispatcher,
                     request("readDevicesProp", QStringLiteral(R"("PARAMSIZE":2,"PARAMID":1)")))
                     .text,
                 zeros(2));
        QCOMPARE(run(dispatcher,
                     request("readByAddr", QStringLiteral(R"("PARAMSIZE":2,"PARAMADDRESS":"0")")))
                     .text,
                 zeros(2));
        QCOMPARE(run(dispatcher,
                     request("isPropEmpty", QStringLiteral(R"("PARAMSIZE":2,"PARAMADDRESS":"0")")))
                     .text,
                 QStringLiteral("true"));
        const struct
        {
            const char *name;
            const char *members;
            const char *failure;
        } writes[] = {
            {"writeDevicesProp", R"("PARAMSIZE":1,"PARAMID":5,"PARAMDATA":"1")",
             "writeDevicesProp failed!"},
            {"writeByAddr", R"("PARAMSIZE":1,"PARAMADDRESS":"0","PARAMDATA":"1")",
             "writeByAddr failed!"},
            {"cleanMacroByAddr", R"("PARAMSIZE":1,"PARAMADDRESS":"0")", "cleanMacroByAddr failed!"},
            {"writeMacroByAddr", R"("PARAMSIZE":1,"PARAMADDRESS":"0","PARAMDATA":"1")",
             "writeMacroByAddr failed!"},
        };
        for (const auto &w : writes) {
            const Reply r = run(dispatcher, request(w.name, QLatin1String(w.members)));
            QVERIFY(r.answered && !r.ok);
            QCOMPARE(r.text, QLatin1String(w.failure));
        }
        const Reply r = run(dispatcher, QStringLiteral(R"({"funcname":"notifyDevice",)"
                                                       R"("HardwareID":"x","NotifyType":4,)"
                                                       R"("NotifyData":0})"));
        QCOMPARE(r.text, QStringLiteral("notifyDevice failed!"));
    }

    void hardwareIdHoldingANulNamesNoDevice()
    {
        // The library would end the ID at the NUL and reach the mouse named before it.
        const QString id = QStringLiteral(R"("HardwareID":"HID\\Vid_0aa0&Pid_5e30\u0000x",)"
                                          R"("DevicePath":"")");
        const auto send = [&](const char *name, const char *members) {
            return run(m_dispatcher, QStringLiteral(R"({"funcname":"%1",%2,%3})")
                                         .arg(QLatin1String(name), id, QLatin1String(members)));
        };
        QCOMPARE(call("writeByAddr", QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"1000",)"
                                                    R"("PARAMDATA":"0x42")"))
                     .text,
                 QStringLiteral("writeByAddr success!"));
        QCOMPARE(send("readByAddr", R"("PARAMSIZE":1,"PARAMADDRESS":"1000")").text, zeros(1));
        QCOMPARE(send("isPropEmpty", R"("PARAMSIZE":1,"PARAMADDRESS":"1000")").text,
                 QStringLiteral("true"));
        QCOMPARE(send("readDevicesProp", R"("PARAMSIZE":1,"PARAMID":1)").text, zeros(1));
        QCOMPARE(send("writeByAddr", R"("PARAMSIZE":1,"PARAMADDRESS":"1000","PARAMDATA":"7")").text,
                 QStringLiteral("writeByAddr failed!"));
        QCOMPARE(send("cleanMacroByAddr", R"("PARAMSIZE":1,"PARAMADDRESS":"1000")").text,
                 QStringLiteral("cleanMacroByAddr failed!"));
        QCOMPARE(send("writeDevicesProp", R"("PARAMSIZE":1,"PARAMID":1,"PARAMDATA":"2")").text,
                 QStringLiteral("writeDevicesProp failed!"));
        QCOMPARE(send("notifyDevice", R"("NotifyType":1,"NotifyData":2)").text,
                 QStringLiteral("notifyDevice failed!"));
        // The mouse kept what it held.
        QCOMPARE(readMemory(QStringLiteral("1000"), 1), QStringLiteral("0x42"));
        QCOMPARE(call("readDevicesProp", QStringLiteral(R"("PARAMSIZE":1,"PARAMID":1)")).text,
                 QStringLiteral("0x05"));
    }

    void withALibraryMissingMostEntries()
    {
        // The partial library has dcDevices and dcRead only; its dcRead fills the whole
        // block and sets byte 100 at address 0x10.
        qputenv("PARTIAL_DC_LIST", "dup");
        devices_handler partial(QStringLiteral(PARTIAL_DC_FILE), nullptr);
        Dispatcher dispatcher;
        registerDeviceCommands(dispatcher, &partial);
        const QJsonArray list =
            QJsonDocument::fromJson(
                run(dispatcher, QStringLiteral(R"({"funcname":"getDevicesList"})")).text.toUtf8())
                .array();
        QCOMPARE(list.size(), 2); // both records with the same DeviceID are listed
        QCOMPARE(list[0].toObject().value("DeviceID").toString(), QStringLiteral("DUP"));
        QCOMPARE(list[1].toObject().value("SN").toString(), QStringLiteral("B"));

        QCOMPARE(run(dispatcher,
                     request("readDevicesProp", QStringLiteral(R"("PARAMSIZE":2,"PARAMID":1)")))
                     .text,
                 zeros(2));
        // isPropEmpty looks at the whole block, past PARAMSIZE.
        QCOMPARE(run(dispatcher,
                     request("isPropEmpty", QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"10")")))
                     .text,
                 QStringLiteral("false"));
        QCOMPARE(run(dispatcher,
                     request("readByAddr", QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"10")")))
                     .text,
                 QStringLiteral("0x00"));
        QCOMPARE(run(dispatcher, request("writeMacroByAddr",
                                         QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"10",)"
                                                        R"("PARAMDATA":"1")")))
                     .text,
                 QStringLiteral("10"));
        // An empty place, but no dcWrite: the write fails.
        QCOMPARE(run(dispatcher, request("writeMacroByAddr",
                                         QStringLiteral(R"("PARAMSIZE":1,"PARAMADDRESS":"20",)"
                                                        R"("PARAMDATA":"1")")))
                     .text,
                 QStringLiteral("writeMacroByAddr failed!"));
        QCOMPARE(run(dispatcher,
                     request("writeDevicesProp", QStringLiteral(R"("PARAMSIZE":1,"PARAMID":1,)"
                                                                R"("PARAMDATA":"1")")))
                     .text,
                 QStringLiteral("writeDevicesProp failed!"));
        QCOMPARE(run(dispatcher, QStringLiteral(R"({"funcname":"notifyDevice","HardwareID":"x",)"
                                                R"("NotifyType":4,"NotifyData":0})"))
                     .text,
                 QStringLiteral("notifyDevice failed!"));
    }
};

QTEST_GUILESS_MAIN(TestDeviceCommands)
#include "tst_device_commands.moc"
