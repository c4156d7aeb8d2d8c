// The program's start-up check of client installs: a cut-off install is
// rolled back (and the program started again from disk), a reported one is
// completed, one that waits for its first start goes to the Updater, the start
// the Updater waits for is recognised and its report records the version once
// and only when it came in time; a roll-back notice is handed out once, and is
// shown in the user's language.

#include "common/app_paths.h"
#include "common/client_settings.h"
#include "tests/testsupport/file_size_limit.h"
#include "tests/testsupport/test_files.h"
#include "update/client_install.h"
#include "update/file_modes.h"
#include "update/installers.h"
#include "update/startup_check.h"

#include <QDir>
#include <QLockFile>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

using namespace kelv;

using kelv::test::readFile;
using kelv::test::writeFile;

class TestStartupCheck : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void nothingToDoHandsOutTheNoticeOnce();
    void cutOffInstallIsRolledBack();
    void theNoticeIsShownInTheUsersLanguage();
    void reportedInstallIsCompleted();
    void installWaitingForItsFirstStartGoesToTheUpdater();
    void updateLeftAfterExitGoesToTheUpdaterOnce();
    void theStartTheUpdaterWaitsForIsATrial();
    void reportRecordsTheVersionOnce();
    void lateReportRecordsNothing();
    void notesTheDiskRefusesKeepTheOldOnes();

private:
    QString path(const QString &relative) const
    {
        return m_dir->path() + QLatin1Char('/') + relative;
    }
    // Files replaced and added by an install, with the journal that says so.
    void installedState();
    install::InstallPaths paths() const { return install::InstallPaths(m_dir->path()); }
    QTemporaryDir *m_dir = nullptr;
    QStringList m_log;
};

void TestStartupCheck::init()
{
    m_dir = new QTemporaryDir;
    setWorkingFolder(m_dir->path() + QLatin1Char('/'));
    setExecutableFolder(m_dir->path() + QLatin1Char('/'));
    setRestartAfterUpdate(false);
    m_log.clear();
    writeFile(path(QStringLiteral("Resources/profiles/conf.xml")),
              "<?xml version=\"1.0\"?>\n<root>\n\t<client version=\"1.0.0\" language=\"en\" "
              "/>\n</root>\n");
    writeFile(path(QStringLiteral("view/index.html")), "page");
}

void TestStartupCheck::cleanup()
{
    delete m_dir;
    setWorkingFolder(QString());
    setExecutableFolder(QString());
    setRestartAfterUpdate(false);
}

void TestStartupCheck::installedState()
{
    writeFile(path(QStringLiteral("tupdates/client/backup/lib/libdc.so")), "old library");
    writeFile(path(QStringLiteral("lib/libdc.so")), "new library");
    writeFile(path(QStringLiteral("extra/added.txt")), "added");
    writeFile(path(QStringLiteral("tupdates/client/update.journal")),
              install::journalLine('B', QStringLiteral("lib/libdc.so")) +
                  install::journalLine('D', QStringLiteral("extra")) +
                  install::journalLine('N', QStringLiteral("extra/added.txt")));
}

void TestStartupCheck::nothingToDoHandsOutTheNoticeOnce()
{
    StartupInstallCheck check = checkInstallAtStartup(&m_log);
    QCOMPARE(check.outcome, StartupInstallCheck::Outcome::Continue);
    QVERIFY(check.notice.isEmpty());
    QVERIFY(!check.trialStart);

    writeFile(path(QStringLiteral("tupdates/client/rollback.txt")), "rolled back: why\n");
    check = checkInstallAtStartup(&m_log);
    QCOMPARE(check.outcome, StartupInstallCheck::Outcome::Continue);
    QCOMPARE(check.notice, QStringLiteral("rolled back: why"));
    QVERIFY(checkInstallAtStartup(&m_log).notice.isEmpty());
}

void TestStartupCheck::cutOffInstallIsRolledBack()
{
    // The Updater died while copying (no health file): whatever mix is on
    // disk goes back to the old files.
    installedState();
    writeFile(path(QStringLiteral("tupdates/client/ready/lib/libdc.so")), "new library");
    const StartupInstallCheck check = checkInstallAtStartup(&m_log);
    QCOMPARE(check.outcome, StartupInstallCheck::Outcome::Restart);
    QCOMPARE(readFile(path(QStringLiteral("lib/libdc.so"))), QByteArray("old library"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("extra"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/ready"))));
    QCOMPARE(install::phaseOf(paths()), install::Phase::Idle);
    // The restarted program tells the user.
    const StartupInstallCheck next = checkInstallAtStartup(&m_log);
    QCOMPARE(next.outcome, StartupInstallCheck::Outcome::Continue);
    QVERIFY2(next.notice.contains(QStringLiteral("interrupted")), qPrintable(next.notice));
}

void TestStartupCheck::theNoticeIsShownInTheUsersLanguage()
{
    // A cut-off install: the notice the program wrote itself is shown in
    // German; the file and the log keep the English.
    installedState();
    QCOMPARE(checkInstallAtStartup(&m_log).outcome, StartupInstallCheck::Outcome::Restart);
    const QString notice = checkInstallAtStartup(&m_log).notice;
    QVERIFY2(notice.startsWith(QStringLiteral("The update was interrupted")), qPrintable(notice));
    const UpdateNoticeMessage german = updateNoticeMessage(notice, UiLanguage::German);
    QCOMPARE(german.title, QStringLiteral("Update zurückgenommen"));
    QVERIFY2(german.text.startsWith(QStringLiteral("Das Update wurde unterbrochen")),
             qPrintable(german.text));
    const UpdateNoticeMessage korean = updateNoticeMessage(notice, UiLanguage::Korean);
    QCOMPARE(korean.title, QStringLiteral("업데이트를 되돌렸습니다"));
    QVERIFY2(korean.text.contains(QStringLiteral("이전 버전이 복원되었습니다")),
             qPrintable(korean.text));
    const UpdateNoticeMessage english = updateNoticeMessage(notice, UiLanguage::English);
    QCOMPARE(english.title, QStringLiteral("Update rolled back"));
    QCOMPARE(english.text, notice);
    // The Updater's own notice (a reason it found) is shown as written.
    QCOMPARE(updateNoticeMessage(QStringLiteral("rolled back: why"), UiLanguage::German).text,
             QStringLiteral("rolled back: why"));
}

void TestStartupCheck::reportedInstallIsCompleted()
{
    // The new version reported, then the Updater died before cleaning up.
    installedState();
    writeFile(path(QStringLiteral("tupdates/client/health.started")), "2.0.0");
    const StartupInstallCheck check = checkInstallAtStartup(&m_log);
    QCOMPARE(check.outcome, StartupInstallCheck::Outcome::Continue);
    QVERIFY(check.notice.isEmpty());
    QCOMPARE(readFile(path(QStringLiteral("lib/libdc.so"))), QByteArray("new library"));
    QCOMPARE(readFile(path(QStringLiteral("extra/added.txt"))), QByteArray("added"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/backup"))));
    QCOMPARE(install::phaseOf(paths()), install::Phase::Idle);
}

void TestStartupCheck::installWaitingForItsFirstStartGoesToTheUpdater()
{
    // Installed after Exit: the Updater (a stand-in put in place the way
    // prepareUpdater does it) gets the first start with the restart.
    const QString record = path(QStringLiteral("launched.txt"));
    writeFile(path(QStringLiteral("tupdates/client/ready/Updater")),
              "#!/bin/sh\necho \"$*\" > " + QFile::encodeName(record) + ".part && mv " +
                  QFile::encodeName(record) + ".part " + QFile::encodeName(record) + "\n");
    QVERIFY(prepareUpdater());
    QDir(path(QStringLiteral("tupdates/client/ready"))).removeRecursively();
    installedState();
    writeFile(path(QStringLiteral("tupdates/client/health.pending")), "2.0.0");

    QTest::ignoreMessage(QtInfoMsg,
                         QRegularExpression(QStringLiteral("^Application Info: executing")));
    const StartupInstallCheck check = checkInstallAtStartup(&m_log);
    QCOMPARE(check.outcome, StartupInstallCheck::Outcome::HandedOver);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), 10000);
    QCOMPARE(readFile(record).trimmed(),
             "-update -wait " + QByteArray::number(QCoreApplication::applicationPid()) +
                 " -restart");
    // Nothing is decided here: the Updater does it.
    QCOMPARE(install::phaseOf(paths()), install::Phase::Installed);
    QCOMPARE(readFile(path(QStringLiteral("lib/libdc.so"))), QByteArray("new library"));
}

void TestStartupCheck::updateLeftAfterExitGoesToTheUpdaterOnce()
{
    // The user chose Exit with a client package ready: nothing was
    // installed; this start hands it to the Updater with the restart, so the
    // new version is installed and seen to start.
    const QString record = path(QStringLiteral("launched.txt"));
    const QByteArray script = "#!/bin/sh\necho \"$0 $*\" > " + QFile::encodeName(record) +
                              ".part && mv " + QFile::encodeName(record) + ".part " +
                              QFile::encodeName(record) + "\n";
    writeFile(path(QStringLiteral("tupdates/client/ready/Updater")), script);
    QVERIFY(prepareUpdater());
    writeFile(path(QStringLiteral("tupdates/client/ready/kelv")), "new program");
    QVERIFY(install::scheduleInstallAtStart(paths()));

    QTest::ignoreMessage(QtInfoMsg,
                         QRegularExpression(QStringLiteral("^Application Info: executing")));
    StartupInstallCheck check = checkInstallAtStartup(&m_log);
    QCOMPARE(check.outcome, StartupInstallCheck::Outcome::HandedOver);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), 10000);
    QVERIFY(readFile(record).trimmed().endsWith(
        "-update -wait " + QByteArray::number(QCoreApplication::applicationPid()) + " -restart"));
    QVERIFY(!readFile(record).contains("tupdates"));
    QCOMPARE(readFile(path(QStringLiteral("kelv"))), QByteArray()); // nothing installed here

    // Only one start hands it over.
    setRestartAfterUpdate(false);
    check = checkInstallAtStartup(&m_log);
    QCOMPARE(check.outcome, StartupInstallCheck::Outcome::Continue);

    // An Updater the program folder refused is started from the package.
    QFile::remove(record);
    writeFile(path(QStringLiteral("tupdates/client/ready/Updater")), script);
    QFile::setPermissions(path(QStringLiteral("tupdates/client/ready/Updater")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(install::scheduleInstallAtStart(paths()));
    QTest::ignoreMessage(QtInfoMsg,
                         QRegularExpression(QStringLiteral("^Application Info: executing")));
    QCOMPARE(checkInstallAtStartup(&m_log).outcome, StartupInstallCheck::Outcome::HandedOver);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), 10000);
    QVERIFY(readFile(record).startsWith(
        QFile::encodeName(path(QStringLiteral("tupdates/client/ready/Updater")))));
    setUpdaterElevated(false);
}

void TestStartupCheck::theStartTheUpdaterWaitsForIsATrial()
{
    installedState();
    writeFile(path(QStringLiteral("tupdates/client/health.pending")), "2.0.0");
    const std::unique_ptr<QLockFile> updaterLock = install::installLock(paths());
    QVERIFY(updaterLock->tryLock(0));
    const StartupInstallCheck check = checkInstallAtStartup(&m_log);
    QCOMPARE(check.outcome, StartupInstallCheck::Outcome::Continue);
    QVERIFY(check.trialStart);
    QCOMPARE(install::phaseOf(paths()), install::Phase::Installed);
    QCOMPARE(readFile(path(QStringLiteral("lib/libdc.so"))), QByteArray("new library"));
}

void TestStartupCheck::reportRecordsTheVersionOnce()
{
    writeFile(path(QStringLiteral("tupdates/client/health.pending")), "2.0.0\n");
    ClientSettings settings;
    settings.load(path(QStringLiteral("Resources/profiles/conf.xml")));
    QVERIFY(reportStarted(settings, &m_log));
    QCOMPARE(settings.value(QStringLiteral("version")), QStringLiteral("2.0.0"));
    const QByteArray conf = readFile(path(QStringLiteral("Resources/profiles/conf.xml")));
    QVERIFY2(conf.contains("version=\"2.0.0\""), conf.constData());
    QVERIFY(conf.contains("language=\"en\""));
    QCOMPARE(install::phaseOf(paths()), install::Phase::Started);
    // A second report (a reload of the page) does nothing.
    QVERIFY(!reportStarted(settings, &m_log));
}

void TestStartupCheck::lateReportRecordsNothing()
{
    writeFile(path(QStringLiteral("tupdates/client/health.pending")), "2.0.0");
    // The Updater's time-out won: the report must not count.
    QVERIFY(install::claimFailure(paths()));
    ClientSettings settings;
    settings.load(path(QStringLiteral("Resources/profiles/conf.xml")));
    QVERIFY(!reportStarted(settings, &m_log));
    QCOMPARE(settings.value(QStringLiteral("version")), QStringLiteral("1.0.0"));
    QVERIFY(readFile(path(QStringLiteral("Resources/profiles/conf.xml"))).contains("1.0.0"));
}

QTEST_GUILESS_MAIN(TestStartupCheck)
void TestStartupCheck::notesTheDiskRefusesKeepTheOldOnes()
{
    // A full disk, as a file size limit of nothing makes it. A note this
    // small waits in the write buffer until the end: it used to be put in
    // place empty, and the write counted as done.
    QVERIFY(install::writePendingVersion(paths(), QStringLiteral("1.2.0")));
    test::FileSizeLimit fullDisk(0);
    QVERIFY(fullDisk.isSet());
    const bool version = install::writePendingVersion(paths(), QStringLiteral("1.3.0"));
    const bool notice = install::writeNotice(paths(), QStringLiteral("notice"));
    fullDisk.lift();

    QVERIFY(!version);
    QCOMPARE(install::readPendingVersion(paths()), QStringLiteral("1.2.0"));
    QVERIFY(!notice);
    QVERIFY(!QFile::exists(paths().notice));
}

#include "tst_startup_check.moc"
