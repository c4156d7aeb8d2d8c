// Installing packages: the page package over view/, the new Updater before
// exit, and starting the Updater.

#include "common/app_paths.h"
#include "tests/testsupport/file_size_limit.h"
#include "tests/testsupport/scripted_dialogs.h"
#include "tests/testsupport/signing_key.h"
#include "tests/testsupport/test_files.h"
#include "update/installers.h"
#include "update/package_unpacker.h"
#include "update/update_check.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

using namespace kelv;
using kelv::test::ScriptedDialogs;

using kelv::test::readFile;
using kelv::test::writeFile;

namespace {

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
    void pageBundleFollowsTheModules_data();
    void pageBundleFollowsTheModules();
    void inlinedStyleSheetFollowsTheFile_data();
    void inlinedStyleSheetFollowsTheFile();
    void lockedPageFileOffersRetryOrCancel();
    void lockedPageFileRetried();
    void pageInstallCutOffBetweenRenames();
    void pageThatCannotBePutBackIsKept();
    void prepareUpdaterCases();
    void prepareUpdaterAccessDenied();
    void launchUpdaterStartsItDetached();
    void exitLeavesTheInstallToTheNextStart();
    void pageVersionIsTheNewerOfPageAndClient();
    void launchUpdaterFailureDropsReadyFolder();
    void runAtExitFlag();
    void copyThatTheDiskRefusesLeavesTheOldFile();

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
    writeFile(path(QStringLiteral("tupdates/html/ready/tools/check.sh")), "#!/bin/sh\n");
    writeFile(path(QStringLiteral("view/xml/configuration.xml")), "<the user's modes/>");
    const QFileDevice::Permissions before =
        QFileInfo(path(QStringLiteral("view/js/app.js"))).permissions();
    QVERIFY(installPagePackage());
    QCOMPARE(readFile(path(QStringLiteral("view/index.html"))), QByteArray("new index"));
    QCOMPARE(readFile(path(QStringLiteral("view/js/app.js"))), QByteArray("new app"));
    QCOMPARE(readFile(path(QStringLiteral("view/img/deep/logo.svg"))), QByteArray("<svg/>"));
    // Files the package does not carry stay, the page's documents among them.
    QCOMPARE(readFile(path(QStringLiteral("view/keep.css"))), QByteArray("untouched"));
    QCOMPARE(readFile(path(QStringLiteral("view/xml/configuration.xml"))),
             QByteArray("<the user's modes/>"));
    // Replaced files keep their bits; a new script is executable.
    QCOMPARE(QFileInfo(path(QStringLiteral("view/js/app.js"))).permissions(), before);
    QVERIFY(QFileInfo(path(QStringLiteral("view/tools/check.sh"))).isExecutable());
    QVERIFY(!QFileInfo(path(QStringLiteral("view/img/deep/logo.svg"))).isExecutable());
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/html/ready"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("view.new"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("view.old"))));
    QVERIFY(m_dialogs.texts.isEmpty());
}

// The built page loads js/app.bundle.js, made from its modules, while it is there: a
// package with new modules but no bundle of its own removes the old bundle (the page
// then loads the new modules); a package with its bundle, or without modules, leaves
// the bundle to match the modules. The tables of languages other than English are not
// in the bundle: replacing them leaves it.
void TestInstallers::pageBundleFollowsTheModules_data()
{
    QTest::addColumn<QStringList>("package");
    QTest::addColumn<QByteArray>("bundle"); // empty: no bundle afterwards
    QTest::newRow("modules without a bundle")
        << QStringList{QStringLiteral("js/ui/shell.js")} << QByteArray();
    QTest::newRow("the entry module") << QStringList{QStringLiteral("js/app.js")} << QByteArray();
    QTest::newRow("modules with their bundle")
        << QStringList{QStringLiteral("js/ui/shell.js"), QStringLiteral("js/app.bundle.js")}
        << QByteArray("new js/app.bundle.js");
    QTest::newRow("a style sheet and the index")
        << QStringList{QStringLiteral("css/main.css"), QStringLiteral("index.html")}
        << QByteArray("old bundle");
    QTest::newRow("a script outside js/")
        << QStringList{QStringLiteral("tools/check.js")} << QByteArray("old bundle");
    // The other languages' tables are loaded beside the bundle; English and the built-in
    // names are in it.
    QTest::newRow("the German and Russian tables")
        << QStringList{QStringLiteral("js/i18n/de.js"), QStringLiteral("js/i18n/ru.js")}
        << QByteArray("old bundle");
    QTest::newRow("the English table")
        << QStringList{QStringLiteral("js/i18n/en.js")} << QByteArray();
    QTest::newRow("the built-in names")
        << QStringList{QStringLiteral("js/i18n/builtin.js")} << QByteArray();
    QTest::newRow("a table and a module")
        << QStringList{QStringLiteral("js/i18n/ja.js"), QStringLiteral("js/ui/shell.js")}
        << QByteArray();
}

void TestInstallers::pageBundleFollowsTheModules()
{
    QFETCH(QStringList, package);
    QFETCH(QByteArray, bundle);
    writeFile(path(QStringLiteral("view/js/app.bundle.js")), "old bundle");
    writeFile(path(QStringLiteral("view/js/ui/shell.js")), "old shell");
    for (const QString &file : std::as_const(package))
        writeFile(path(QStringLiteral("tupdates/html/ready/") + file), "new " + file.toUtf8());
    QVERIFY(installPagePackage());
    const QString installed = path(QStringLiteral("view/js/app.bundle.js"));
    QCOMPARE(QFileInfo::exists(installed), !bundle.isEmpty());
    if (!bundle.isEmpty())
        QCOMPARE(readFile(installed), bundle);
    for (const QString &file : std::as_const(package))
        QCOMPARE(readFile(path(QStringLiteral("view/") + file)), "new " + file.toUtf8());
    QCOMPARE(readFile(path(QStringLiteral("view/keep.css"))), QByteArray("untouched"));
}

// The built index.html carries a copy of css/main.css: a package with a new style sheet
// but the old index.html gets the link back, so the new sheet is the one in force; a
// package with both, or with neither, leaves index.html as it comes.
void TestInstallers::inlinedStyleSheetFollowsTheFile_data()
{
    QTest::addColumn<QStringList>("package");
    QTest::addColumn<QByteArray>("index");
    const QByteArray inlined = "<head><style data-file=\"css/main.css\">\nold {}\n</style>"
                               "<style>kept {}</style></head>";
    QTest::newRow("a style sheet alone")
        << QStringList{QStringLiteral("css/main.css")}
        << QByteArray("<head><link rel=\"stylesheet\" href=\"css/main.css\">"
                      "<style>kept {}</style></head>");
    QTest::newRow("a style sheet and its index")
        << QStringList{QStringLiteral("css/main.css"), QStringLiteral("index.html")}
        << QByteArray("new index.html");
    QTest::newRow("a module") << QStringList{QStringLiteral("js/ui/shell.js")} << inlined;
}

void TestInstallers::inlinedStyleSheetFollowsTheFile()
{
    QFETCH(QStringList, package);
    QFETCH(QByteArray, index);
    writeFile(path(QStringLiteral("view/index.html")),
              "<head><style data-file=\"css/main.css\">\nold {}\n</style>"
              "<style>kept {}</style></head>");
    writeFile(path(QStringLiteral("view/css/main.css")), "old {}");
    for (const QString &file : std::as_const(package))
        writeFile(path(QStringLiteral("tupdates/html/ready/") + file), "new " + file.toUtf8());
    QVERIFY(installPagePackage());
    QCOMPARE(readFile(path(QStringLiteral("view/index.html"))), index);
    QVERIFY(m_dialogs.texts.isEmpty());
}

void TestInstallers::lockedPageFileOffersRetryOrCancel()
{
    writeFile(path(QStringLiteral("tupdates/html/ready/index.html")), "new index");
    writeFile(path(QStringLiteral("tupdates/html/ready/js/app.js")), "new app");
    writeFile(path(QStringLiteral("tupdates/html/ready/js/zz-new.js")), "new file");
    const QString locked = path(QStringLiteral("view/js/app.js"));
    QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ReadGroup));
    m_dialogs.messageAnswers = {QMessageBox::Cancel};

    QVERIFY(!installPagePackage());
    QCOMPARE(m_dialogs.captions, QStringList(QStringLiteral("Update error!")));
    QCOMPARE(m_dialogs.texts,
             QStringList(QStringLiteral("Failed to update kelv :(\n%1 is not accessible.")
                             .arg(QDir::toNativeSeparators(locked))));
    // The whole old page, not a mix: index.html was taken before the locked
    // file but is not in place either.
    QCOMPARE(readFile(locked), QByteArray("old app"));
    QCOMPARE(readFile(path(QStringLiteral("view/index.html"))), QByteArray("old index"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("view/js/zz-new.js"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("view.new"))));
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

void TestInstallers::pageInstallCutOffBetweenRenames()
{
    // The old page moved aside, the new one not yet in: the old one comes back.
    QVERIFY(QDir().rename(path(QStringLiteral("view")), path(QStringLiteral("view.old"))));
    writeFile(path(QStringLiteral("view.new/index.html")), "half new");
    recoverPageInstall();
    QCOMPARE(readFile(path(QStringLiteral("view/index.html"))), QByteArray("old index"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("view.new"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("view.old"))));
    // Leftovers beside a whole page are removed, the page is kept.
    writeFile(path(QStringLiteral("view.new/index.html")), "half new");
    writeFile(path(QStringLiteral("view.old/index.html")), "older");
    recoverPageInstall();
    QCOMPARE(readFile(path(QStringLiteral("view/index.html"))), QByteArray("old index"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("view.new"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("view.old"))));
}

void TestInstallers::pageThatCannotBePutBackIsKept()
{
    // Cut off between the renames, and the old page cannot be renamed back
    // (a dangling link holds the name "view"): it is the only page there is
    // and stays for the next start, which puts it back.
    QVERIFY(QDir().rename(path(QStringLiteral("view")), path(QStringLiteral("view.old"))));
    writeFile(path(QStringLiteral("view.new/index.html")), "half new");
    QVERIFY(QFile::link(path(QStringLiteral("nowhere")), path(QStringLiteral("view"))));
    recoverPageInstall();
    QCOMPARE(readFile(path(QStringLiteral("view.old/index.html"))), QByteArray("old index"));
    QCOMPARE(readFile(path(QStringLiteral("view.old/keep.css"))), QByteArray("untouched"));
    QVERIFY(QFile::remove(path(QStringLiteral("view"))));
    recoverPageInstall();
    QCOMPARE(readFile(path(QStringLiteral("view/index.html"))), QByteArray("old index"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("view.old"))));
}

void TestInstallers::prepareUpdaterCases()
{
    QVERIFY(!prepareUpdater()); // no client package

    writeFile(path(QStringLiteral("tupdates/client/ready/kelv")), "new program");
    QVERIFY(prepareUpdater()); // no new updater inside: nothing to do
    QVERIFY(!QFileInfo::exists(path(updaterFileName())));

    // A first Updater: a new file, executable because it is a program.
    writeFile(path(QStringLiteral("tupdates/client/ready/") + updaterFileName()),
              "#!/bin/sh\nexit 0\n");
    QVERIFY(!QFileInfo(path(QStringLiteral("tupdates/client/ready/") + updaterFileName()))
                 .isExecutable());
    QVERIFY(prepareUpdater());
    QVERIFY(QFileInfo(path(updaterFileName())).isExecutable());
    QProcess run;
    run.start(path(updaterFileName()), {});
    QVERIFY(run.waitForFinished(10000));
    QCOMPARE(run.exitCode(), 0);

    // A replacing Updater keeps the bits of the one it replaces, whatever its
    // content looks like.
    const QFileDevice::Permissions bits = QFileInfo(path(updaterFileName())).permissions();
    writeFile(path(QStringLiteral("tupdates/client/ready/") + updaterFileName()), "new updater");
    QVERIFY(prepareUpdater());
    QCOMPARE(readFile(path(updaterFileName())), QByteArray("new updater"));
    QCOMPARE(QFileInfo(path(updaterFileName())).permissions(), bits);
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
    // Nothing in the environment: an Updater started elevated on Windows
    // would not see it. Everything it needs is on its command line.
    const QByteArray script =
        "#!/bin/sh\necho \"$PWD|$*|$KELV_UPDATER_WAIT_PID|$0\" > " + QFile::encodeName(record) +
        ".part && mv " + QFile::encodeName(record) + ".part " + QFile::encodeName(record) + "\n";
    // The stand-in Updater arrives the way a real one does: through the
    // client package and prepareUpdater.
    writeFile(path(QStringLiteral("tupdates/client/ready/") + updaterFileName()), script);
    QVERIFY(prepareUpdater());
    const QString pid = QString::number(QCoreApplication::applicationPid());
    QTest::ignoreMessage(QtInfoMsg, qPrintable(QStringLiteral("Application Info: executing %1 "
                                                              "-update -wait %2")
                                                   .arg(path(updaterFileName()), pid)));
    QVERIFY(launchUpdater());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), 10000);
    QList<QByteArray> fields = readFile(record).trimmed().split('|');
    QCOMPARE(fields.size(), 4);
    QCOMPARE(QDir(QString::fromUtf8(fields.at(0))).canonicalPath(),
             QDir(m_dir->path()).canonicalPath());
    QCOMPARE(fields.at(1), "-update -wait " + pid.toLatin1());
    QCOMPARE(fields.at(2), QByteArray());

    // The user chose to restart.
    QFile::remove(record);
    setRestartAfterUpdate(true);
    QTest::ignoreMessage(QtInfoMsg,
                         QRegularExpression(QStringLiteral("^Application Info: executing")));
    QVERIFY(launchUpdater());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), 10000);
    fields = readFile(record).trimmed().split('|');
    QCOMPARE(fields.value(1), "-update -wait " + pid.toLatin1() + " -restart");
    setRestartAfterUpdate(false);

    // Elevated: the updater in the ready folder, as the package reader left
    // it, is the one started.
    QFile::remove(record);
    package::Content content;
    content.version = QStringLiteral("2.0");
    content.entries.append({QStringLiteral("client/") + updaterFileName(), script});
    const test::SigningKey key;
    writeFile(path(QStringLiteral("tupdates/download/client.pkg")), key.package(content));
    package::Expectation expected;
    expected.kind = QStringLiteral("client");
    QCOMPARE(int(package::unpackPackageFile(path(QStringLiteral("tupdates/download/client.pkg")),
                                            path(QStringLiteral("tupdates/client")),
                                            key.trustedKeys(), expected)
                     .outcome),
             int(package::UnpackResult::Unpacked));
    setUpdaterElevated(true);
    QTest::ignoreMessage(QtInfoMsg,
                         QRegularExpression(QStringLiteral("^Application Info: executing")));
    QVERIFY(launchUpdater());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), 10000);
    QVERIFY(
        readFile(record).trimmed().endsWith("tupdates/client/ready/" + updaterFileName().toUtf8()));
}

void TestInstallers::exitLeavesTheInstallToTheNextStart()
{
    // After Exit nothing would start the new version to see that it runs:
    // no Updater is started, the next start is told to hand the package over.
    const QString record = path(QStringLiteral("launched.txt"));
    writeFile(path(updaterFileName()), "#!/bin/sh\ntouch " + QFile::encodeName(record) + "\n");
    QFile::setPermissions(path(updaterFileName()), QFile::ReadOwner | QFile::ExeOwner);
    writeFile(path(QStringLiteral("tupdates/client/ready/kelv")), "new program");
    setRestartAfterUpdate(false);
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("at the next start")));
    QVERIFY(finishClientUpdateAtExit());
    QVERIFY(QFileInfo::exists(path(QStringLiteral("tupdates/client/install-at-start"))));
    QTest::qWait(300);
    QVERIFY(!QFileInfo::exists(record));
    QVERIFY(QFileInfo::exists(path(QStringLiteral("tupdates/client/ready/kelv"))));
}

void TestInstallers::launchUpdaterFailureDropsReadyFolder()
{
    writeFile(path(QStringLiteral("tupdates/client/ready/kelv")), "new program");
    QTest::ignoreMessage(QtInfoMsg,
                         QRegularExpression(QStringLiteral("^Application Info: executing")));
    QTest::ignoreMessage(
        QtInfoMsg, QRegularExpression(QStringLiteral("^Application Error: failed to execute .*"
                                                     "working directory: '.*', result: ")));
    QVERIFY(!launchUpdater()); // there is no Updater
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("tupdates/client/ready"))));
}

void TestInstallers::pageVersionIsTheNewerOfPageAndClient()
{
    // No page package yet: the page came with the client.
    QCOMPARE(installedPageVersion(QStringLiteral("1.4")), QStringLiteral("1.4"));
    QVERIFY(recordPageVersion(QStringLiteral("1.5.2")));
    QCOMPARE(installedPageVersion(QStringLiteral("1.4")), QStringLiteral("1.5.2"));
    // A client release brings its own, newer page.
    QCOMPARE(installedPageVersion(QStringLiteral("2.0")), QStringLiteral("2.0"));
    writeFile(path(QStringLiteral("Resources/page-version")), "garbage");
    QCOMPARE(installedPageVersion(QStringLiteral("1.4")), QStringLiteral("1.4"));
}

void TestInstallers::runAtExitFlag()
{
    QVERIFY(!runUpdaterAtExit());
    setRunUpdaterAtExit(true);
    QVERIFY(runUpdaterAtExit());
    setRunUpdaterAtExit(false);
}

QTEST_GUILESS_MAIN(TestInstallers)
void TestInstallers::copyThatTheDiskRefusesLeavesTheOldFile()
{
    // A full disk, as the file size limit makes it: writes past 1 KiB fail.
    // A file this small waits in the write buffer until the end of the
    // copy; it used to be renamed into place cut, and the copy counted done.
    const QString source = path(QStringLiteral("tupdates/html/ready/js/app.js"));
    const QString target = path(QStringLiteral("view/js/app.js"));
    writeFile(source, QByteArray(2000, 'n'));
    test::FileSizeLimit fullDisk(1024);
    QVERIFY(fullDisk.isSet());
    const bool copied = copyFileOver(source, target);
    fullDisk.lift();

    QVERIFY(!copied);
    QCOMPARE(readFile(target), QByteArray("old app"));
    QCOMPARE(QDir(path(QStringLiteral("view/js"))).entryList(QDir::Files), QStringList{"app.js"});
}

#include "tst_installers.moc"
