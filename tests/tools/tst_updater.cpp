// The Updater as a real process on a throw-away program folder: it waits for
// the program, replaces the files of tupdates/client/ready, keeps the new
// version only when it reports that it started, rolls back otherwise (and
// when a file cannot be replaced, and after an interrupted run), installs
// nothing it cannot check (without -restart the next start hands it over),
// never writes through a folder link that leads out of the program folder,
// and acts on no journal line a file name could have forged. Stand-in
// programs are shell scripts.

#include "update/client_install.h"
#include "update/file_modes.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace kelv;

namespace {

// Writes a file the way an installer writes a new one: default bits, plus
// execute bits when it begins like a program.
void writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(data);
    file.close();
    install::settleInstalledPermissions(path, std::nullopt);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A stand-in program: records which version was started, and with what.
QByteArray programScript(const QByteArray &version)
{
    return "#!/bin/sh\necho " + version + " \"$@\" > started.part && mv started.part started\n";
}

// A new version that reports like kelv does once its window and page are up.
QByteArray reportingScript(const QByteArray &version)
{
    return "#!/bin/sh\nmv tupdates/client/health.pending tupdates/client/health.started\n" +
           programScript(version).mid(10);
}

QString updater()
{
    return qEnvironmentVariable("KELV_PROGRAM_DIR") + QStringLiteral("/Updater");
}

} // namespace

class TestUpdater : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void needsItsCommandLine();
    void waitsThenReplacesAndKeepsAVersionThatStarts();
    void exitInstallsNothingUntilTheNextStart();
    void neverWritesThroughALinkLeadingOut();
    void rollsBackWhenTheNewVersionEnds();
    void rollsBackWhenTheNewVersionStaysSilent();
    void rollsBackWhenAFileCannotBeReplaced();
    void recoversAnInterruptedRun();
    void aStartInTheTrayStaysInTheTray();
    void journalNamesCannotForgeLines();

private:
    QString path(const QString &relative) const
    {
        return m_dir->path() + QStringLiteral("/prog/") + relative;
    }
    void readyNewVersion(const QByteArray &program);
    int runUpdater(bool restart, qint64 waitPid = 0, QProcess *process = nullptr,
                   int healthTimeoutMs = 0, const QStringList &extra = {});
    QTemporaryDir *m_dir = nullptr;
};

void TestUpdater::init()
{
    m_dir = new QTemporaryDir;
    writeFile(path(QStringLiteral("kelv")), programScript("old"));
    writeFile(path(QStringLiteral("lib/libdc.so")), "old library");
    writeFile(path(QStringLiteral("view/index.html")), "old page");
    writeFile(path(QStringLiteral("keep.txt")), "not in the update");
}

void TestUpdater::cleanup()
{
    delete m_dir;
}

void TestUpdater::readyNewVersion(const QByteArray &program)
{
    // As the package reader leaves them: plain files, programs executable.
    writeFile(path(QStringLiteral("tupdates/client/ready/kelv")), program);
    writeFile(path(QStringLiteral("tupdates/client/ready/lib/libdc.so")), "new library");
    writeFile(path(QStringLiteral("tupdates/client/ready/view/js/new.js")), "new script");
    writeFile(path(QStringLiteral("tupdates/client/ready/bin/helper.sh")), "#!/bin/sh\n");
    writeFile(path(QStringLiteral("tupdates/client/pending-version")), "2.0.0");
}

int TestUpdater::runUpdater(bool restart, qint64 waitPid, QProcess *given, int healthTimeoutMs,
                            const QStringList &extra)
{
    QProcess local;
    QProcess &process = given ? *given : local;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (healthTimeoutMs > 0)
        environment.insert(QStringLiteral("KELV_UPDATER_HEALTH_TIMEOUT_MS"),
                           QString::number(healthTimeoutMs));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(path(QString()));
    // Everything on the command line, as an elevated start on Windows gets it.
    QStringList arguments{QStringLiteral("-update"), QStringLiteral("-wait"),
                          QString::number(waitPid)};
    if (restart)
        arguments << QStringLiteral("-restart");
    process.start(updater(), arguments + extra);
    if (given)
        return 0;
    process.waitForFinished(60000);
    return process.exitCode();
}

void TestUpdater::needsItsCommandLine()
{
    readyNewVersion(reportingScript("new"));
    const QList<QStringList> wrong = {
        {},
        {QStringLiteral("-update")},
        {QStringLiteral("-update"), QStringLiteral("-wait")},
        {QStringLiteral("-update"), QStringLiteral("-wait"), QStringLiteral("12x")},
        {QStringLiteral("-wait"), QStringLiteral("1"), QStringLiteral("-restart")},
        {QStringLiteral("-update"), QStringLiteral("-wait"), QStringLiteral("1"),
         QStringLiteral("-force")}};
    for (const QStringList &arguments : wrong) {
        QProcess process;
        process.setWorkingDirectory(path(QString()));
        process.start(updater(), arguments);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 2);
        QVERIFY(process.readAllStandardError().contains("usage: Updater -update -wait"));
    }
    QCOMPARE(readFile(path(QStringLiteral("lib/libdc.so"))), QByteArray("old library"));
}

void TestUpdater::waitsThenReplacesAndKeepsAVersionThatStarts()
{
    readyNewVersion(reportingScript("new"));
    const QFileDevice::Permissions programBits =
        QFileInfo(path(QStringLiteral("kelv"))).permissions();
    const QFileDevice::Permissions libraryBits =
        QFileInfo(path(QStringLiteral("lib/libdc.so"))).permissions();

    // The "program" still runs: the updater must not touch anything yet.
    QProcess program;
    program.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    QVERIFY(program.waitForStarted());
    QProcess run;
    runUpdater(true, program.processId(), &run);
    QVERIFY(!run.waitForFinished(1500));
    QCOMPARE(readFile(path(QStringLiteral("lib/libdc.so"))), QByteArray("old library"));
    program.kill();
    program.waitForFinished();

    QVERIFY(run.waitForFinished(30000));
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(readFile(path(QStringLiteral("lib/libdc.so"))), QByteArray("new library"));
    QCOMPARE(readFile(path(QStringLiteral("view/js/new.js"))), QByteArray("new script"));
    QCOMPARE(readFile(path(QStringLiteral("view/index.html"))), QByteArray("old page"));
    QCOMPARE(readFile(path(QStringLiteral("keep.txt"))), QByteArray("not in the update"));
    // Replaced files keep their bits; new files get them from their content.
    QCOMPARE(QFileInfo(path(QStringLiteral("kelv"))).permissions(), programBits);
    QCOMPARE(QFileInfo(path(QStringLiteral("lib/libdc.so"))).permissions(), libraryBits);
    QVERIFY(QFileInfo(path(QStringLiteral("bin/helper.sh"))).isExecutable());
    QVERIFY(!QFileInfo(path(QStringLiteral("view/js/new.js"))).isExecutable());
    // The new program reported, so everything of the install is gone.
    QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("started"))).trimmed(),
                              QByteArray("new"), 10000);
    for (const char *left : {"ready", "backup", "update.journal", "health.pending",
                             "health.started", "pending-version", "rollback.txt"})
        QVERIFY2(!QFileInfo::exists(path(QStringLiteral("tupdates/client/") + QLatin1String(left))),
                 left);
}

void TestUpdater::exitInstallsNothingUntilTheNextStart()
{
    // Without -restart nothing would start the new version to see that it
    // runs: nothing is installed, and the next start is to hand it over.
    readyNewVersion(reportingScript("new"));
    QCOMPARE(runUpdater(false), 0);
    QCOMPARE(readFile(path(QStringLiteral("lib/libdc.so"))), QByteArray("old library"));
    QVERIFY(QFileInfo::exists(path(QStringLiteral("tupdates/client/ready/kelv"))));
    QVERIFY(QFileInfo::exists(path(QStringLiteral("tupdates/client/install-at-start"))));
    QCOMPARE(install::phaseOf(install::InstallPaths(path(QString()))), install::Phase::Idle);
    QTest::qWait(500);
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("started"))));

    // The next start hands it over with the restart: installed and checked.
    QCOMPARE(runUpdater(true), 0);
    QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("started"))).trimmed(),
                              QByteArray("new"), 10000);
    QCOMPARE(readFile(path(QStringLiteral("lib/libdc.so"))), QByteArray("new library"));
    QCOMPARE(install::phaseOf(install::InstallPaths(path(QString()))), install::Phase::Idle);
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/backup"))));
}

void TestUpdater::neverWritesThroughALinkLeadingOut()
{
    // A folder of the program folder is a link to a folder elsewhere.
    const QString outside = m_dir->filePath(QStringLiteral("elsewhere"));
    writeFile(outside + QStringLiteral("/data.txt"), "not the program's");
    QVERIFY(QFile::link(outside, path(QStringLiteral("data"))));
    readyNewVersion(reportingScript("new"));
    writeFile(path(QStringLiteral("tupdates/client/ready/data/data.txt")), "written through");
    writeFile(path(QStringLiteral("tupdates/client/ready/data/new.txt")), "new outside");

    QCOMPARE(runUpdater(true), 1);
    QCOMPARE(readFile(outside + QStringLiteral("/data.txt")), QByteArray("not the program's"));
    QVERIFY(!QFileInfo::exists(outside + QStringLiteral("/new.txt")));
    QCOMPARE(readFile(path(QStringLiteral("lib/libdc.so"))), QByteArray("old library"));
    QVERIFY(readFile(path(QStringLiteral("tupdates/client/rollback.txt")))
                .contains("leads out of the program folder"));
    QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("started"))).trimmed(),
                              QByteArray("old"), 10000);

    // A journal left by an interrupted run cannot delete through the link
    // either; a link that stays inside the program folder is used as usual.
    QFile::remove(path(QStringLiteral("started")));
    writeFile(path(QStringLiteral("tupdates/client/update.journal")), "N data/data.txt\n");
    QVERIFY(QFile::link(path(QStringLiteral("lib")), path(QStringLiteral("shared"))));
    readyNewVersion(reportingScript("new"));
    writeFile(path(QStringLiteral("tupdates/client/ready/shared/extra.so")),
              "through an inner link");
    QCOMPARE(runUpdater(true), 0);
    QCOMPARE(readFile(outside + QStringLiteral("/data.txt")), QByteArray("not the program's"));
    QVERIFY(readFile(path(QStringLiteral("updater.log"))).contains("outside the program folder"));
    QCOMPARE(readFile(path(QStringLiteral("lib/extra.so"))), QByteArray("through an inner link"));
    QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("started"))).trimmed(),
                              QByteArray("new"), 10000);
}

void TestUpdater::rollsBackWhenTheNewVersionEnds()
{
    readyNewVersion("#!/bin/sh\nexit 3\n");
    QCOMPARE(runUpdater(true), 1);
    QCOMPARE(readFile(path(QStringLiteral("kelv"))), programScript("old"));
    QCOMPARE(readFile(path(QStringLiteral("lib/libdc.so"))), QByteArray("old library"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("view/js/new.js"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("bin"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/backup"))));
    QCOMPARE(install::phaseOf(install::InstallPaths(path(QString()))), install::Phase::Idle);
    // The old program runs again and has the reason to tell.
    QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("started"))).trimmed(),
                              QByteArray("old"), 10000);
    const QByteArray notice = readFile(path(QStringLiteral("tupdates/client/rollback.txt")));
    QVERIFY2(notice.contains("version 2.0.0 was rolled back"), notice.constData());
    QVERIFY2(notice.contains("ended before its window and page were shown"), notice.constData());
}

void TestUpdater::rollsBackWhenTheNewVersionStaysSilent()
{
    // Runs, but never reports: ended after the time-out.
    readyNewVersion("#!/bin/sh\nexec sleep 60\n");
    QCOMPARE(runUpdater(true, 0, nullptr, 2000), 1);
    QCOMPARE(readFile(path(QStringLiteral("kelv"))), programScript("old"));
    QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("started"))).trimmed(),
                              QByteArray("old"), 10000);
    const QByteArray notice = readFile(path(QStringLiteral("tupdates/client/rollback.txt")));
    QVERIFY2(notice.contains("did not show its window and page within 2 seconds"),
             notice.constData());
    QVERIFY(readFile(path(QStringLiteral("updater.log"))).contains("ending the new program"));
}

void TestUpdater::rollsBackWhenAFileCannotBeReplaced()
{
    readyNewVersion(reportingScript("new"));
    // The last file in order would replace a folder, which cannot be done.
    writeFile(path(QStringLiteral("tupdates/client/ready/zz/blocked")), "new file");
    writeFile(path(QStringLiteral("zz/blocked/inside.txt")), "a folder in the way");

    QCOMPARE(runUpdater(true), 1);
    QCOMPARE(readFile(path(QStringLiteral("kelv"))), programScript("old"));
    QCOMPARE(readFile(path(QStringLiteral("lib/libdc.so"))), QByteArray("old library"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("bin/helper.sh"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("bin"))));
    QCOMPARE(readFile(path(QStringLiteral("zz/blocked/inside.txt"))),
             QByteArray("a folder in the way"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/backup"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/ready"))));
    QVERIFY(readFile(path(QStringLiteral("updater.log"))).contains("it is a folder"));
    QVERIFY(readFile(path(QStringLiteral("tupdates/client/rollback.txt")))
                .contains("zz/blocked cannot be replaced"));
    QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("started"))).trimmed(),
                              QByteArray("old"), 10000);
}

void TestUpdater::recoversAnInterruptedRun()
{
    // State of a run that stopped half way: lib/libdc.so backed up and
    // replaced, "added file.txt" new; the journal says so. Two more lines
    // were not written by the Updater: they must not be acted on.
    writeFile(path(QStringLiteral("tupdates/client/backup/lib/libdc.so")), "old library");
    writeFile(path(QStringLiteral("lib/libdc.so")), "new library");
    writeFile(path(QStringLiteral("added file.txt")), "added");
    writeFile(m_dir->filePath(QStringLiteral("outside.txt")), "not the Updater's");
    writeFile(path(QStringLiteral("tupdates/client/update.journal")),
              "B lib/libdc.so\nN added%20file.txt\nN ../outside.txt\nN %2E%2E/outside.txt\n");

    QCOMPARE(runUpdater(true), 0);
    QCOMPARE(readFile(path(QStringLiteral("lib/libdc.so"))), QByteArray("old library"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("added file.txt"))));
    QCOMPARE(readFile(m_dir->filePath(QStringLiteral("outside.txt"))),
             QByteArray("not the Updater's"));
    QVERIFY(readFile(path(QStringLiteral("updater.log"))).contains("journal: refused the line"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/update.journal"))));
    QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("started"))).trimmed(),
                              QByteArray("old"), 10000);
}

void TestUpdater::aStartInTheTrayStaysInTheTray()
{
    // The update was handed over by a start in the tray (the login item's,
    // "-autostart"): the new version is started the same way, and so is the
    // old one when the new one is rolled back.
    const QStringList autostart{QStringLiteral("-autostart")};
    readyNewVersion(reportingScript("new"));
    QCOMPARE(runUpdater(true, 0, nullptr, 0, autostart), 0);
    QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("started"))).trimmed(),
                              QByteArray("new -autostart"), 10000);

    QFile::remove(path(QStringLiteral("started")));
    readyNewVersion("#!/bin/sh\nexit 3\n");
    QCOMPARE(runUpdater(true, 0, nullptr, 0, autostart), 1);
    QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("started"))).trimmed(),
                              QByteArray("new -autostart"), 10000);
}

void TestUpdater::journalNamesCannotForgeLines()
{
    // A name with a line break stays one line and comes back whole.
    const QString forged = QStringLiteral("view/a\nN ../../etc/passwd");
    const QByteArray line = install::journalLine('N', forged);
    QCOMPARE(line.count('\n'), 1);
    QStringList log;
    QList<install::JournalEntry> entries =
        install::parseJournal(install::journalLine('B', QStringLiteral("lib/libdc.so")) +
                                  install::journalLine('N', QStringLiteral("view/ünï cödé.js")),
                              &log);
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries.at(1).relative, QStringLiteral("view/ünï cödé.js"));
    QVERIFY(log.isEmpty());
    // The reader refuses names with control characters and unsafe paths.
    entries = install::parseJournal(line + "N /etc/passwd\nX view/a\nN view/%00x\nN \n", &log);
    QVERIFY(entries.isEmpty());
    QCOMPARE(log.size(), 5);
}

QTEST_GUILESS_MAIN(TestUpdater)
#include "tst_updater.moc"
