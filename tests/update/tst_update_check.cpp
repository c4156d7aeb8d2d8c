// The update check against a local update service: the request, and what
// each kind of reply leads to.

#include "common/app_paths.h"
#include "common/client_settings.h"
#include "common/user_folders.h"
#include "tests/testsupport/http_test_server.h"
#include "update/update_check.h"
#include "update/update_dlg.h"
#include "update/update_host.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>

using namespace kelv;

namespace {

class FakeHost : public UpdateHost
{
public:
    ClientSettings settings;
    DeviceTable table;
    ClientSettings &clientSettings() override { return settings; }
    DeviceTable deviceTable() const override { return table; }
    devices_handler *devices() const override { return nullptr; }
    QWidget *mainWindow() const override { return nullptr; }
};

} // namespace

class TestUpdateCheck : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void requestCarriesVersions();
    void requestWithoutMouse();
    void noServiceConfigured();
    void environmentOverridesSetting();
    void replies_data();
    void replies();
    void latestOnlyWhenInteractive();
    void serviceErrorsAreOnlyLogged_data();
    void serviceErrorsAreOnlyLogged();
    void refusedServiceAddress_data();
    void refusedServiceAddress();
    void replyIsBoundedTo1MiB();
    void packagedProgramIsOfferedOnlyFirmware();

private:
    int runCheck(bool interactive, int *found = nullptr);

    QTemporaryDir *m_dir = nullptr;
    test::HttpTestServer *m_server = nullptr;
    FakeHost *m_host = nullptr;
};

void TestUpdateCheck::init()
{
    qunsetenv("KELV_UPDATE_SERVER");
    m_dir = new QTemporaryDir;
    m_server = new test::HttpTestServer;
    m_host = new FakeHost;
    const QString conf = m_dir->filePath(QStringLiteral("conf.xml"));
    QFile file(conf);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("<?xml version=\"1.0\"?>\n<root>\n\t<client version=\"1.0.0\" "
                              "language=\"en\" updateServer=\"%1\" />\n</root>\n")
                   .arg(m_server->url())
                   .toUtf8());
    file.close();
    m_host->settings.load(conf);
    QCOMPARE(m_host->settings.value(QStringLiteral("updateServer")), m_server->url());
    DeviceInfo second{QStringLiteral("ZZZ"), {}, QStringLiteral("9.9"), {}, {}, {}, {}, {}};
    DeviceInfo first{QStringLiteral("KELV-M1"), {}, QStringLiteral("1.0.0"), {}, {}, {}, {}, {}};
    m_host->table.insert(second.DeviceID, second);
    m_host->table.insert(first.DeviceID, first);
}

void TestUpdateCheck::cleanup()
{
    delete m_host;
    delete m_server;
    delete m_dir;
    qunsetenv("KELV_UPDATE_SERVER");
}

// Runs one check to its end; any modal dialog it opens is closed once it is
// up. Returns the action taken.
int TestUpdateCheck::runCheck(bool interactive, int *found)
{
    QObject owner;
    QTimer closer;
    connect(&closer, &QTimer::timeout, &closer, [] {
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
    });
    closer.start(50);
    // The request is asynchronous: the spies are in place before any reply.
    UpdateCheck *check = startUpdateCheck(m_host, &owner, interactive);
    QSignalSpy finished(check, &UpdateCheck::checkFinished);
    if (found)
        connect(check, &UpdateCheck::FindNewVersion, check, [found] { ++*found; });
    if (finished.isEmpty() && !finished.wait(10000))
        return -1;
    return finished.first().first().toInt();
}

void TestUpdateCheck::requestCarriesVersions()
{
    m_server->setReply(QStringLiteral("/api/system/upgrade"), 200, "{\"code\":2}");
    QTest::ignoreMessage(QtInfoMsg, "{\"code\":2}");
    QCOMPARE(runCheck(false), int(UpdateDecision::ShowNothing));
    const test::HttpTestServer::Request request = m_server->lastRequest();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.path(), QStringLiteral("/api/system/upgrade"));
    QCOMPARE(request.query(),
             QStringLiteral("deviceid=KELV-M1&fwversion=1.0.0&noencrypt=1&test=1&version=1.0.0"));
}

void TestUpdateCheck::requestWithoutMouse()
{
    m_host->table.clear();
    m_server->setReply(QStringLiteral("/api/system/upgrade"), 200, "{\"code\":2}");
    QTest::ignoreMessage(QtInfoMsg, "{\"code\":2}");
    runCheck(true);
    QCOMPARE(m_server->lastRequest().query(),
             QStringLiteral("deviceid=&fwversion=&noencrypt=1&test=1&version=1.0.0"));
}

void TestUpdateCheck::noServiceConfigured()
{
    QVERIFY(m_host->settings.setValue(QStringLiteral("updateServer"), QString()));
    QTest::ignoreMessage(QtInfoMsg,
                         QRegularExpression(QStringLiteral("No update service configured")));
    UpdateCheck check(nullptr, m_host);
    QSignalSpy finished(&check, &UpdateCheck::checkFinished);
    check.doCheckUpdate(QStringLiteral("KELV-M1"), QStringLiteral("1.0.0"), QStringLiteral("1.0.0"),
                        true);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().first().toInt(), int(UpdateDecision::ShowNothing));
    QTest::qWait(200);
    QVERIFY(m_server->requests().isEmpty());
}

void TestUpdateCheck::environmentOverridesSetting()
{
    test::HttpTestServer other;
    other.setReply(QStringLiteral("/api/system/upgrade"), 200, "{\"code\":3}");
    qputenv("KELV_UPDATE_SERVER", (other.url() + QStringLiteral("/")).toUtf8());
    QTest::ignoreMessage(QtInfoMsg, "{\"code\":3}");
    runCheck(false);
    QCOMPARE(other.requests().size(), 1);
    QCOMPARE(other.lastRequest().path(), QStringLiteral("/api/system/upgrade"));
    QVERIFY(m_server->requests().isEmpty());
}

void TestUpdateCheck::replies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("action");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QStringList>("deployment");
    QTest::newRow("offer") << QByteArray(
                                  R"({"code":0,"ret":{"type":"0","deployment":"client,html",)"
                                  R"("clientPackage":"http://x/c.pkg"}})")
                           << int(UpdateDecision::ShowOffer) << true
                           << QStringList({QStringLiteral("client"), QStringLiteral("html")});
    QTest::newRow("string code reads as 0")
        << QByteArray(R"({"code":"1","ret":{"type":"0","deployment":"html"}})")
        << int(UpdateDecision::ShowOffer) << true << QStringList(QStringLiteral("html"));
    QTest::newRow("other type") << QByteArray(
                                       R"({"code":0,"ret":{"type":"1","deployment":"html"}})")
                                << int(UpdateDecision::ShowNothing) << true
                                << QStringList(QStringLiteral("html"));
    QTest::newRow("empty deployment")
        << QByteArray(R"({"code":0,"ret":{"type":"0","deployment":""}})")
        << int(UpdateDecision::ShowNothing) << true << QStringList();
    QTest::newRow("no ret") << QByteArray(R"({"code":0})") << int(UpdateDecision::ShowNothing)
                            << false << QStringList();
    QTest::newRow("empty parts kept")
        << QByteArray(R"({"code":0,"ret":{"type":"0","deployment":"html,,Client"}})")
        << int(UpdateDecision::ShowOffer) << true
        << QStringList({QStringLiteral("html"), QString(), QStringLiteral("Client")});
    QTest::newRow("no code") << QByteArray(R"({"ret":{"type":"0","deployment":"html"}})")
                             << int(UpdateDecision::ShowNothing) << false << QStringList();
    QTest::newRow("garbage") << QByteArray("<html>oops</html>") << int(UpdateDecision::ShowNothing)
                             << false << QStringList();
    QTest::newRow("array") << QByteArray("[0]") << int(UpdateDecision::ShowNothing) << false
                           << QStringList();
}

void TestUpdateCheck::replies()
{
    QFETCH(QByteArray, body);
    QFETCH(int, action);
    QFETCH(bool, found);
    QFETCH(QStringList, deployment);
    const UpdateDecision decision = UpdateCheck::interpret(false, QString(), body, false);
    QCOMPARE(int(decision.action), action);
    QCOMPARE(decision.findNewVersion, found);
    QCOMPARE(decision.deployment, deployment);
    QCOMPARE(decision.logText, QString::fromUtf8(body));

    m_server->setReply(QStringLiteral("/api/system/upgrade"), 200, body);
    QTest::ignoreMessage(QtInfoMsg, body.constData());
    int foundCount = 0;
    QCOMPARE(runCheck(false, &foundCount), action);
    QCOMPARE(foundCount, found ? 1 : 0);
}

void TestUpdateCheck::latestOnlyWhenInteractive()
{
    const QByteArray body = R"({"code":1})";
    m_server->setReply(QStringLiteral("/api/system/upgrade"), 200, body);
    QTest::ignoreMessage(QtInfoMsg, body.constData());
    QCOMPARE(runCheck(false), int(UpdateDecision::ShowNothing));
    QTest::ignoreMessage(QtInfoMsg, body.constData());
    QCOMPARE(runCheck(true), int(UpdateDecision::ShowLatest));
}

void TestUpdateCheck::serviceErrorsAreOnlyLogged_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("404") << 404;
    QTest::newRow("500") << 500;
}

void TestUpdateCheck::serviceErrorsAreOnlyLogged()
{
    QFETCH(int, status);
    m_server->setReply(QStringLiteral("/api/system/upgrade"), status, R"({"code":1})");
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^Error: .+")));
    QCOMPARE(runCheck(true), int(UpdateDecision::ShowNothing));

    const UpdateDecision decision =
        UpdateCheck::interpret(true, QStringLiteral("Connection refused"), QByteArray(), true);
    QCOMPARE(decision.logText, QStringLiteral("Error: Connection refused"));
    QCOMPARE(int(decision.action), int(UpdateDecision::ShowNothing));
}

void TestUpdateCheck::replyIsBoundedTo1MiB()
{
    // Exactly 1 MiB is read...
    QByteArray body = R"({"code":1})";
    body += QByteArray(UpdateCheck::kMaxReplySize - body.size(), ' ');
    m_server->setReply(QStringLiteral("/api/system/upgrade"), 200, body);
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^\\{\"code\":1\\} ")));
    QCOMPARE(runCheck(true), int(UpdateDecision::ShowLatest));

    // ...one byte more is not, and neither is a reply without end: the check
    // ends with an error in the log instead of filling the memory.
    m_server->setReply(QStringLiteral("/api/system/upgrade"), 200, body + ' ');
    QTest::ignoreMessage(QtInfoMsg, "Error: the reply is larger than 1048576 bytes");
    QCOMPARE(runCheck(true), int(UpdateDecision::ShowNothing));
    m_server->setContent(QStringLiteral("/api/system/upgrade"), R"({"code":1})");
    m_server->setFault(QStringLiteral("/api/system/upgrade"), test::HttpTestServer::Fault::Endless);
    QTest::ignoreMessage(QtInfoMsg, "Error: the reply is larger than 1048576 bytes");
    QCOMPARE(runCheck(true), int(UpdateDecision::ShowNothing));
}

void TestUpdateCheck::refusedServiceAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("interactive");
    QTest::newRow("http to another host, silent")
        << QStringLiteral("http://updates.example.com") << false;
    QTest::newRow("http to another host, asked")
        << QStringLiteral("http://updates.example.com") << true;
    QTest::newRow("ftp on loopback, asked") << QStringLiteral("ftp://127.0.0.1:21") << true;
}

void TestUpdateCheck::refusedServiceAddress()
{
    // What the page can set through setConf: refused before any connection.
    QFETCH(QString, address);
    QFETCH(bool, interactive);
    QVERIFY(m_host->settings.setValue(QStringLiteral("updateServer"), address));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral(
                                        "^Update Error: update service address .* refused: ")));
    QString shown;
    QTimer reader;
    connect(&reader, &QTimer::timeout, &reader, [&shown] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            if (auto *label = modal->findChild<QLabel *>(QStringLiteral("lb_info")))
                shown = label->text();
            modal->close();
        }
    });
    reader.start(20);
    UpdateCheck check(nullptr, m_host);
    QSignalSpy finished(&check, &UpdateCheck::checkFinished);
    check.doCheckUpdate(QStringLiteral("KELV-M1"), QStringLiteral("1.0.0"), QStringLiteral("1.0.0"),
                        interactive);
    QVERIFY(!finished.isEmpty() || finished.wait(10000));
    QCOMPARE(finished.first().first().toInt(),
             int(interactive ? UpdateDecision::ShowMessage : UpdateDecision::ShowNothing));
    QCOMPARE(shown,
             interactive
                 ? QStringLiteral("Update refused: %1 is not a secure (https) address").arg(address)
                 : QString());
    QVERIFY(m_server->requests().isEmpty());
}

// A program folder of the package manager's is never replaced by kelv: the
// program and page packages are taken out of every offer; an offer of
// nothing else tells a user who asked who installs it, and a silent check
// shows nothing. Firmware is still offered.
void TestUpdateCheck::packagedProgramIsOfferedOnlyFirmware()
{
    QTemporaryDir program;
    QFile marker(program.filePath(QStringLiteral("Resources/packaged")));
    QVERIFY(QDir().mkpath(program.filePath(QStringLiteral("Resources"))));
    QVERIFY(marker.open(QIODevice::WriteOnly));
    marker.close();
    setUserFolders(UserFolders::forProgramFolder(program.path()));
    struct Restore
    {
        ~Restore() { setUserFolders(UserFolders::forProgramFolder(applicationFolder())); }
    } restore;

    const QByteArray programOnly =
        R"({"code":0,"ret":{"type":"0","deployment":"client,html","clientPackage":"c.pkg","devicePackage":"d.pkg"}})";
    m_server->setReply(QStringLiteral("/api/system/upgrade"), 200, programOnly);
    QTest::ignoreMessage(QtInfoMsg, programOnly.constData());
    QCOMPARE(runCheck(false), int(UpdateDecision::ShowNothing));
    QTest::ignoreMessage(QtInfoMsg, programOnly.constData());
    QCOMPARE(runCheck(true), int(UpdateDecision::ShowMessage));
    const UpdateDecision asked = UpdateCheck::withoutProgramUpdates(
        UpdateCheck::interpret(false, QString(), programOnly, true), true);
    QVERIFY2(asked.message.contains(QStringLiteral("package manager")), qPrintable(asked.message));

    const QByteArray withFirmware =
        R"({"code":0,"ret":{"type":"0","deployment":"client,firmware","clientPackage":"c.pkg","firmwarePackage":"f.pkg"}})";
    m_server->setReply(QStringLiteral("/api/system/upgrade"), 200, withFirmware);
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral(".*")));
    QCOMPARE(runCheck(false), int(UpdateDecision::ShowOffer));
    const UpdateDecision firmware = UpdateCheck::withoutProgramUpdates(
        UpdateCheck::interpret(false, QString(), withFirmware, false), false);
    QCOMPARE(firmware.deployment, QStringList{QStringLiteral("firmware")});

    // The program folder of a build or a per-user install keeps its updates.
    setUserFolders(UserFolders::forProgramFolder(m_dir->path()));
    m_server->setReply(QStringLiteral("/api/system/upgrade"), 200, programOnly);
    QTest::ignoreMessage(QtInfoMsg, programOnly.constData());
    QCOMPARE(runCheck(false), int(UpdateDecision::ShowOffer));
}

QTEST_MAIN(TestUpdateCheck)
#include "tst_update_check.moc"
