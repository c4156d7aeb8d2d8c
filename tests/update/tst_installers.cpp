// Installing packages: the page package over view/, the new Updater before
// exit, and starting the Updater.

#include "common/app_paths.h"
#include "tests/testsupport/scripted_dialogs.h"
#include "update/installers.h"
#include "update/update_check.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace kelv;
using kelv::test::ScriptedDialogs;

namespace {

void writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(data);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Makes the locked file writable when the message box comes up, then retries.
class UnlockingDialogs : public ScriptedDialogs
{
public:
    QString lockedFile;
    QMessageBox::StandardButton message(QWidget *parent, QMessageBox::Icon icon,
                                        const QString &title, const QString &text,
                                        QMessageBox::StandardButtons buttons) override
    {
        ScriptedDialogs::message(parent, icon, title, text, buttons);
        QFile::setPermissions(lockedFile, QFile::permissions(lockedFile) | QFile::WriteOwner);
        return QMessageBox::Retry;
    }
};

} // namespace

class TestInstallers : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void noPagePackageCopiesNothing();
    void pagePackageIsCopiedOverView();
    void lockedPageFileOffersRetryOrCancel();
    void lockedPageFileRetried();
    void prepareUpdaterCases();
    void prepareUpdaterAccessDenied();
    void launchUpdaterStartsItDetached();
    void launchUpdaterFailureDropsReadyFolder();
    void runAtExitFlag();

private:
    QString path(const QString &relative) const
    {
        return m_dir->path() + QLatin1Char('/') + relative;
    }
    QTemporaryDir *m_dir = nullptr;
    ScriptedDialogs m_dialogs;
};

void TestInstallers::init()
{
    m_dir = new QTemporaryDir;
    setWorkingFolder(m_dir->path() + QLatin1Char('/'));
    setExecutableFolder(m_dir->path() + QLatin1Char('/'));
    setUpdaterElevated(false);
    m_dialogs = ScriptedDialogs();
    Dialogs::install(&m_dialogs);
    writeFile(path(QStringLiteral("view/index.html")), "old index");
    writeFile(path(QStringLiteral("view/js/app.js")), "old app");
    writeFile(path(QStringLiteral("view/keep.css")), "untouched");
}

void TestInstallers::cleanup()
{
    Dialogs::install(nullptr);
    delete m_dir;
    setWorkingFolder(QString());
    setExecutableFolder(QString());
    setUpdaterElevated(false);
}

void TestInstallers::noPagePackageCopiesNothing()
{
    QVERIFY(installPagePackage());
    QCOMPARE(readFile(path(QStringLiteral("view/index.html"))), QByteArray("old index"));
    QVERIFY(m_dialogs.texts.isEmpty());
}

void TestInstallers::pagePackageIsCopiedOverView()
{
    writeFile(path(QStringLiteral("tupdates/html/ready/index.html")), "new index");
    writeFile(path(QStringLiteral("tupdates/html/ready/js/app.js")), "new app");
    writeFile(path(QStringLiteral("tupdates/html/ready/img/deep/logo.svg")), "<svg/>");
    QVERIFY(installPagePackage());
    QCOMPARE(readFile(path(QStringLiteral("view/index.html"))), QByteArray("new index"));
    QCOMPARE(readFile(path(QStringLiteral("view/js/app.js"))), QByteArray("new app"));
    QCOMPARE(readFile(path(QStringLiteral("view/img/deep/logo.svg"))), QByteArray("<svg/>"));
    QCOMPARE(readFile(path(QStringLiteral("view/keep.css"))), QByteArray("untouched"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/html/ready"))));
    QVERIFY(m_dialogs.texts.isEmpty());
}

void TestInstallers::lockedPageFileOffersRetryOrCancel()
{
    writeFile(path(QStringLiteral("tupdates/html/ready/index.html")), "new index");
    writeFile(path(QStringLiteral("tupdates/html/ready/js/app.js")), "new app");
    const QString locked = path(QStringLiteral("view/js/app.js"));
    QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ReadGroup));
    m_dialogs.messageAnswers = {QMessageBox::Cancel};

    QVERIFY(!installPagePackage());
    QCOMPARE(m_dialogs.captions, QStringList(QStringLiteral("Update error!")));
    QCOMPARE(m_dialogs.texts,
             QStringList(QStringLiteral("Failed to update kelv :(\n%1 is not accessible.")
                             .arg(QDir::toNativeSeparators(locked))));
    QCOMPARE(readFile(locked), QByteArray("old app"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/html/ready"))));
}

void TestInstallers::lockedPageFileRetried()
{
    writeFile(path(QStringLiteral("tupdates/html/ready/js/app.js")), "new app");
    const QString locked = path(QStringLiteral("view/js/app.js"));
    QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner));
    UnlockingDialogs dialogs;
    dialogs.lockedFile = locked;
    Dialogs::install(&dialogs);
    QVERIFY(installPagePackage());
    QCOMPARE(dialogs.texts.size(), 1);
    QCOMPARE(readFile(locked), QByteArray("new app"));
}

void TestInstallers::prepareUpdaterCases()
{
    QVERIFY(!prepareUpdater()); // no client package

    writeFile(path(QStringLiteral("tupdates/client/ready/kelv")), "new program");
    QVERIFY(prepareUpdater()); // no new updater inside: nothing to do
    QVERIFY(!QFileInfo::exists(path(updaterFileName())));

    writeFile(path(QStringLiteral("tupdates/client/ready/") + updaterFileName()), "new updater");
    writeFile(path(updaterFileName()), "old updater");
    QVERIFY(prepareUpdater());
    QCOMPARE(readFile(path(updaterFileName())), QByteArray("new updater"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/ready/") + updaterFileName())));
    QVERIFY(QFileInfo::exists(path(QStringLiteral("tupdates/client/ready/kelv"))));
    QVERIFY(!updaterElevated());
}

void TestInstallers::prepareUpdaterAccessDenied()
{
    writeFile(path(QStringLiteral("tupdates/client/ready/") + updaterFileName()), "new updater");
    writeFile(path(updaterFileName()), "old updater");
    QVERIFY(QFile::setPermissions(path(updaterFileName()), QFile::ReadOwner | QFile::ExeOwner));
    QVERIFY(prepareUpdater());
    QVERIFY(updaterElevated());
    QCOMPARE(readFile(path(updaterFileName())), QByteArray("old updater"));
    QVERIFY(QFileInfo::exists(path(QStringLiteral("tupdates/client/ready/") + updaterFileName())));
}

void TestInstallers::launchUpdaterStartsItDetached()
{
    const QString record = path(QStringLiteral("launched.txt"));
    const QByteArray script =
        "#!/bin/sh\necho \"$PWD|$*|$KELV_UPDATER_WAIT_PID|$0\" > " + QFile::encodeName(record) +
        ".part && mv " + QFile::encodeName(record) + ".part " + QFile::encodeName(record) + "\n";
    writeFile(path(updaterFileName()), script);
    QFile::setPermissions(path(updaterFileName()),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QTest::ignoreMessage(
        QtInfoMsg,
        qPrintable(
            QStringLiteral("Application Info: executing %1 -update").arg(path(updaterFileName()))));
    launchUpdater();
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), 10000);
    const QList<QByteArray> fields = readFile(record).trimmed().split('|');
    QCOMPARE(fields.size(), 4);
    QCOMPARE(QDir(QString::fromUtf8(fields.at(0))).canonicalPath(),
             QDir(m_dir->path()).canonicalPath());
    QCOMPARE(fields.at(1), QByteArray("-update"));
    QCOMPARE(fields.at(2).toLongLong(), QCoreApplication::applicationPid());

    // Elevated: the updater in the ready folder is the one started.
    QFile::remove(record);
    writeFile(path(QStringLiteral("tupdates/client/ready/") + updaterFileName()), script);
    QFile::setPermissions(path(QStringLiteral("tupdates/client/ready/") + updaterFileName()),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    setUpdaterElevated(true);
    QTest::ignoreMessage(QtInfoMsg,
                         QRegularExpression(QStringLiteral("^Application Info: executing")));
    launchUpdater();
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), 10000);
    QVERIFY(
        readFile(record).trimmed().endsWith("tupdates/client/ready/" + updaterFileName().toUtf8()));
}

void TestInstallers::launchUpdaterFailureDropsReadyFolder()
{
    writeFile(path(QStringLiteral("tupdates/client/ready/kelv")), "new program");
    QTest::ignoreMessage(QtInfoMsg,
                         QRegularExpression(QStringLiteral("^Application Info: executing")));
    QTest::ignoreMessage(
        QtInfoMsg, QRegularExpression(QStringLiteral("^Application Error: failed to execute .*"
                                                     "working directory: '.*', result: ")));
    launchUpdater(); // there is no Updater
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/ready"))));
}

void TestInstallers::runAtExitFlag()
{
    QVERIFY(!runUpdaterAtExit());
    setRunUpdaterAtExit(true);
    QVERIFY(runUpdaterAtExit());
    setRunUpdaterAtExit(false);
}

QTEST_GUILESS_MAIN(TestInstallers)
#include "tst_installers.moc"
