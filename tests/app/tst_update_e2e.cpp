// One whole client update with real processes: the built kelv on a private X
// server, a local update service on 127.0.0.1, the user's clicks in the update
// dialog (xdotool), the download, the package reader, prepareUpdater, the
// exit, the real Updater, and the new kelv starting from the same folder and
// passing the health check. A new version that crashes at start after Exit is
// rolled back on the next start. A hostile service (a package address named
// after the Updater's journal, a dropped connection, a package of another
// kind, an older signed version) changes nothing. Then an Updater killed half
// way: the next start runs a program that is wholly old, never a mix.

#include "tests/testsupport/http_test_server.h"
#include "tests/testsupport/program_home.h"
#include "tests/testsupport/signing_key.h"
#include "tests/testsupport/temp_program_folder.h"
#include "tests/testsupport/test_files.h"
#include "tests/testsupport/xvfb_server.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <algorithm>
#include <csignal>
#include <memory>

using namespace kelv::test;

using kelv::test::readFile;
using kelv::test::writeFile;

namespace {

// The dialog's "Update" button, which becomes "Restart Now" in place
// (window coordinates: the page stack at 10,60, the button at 300,190, 104 x 44).
const QPoint kUpdateButton(10 + 300 + 52, 60 + 190 + 22);
const QSize kDialogSize(600, 380);

} // namespace

class TestUpdateEndToEnd : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<XvfbServer> m_x;
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<ProgramHome> m_home;
    std::unique_ptr<HttpTestServer> m_server;
    QProcessEnvironment m_env;
    QList<qint64> m_detached;
    SigningKey m_key;

    QString program(const QString &relative = QString()) const
    {
        return relative.isEmpty() ? m_folder->path() : m_folder->filePath(relative);
    }

    QString xdotool(const QStringList &arguments)
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), m_x->display());
        process.setProcessEnvironment(env);
        process.start(QStringLiteral("xdotool"), arguments);
        process.waitForFinished(10000);
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

    // The update dialog of process pid: its window is the one of its size.
    QString dialogWindow(qint64 pid)
    {
        const QStringList windows =
            xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                     QStringLiteral("--pid"), QString::number(pid)})
                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &window : windows) {
            const QString geometry =
                xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window});
            if (geometry.contains(QStringLiteral("WIDTH=%1").arg(kDialogSize.width())) &&
                geometry.contains(QStringLiteral("HEIGHT=%1").arg(kDialogSize.height())))
                return window;
        }
        return QString();
    }

    void click(const QString &window, const QPoint &at)
    {
        xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window,
                 QString::number(at.x()), QString::number(at.y())});
        xdotool({QStringLiteral("click"), QStringLiteral("1")});
    }

    // Process ids in lines such as "... (process 1234)" of a log.
    void rememberProcesses(const QByteArray &log)
    {
        static const QRegularExpression pattern(QStringLiteral("\\(process (\\d+)\\)"));
        auto it = pattern.globalMatch(QString::fromUtf8(log));
        while (it.hasNext()) {
            const qint64 pid = it.next().captured(1).toLongLong();
            if (!m_detached.contains(pid))
                m_detached << pid;
        }
    }

    void stopDetached()
    {
        rememberProcesses(readFile(program(QStringLiteral("updater.log"))));
        rememberProcesses(readFile(program(QStringLiteral("web.log"))));
        for (qint64 pid : std::as_const(m_detached))
            ::kill(pid_t(pid), SIGTERM);
        for (qint64 pid : std::as_const(m_detached)) {
            QDeadlineTimer deadline(10000);
            while (::kill(pid_t(pid), 0) == 0 && !deadline.hasExpired())
                QTest::qWait(100);
            ::kill(pid_t(pid), SIGKILL);
        }
        m_detached.clear();
    }

    void startKelv(QProcess &process)
    {
        process.setProgram(program(QStringLiteral("kelv")));
        process.setWorkingDirectory(program());
        process.setProcessEnvironment(m_env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start();
        QVERIFY(process.waitForStarted());
    }

    // The offer of process pid: presses "Update" until one of the paths is
    // asked for (a dialog that has just come up may not take the first click).
    bool pressUpdate(qint64 pid, const QStringList &paths)
    {
        QString dialog;
        if (!QTest::qWaitFor([&] { return !(dialog = dialogWindow(pid)).isEmpty(); }, 90000))
            return false;
        auto asked = [this, &paths] {
            const QList<HttpTestServer::Request> requests = m_server->requests();
            return std::any_of(requests.cbegin(), requests.cend(), [&paths](const auto &request) {
                return paths.contains(request.path());
            });
        };
        for (int attempt = 0; attempt < 10 && !asked(); ++attempt) {
            click(dialog, kUpdateButton);
            if (QTest::qWaitFor(asked, 3000))
                break;
        }
        return asked();
    }

    // What a started program has said so far, and its log (for failure messages).
    QByteArray said(QProcess &process)
    {
        return "program state " + QByteArray::number(int(process.state())) + ", exit " +
               QByteArray::number(process.exitCode()) + "\n" + process.readAll().right(3000) +
               "\nweb.log:\n" + readFile(program(QStringLiteral("web.log"))).right(3000);
    }

    void offer(const QString &deployment, const QString &clientPackage,
               const QString &devicePackage = QString())
    {
        m_server->setReply(
            QStringLiteral("/api/system/upgrade"), 200,
            QStringLiteral(R"({"code":0,"ret":{"type":"0","deployment":"%1","clientPackage":"%2",)"
                           R"("devicePackage":"%3"}})")
                .arg(deployment, clientPackage, devicePackage)
                .toUtf8());
    }

    // The next version: this build's programs plus files it adds.
    QString newVersionFolder()
    {
        const QString folder = m_home->filePath(QStringLiteral("kelv-2.0.0"));
        const QString built = TempProgramFolder::builtProgramFolder();
        QDir().mkpath(folder);
        for (const char *name : {"kelv", "Updater", "libdc.so"})
            QFile::copy(built + QLatin1Char('/') + QLatin1String(name),
                        folder + QLatin1Char('/') + QLatin1String(name));
        writeFile(folder + QStringLiteral("/tools/report.sh"), "#!/bin/sh\necho 2.0.0\n");
        writeFile(folder + QStringLiteral("/Resources/whatsnew.txt"), "version 2.0.0\n");
        return folder;
    }

    // A package signed by a key the program folder trusts, as a vendor
    // builds one.
    QByteArray buildPackage(const QString &folder, const QString &version)
    {
        const QString out = m_home->filePath(QStringLiteral("client.pkg"));
        m_key.trustIn(program());
        QByteArray output;
        const int code =
            runKelvpack({QStringLiteral("build"), folder, version, out, QStringLiteral("--preset"),
                         QStringLiteral("1"), QStringLiteral("--sign"), m_key.secretKeyFile()},
                        &output);
        if (code != 0)
            qWarning("kelvpack: %s", output.constData());
        return readFile(out);
    }

private slots:
    void init()
    {
        m_x = std::make_unique<XvfbServer>();
        QVERIFY(m_x->isRunning());
        m_folder = std::make_unique<TempProgramFolder>(TempProgramFolder::Everything);
        QVERIFY(QFile::exists(program(QStringLiteral("kelv"))));
        QVERIFY(QFile::exists(program(QStringLiteral("Updater"))));
        m_home = std::make_unique<ProgramHome>(m_x->display());
        QVERIFY(m_home->isValid());
        m_server = std::make_unique<HttpTestServer>();
        QVERIFY(m_server->isListening());

        m_env = m_home->environment();
        m_env.insert(QStringLiteral("KELV_UPDATE_SERVER"), m_server->url());
    }

    void cleanup()
    {
        stopDetached();
        m_server.reset();
        m_folder.reset();
        m_home.reset();
        m_x.reset();
    }

    void offerAcceptDownloadRestartAndTheNewVersionRuns()
    {
        const QString newFolder = newVersionFolder();
        const QByteArray package = buildPackage(newFolder, QStringLiteral("2.0.0"));
        QVERIFY(package.size() > 1000000);
        m_server->setContent(QStringLiteral("/kelv-2.0.0.pkg"), package);
        m_server->setReply(
            QStringLiteral("/api/system/upgrade"), 200,
            QStringLiteral(
                R"({"code":0,"ret":{"type":"0","deployment":"client","clientPackage":"%1"}})")
                .arg(m_server->url(QStringLiteral("/kelv-2.0.0.pkg")))
                .toUtf8());

        QProcess old;
        old.setProgram(program(QStringLiteral("kelv")));
        old.setWorkingDirectory(program());
        old.setProcessEnvironment(m_env);
        old.setProcessChannelMode(QProcess::MergedChannels);
        old.start();
        QVERIFY(old.waitForStarted());

        // The offer at start-up; the user presses "Update".
        QString dialog;
        QTRY_VERIFY_WITH_TIMEOUT(!(dialog = dialogWindow(old.processId())).isEmpty(), 90000);
        QVERIFY(m_server->lastRequest().query().contains(QStringLiteral("version=1.0.0")));
        // From now on the service has nothing newer to offer.
        m_server->setReply(QStringLiteral("/api/system/upgrade"), 200, R"({"code":1})");
        // A dialog that has just come up may not take the first click yet.
        auto packageAsked = [this] {
            const QList<HttpTestServer::Request> requests = m_server->requests();
            return std::any_of(requests.cbegin(), requests.cend(), [](const auto &request) {
                return request.path() == QLatin1String("/kelv-2.0.0.pkg");
            });
        };
        for (int attempt = 0; attempt < 10 && !packageAsked(); ++attempt) {
            click(dialog, kUpdateButton);
            if (QTest::qWaitFor(packageAsked, 3000))
                break;
        }
        QVERIFY(packageAsked());

        // Downloaded, unpacked, the new Updater in place: "Restart Now".
        QTRY_VERIFY_WITH_TIMEOUT(
            QFileInfo::exists(program(QStringLiteral("tupdates/client/pending-version"))), 60000);
        QVERIFY(QFileInfo(program(QStringLiteral("tupdates/client/ready/kelv"))).isExecutable());
        // conf.xml still holds the running version.
        QVERIFY(readFile(program(QStringLiteral("Resources/profiles/conf.xml")))
                    .contains("version=\"1.0.0\""));
        for (int attempt = 0; attempt < 10 && old.state() != QProcess::NotRunning; ++attempt) {
            click(dialog, kUpdateButton);
            old.waitForFinished(5000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(old.state() == QProcess::NotRunning, 60000);
        QCOMPARE(old.exitCode(), 0);

        // The Updater installs, starts the new kelv from the same folder and
        // keeps it once its window and page are up.
        QTRY_VERIFY_WITH_TIMEOUT(
            readFile(program(QStringLiteral("updater.log"))).contains("update complete"), 90000);
        rememberProcesses(readFile(program(QStringLiteral("updater.log"))));
        // The new version writes its report first and logs it just after.
        QTRY_VERIFY_WITH_TIMEOUT(readFile(program(QStringLiteral("web.log")))
                                     .contains("update: reported that the new version started"),
                                 10000);
        const QByteArray log = readFile(program(QStringLiteral("web.log")));
        QVERIFY2(log.contains("mainwindow show!"), log.constData());
        QVERIFY2(log.contains("page loaded"), log.constData());
        QVERIFY(m_detached.size() == 1);
        QCOMPARE(::kill(pid_t(m_detached.first()), 0), 0);

        // The new files are in place and runnable, nothing of the install is
        // left, and conf.xml carries the new version.
        QCOMPARE(readFile(program(QStringLiteral("Resources/whatsnew.txt"))),
                 QByteArray("version 2.0.0\n"));
        for (const char *runnable : {"kelv", "Updater", "tools/report.sh"})
            QVERIFY2(QFileInfo(program(QLatin1String(runnable))).isExecutable(), runnable);
        QProcess script;
        script.start(program(QStringLiteral("tools/report.sh")), {});
        QVERIFY(script.waitForFinished(10000));
        QCOMPARE(script.readAllStandardOutput(), QByteArray("2.0.0\n"));
        for (const char *left : {"ready", "backup", "update.journal", "health.pending",
                                 "health.started", "pending-version", "rollback.txt"})
            QVERIFY2(!QFileInfo::exists(
                         program(QStringLiteral("tupdates/client/") + QLatin1String(left))),
                     left);
        const QByteArray conf = readFile(program(QStringLiteral("Resources/profiles/conf.xml")));
        QVERIFY2(conf.contains("version=\"2.0.0\""), conf.constData());
        // The new version asks the service with its own version.
        QTRY_VERIFY_WITH_TIMEOUT(
            m_server->lastRequest().query().contains(QStringLiteral("version=2.0.0")), 30000);
    }

    void afterExitANewVersionThatCannotStartIsNeverKept()
    {
        // The new "kelv" crashes at once. The user downloads it and chooses
        // Exit instead of "Restart Now": nothing is installed then; the next
        // start hands the package to the Updater, which installs it, sees the
        // new version crash, and restores the old one, which tells the user.
        const QString newFolder = newVersionFolder();
        writeFile(newFolder + QStringLiteral("/kelv"), "#!/bin/sh\nkill -SEGV $$\n");
        const QByteArray package = buildPackage(newFolder, QStringLiteral("2.0.0"));
        QVERIFY(package.size() > 1000000);
        m_server->setContent(QStringLiteral("/kelv-2.0.0.pkg"), package);
        offer(QStringLiteral("client"), m_server->url(QStringLiteral("/kelv-2.0.0.pkg")));
        const QByteArray oldProgram = readFile(program(QStringLiteral("kelv")));

        QProcess old;
        startKelv(old);
        QVERIFY2(pressUpdate(old.processId(), {QStringLiteral("/kelv-2.0.0.pkg")}),
                 said(old).constData());
        m_server->setReply(QStringLiteral("/api/system/upgrade"), 200, R"({"code":1})");
        QTRY_VERIFY_WITH_TIMEOUT(
            QFileInfo::exists(program(QStringLiteral("tupdates/client/pending-version"))), 60000);
        // Exit (the tray's Exit and a request to end go the same way).
        ::kill(pid_t(old.processId()), SIGTERM);
        QVERIFY(old.waitForFinished(60000));
        QCOMPARE(old.exitCode(), 0);
        QVERIFY(readFile(program(QStringLiteral("kelv"))) == oldProgram);
        QVERIFY(QFileInfo::exists(program(QStringLiteral("tupdates/client/install-at-start"))));
        QVERIFY(!QFileInfo::exists(program(QStringLiteral("updater.log"))));

        QProcess next;
        startKelv(next);
        QVERIFY(next.waitForFinished(60000));
        const QByteArray handed = next.readAll();
        QVERIFY2(handed.contains("handed the update to the Updater"), handed.constData());
        QTRY_VERIFY2_WITH_TIMEOUT(
            readFile(program(QStringLiteral("web.log"))).contains("update rolled back:"),
            readFile(program(QStringLiteral("updater.log"))).constData(), 90000);
        rememberProcesses(readFile(program(QStringLiteral("updater.log"))));
        const QByteArray log = readFile(program(QStringLiteral("web.log")));
        QVERIFY2(log.contains("update rolled back: The update to version 2.0.0 was rolled back: "
                              "the new version ended before its window and page were shown"),
                 log.constData());
        QVERIFY(readFile(program(QStringLiteral("kelv"))) == oldProgram);
        QVERIFY(!QFileInfo::exists(program(QStringLiteral("Resources/whatsnew.txt"))));
        QVERIFY(readFile(program(QStringLiteral("Resources/profiles/conf.xml")))
                    .contains("version=\"1.0.0\""));
        for (const char *left : {"ready", "install-at-start", "update.journal", "backup"})
            QVERIFY2(!QFileInfo::exists(
                         program(QStringLiteral("tupdates/client/") + QLatin1String(left))),
                     left);
    }

    void anUpdateChosenAtExitIsInstalledInTheTrayAtTheNextAutostart()
    {
        // The user downloads an update and chooses Exit. The next start is the
        // login item's, "kelv -autostart": it hands the update to the Updater,
        // which installs it and starts the new version in the tray too (its
        // window is not opened at login), where it passes the health check.
        const QString newFolder = newVersionFolder();
        const QByteArray package = buildPackage(newFolder, QStringLiteral("2.0.0"));
        QVERIFY(package.size() > 1000000);
        m_server->setContent(QStringLiteral("/kelv-2.0.0.pkg"), package);
        offer(QStringLiteral("client"), m_server->url(QStringLiteral("/kelv-2.0.0.pkg")));

        QProcess old;
        startKelv(old);
        QVERIFY2(pressUpdate(old.processId(), {QStringLiteral("/kelv-2.0.0.pkg")}),
                 said(old).constData());
        m_server->setReply(QStringLiteral("/api/system/upgrade"), 200, R"({"code":1})");
        QTRY_VERIFY_WITH_TIMEOUT(
            QFileInfo::exists(program(QStringLiteral("tupdates/client/pending-version"))), 60000);
        ::kill(pid_t(old.processId()), SIGTERM);
        QVERIFY(old.waitForFinished(60000));
        QVERIFY(QFileInfo::exists(program(QStringLiteral("tupdates/client/install-at-start"))));

        QProcess login;
        login.setArguments({QStringLiteral("-autostart")});
        startKelv(login);
        QVERIFY(login.waitForFinished(60000));
        const QByteArray handed = login.readAll();
        QVERIFY2(handed.contains("handed the update to the Updater"), handed.constData());
        QTRY_VERIFY2_WITH_TIMEOUT(
            readFile(program(QStringLiteral("updater.log"))).contains("update complete"),
            readFile(program(QStringLiteral("updater.log"))).constData(), 90000);
        rememberProcesses(readFile(program(QStringLiteral("updater.log"))));
        QCOMPARE(m_detached.size(), 1);
        const qint64 pid = m_detached.first();
        // The new version was started as the user's own start was, and stays in the tray.
        const QList<QByteArray> started =
            readFile(QStringLiteral("/proc/%1/cmdline").arg(pid)).split('\0');
        QVERIFY2(started.contains("-autostart"), started.join(' ').constData());
        QTRY_VERIFY_WITH_TIMEOUT(readFile(program(QStringLiteral("web.log")))
                                     .contains("update: reported that the new version started"),
                                 10000);
        const QByteArray log = readFile(program(QStringLiteral("web.log")));
        QVERIFY2(log.contains("(-autostart)"), log.constData());
        QVERIFY(xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                         QStringLiteral("--pid"), QString::number(pid)})
                    .isEmpty());
        QCOMPARE(readFile(program(QStringLiteral("Resources/whatsnew.txt"))),
                 QByteArray("version 2.0.0\n"));
        QVERIFY(readFile(program(QStringLiteral("Resources/profiles/conf.xml")))
                    .contains("version=\"2.0.0\""));
    }

    void aHostileServiceChangesNothing()
    {
        // A package address named after the Updater's journal, whose
        // connection drops after lines that would "roll back" the program's
        // own files; a validly signed firmware package offered as the page.
        m_key.trustIn(program());
        const QByteArray journal =
            "N kelv\nN Resources/update-keys.txt\nN Resources/profiles/conf.xml\n";
        m_server->setContent(QStringLiteral("/x/update.journal"),
                             journal + QByteArray(300000, '\n'));
        m_server->setFault(QStringLiteral("/x/update.journal"),
                           HttpTestServer::Fault::DropConnection, journal.size());
        m_server->setContent(QStringLiteral("/page.pkg"),
                             m_key.package(QStringLiteral("9.9"),
                                           {{QStringLiteral("f/update.bin"), "firmware bytes"}},
                                           QStringLiteral("firmware")));
        offer(QStringLiteral("client,html"), m_server->url(QStringLiteral("/x/update.journal")),
              m_server->url(QStringLiteral("/page.pkg")));
        const QByteArray keys = readFile(program(QStringLiteral("Resources/update-keys.txt")));

        QProcess first;
        startKelv(first);
        QVERIFY2(pressUpdate(first.processId(),
                             {QStringLiteral("/x/update.journal"), QStringLiteral("/page.pkg")}),
                 said(first).constData());
        QTRY_VERIFY_WITH_TIMEOUT(readFile(program(QStringLiteral("web.log")))
                                     .contains("update file is a firmware package"),
                                 60000);
        QTRY_VERIFY_WITH_TIMEOUT(
            readFile(program(QStringLiteral("web.log"))).contains("update.journal failed"), 60000);
        QVERIFY(!QFileInfo::exists(program(QStringLiteral("tupdates/client/update.journal"))));
        QVERIFY(!QFileInfo::exists(program(QStringLiteral("tupdates/html/ready"))));
        ::kill(pid_t(first.processId()), SIGTERM);
        QVERIFY(first.waitForFinished(60000));

        // The next start rolls nothing back; the service now offers an older,
        // validly signed version: the dialog asks, and nothing is ready.
        m_server->clearRequests();
        const QString older = QStringLiteral("/kelv-0.0.1.pkg");
        m_server->setContent(older, m_key.package(QStringLiteral("0.0.1"),
                                                  {{QStringLiteral("c/kelv"), "an old program"},
                                                   {QStringLiteral("c/Resources/update-keys.txt"),
                                                    "# an old release's keys\n"}}));
        offer(QStringLiteral("client"), m_server->url(older));
        QProcess second;
        startKelv(second);
        QVERIFY2(pressUpdate(second.processId(), {older}), said(second).constData());
        QTRY_VERIFY_WITH_TIMEOUT(readFile(program(QStringLiteral("web.log")))
                                     .contains("Update offered version 0.0.1, which is not newer"),
                                 60000);
        const QByteArray log = readFile(program(QStringLiteral("web.log")));
        QVERIFY2(!log.contains("rolling it back"), log.constData());
        QVERIFY(!QFileInfo::exists(program(QStringLiteral("tupdates/client/ready"))));
        QVERIFY(QFileInfo(program(QStringLiteral("kelv"))).isExecutable());
        QCOMPARE(readFile(program(QStringLiteral("Resources/update-keys.txt"))), keys);
        QVERIFY(readFile(program(QStringLiteral("Resources/profiles/conf.xml")))
                    .contains("version=\"1.0.0\""));
        second.kill();
        second.waitForFinished(30000);
    }

    void aNewVersionThatDoesNotStartIsRolledBackAndTheUserTold()
    {
        // The new "kelv" ends at once: the Updater restores the old one,
        // starts it, and the old program shows why.
        writeFile(program(QStringLiteral("tupdates/client/ready/kelv")), "#!/bin/sh\nexit 1\n");
        writeFile(program(QStringLiteral("tupdates/client/ready/Resources/whatsnew.txt")), "2.0.0");
        writeFile(program(QStringLiteral("tupdates/client/pending-version")), "2.0.0");
        const QByteArray oldProgram = readFile(program(QStringLiteral("kelv")));
        // The service still offers the version that was rolled back.
        m_server->setReply(QStringLiteral("/api/system/upgrade"), 200, R"({"code":1})");

        QProcess updater;
        updater.setProcessEnvironment(m_env);
        updater.setWorkingDirectory(program());
        updater.start(program(QStringLiteral("Updater")),
                      {QStringLiteral("-update"), QStringLiteral("-wait"), QStringLiteral("0"),
                       QStringLiteral("-restart")});
        QVERIFY(updater.waitForFinished(60000));
        QCOMPARE(updater.exitCode(), 1);
        rememberProcesses(readFile(program(QStringLiteral("updater.log"))));
        QVERIFY(readFile(program(QStringLiteral("kelv"))) == oldProgram);
        QVERIFY(!QFileInfo::exists(program(QStringLiteral("Resources/whatsnew.txt"))));

        QTRY_VERIFY2_WITH_TIMEOUT(
            readFile(program(QStringLiteral("web.log"))).contains("page loaded"),
            readFile(program(QStringLiteral("updater.log"))).constData(), 90000);
        const QByteArray log = readFile(program(QStringLiteral("web.log")));
        QVERIFY2(log.contains("update rolled back: The update to version 2.0.0 was rolled back: "
                              "the new version ended before its window and page were shown"),
                 log.constData());
        QVERIFY(readFile(program(QStringLiteral("Resources/profiles/conf.xml")))
                    .contains("version=\"1.0.0\""));
        QVERIFY(!QFileInfo::exists(program(QStringLiteral("tupdates/client/rollback.txt"))));
        // The old program is the one running, and it was told once.
        QString box;
        QTRY_VERIFY_WITH_TIMEOUT(
            !(box = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                             QStringLiteral("--name"), QStringLiteral("Update rolled back")}))
                 .isEmpty(),
            10000);
        // The update check waits for the box: its offer would cover the box
        // and offer the version just rolled back before the user has read why.
        QTRY_VERIFY_WITH_TIMEOUT(readFile(program(QStringLiteral("web.log")))
                                     .contains("update check waits until the roll-back notice "
                                               "is closed"),
                                 30000);
        auto checks = [this] {
            const QList<HttpTestServer::Request> requests = m_server->requests();
            return std::count_if(requests.begin(), requests.end(), [](const auto &request) {
                return request.path() == QLatin1String("/api/system/upgrade");
            });
        };
        QCOMPARE(checks(), 0);
        // Once it is closed the check runs.
        const QString window = box.section(QLatin1Char('\n'), 0, 0);
        xdotool({QStringLiteral("windowactivate"), QStringLiteral("--sync"), window});
        xdotool(
            {QStringLiteral("key"), QStringLiteral("--window"), window, QStringLiteral("Return")});
        QTRY_VERIFY_WITH_TIMEOUT(checks() == 1, 30000);
    }

    void updaterKilledHalfWayLeavesAProgramThatStarts()
    {
        // A client package with the programs first and many files after them.
        const QString ready = program(QStringLiteral("tupdates/client/ready"));
        const QString built = TempProgramFolder::builtProgramFolder();
        QDir().mkpath(ready);
        for (const char *name : {"kelv", "libdc.so"})
            QVERIFY(QFile::copy(built + QLatin1Char('/') + QLatin1String(name),
                                ready + QLatin1Char('/') + QLatin1String(name)));
        constexpr int kFiles = 3000;
        for (int i = 0; i < kFiles; ++i) {
            const QString name = QStringLiteral("zdata/%1.txt").arg(i, 4, 10, QLatin1Char('0'));
            writeFile(program(name), "old");
            writeFile(ready + QLatin1Char('/') + name, "new");
        }

        QProcess updater;
        updater.setProcessEnvironment(m_env);
        updater.setWorkingDirectory(program());
        updater.start(program(QStringLiteral("Updater")),
                      {QStringLiteral("-update"), QStringLiteral("-wait"), QStringLiteral("0"),
                       QStringLiteral("-restart")});
        QVERIFY(updater.waitForStarted());
        // Half way: the programs are replaced, some of the files too.
        const QString journal = program(QStringLiteral("tupdates/client/update.journal"));
        QDeadlineTimer deadline(60000);
        while (QFileInfo(journal).size() < 300 * 20 && !deadline.hasExpired() &&
               updater.state() == QProcess::Running)
            QThread::usleep(200);
        ::kill(pid_t(updater.processId()), SIGKILL);
        QVERIFY(updater.waitForFinished(10000));
        QCOMPARE(updater.exitStatus(), QProcess::CrashExit);
        QVERIFY(QFileInfo::exists(journal));
        QVERIFY(!QFileInfo::exists(program(QStringLiteral("tupdates/client/health.pending"))));
        QVERIFY(readFile(program(QStringLiteral("zdata/0000.txt"))) == "new");

        // The next start rolls the mix back and runs the old program.
        QProcess next;
        next.setProgram(program(QStringLiteral("kelv")));
        next.setWorkingDirectory(program());
        next.setProcessEnvironment(m_env);
        next.setProcessChannelMode(QProcess::MergedChannels);
        next.start();
        QVERIFY(next.waitForFinished(60000));
        QCOMPARE(next.exitCode(), 0);
        const QByteArray first = next.readAll();
        QVERIFY2(first.contains("an install was cut off; rolling it back"), first.constData());
        QVERIFY2(first.contains("started the restored program"), first.constData());
        rememberProcesses(first);
        QTRY_VERIFY2_WITH_TIMEOUT(
            readFile(program(QStringLiteral("web.log"))).contains("page loaded"),
            readFile(program(QStringLiteral("web.log"))).right(3000).constData(), 90000);
        const QByteArray log = readFile(program(QStringLiteral("web.log")));
        QVERIFY2(log.contains("update rolled back: The update was interrupted"), log.constData());

        // Wholly old: every file as before, nothing of the install left.
        int oldFiles = 0;
        for (int i = 0; i < kFiles; ++i)
            oldFiles +=
                readFile(program(QStringLiteral("zdata/%1.txt").arg(i, 4, 10, QLatin1Char('0')))) ==
                "old";
        QCOMPARE(oldFiles, kFiles);
        QVERIFY(QFileInfo(program(QStringLiteral("kelv"))).isExecutable());
        QVERIFY(!QFileInfo::exists(journal));
        QVERIFY(!QFileInfo::exists(program(QStringLiteral("tupdates/client/backup"))));
        QVERIFY(!QFileInfo::exists(ready));
    }
};

QTEST_GUILESS_MAIN(TestUpdateEndToEnd)
#include "tst_update_e2e.moc"
