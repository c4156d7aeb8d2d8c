// Real starts of the built program (offscreen) from a copy of the program
// folder: one instance per machine, the second start shows the first window
// and ends without a window or a browser, a killed instance does not block
// the next start, a termination signal ends the program cleanly, a wireless
// mouse's battery reaches the tray and the desktop's notifications.
#include "tests/testsupport/dbus_mock.h"
#include "tests/testsupport/desktop_session.h"
#include "tests/testsupport/program_home.h"
#include "tests/testsupport/razer_daemon.h"
#include "tests/testsupport/temp_program_folder.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QUuid>
#include <csignal>
#include <memory>
#include <sys/stat.h>

using namespace kelv::test;

namespace {

// One start of the program. Its log lines (also written to web.log in its
// working folder) are read from its standard error.
class ProgramRun
{
public:
    ProgramRun(const QString &programFolder, const QString &workingFolder,
               const QProcessEnvironment &environment, const QStringList &arguments = {})
    {
        QDir().mkpath(workingFolder);
        m_process.setProgram(programFolder + QStringLiteral("/kelv"));
        m_process.setArguments(arguments);
        m_process.setWorkingDirectory(workingFolder);
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start();
    }

    ~ProgramRun()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    QProcess &process() { return m_process; }
    qint64 pid() const { return m_process.processId(); }

    QByteArray output()
    {
        m_output += m_process.readAll();
        return m_output;
    }

    // Waits (up to 60 s: a start of the browser engine on a busy machine)
    // until the output holds text.
    bool waitFor(const QByteArray &text)
    {
        QDeadlineTimer deadline(60000);
        while (!output().contains(text)) {
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return output().contains(text);
            m_process.waitForReadyRead(100);
        }
        return true;
    }

    bool waitForExit()
    {
        const bool finished = m_process.waitForFinished(60000);
        output();
        return finished;
    }

private:
    QProcess m_process;
    QByteArray m_output;
};

// The command lines of a process's descendants, read from /proc (each thread
// lists the children it started).
QStringList descendantCommandLines(qint64 pid)
{
    QStringList lines;
    QByteArray ids;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile children(tasks + QLatin1Char('/') + task + QStringLiteral("/children"));
        if (children.open(QIODevice::ReadOnly))
            ids += children.readAll() + ' ';
    }
    for (const QByteArray &id : ids.simplified().split(' ')) {
        if (id.isEmpty())
            continue;
        QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(QString::fromLatin1(id)));
        if (commandLine.open(QIODevice::ReadOnly))
            lines << QString::fromLocal8Bit(commandLine.readAll().replace('\0', ' '));
        lines << descendantCommandLines(id.toLongLong());
    }
    return lines;
}

// Every file below a folder with its size and time of change, to tell that
// nothing in it was written.
QStringList treeState(const QString &folder)
{
    QStringList state;
    QDirIterator it(folder, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo file(it.next());
        state << QStringLiteral("%1 %2 %3")
                     .arg(QDir(folder).relativeFilePath(file.filePath()))
                     .arg(file.isDir() ? -1 : file.size())
                     .arg(file.lastModified().toMSecsSinceEpoch());
    }
    state.sort();
    return state;
}

QByteArray fileText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestProgram : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<ProgramHome> m_home;
    QProcessEnvironment m_env;

    QString work(const QString &name) const { return m_home->filePath(name); }
    // The user's runtime folder (XDG_RUNTIME_DIR) holds the socket.
    QString socketPath() const { return m_home->filePath(m_home->instanceName()); }

private slots:
    void init()
    {
        m_folder = std::make_unique<TempProgramFolder>(TempProgramFolder::Everything);
        QVERIFY(QFile::exists(m_folder->filePath("kelv")));
        QVERIFY(QFile::exists(m_folder->filePath("view/index.html")));
        // Offscreen. The instance socket lives in the user's runtime folder
        // and the browser cache in the user's cache folder: this case's own,
        // shared by its starts like a user's.
        m_home = std::make_unique<ProgramHome>();
        QVERIFY(m_home->isValid());
        m_env = m_home->environment();
        m_env.insert("XDG_CACHE_HOME", m_home->filePath("cache"));
    }

    void secondStartShowsTheFirstWindowAndEnds()
    {
        ProgramRun first(m_folder->path(), work("first"), m_env);
        QVERIFY2(first.waitFor("mainwindow show!"), first.output().constData());
        QVERIFY2(first.waitFor("page loaded"), first.output().constData());
        QVERIFY(!first.output().contains("page failed to load"));
        // The tray follows the page, which starts with the GUI thread to itself.
        QVERIFY2(first.waitFor("tray icon set up"), first.output().constData());
        QVERIFY(first.output().indexOf("tray icon set up") > first.output().indexOf("page loaded"));
        // The browser engine started in the primary instance.
        QVERIFY(first.output().contains("qt.webenginecontext"));
        QVERIFY(QFile::exists(work("first/web.log")));
        // The browser cache is the user's, not a fixed folder in /tmp.
        QTRY_VERIFY(QFileInfo(m_home->filePath("cache/kelv/Cache")).isDir());
        QVERIFY(!QFile::exists(m_home->filePath("tmp/Cache")));

        ProgramRun second(m_folder->path(), work("second"), m_env);
        QVERIFY(second.waitForExit());
        QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.process().exitCode(), 0);
        const QByteArray secondLog = second.output();
        QVERIFY2(
            secondLog.contains("running instance " + QByteArray::number(first.pid()) + " answered"),
            secondLog.constData());
        // No window, no browser in the second start.
        QVERIFY(!secondLog.contains("mainwindow show!"));
        QVERIFY(!secondLog.contains("qt.webenginecontext"));
        QVERIFY(!secondLog.contains("page loaded"));

        QVERIFY(first.waitFor("window shown for another start; visible: true"));

        // Any number of later starts, one after another.
        for (int i = 0; i < 2; ++i) {
            ProgramRun another(m_folder->path(), work("another"), m_env);
            QVERIFY(another.waitForExit());
            QCOMPARE(another.process().exitCode(), 0);
        }
        QCOMPARE(first.process().state(), QProcess::Running);
    }

    void autostartStaysInTheTrayUntilTheNextStart()
    {
        ProgramRun first(m_folder->path(), work("first"), m_env, {"-autostart"});
        QVERIFY2(first.waitFor("mainwindow show!"), first.output().constData());
        // Offscreen there is no tray: hidden for now, until a tray comes up
        // (or, after a while, minimised).
        QVERIFY(first.output().contains("started in the background (-autostart)"));
        // Started hidden, the tray is there at once.
        QVERIFY(first.output().indexOf("tray icon set up") >= 0);
        QVERIFY(first.output().indexOf("tray icon set up") <
                first.output().indexOf("started in the background"));

        ProgramRun second(m_folder->path(), work("second"), m_env);
        QVERIFY(second.waitForExit());
        QCOMPARE(second.process().exitCode(), 0);
        QVERIFY(first.waitFor("window shown for another start; visible: true"));
    }

    void startAfterAKilledInstanceWorks()
    {
        {
            ProgramRun crashed(m_folder->path(), work("crashed"), m_env);
            QVERIFY2(crashed.waitFor("mainwindow show!"), crashed.output().constData());
            QVERIFY(QFile::exists(socketPath()));
            ::kill(pid_t(crashed.pid()), SIGKILL);
            QVERIFY(crashed.waitForExit());
            QCOMPARE(crashed.process().exitStatus(), QProcess::CrashExit);
        }
        // The socket file of the killed instance is still there.
        QVERIFY(QFile::exists(socketPath()));

        ProgramRun next(m_folder->path(), work("next"), m_env);
        QVERIFY2(next.waitFor("mainwindow show!"), next.output().constData());
        ProgramRun second(m_folder->path(), work("second"), m_env);
        QVERIFY(second.waitForExit());
        QCOMPARE(second.process().exitCode(), 0);
        QVERIFY(second.output().contains("running instance " + QByteArray::number(next.pid()) +
                                         " answered"));
    }

    void runsOnAHeadlessWaylandCompositor_data()
    {
        QTest::addColumn<bool>("xwayland");
        QTest::newRow("natively") << false;
        QTest::newRow("through XWayland") << true;
    }

    void runsOnAHeadlessWaylandCompositor()
    {
        QFETCH(bool, xwayland);
        // A Wayland session of its own: weston's headless back end (with
        // XWayland when asked), a session bus without any desktop portal.
        DesktopSession session;
        QVERIFY(session.isRunning());
        const QString socket =
            QStringLiteral("kelv-wayland-") + QUuid::createUuid().toString(QUuid::Id128);
        QProcess weston;
        QProcessEnvironment westonEnv = m_env;
        westonEnv.insert("XDG_RUNTIME_DIR", m_home->path());
        weston.setProcessEnvironment(westonEnv);
        weston.setProcessChannelMode(QProcess::MergedChannels);
        QStringList arguments{QStringLiteral("--backend=headless-backend.so"),
                              QStringLiteral("--socket=") + socket, QStringLiteral("--idle-time=0"),
                              QStringLiteral("--width=1280"), QStringLiteral("--height=800")};
        if (xwayland) {
            // weston's XWayland listens in /tmp/.X11-unix but does not make the
            // folder, which a booted system's tmpfiles set-up or an earlier X
            // server leaves; a fresh container or chroot has none. Made here
            // as they make it (mode 1777).
            const QByteArray x11Sockets("/tmp/.X11-unix");
            if (::mkdir(x11Sockets.constData(), 01777) == 0)
                ::chmod(x11Sockets.constData(), 01777);
            QVERIFY2(QFileInfo(QString::fromLatin1(x11Sockets)).isDir(), x11Sockets.constData());
            arguments << QStringLiteral("--xwayland");
        }
        weston.start(QStringLiteral("weston"), arguments);
        QVERIFY(weston.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_home->filePath(socket)), 10000);

        QProcessEnvironment env = m_env;
        env.insert("WAYLAND_DISPLAY", socket);
        env.insert("XDG_SESSION_TYPE", "wayland");
        env.insert("DBUS_SESSION_BUS_ADDRESS", session.busAddress());
        if (xwayland) {
            // weston names the X display it serves.
            QByteArray westonLog;
            static const QRegularExpression listening(
                QStringLiteral("xserver listening on display (:\\d+)"));
            QRegularExpressionMatch match;
            QTRY_VERIFY_WITH_TIMEOUT((westonLog += weston.readAll(),
                                      match = listening.match(QString::fromUtf8(westonLog)),
                                      match.hasMatch()),
                                     10000);
            env.insert("QT_QPA_PLATFORM", "xcb");
            env.insert("DISPLAY", match.captured(1));
        } else {
            env.insert("QT_QPA_PLATFORM", "wayland");
        }
        ProgramRun program(m_folder->path(), work("wayland"), env);
        QVERIFY2(program.waitFor("page loaded"), program.output().constData());
        const QByteArray log = program.output();
        QVERIFY2(log.contains("mainwindow show!"), log.constData());
        QVERIFY2(!log.contains("page failed to load"), log.constData());
        QVERIFY2(log.contains(xwayland ? "window system xcb, wayland session"
                                       : "window system wayland, wayland session"),
                 log.constData());
        // No program may grab keys in a Wayland session, not even through
        // XWayland; without the desktop portal's GlobalShortcuts the hot key
        // is refused and the log says why.
        QVERIFY2(
            log.contains("hot key Ctrl+Alt+M not registered: the session has no desktop portal"),
            log.constData());

        program.process().terminate();
        QVERIFY(program.waitForExit());
        QCOMPARE(program.process().exitCode(), 0);
        weston.terminate();
        weston.waitForFinished(10000);
    }

    // The page's processes: the zygote that forks renderers and the renderer
    // it forked; no second zygote for processes without a sandbox idles
    // beside them all day.
    void theEngineKeepsNoZygoteForProcessesWithoutSandbox()
    {
        ProgramRun program(m_folder->path(), work("program"), m_env);
        QVERIFY2(program.waitFor("page loaded"), program.output().constData());
        const QStringList processes = descendantCommandLines(program.pid());
        const QString all = processes.join(QLatin1Char('\n'));
        const auto zygotes = processes.filter(QStringLiteral("--type=zygote"));
        QVERIFY2(zygotes.filter(QStringLiteral("--no-zygote-sandbox")).isEmpty(), qPrintable(all));
        // The zygote and the renderer it forked (which keeps its command line).
        QVERIFY2(zygotes.size() >= 2, qPrintable(all));
    }

    // A program folder of the package manager's is never written: each
    // user's settings, mode document, simulated mouse and log go to that
    // user's own XDG folders, copied from the program folder at their first
    // start, and another user's start sees none of them.
    void aPackagedProgramFolderIsLeftAloneAndEachUserHasOwnFiles()
    {
        m_folder->write(QStringLiteral("Resources/packaged"), "updated by the package manager\n");
        const QStringList before = treeState(m_folder->path());
        auto userEnvironment = [](const ProgramHome &home) {
            QProcessEnvironment env = home.environment();
            for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"})
                env.remove(QLatin1String(name));
            env.remove(QStringLiteral("DC_SIM_DIR"));
            env.insert("XDG_CACHE_HOME", home.filePath("cache"));
            return env;
        };
        auto runOnce = [&](const ProgramHome &home) {
            ProgramRun run(m_folder->path(), home.filePath("work"), userEnvironment(home));
            if (!run.waitFor("page loaded"))
                return run.output();
            run.process().terminate();
            run.waitForExit();
            return run.process().exitCode() == 0 ? QByteArray() : run.output();
        };
        QByteArray failure = runOnce(*m_home);
        QVERIFY2(failure.isEmpty(), failure.constData());

        const QString config = m_home->filePath(".config/kelv/");
        QCOMPARE(fileText(config + "Resources/profiles/conf.xml"),
                 m_folder->read("Resources/profiles/conf.xml"));
        QVERIFY(QFile::exists(config + "view/xml/configuration.xml"));
        QVERIFY(QFileInfo(m_home->filePath(".local/share/kelv/simulator")).isDir());
        // The log of the whole start, its first lines included, is the user's.
        const QByteArray log = fileText(m_home->filePath(".local/state/kelv/web.log"));
        QVERIFY2(log.contains("first start: copied"), log.constData());
        QVERIFY2(log.contains("page loaded"), log.constData());
        QVERIFY(!QFile::exists(m_home->filePath("work/web.log")));
        QCOMPARE(treeState(m_folder->path()), before);

        // Another user: their own copy, not the first user's changed settings.
        QFile settings(config + "Resources/profiles/conf.xml");
        QVERIFY(settings.open(QIODevice::Append));
        settings.write("<!-- the first user's -->\n");
        settings.close();
        ProgramHome other;
        failure = runOnce(other);
        QVERIFY2(failure.isEmpty(), failure.constData());
        QCOMPARE(fileText(other.filePath(".config/kelv/Resources/profiles/conf.xml")),
                 m_folder->read("Resources/profiles/conf.xml"));
        QCOMPARE(treeState(m_folder->path()), before);

        // A crash leaves its report with the user's state, and the reporter
        // (here one that notes what it was given) is told where.
        m_folder->write(QStringLiteral("CrashReporter"),
                        "#!/bin/sh\necho \"$1\" > \"$HOME/reporter-was-given\"\n");
        QVERIFY(QFile::setPermissions(m_folder->filePath("CrashReporter"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QStringList withReporter = treeState(m_folder->path());
        {
            ProgramRun run(m_folder->path(), other.filePath("work"), userEnvironment(other));
            QVERIFY2(run.waitFor("page loaded"), run.output().constData());
            ::kill(pid_t(run.pid()), SIGSEGV);
            QVERIFY(run.waitForExit());
        }
        QTRY_VERIFY(QFile::exists(other.filePath("reporter-was-given")));
        const QString report =
            QString::fromUtf8(fileText(other.filePath("reporter-was-given"))).trimmed();
        QVERIFY2(report.startsWith(other.filePath(".local/state/kelv/")) && report.endsWith(".dmp"),
                 qPrintable(report));
        QVERIFY(QFile::exists(report));
        QCOMPARE(treeState(m_folder->path()), withReporter);
    }

    // Started in the tray with a wireless mouse of OpenRazer's real daemon that is already low:
    // the tray's tooltip lists its battery and the desktop (dbusmock's notification daemon on
    // the daemon's session bus) gets one warning, none again while it is not charged.
    void aLowMouseBatteryReachesTheTrayAndTheDesktopOnce()
    {
        if (const QString why = RazerDaemon::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        if (const QString why = DBusMock::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        RazerDaemon daemon;
        QVERIFY(daemon.busRunning());
        DBusMock notifications(DBusMock::Kind::Session, daemon.busAddress());
        QVERIFY(
            notifications.startTemplate("notification_daemon", "org.freedesktop.Notifications"));
        const QString mouse =
            daemon.addMouse(RazerDaemon::Model::ViperUltimateWireless, "PM1947H0000001A", 1, "1-3");
        daemon.setFile(mouse, "charge_level", "26"); // of 255: 10 %
        daemon.setFile(mouse, "charge_status", "0");
        QVERIFY(daemon.start(1));
        auto notified = [&] {
            QStringList bodies;
            for (const QJsonValue &call : notifications.calls("org.freedesktop.Notifications",
                                                              "/org/freedesktop/Notifications")) {
                if (call.toArray().at(1).toString() == QLatin1String("Notify"))
                    bodies
                        << call.toArray().at(2).toArray().at(4).toObject().value("data").toString();
            }
            return bodies;
        };

        QProcessEnvironment env = m_env;
        env.insert("DBUS_SESSION_BUS_ADDRESS", daemon.busAddress());
        env.insert("KELV_SYSFS_ROOT", daemon.sysfsRoot());
        env.insert("KELV_BATTERY_POLL_SECONDS", "1");
        ProgramRun run(m_folder->path(), work("battery"), env, {"-autostart"});
        QVERIFY2(run.waitFor("tray tooltip: kelv | Razer Viper Ultimate (Wireless): 10%"),
                 run.output().constData());
        QTRY_COMPARE_WITH_TIMEOUT(notified(),
                                  QStringList{"Razer Viper Ultimate (Wireless) has 10% battery "
                                              "left. Charge it soon."},
                                  10000);
        // Lower still: the tooltip follows, the desktop is not told again.
        daemon.setFile(mouse, "charge_level", "13");
        QVERIFY2(run.waitFor("tray tooltip: kelv | Razer Viper Ultimate (Wireless): 5%"),
                 run.output().constData());
        QCOMPARE(notified().size(), 1);
    }

    void terminationSignalEndsTheProgramCleanly()
    {
        ProgramRun first(m_folder->path(), work("first"), m_env);
        QVERIFY2(first.waitFor("mainwindow show!"), first.output().constData());
        first.process().terminate();
        QVERIFY(first.waitForExit());
        QCOMPARE(first.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.process().exitCode(), 0);
        QVERIFY(first.output().contains("quit requested by signal 15"));
        // The server went away with its socket file: the next start is primary
        // without any clean-up.
        QVERIFY(!QFile::exists(socketPath()));
    }
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
