// The Updater as a real process: waits for the program, replaces the program
// folder from tupdates/client/ready, rolls back when a file cannot be
// replaced, recovers an interrupted run, and starts the program again.

#include "tests/testsupport/temp_program_folder.h"

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

void writeFile(const QString &path, const QByteArray &data, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(data);
    file.close();
    if (executable)
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A stand-in for the program: records which version was started.
QByteArray programScript(const QByteArray &version)
{
    return "#!/bin/sh\necho " + version + " > started.part && mv started.part started\n";
}

QString updater()
{
    return kelv::test::TempProgramFolder::builtProgramFolder() + QStringLiteral("/Updater");
}

} // namespace

class TestUpdater : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void needsUpdateArgument();
    void waitsThenReplacesAndRestarts();
    void rollsBackWhenAFileCannotBeReplaced();
    void recoversAnInterruptedRun();

private:
    QString path(const QString &relative) const
    {
        return m_dir->path() + QLatin1Char('/') + relative;
    }
    int runUpdater(qint64 waitPid = 0, QProcess *process = nullptr);
    QTemporaryDir *m_dir = nullptr;
};

void TestUpdater::init()
{
    m_dir = new QTemporaryDir;
    writeFile(path(QStringLiteral("kelv")), programScript("old"), true);
    writeFile(path(QStringLiteral("lib/libdc.so")), "old library");
    writeFile(path(QStringLiteral("view/index.html")), "old page");
    writeFile(path(QStringLiteral("keep.txt")), "not in the update");
}

void TestUpdater::cleanup()
{
    delete m_dir;
}

int TestUpdater::runUpdater(qint64 waitPid, QProcess *given)
{
    QProcess local;
    QProcess &process = given ? *given : local;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("KELV_UPDATER_WAIT_PID"), QString::number(waitPid));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(m_dir->path());
    process.start(updater(), {QStringLiteral("-update")});
    if (given)
        return 0;
    process.waitForFinished(60000);
    return process.exitCode();
}

void TestUpdater::needsUpdateArgument()
{
    QProcess process;
    process.setWorkingDirectory(m_dir->path());
    process.start(updater(), {});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 2);
    QCOMPARE(readFile(path(QStringLiteral("lib/libdc.so"))), QByteArray("old library"));
}

void TestUpdater::waitsThenReplacesAndRestarts()
{
    writeFile(path(QStringLiteral("tupdates/client/ready/kelv")), programScript("new"), true);
    writeFile(path(QStringLiteral("tupdates/client/ready/lib/libdc.so")), "new library");
    writeFile(path(QStringLiteral("tupdates/client/ready/view/js/new.js")), "new script");

    // The "program" still runs: the updater must not touch anything yet.
    QProcess program;
    program.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    QVERIFY(program.waitForStarted());
    QProcess run;
    runUpdater(program.processId(), &run);
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
    QVERIFY(QFileInfo(path(QStringLiteral("kelv"))).isExecutable());
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/ready"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/backup"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/update.journal"))));
    // The new program was started.
    QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("started"))).trimmed(),
                              QByteArray("new"), 10000);
}

void TestUpdater::rollsBackWhenAFileCannotBeReplaced()
{
    writeFile(path(QStringLiteral("tupdates/client/ready/kelv")), programScript("new"), true);
    writeFile(path(QStringLiteral("tupdates/client/ready/lib/libdc.so")), "new library");
    writeFile(path(QStringLiteral("tupdates/client/ready/new/added.txt")), "added");
    // The last file in order would replace a folder, which cannot be done.
    writeFile(path(QStringLiteral("tupdates/client/ready/zz/blocked")), "new file");
    writeFile(path(QStringLiteral("zz/blocked/inside.txt")), "a folder in the way");

    QCOMPARE(runUpdater(), 1);
    QCOMPARE(readFile(path(QStringLiteral("kelv"))), programScript("old"));
    QCOMPARE(readFile(path(QStringLiteral("lib/libdc.so"))), QByteArray("old library"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("new/added.txt"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("new"))));
    QCOMPARE(readFile(path(QStringLiteral("zz/blocked/inside.txt"))),
             QByteArray("a folder in the way"));
    QVERIFY(QFileInfo::exists(path(QStringLiteral("tupdates/client/ready/kelv"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/backup"))));
    QVERIFY(readFile(path(QStringLiteral("updater.log"))).contains("it is a folder"));
    // The old program is started again.
    QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("started"))).trimmed(),
                              QByteArray("old"), 10000);
}

void TestUpdater::recoversAnInterruptedRun()
{
    // State of a run that stopped half way: lib/libdc.so backed up and
    // replaced, added.txt new; the journal says so.
    writeFile(path(QStringLiteral("tupdates/client/backup/lib/libdc.so")), "old library");
    writeFile(path(QStringLiteral("lib/libdc.so")), "new library");
    writeFile(path(QStringLiteral("added.txt")), "added");
    writeFile(path(QStringLiteral("tupdates/client/update.journal")),
              "B lib/libdc.so\nN added.txt\n");

    QCOMPARE(runUpdater(), 0);
    QCOMPARE(readFile(path(QStringLiteral("lib/libdc.so"))), QByteArray("old library"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("added.txt"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/update.journal"))));
    QTRY_COMPARE_WITH_TIMEOUT(readFile(path(QStringLiteral("started"))).trimmed(),
                              QByteArray("old"), 10000);
}

QTEST_GUILESS_MAIN(TestUpdater)
#include "tst_updater.moc"
