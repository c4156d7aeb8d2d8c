// Which running processes a program binding matches, with real processes: a
// program bound through a symlink, shell scripts, a program of an AppImage, a
// process whose command line is a Wine-run Windows program, and unrelated
// processes that share the bound file's name, which must not match.

#include "desktop/process_moniter.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <memory>
#include <unistd.h>
#include <vector>

using namespace kelv;

class TestProgramMatching : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<QProcess>> m_children;
    std::vector<pid_t> m_groups; // of the children, which outlive a shell that exits

    QString path(const QString &relative) const { return m_dir.filePath(relative); }

    bool writeFile(const QString &relative, const QByteArray &content, bool executable)
    {
        QDir().mkpath(QFileInfo(path(relative)).absolutePath());
        QFile file(path(relative));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        file.write(content);
        file.close();
        return !executable ||
               file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    bool copySleep(const QString &relative)
    {
        QDir().mkpath(QFileInfo(path(relative)).absolutePath());
        return QFile::copy(QStringLiteral("/bin/sleep"), path(relative)) &&
               QFile::setPermissions(path(relative),
                                     QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // Starts a process in a process group of its own, so that cleanup() also
    // ends what it started (a script's sleep); environment entries are added to
    // this process's own.
    QProcess *start(const QString &program, const QStringList &arguments,
                    const QStringList &environment = {}, const QString &workingFolder = {})
    {
        auto process = std::make_unique<QProcess>();
        process->setProgram(program);
        process->setArguments(arguments);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &entry : environment)
            env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
        process->setProcessEnvironment(env);
        if (!workingFolder.isEmpty())
            process->setWorkingDirectory(workingFolder);
        process->setChildProcessModifier([] { ::setpgid(0, 0); });
        process->start();
        if (!process->waitForStarted(5000))
            return nullptr;
        m_groups.push_back(static_cast<pid_t>(process->processId()));
        m_children.push_back(std::move(process));
        return m_children.back().get();
    }

    // A bound path's running state, with the bindings read from a mode
    // document as the monitor reads them.
    QMap<QString, bool> poll(const QStringList &boundPaths)
    {
        QByteArray xml = "<conf><modeSetting><modes>";
        for (int i = 0; i < boundPaths.size(); ++i)
            xml += "<mode index=\"" + QByteArray::number(i) + "\" bindingProcess=\"" +
                   boundPaths[i].toHtmlEscaped().toUtf8() + "\"/>";
        xml += "</modes></modeSetting></conf>";
        writeFile(QStringLiteral("configuration.xml"), xml, false);
        const QMap<QString, QString> bindings =
            ProcessMoniter::loadBindings(path(QStringLiteral("configuration.xml")));
        QMap<QString, bool> fresh;
        if (!ProcessMoniter::pollRunning(bindings, &fresh))
            return {};
        // Back to the paths as bound, in the order given.
        QMap<QString, bool> byBinding;
        for (const QString &bound : boundPaths)
            byBinding.insert(bound, fresh.value(ProcessMoniter::canonicalProgramPath(bound)));
        return byBinding;
    }

    // Processes start running their program a moment after fork.
    bool becomesRunning(const QStringList &boundPaths, const QString &which)
    {
        QDeadlineTimer deadline(5000);
        while (!poll(boundPaths).value(which)) {
            if (deadline.hasExpired())
                return false;
            QTest::qWait(50);
        }
        return true;
    }

    // A shell killed right after it forked leaves a child that still carries the
    // script's command line until it execs its own program: ended means ended soon.
    bool becomesStopped(const QStringList &boundPaths, const QString &which)
    {
        QDeadlineTimer deadline(5000);
        while (poll(boundPaths).value(which)) {
            if (deadline.hasExpired())
                return false;
            QTest::qWait(50);
        }
        return true;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void cleanup()
    {
        for (pid_t group : m_groups)
            ::kill(-group, SIGKILL);
        for (auto &child : m_children)
            child->waitForFinished(5000);
        m_children.clear();
        m_groups.clear();
    }

    void symlinkedProgramMatchesItsTarget()
    {
        QVERIFY(copySleep(QStringLiteral("real/game")));
        QDir().mkpath(path(QStringLiteral("links")));
        QVERIFY(QFile::link(path(QStringLiteral("real/game")), path(QStringLiteral("links/game"))));
        QVERIFY(copySleep(QStringLiteral("other/game"))); // the same name, another program

        const QStringList bound{path(QStringLiteral("links/game")),
                                path(QStringLiteral("real/game"))};
        QVERIFY(start(path(QStringLiteral("other/game")), {QStringLiteral("600")}));
        QTest::qWait(200);
        QCOMPARE(poll(bound).value(bound[0]), false);
        QCOMPARE(poll(bound).value(bound[1]), false);

        // Started through the link: both the link and the target match.
        QVERIFY(start(path(QStringLiteral("links/game")), {QStringLiteral("600")}));
        QVERIFY(becomesRunning(bound, bound[0]));
        QCOMPARE(poll(bound).value(bound[1]), true);
        QCOMPARE(ProcessMoniter::canonicalProgramPath(bound[0]), bound[1]);
    }

    void programBoundThroughALinkToAFolderNotThereYetMatchesOnceItIs()
    {
        // ~/Games links to a drive that is mounted only after the monitor has
        // read its bindings (the program starts with the desktop).
        QVERIFY(QFile::link(path(QStringLiteral("drive")), path(QStringLiteral("Games"))));
        const QString bound = path(QStringLiteral("Games/game"));
        QVERIFY(writeFile(QStringLiteral("configuration.xml"),
                          "<conf><modeSetting><modes><mode index=\"4\" bindingProcess=\"" +
                              bound.toHtmlEscaped().toUtf8() + "\"/></modes></modeSetting></conf>",
                          false));
        const QMap<QString, QString> bindings =
            ProcessMoniter::loadBindings(path(QStringLiteral("configuration.xml")));
        QCOMPARE(bindings.size(), 1);

        QVERIFY(copySleep(QStringLiteral("drive/game"))); // the drive is there now
        QVERIFY(start(path(QStringLiteral("drive/game")), {QStringLiteral("600")}));
        QDeadlineTimer deadline(5000);
        QMap<QString, bool> fresh;
        while (!fresh.value(bindings.firstKey())) {
            QVERIFY2(!deadline.hasExpired(), "the program is not seen running");
            QTest::qWait(50);
            QVERIFY(ProcessMoniter::pollRunning(bindings, &fresh));
        }
        QCOMPARE(fresh.size(), 1);
    }

    void scriptMatchesByItsScriptPath()
    {
        const QByteArray script = "#!/bin/sh\nsleep 600\nexit 0\n";
        QVERIFY(writeFile(QStringLiteral("scripts/run-game.sh"), script, true));
        QVERIFY(writeFile(QStringLiteral("elsewhere/run-game.sh"), script, true));
        const QString bound = path(QStringLiteral("scripts/run-game.sh"));

        // The same script name in another folder is another program.
        QVERIFY(start(path(QStringLiteral("elsewhere/run-game.sh")), {}));
        QTest::qWait(300);
        QCOMPARE(poll({bound}).value(bound), false);
        cleanup();

        // Started by its #! line.
        QVERIFY(start(bound, {}));
        QVERIFY(becomesRunning({bound}, bound));
        cleanup();
        QVERIFY(becomesStopped({bound}, bound));

        // Handed to an interpreter with options, by a relative path.
        QVERIFY(start(QStringLiteral("/bin/sh"),
                      {QStringLiteral("-e"), QStringLiteral("run-game.sh")}, {},
                      path(QStringLiteral("scripts"))));
        QVERIFY(becomesRunning({bound}, bound));
        cleanup();
        QVERIFY(becomesStopped({bound}, bound));

        // An option's value is not the script, even where it names a file.
        QVERIFY(writeFile(QStringLiteral("scripts/errexit"), "", false));
        QVERIFY(start(QStringLiteral("/bin/sh"),
                      {QStringLiteral("-o"), QStringLiteral("errexit"), bound}, {},
                      path(QStringLiteral("scripts"))));
        QVERIFY(becomesRunning({bound}, bound));
        cleanup();

        // Code given on the command line names no script, even when an
        // argument happens to be the bound file.
        QVERIFY(start(QStringLiteral("/bin/sh"),
                      {QStringLiteral("-c"), QStringLiteral("sleep 600; exit 0"), bound}));
        QTest::qWait(300);
        QCOMPARE(poll({bound}).value(bound), false);
    }

    void appImageMatchesByItsImageFile()
    {
        QVERIFY(writeFile(QStringLiteral("apps/Game.AppImage"), "image", true));
        QVERIFY(writeFile(QStringLiteral("downloads/Game.AppImage"), "other image", true));
        // The programs inside the images' mounts, as the AppImage runtime
        // starts them: APPIMAGE names the image file.
        QVERIFY(copySleep(QStringLiteral("mnt/.mount_GameAb12Cd/usr/bin/game")));
        QVERIFY(copySleep(QStringLiteral("mnt/.mount_GameXy34Ef/usr/bin/game")));
        const QString bound = path(QStringLiteral("apps/Game.AppImage"));
        // A program of another image with the same file name.
        QVERIFY(start(
            path(QStringLiteral("mnt/.mount_GameXy34Ef/usr/bin/game")), {QStringLiteral("600")},
            {QStringLiteral("APPIMAGE=") + path(QStringLiteral("downloads/Game.AppImage"))}));
        QTest::qWait(200);
        QCOMPARE(poll({bound}).value(bound), false);
        QVERIFY(start(path(QStringLiteral("mnt/.mount_GameAb12Cd/usr/bin/game")),
                      {QStringLiteral("600")}, {QStringLiteral("APPIMAGE=") + bound}));
        QVERIFY(becomesRunning({bound}, bound));
    }

    void wineProgramMatchesTheExeFromItsCommandLine()
    {
        // A Wine prefix whose drive D: is a folder of ours.
        QVERIFY(writeFile(QStringLiteral("drive_d/Games/Game.exe"), "MZ", false));
        QVERIFY(writeFile(QStringLiteral("drive_d/Other/Game.exe"), "MZ", false));
        QDir().mkpath(path(QStringLiteral("prefix/dosdevices")));
        QVERIFY(QFile::link(path(QStringLiteral("drive_d")),
                            path(QStringLiteral("prefix/dosdevices/d:"))));
        const QString bound = path(QStringLiteral("drive_d/Games/Game.exe"));
        const QString prefix = QStringLiteral("WINEPREFIX=") + path(QStringLiteral("prefix"));
        // Only Wine's processes are read so: another program whose command
        // line names the .exe is not running it.
        QVERIFY(start(QStringLiteral("/bin/bash"),
                      {QStringLiteral("-c"), QStringLiteral("exec -a \"$0\" sleep 600"),
                       QStringLiteral("D:\\Games\\Game.exe")},
                      {prefix}));

        // Wine runs the program in its preloader, which shows the Windows
        // command line as its own.
        QVERIFY(copySleep(QStringLiteral("wine/wine64-preloader")));
        const QString preloader = path(QStringLiteral("wine/wine64-preloader"));
        const auto wineProcess = [&](const QString &windowsPath, const QStringList &env) {
            return start(QStringLiteral("/bin/bash"),
                         {QStringLiteral("-c"), QStringLiteral("exec -a \"$0\" \"$1\" 600"),
                          windowsPath, preloader},
                         env);
        };
        QVERIFY(wineProcess(QStringLiteral("D:\\Other\\Game.exe"), {prefix}));
        QVERIFY(wineProcess(QStringLiteral("C:\\Games\\Game.exe"), {prefix})); // no drive C:
        QTest::qWait(300);
        QCOMPARE(poll({bound}).value(bound), false);

        QVERIFY(wineProcess(QStringLiteral("D:\\Games\\Game.exe"), {prefix}));
        QVERIFY(becomesRunning({bound}, bound));
        cleanup();

        // Z: is the root folder; Proton's prefix is the pfx folder.
        QString zPath = bound;
        zPath.replace(QLatin1Char('/'), QLatin1Char('\\'));
        QVERIFY(wineProcess(
            QStringLiteral("Z:") + zPath,
            {QStringLiteral("STEAM_COMPAT_DATA_PATH=") + path(QStringLiteral("compat"))}));
        QVERIFY(becomesRunning({bound}, bound));
    }
};

QTEST_GUILESS_MAIN(TestProgramMatching)
#include "tst_program_matching.moc"
