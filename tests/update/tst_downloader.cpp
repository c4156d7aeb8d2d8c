// The resumable package downloader against a real HTTP server on 127.0.0.1:
// range requests and resumption, If-Range, 416, HTTP errors, stalls, faults,
// and the package reader (signatures) behind it.

#include "common/app_paths.h"
#include "tests/testsupport/http_test_server.h"
#include "tests/testsupport/signing_key.h"
#include "tests/testsupport/test_files.h"
#include "update/firmware_image.h"
#include "update/package_writer.h"
#include "update/ps_update_downloader.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace kelv;
using Fault = test::HttpTestServer::Fault;

using kelv::test::readFile;
using kelv::test::writeFile;

namespace {

QByteArray noise(qsizetype size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 1;
    for (qsizetype i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = char(x);
    }
    return data;
}

const test::SigningKey &key()
{
    static const test::SigningKey signingKey;
    return signingKey;
}

// A signed package of incompressible content, about `size` bytes.
QByteArray makePackage(qsizetype size, const QString &version = QStringLiteral("9.1"),
                       quint32 seed = 7, const QString &kind = QStringLiteral("client"))
{
    package::Content content;
    content.kind = kind;
    content.version = version;
    content.entries.append({QStringLiteral("pkg/bin/data.bin"), noise(size, seed)});
    content.entries.append({QStringLiteral("pkg/readme.txt"), "readme"});
    return key().package(content, 0);
}

// A package whose file size is exactly `size` (padding adjusted until it fits).
QByteArray makePackageOfExactSize(qsizetype size)
{
    qsizetype padding = size - 400;
    for (int attempt = 0; attempt < 40; ++attempt) {
        package::Content content;
        content.version = QStringLiteral("5.5");
        content.entries.append({QStringLiteral("pkg/pad.bin"), noise(padding, 3)});
        const QByteArray built = key().package(content, 0);
        if (built.size() == size)
            return built;
        padding += size - built.size();
    }
    return QByteArray();
}

// One downloader on its own thread with spies on every signal.
struct Run
{
    Run(const QString &url, const QString &kind)
        : downloader(new PsUpdateDownloader(&thread, url, kind)),
          progress(downloader, &PsUpdateDownloader::finishPart),
          finished(downloader, &PsUpdateDownloader::downLoadFinished),
          unpacked(downloader, &PsUpdateDownloader::unpressFinished),
          failed(downloader, &PsUpdateDownloader::downLoadFailed),
          errors(downloader, &PsUpdateDownloader::downLoadError)
    {
    }
    ~Run()
    {
        // A thread that never ran would never take the deferred delete.
        if (!thread.isRunning() && !thread.isFinished()) {
            delete downloader;
            return;
        }
        downloader->deleteLater();
        thread.quit();
        thread.wait();
    }
    void start() { thread.start(); }

    QThread thread;
    PsUpdateDownloader *downloader;
    QSignalSpy progress;
    QSignalSpy finished;
    QSignalSpy unpacked;
    QSignalSpy failed;
    QSignalSpy errors;
};

} // namespace

class TestDownloader : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void addressNeverNamesAFileOfTheInstaller();
    void foldersAreCleaned();
    void downloadsAndUnpacks();
    void resumption_data();
    void resumption();
    void largePartIsCutInPlace();
    void rangeNotSatisfiableMeansComplete();
    void notFoundRemovesOnlyOwnKindFolder();
    void droppedConnectionFailsAndResumesLater();
    void unknownLengthCompletesAtTheEnd();
    void badPackageRemovesKindFolder();
    void clientInstallUnderWayIsLeftAlone();
    void untrustedPackagesAreRefusedAndReported_data();
    void untrustedPackagesAreRefusedAndReported();
    void errorPageOf416IsNeverAppended();
    void httpErrorsAreReported_data();
    void httpErrorsAreReported();
    void stalledDownloadFailsAndKeepsItsPart();
    void replacedPackageRestartsInsteadOfMixing();
    void refusedAddressIsNeverContacted_data();
    void refusedAddressIsNeverContacted();
    void neverMoreThanAnnounced_data();
    void neverMoreThanAnnounced();
    void slowDownloadFailsAndKeepsItsPart();
    void notNewerWaitsForTheUser();
    void packageOfAnotherKindIsRefused();
    void firmwareKeptUntilANewerOneIsVerified();
    void firmwarePackageSurvivesAMoveThatFails();
    void packageThatCannotBeWrittenIsReported_data();
    void packageThatCannotBeWrittenIsReported();

private:
    QTemporaryDir *m_dir = nullptr;
    test::HttpTestServer *m_server = nullptr;
    QString m_base;
};

void TestDownloader::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    setWorkingFolder(m_dir->path() + QLatin1Char('/'));
    setExecutableFolder(m_dir->path() + QLatin1Char('/'));
    key().trustIn(m_dir->path());
    m_base = m_dir->path() + QStringLiteral("/tupdates/");
    m_server = new test::HttpTestServer;
    QVERIFY(m_server->isListening());
    m_server->setPacing(32 * 1024, 40);
}

void TestDownloader::cleanup()
{
    delete m_server;
    delete m_dir;
    setWorkingFolder(QString());
    setExecutableFolder(QString());
    PsUpdateDownloader::setStallTimeoutForTests(0);
    PsUpdateDownloader::setSlowWindowForTests(0);
    PsUpdateDownloader::setSizeLimitForTests(0);
}

void TestDownloader::addressNeverNamesAFileOfTheInstaller()
{
    // A package address ending in the Updater's journal, and a connection
    // that drops: the part kept for resuming lands in the download folder
    // under the kind's own name, and the installer's files stay as they are.
    writeFile(m_base + QStringLiteral("client/update.journal"), "N kelv\n");
    writeFile(m_base + QStringLiteral("client/rollback.txt"), "the installer's own notice");
    const QByteArray pkg = makePackage(400000);
    m_server->setContent(QStringLiteral("/files/update.journal"), pkg);
    m_server->setFault(QStringLiteral("/files/update.journal"), Fault::DropConnection, 250000);
    Run run(m_server->url(QStringLiteral("/files/update.journal")), QStringLiteral("client"));
    QCOMPARE(run.downloader->outputPath(), m_base + QStringLiteral("download/client.pkg"));
    run.start();
    QVERIFY(run.failed.wait(20000));
    QCOMPARE(QFileInfo(m_base + QStringLiteral("download/client.pkg")).size(), 250000);
    QCOMPARE(readFile(m_base + QStringLiteral("client/update.journal")), QByteArray("N kelv\n"));
    QCOMPARE(readFile(m_base + QStringLiteral("client/rollback.txt")),
             QByteArray("the installer's own notice"));
}

void TestDownloader::foldersAreCleaned()
{
    writeFile(m_base + QStringLiteral("stray.txt"), "x");
    writeFile(m_base + QStringLiteral("download/other.pkg"), "x");
    writeFile(m_base + QStringLiteral("download/html.pkg"), "another kind's part");
    writeFile(m_base + QStringLiteral("client/update.journal"), "the installer's");
    writeFile(m_base + QStringLiteral("client/ready/keep.txt"), "ready files stay");
    QThread thread;
    auto *downloader = new PsUpdateDownloader(&thread, m_server->url(QStringLiteral("/c.pkg")),
                                              QStringLiteral("client"));
    QVERIFY(!QFileInfo::exists(m_base + QStringLiteral("stray.txt")));
    QVERIFY(!QFileInfo::exists(m_base + QStringLiteral("download/other.pkg")));
    QVERIFY(QFileInfo::exists(m_base + QStringLiteral("download/html.pkg")));
    QVERIFY(QFileInfo::exists(m_base + QStringLiteral("client/update.journal")));
    QVERIFY(QFileInfo::exists(m_base + QStringLiteral("client/ready/keep.txt")));
    QCOMPARE(downloader->outputPath(), m_base + QStringLiteral("download/client.pkg"));
    delete downloader;
}

void TestDownloader::downloadsAndUnpacks()
{
    const QByteArray pkg = makePackage(300000);
    m_server->setContent(QStringLiteral("/files/client.pkg"), pkg);
    Run run(m_server->url(QStringLiteral("/files/client.pkg?token=1")), QStringLiteral("client"));
    run.start();
    QVERIFY(run.unpacked.wait(20000));
    QCOMPARE(run.unpacked.first().first().toString(), QStringLiteral("9.1"));
    QCOMPARE(run.finished.size(), 1);
    QCOMPARE(run.failed.size(), 0);
    QVERIFY(run.progress.size() > 1);
    const QList<QVariant> last = run.progress.last();
    QCOMPARE(last.at(0).toLongLong(), pkg.size());
    QCOMPARE(last.at(1).toLongLong(), pkg.size());
    QCOMPARE(m_server->lastRequest().header("range"), QByteArray("bytes=0-"));
    QCOMPARE(run.downloader->full(), pkg.size());
    QCOMPARE(QFileInfo(m_base + QStringLiteral("client/ready/bin/data.bin")).size(), 300000);
    QVERIFY(!QFileInfo::exists(m_base + QStringLiteral("download/client.pkg")));
}

void TestDownloader::resumption_data()
{
    QTest::addColumn<qint64>("leftover");
    QTest::addColumn<qint64>("kept");
    QTest::newRow("250000 cut to 204800") << qint64(250000) << qint64(204800);
    QTest::newRow("204800 kept whole") << qint64(204800) << qint64(204800);
    QTest::newRow("50000 deleted") << qint64(50000) << qint64(0);
}

void TestDownloader::resumption()
{
    QFETCH(qint64, leftover);
    QFETCH(qint64, kept);
    const QByteArray pkg = makePackage(400000, QStringLiteral("9.1"), 7, QStringLiteral("html"));
    m_server->setContent(QStringLiteral("/p/update.pkg"), pkg);
    const QString output = m_base + QStringLiteral("download/html.pkg");
    writeFile(output, pkg.left(leftover));

    Run run(m_server->url(QStringLiteral("/p/update.pkg")), QStringLiteral("html"));
    QCOMPARE(run.downloader->already(), kept);
    QCOMPARE(QFileInfo::exists(output), kept > 0);
    if (kept > 0)
        QCOMPARE(QFileInfo(output).size(), kept);
    run.start();
    QVERIFY(run.unpacked.wait(20000));
    QCOMPARE(m_server->lastRequest().header("range"), "bytes=" + QByteArray::number(kept) + "-");
    // The announced complete size comes from Content-Range for a resumed request.
    QCOMPARE(run.downloader->full(), pkg.size());
    QCOMPARE(QFileInfo(m_base + QStringLiteral("html/ready/bin/data.bin")).size(), 400000);
}

void TestDownloader::largePartIsCutInPlace()
{
#ifdef Q_OS_UNIX
    // A large part is cut to its resumable size where it lies: neither read
    // into memory nor written again (the part here is sparse, and stays so).
    const QString output = m_base + QStringLiteral("download/client.pkg");
    writeFile(output, QByteArray());
    const qint64 resumable = 2000 * PsUpdateDownloader::kPartSize;
    QVERIFY(QFile::resize(output, resumable + 12345));
    Run run(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("client"));
    QCOMPARE(run.downloader->already(), resumable);
    QCOMPARE(QFileInfo(output).size(), resumable);
    struct stat info = {};
    QCOMPARE(stat(QFile::encodeName(output).constData(), &info), 0);
    QVERIFY2(qint64(info.st_blocks) * 512 < 1024 * 1024,
             qPrintable(QStringLiteral("%1 bytes on disk").arg(qint64(info.st_blocks) * 512)));
#else
    QSKIP("needs sparse files");
#endif
}

void TestDownloader::rangeNotSatisfiableMeansComplete()
{
    const QByteArray pkg = makePackageOfExactSize(2 * PsUpdateDownloader::kPartSize);
    QCOMPARE(pkg.size(), 2 * PsUpdateDownloader::kPartSize);
    m_server->setContent(QStringLiteral("/update.pkg"), pkg);
    writeFile(m_base + QStringLiteral("download/client.pkg"), pkg);
    Run run(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("client"));
    run.start();
    QVERIFY(run.unpacked.wait(20000));
    QCOMPARE(run.unpacked.first().first().toString(), QStringLiteral("5.5"));
    QCOMPARE(m_server->lastRequest().header("range"), QByteArray("bytes=204800-"));
    QCOMPARE(run.failed.size(), 0);
}

void TestDownloader::notFoundRemovesOnlyOwnKindFolder()
{
    writeFile(m_base + QStringLiteral("client/ready/kelv"), "a ready client update");
    m_server->setContent(QStringLiteral("/page.pkg"),
                         makePackage(1000, QStringLiteral("9.1"), 7, QStringLiteral("html")));
    m_server->setFault(QStringLiteral("/page.pkg"), Fault::NotFoundMidTransfer);
    writeFile(m_base + QStringLiteral("html/ready/index.html"), "an earlier page package");
    Run run(m_server->url(QStringLiteral("/page.pkg")), QStringLiteral("html"));
    QVERIFY(QFileInfo::exists(m_base + QStringLiteral("html")));
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(m_base + QStringLiteral("html")), 20000);
    QTest::qWait(300);
    QCOMPARE(run.failed.size(), 0);
    QCOMPARE(run.unpacked.size(), 0);
    QCOMPARE(run.finished.size(), 0);
    QVERIFY(QFileInfo::exists(m_base + QStringLiteral("client/ready/kelv")));
}

void TestDownloader::droppedConnectionFailsAndResumesLater()
{
    const QByteArray pkg = makePackage(400000);
    m_server->setContent(QStringLiteral("/update.pkg"), pkg);
    m_server->setFault(QStringLiteral("/update.pkg"), Fault::DropConnection, 250000);
    const QString output = m_base + QStringLiteral("download/client.pkg");
    {
        Run run(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("client"));
        run.start();
        QVERIFY(run.failed.wait(20000));
        QCOMPARE(run.unpacked.size(), 0);
        QCOMPARE(run.finished.size(), 0);
    }
    QCOMPARE(QFileInfo(output).size(), 250000);

    m_server->setFault(QStringLiteral("/update.pkg"), Fault::None);
    Run again(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("client"));
    QCOMPARE(again.downloader->already(), 204800);
    again.start();
    QVERIFY(again.unpacked.wait(20000));
    QCOMPARE(m_server->lastRequest().header("range"), QByteArray("bytes=204800-"));
    QCOMPARE(QFileInfo(m_base + QStringLiteral("client/ready/bin/data.bin")).size(), 400000);
}

void TestDownloader::unknownLengthCompletesAtTheEnd()
{
    const QByteArray pkg = makePackage(300000);
    m_server->setContent(QStringLiteral("/update.pkg"), pkg);
    m_server->setFault(QStringLiteral("/update.pkg"), Fault::NoContentLength);
    Run run(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("client"));
    run.start();
    QVERIFY(run.unpacked.wait(20000));
    QVERIFY(run.progress.size() > 1);
    QCOMPARE(run.progress.first().at(1).toLongLong(), -1);
    QCOMPARE(run.finished.size(), 1);
    QVERIFY(QFileInfo::exists(m_base + QStringLiteral("client/ready/readme.txt")));
}

void TestDownloader::badPackageRemovesKindFolder()
{
    QByteArray pkg = makePackage(5000, QStringLiteral("9.1"), 7, QStringLiteral("html"));
    pkg[pkg.size() - 1] = char(pkg.at(pkg.size() - 1) ^ 1);
    pkg = key().sign(pkg); // signed as it is: only the digest tells
    m_server->setContent(QStringLiteral("/update.pkg"), pkg);
    writeFile(m_base + QStringLiteral("client/ready/kelv"), "stays");
    QTest::ignoreMessage(QtInfoMsg, "Update Error: bad SHA-256 hash of update file!");
    Run run(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("html"));
    run.start();
    QVERIFY(run.finished.wait(20000));
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(m_base + QStringLiteral("html")), 20000);
    QCOMPARE(run.unpacked.size(), 0);
    QCOMPARE(run.failed.size(), 0);
    QVERIFY(QFileInfo::exists(m_base + QStringLiteral("client/ready/kelv")));
    QTRY_COMPARE(run.errors.size(), 1);
    QVERIFY(!QFileInfo::exists(m_base + QStringLiteral("download/html.pkg")));
    QCOMPARE(run.errors.first().first().toString(),
             QStringLiteral("Update refused: the package is damaged"));
}

void TestDownloader::clientInstallUnderWayIsLeftAlone()
{
    // The Updater is still copying (the program started anyway): its journal,
    // backup and ready folder are neither removed by a failing client download
    // nor replaced by a good one.
    const QMap<QString, QByteArray> updater{
        {QStringLiteral("client/update.journal"), "B kelv\n"},
        {QStringLiteral("client/backup/kelv"), "the previous program"},
        {QStringLiteral("client/ready/kelv"), "the program being installed"},
    };
    for (auto it = updater.cbegin(); it != updater.cend(); ++it)
        writeFile(m_base + it.key(), it.value());
    auto updaterFilesStay = [&] {
        for (auto it = updater.cbegin(); it != updater.cend(); ++it) {
            if (readFile(m_base + it.key()) != it.value())
                return false;
        }
        return true;
    };

    m_server->setContent(QStringLiteral("/gone.pkg"), makePackage(1000));
    m_server->setFault(QStringLiteral("/gone.pkg"), Fault::NotFoundMidTransfer);
    {
        Run run(m_server->url(QStringLiteral("/gone.pkg")), QStringLiteral("client"));
        run.start();
        QTRY_COMPARE_WITH_TIMEOUT(run.errors.size(), 1, 20000);
        QVERIFY(updaterFilesStay());
    }

    const QByteArray pkg = makePackage(1000);
    m_server->setContent(QStringLiteral("/update.pkg"), pkg);
    Run run(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("client"));
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.errors.size(), 1, 20000);
    QCOMPARE(run.unpacked.size(), 0);
    QVERIFY(updaterFilesStay());
    QCOMPARE(run.errors.first().first().toString(),
             QStringLiteral("Update refused: the update folder cannot be written"));
    // The package waits for the next attempt.
    QCOMPARE(readFile(m_base + QStringLiteral("download/client.pkg")), pkg);
}

void TestDownloader::untrustedPackagesAreRefusedAndReported_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("shown");
    package::Content content;
    content.kind = QStringLiteral("html");
    content.version = QStringLiteral("6");
    content.entries.append({QStringLiteral("pkg/index.html"), "evil page"});
    QTest::newRow("unsigned") << package::buildPackage(content)
                              << QStringLiteral("Update Error: update file is not signed")
                              << QStringLiteral("Update refused: the package is not signed");
    const test::SigningKey stranger;
    QTest::newRow("unknown signer")
        << stranger.package(content)
        << QStringLiteral("Update Error: update file is signed by a key that is not trusted")
        << QStringLiteral("Update refused: the package is signed by an unknown key");
}

void TestDownloader::untrustedPackagesAreRefusedAndReported()
{
    QFETCH(QByteArray, package);
    QFETCH(QString, log);
    QFETCH(QString, shown);
    m_server->setContent(QStringLiteral("/page.pkg"), package);
    writeFile(m_base + QStringLiteral("client/ready/kelv"), "a ready client update");
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QRegularExpression::escape(log)));
    Run run(m_server->url(QStringLiteral("/page.pkg")), QStringLiteral("html"));
    run.start();
    QVERIFY(run.errors.wait(20000));
    QCOMPARE(run.errors.first().first().toString(), shown);
    QCOMPARE(run.unpacked.size(), 0);
    QVERIFY(!QFileInfo::exists(m_base + QStringLiteral("html")));
    QVERIFY(QFileInfo::exists(m_base + QStringLiteral("client/ready/kelv")));
}

void TestDownloader::errorPageOf416IsNeverAppended()
{
    // The package is complete on disk; the server answers the range request
    // past its end with 416 and an HTML page, which used to be appended.
    const QByteArray pkg = makePackageOfExactSize(2 * PsUpdateDownloader::kPartSize);
    QCOMPARE(pkg.size(), 2 * PsUpdateDownloader::kPartSize);
    m_server->setContent(QStringLiteral("/update.pkg"), pkg);
    m_server->setFault(QStringLiteral("/update.pkg"), Fault::ErrorPageOnRange);
    writeFile(m_base + QStringLiteral("download/client.pkg"), pkg);
    Run run(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("client"));
    run.start();
    QVERIFY(run.unpacked.wait(20000));
    QCOMPARE(run.unpacked.first().first().toString(), QStringLiteral("5.5"));
    QCOMPARE(m_server->lastRequest().header("range"), QByteArray("bytes=204800-"));
    QCOMPARE(run.errors.size(), 0);
    QCOMPARE(run.failed.size(), 0);
}

void TestDownloader::httpErrorsAreReported_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("404 with a page") << 404 << QByteArray("<html>Not Found</html>");
    QTest::newRow("500 without a body") << 500 << QByteArray();
}

void TestDownloader::httpErrorsAreReported()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    m_server->setReply(QStringLiteral("/update.pkg"), status, body, "text/html");
    QTest::ignoreMessage(QtInfoMsg,
                         QRegularExpression(QStringLiteral("server answered %1").arg(status)));
    Run run(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("html"));
    run.start();
    QVERIFY(run.errors.wait(20000));
    QCOMPARE(run.errors.first().first().toString(),
             QStringLiteral("Download failed: the server answered %1").arg(status));
    QCOMPARE(run.unpacked.size(), 0);
    QCOMPARE(run.finished.size(), 0);
    QVERIFY(!QFileInfo::exists(m_base + QStringLiteral("html")));
}

void TestDownloader::stalledDownloadFailsAndKeepsItsPart()
{
    PsUpdateDownloader::setStallTimeoutForTests(1500);
    const QByteArray pkg = makePackage(400000);
    m_server->setPacing(0, 0);
    m_server->setContent(QStringLiteral("/update.pkg"), pkg);
    m_server->setFault(QStringLiteral("/update.pkg"), Fault::Stall, 150000);
    const QString output = m_base + QStringLiteral("download/client.pkg");
    {
        Run run(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("client"));
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("received nothing")));
        QElapsedTimer timer;
        timer.start();
        run.start();
        QVERIFY(run.failed.wait(20000));
        QVERIFY(timer.elapsed() >= 1400);
        QCOMPARE(run.unpacked.size(), 0);
    }
    QCOMPARE(QFileInfo(output).size(), 150000);

    m_server->setFault(QStringLiteral("/update.pkg"), Fault::None);
    Run again(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("client"));
    QCOMPARE(again.downloader->already(), PsUpdateDownloader::kPartSize);
    again.start();
    QVERIFY(again.unpacked.wait(20000));
    QCOMPARE(m_server->lastRequest().header("range"), QByteArray("bytes=102400-"));
}

void TestDownloader::replacedPackageRestartsInsteadOfMixing()
{
    const QByteArray first = makePackage(400000, QStringLiteral("1.0"), 11);
    m_server->setContent(QStringLiteral("/update.pkg"), first);
    m_server->setFault(QStringLiteral("/update.pkg"), Fault::DropConnection, 250000);
    {
        Run run(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("client"));
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("failed: .*")));
        run.start();
        QVERIFY(run.failed.wait(20000));
    }
    // The server now has another package of the same name.
    const QByteArray second = makePackage(400000, QStringLiteral("2.0"), 12);
    m_server->setContent(QStringLiteral("/update.pkg"), second);
    m_server->setFault(QStringLiteral("/update.pkg"), Fault::None);
    Run again(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("client"));
    QCOMPARE(again.downloader->already(), 204800);
    again.start();
    QVERIFY(again.unpacked.wait(20000));
    const test::HttpTestServer::Request resumed = m_server->lastRequest();
    QCOMPARE(resumed.header("range"), QByteArray("bytes=204800-"));
    QCOMPARE(resumed.header("if-range"), test::HttpTestServer::etagOf(first));
    // The whole new package came back and was unpacked, not a mix.
    QCOMPARE(again.unpacked.first().first().toString(), QStringLiteral("2.0"));
    QCOMPARE(again.errors.size(), 0);
    QVERIFY(!QFileInfo::exists(again.downloader->validatorPath()));
}

void TestDownloader::refusedAddressIsNeverContacted_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("http to another host") << QStringLiteral("http://updates.example.com/u.pkg");
    QTest::newRow("ftp") << QStringLiteral("ftp://127.0.0.1/u.pkg");
    QTest::newRow("file") << QStringLiteral("file:///tmp/u.pkg");
}

void TestDownloader::refusedAddressIsNeverContacted()
{
    QFETCH(QString, url);
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("refused")));
    Run run(url, QStringLiteral("client"));
    run.start();
    // A refusal can come before the spy would start waiting: wait for the count.
    QTRY_VERIFY_WITH_TIMEOUT(!run.errors.isEmpty(), 20000);
    QVERIFY(run.errors.first().first().toString().startsWith(QLatin1String("Update refused: ")));
    QCOMPARE(run.failed.size(), 0);
    QCOMPARE(run.progress.size(), 0);
}

void TestDownloader::neverMoreThanAnnounced_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<qint64>("announced");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<QString>("shown");
    // Bytes without end and no length: cut off at the largest package size
    // (lowered here so the test does not send 512 MiB).
    QTest::newRow("endless data") << int(Fault::Endless) << qint64(0) << qint64(300000)
                                  << QStringLiteral("Update refused: the package is too large");
    // A total smaller than what is sent: never more than the total is written.
    QTest::newRow("more than the range's total")
        << int(Fault::SmallTotal) << qint64(100000) << qint64(0)
        << QStringLiteral("Update refused: the server sent too much data");
    // A length larger than any package: refused before the body.
    QTest::newRow("a length above 512 MiB")
        << int(Fault::HugeLength) << qint64(600) * 1024 * 1024 << qint64(0)
        << QStringLiteral("Update refused: the package is too large");
    // A length smaller than the package: what arrives is refused as cut off.
    QTest::newRow("a length below the package's")
        << int(Fault::ShortLength) << qint64(200000) << qint64(0)
        << QStringLiteral("Update refused: the package is incomplete");
}

void TestDownloader::neverMoreThanAnnounced()
{
    QFETCH(int, fault);
    QFETCH(qint64, announced);
    QFETCH(qint64, limit);
    QFETCH(QString, shown);
    PsUpdateDownloader::setSizeLimitForTests(limit);
    m_server->setContent(QStringLiteral("/update.pkg"), makePackage(400000));
    m_server->setFault(QStringLiteral("/update.pkg"), Fault(fault), announced);
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^Update Error: ")));
    Run run(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("client"));
    qint64 largest = 0;
    QObject::connect(
        run.downloader, &PsUpdateDownloader::finishPart, run.downloader,
        [&] { largest = qMax(largest, QFileInfo(run.downloader->outputPath()).size()); },
        Qt::DirectConnection);
    run.start();
    QVERIFY(run.errors.wait(20000));
    QCOMPARE(run.errors.first().first().toString(), shown);
    QCOMPARE(run.unpacked.size(), 0);
    QVERIFY(largest <= (limit > 0 ? limit : 400000 + 1000));
    QVERIFY(!QFileInfo::exists(run.downloader->outputPath()));
    QVERIFY(!QFileInfo::exists(m_base + QStringLiteral("client/ready")));
}

void TestDownloader::slowDownloadFailsAndKeepsItsPart()
{
    // 512 bytes a second, under the rule's 1 KiB/s: the window (60 s in the
    // program) is 2 s here.
    PsUpdateDownloader::setSlowWindowForTests(2000);
    m_server->setPacing(64, 125);
    m_server->setContent(QStringLiteral("/update.pkg"), makePackage(400000));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("less than 1024 bytes a")));
    Run run(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("client"));
    QElapsedTimer timer;
    timer.start();
    run.start();
    QVERIFY(run.errors.wait(20000));
    QVERIFY(timer.elapsed() >= 2000);
    QCOMPARE(run.errors.first().first().toString(),
             QStringLiteral("Download too slow, please check the network"));
    QCOMPARE(run.unpacked.size(), 0);
    // What arrived stays for resuming.
    QTRY_VERIFY(QFileInfo(run.downloader->outputPath()).size() > 0);

    // A fast enough server is not cut off by the same window.
    m_server->setPacing(32 * 1024, 40);
    Run fast(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("client"));
    fast.start();
    QVERIFY(fast.unpacked.wait(20000));
    QCOMPARE(fast.errors.size(), 0);
}

void TestDownloader::notNewerWaitsForTheUser()
{
    // The service offers a validly signed 0.0.1 while 9.0 is installed.
    m_server->setContent(QStringLiteral("/update.pkg"),
                         makePackage(20000, QStringLiteral("0.0.1")));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("not newer")));
    Run run(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("client"));
    QSignalSpy offered(run.downloader, &PsUpdateDownloader::notNewerOffered);
    run.downloader->setInstalledVersion(QStringLiteral("9.0"));
    run.start();
    QVERIFY(offered.wait(20000));
    QCOMPARE(offered.first().at(0).toString(), QStringLiteral("0.0.1"));
    QCOMPARE(offered.first().at(1).toString(),
             QStringLiteral("The package's version 0.0.1 is not newer than the installed version "
                            "9.0. Install it anyway?"));
    QCOMPARE(run.unpacked.size(), 0);
    QCOMPARE(run.errors.size(), 0);
    QVERIFY(!QFileInfo::exists(m_base + QStringLiteral("client/ready")));
    QVERIFY(QFileInfo::exists(run.downloader->outputPath()));

    // The user chooses it after all.
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("chose to install")));
    QMetaObject::invokeMethod(run.downloader, &PsUpdateDownloader::installAnyway);
    QTRY_COMPARE_WITH_TIMEOUT(run.unpacked.size(), 1, 20000);
    QCOMPARE(run.unpacked.first().first().toString(), QStringLiteral("0.0.1"));
    QVERIFY(QFileInfo::exists(m_base + QStringLiteral("client/ready/readme.txt")));
}

void TestDownloader::packageOfAnotherKindIsRefused()
{
    // A validly signed firmware package offered as the client package.
    m_server->setContent(QStringLiteral("/update.pkg"),
                         makePackage(20000, QStringLiteral("9.9"), 7, QStringLiteral("firmware")));
    QTest::ignoreMessage(QtInfoMsg,
                         QRegularExpression(QStringLiteral("is a firmware package .*expected a "
                                                           "program package")));
    Run run(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("client"));
    run.start();
    QVERIFY(run.errors.wait(20000));
    QCOMPARE(run.errors.first().first().toString(),
             QStringLiteral("Update refused: the package is of another kind"));
    QVERIFY(!QFileInfo::exists(m_base + QStringLiteral("client/ready")));
}

void TestDownloader::firmwareKeptUntilANewerOneIsVerified()
{
    package::Content firmware;
    firmware.kind = QStringLiteral("firmware");
    firmware.version = QStringLiteral("2.0");
    firmware.entries.append(
        {QStringLiteral("firmware/update.bin"), FirmwareImage::build(noise(3000, 5))});
    const QByteArray kept = key().package(firmware);
    writeFile(firmwarePackagePath(), kept);

    // A failed download, a refused one, a damaged one: the kept package stays.
    m_server->setReply(QStringLiteral("/missing.pkg"), 404, "gone", "text/plain");
    m_server->setContent(QStringLiteral("/client.pkg"), makePackage(1000));
    m_server->setContent(QStringLiteral("/bad.pkg"),
                         key().package(QStringLiteral("3.0"),
                                       {{QStringLiteral("f/update.bin"), "not an image"}},
                                       QStringLiteral("firmware")));
    for (const char *path : {"/missing.pkg", "/client.pkg", "/bad.pkg"}) {
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^Update Error: ")));
        Run run(m_server->url(QLatin1String(path)), QStringLiteral("firmware"));
        run.start();
        QVERIFY2(run.errors.wait(20000), path);
        QCOMPARE(readFile(firmwarePackagePath()), kept);
    }

    // A newer package that passes every check takes its place.
    firmware.version = QStringLiteral("3.0");
    const QByteArray newer = key().package(firmware);
    m_server->setContent(QStringLiteral("/firmware.pkg"), newer);
    Run run(m_server->url(QStringLiteral("/firmware.pkg")), QStringLiteral("firmware"));
    run.downloader->setInstalledVersion(QStringLiteral("2.0"));
    run.start();
    QVERIFY(run.unpacked.wait(20000));
    QCOMPARE(readFile(firmwarePackagePath()), newer);
    QVERIFY(!QFileInfo::exists(run.downloader->outputPath()));
}

void TestDownloader::firmwarePackageSurvivesAMoveThatFails()
{
#ifndef Q_OS_UNIX
    QSKIP("the move is refused through folder permissions");
#else
    // A verified newer package whose move into place fails (the download
    // folder lets nothing out): the kept package, from which a mouse left in
    // its boot loader is recovered, is still there and whole.
    package::Content firmware;
    firmware.kind = QStringLiteral("firmware");
    firmware.version = QStringLiteral("2.0");
    firmware.entries.append(
        {QStringLiteral("firmware/update.bin"), FirmwareImage::build(noise(3000, 5))});
    const QByteArray kept = key().package(firmware);
    writeFile(firmwarePackagePath(), kept);
    firmware.version = QStringLiteral("3.0");
    Run run(m_server->url(QStringLiteral("/firmware.pkg")), QStringLiteral("firmware"));
    run.downloader->setInstalledVersion(QStringLiteral("2.0"));
    writeFile(run.downloader->outputPath(), key().package(firmware));

    // Root may move anything: the move is made by another user (nobody),
    // who may replace files in the firmware folder but take none out of the
    // download folder.
    const QString downloads = PsUpdateDownloader::downloadFolder();
    for (const QString &folder : {m_dir->path(), m_base})
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ExeOwner | QFile::ReadOther |
                                                  QFile::ExeOther));
    QCOMPARE(::chmod(QFile::encodeName(QFileInfo(firmwarePackagePath()).absolutePath()), 0777), 0);
    QCOMPARE(::chmod(QFile::encodeName(downloads), 0555), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        run.downloader->unpackPackage();
        _exit(run.errors.size() == 1 &&
                      run.errors.first().first().toString() ==
                          QStringLiteral("Update refused: the update folder cannot be written")
                  ? 0
                  : 1);
    }
    int status = -1;
    QCOMPARE(waitpid(child, &status, 0), child);
    QCOMPARE(::chmod(QFile::encodeName(downloads), 0755), 0);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QCOMPARE(readFile(firmwarePackagePath()), kept);
    QCOMPARE(QDir(QFileInfo(firmwarePackagePath()).absolutePath()).entryList(QDir::Files),
             QStringList{QStringLiteral("firmware.pkg")});
#endif
}

void TestDownloader::packageThatCannotBeWrittenIsReported_data()
{
    // shortBy: the disk fills up that many bytes before the package's end (a
    // file size limit makes the writes fail); 0: the package's place is taken
    // by a folder, so it cannot be opened at all.
    QTest::addColumn<qint64>("shortBy");
    QTest::addColumn<QString>("shown");
    const QString shown = QStringLiteral("Update refused: the update folder cannot be written");
    QTest::newRow("cannot be opened") << qint64(0) << shown;
    QTest::newRow("disk full half way") << qint64(250000) << shown;
    // Only the flush of the last piece fails.
    QTest::newRow("disk full at the end") << qint64(100) << shown;
}

void TestDownloader::packageThatCannotBeWrittenIsReported()
{
#ifndef Q_OS_UNIX
    QSKIP("file size limits are a POSIX feature");
#else
    QFETCH(qint64, shortBy);
    QFETCH(QString, shown);
    // The last row sends small pieces, each kept in the file's buffer until
    // it is flushed.
    if (shortBy > 0 && shortBy < 4096)
        m_server->setPacing(4096, 40);
    const QByteArray package = makePackage(400000);
    m_server->setContent(QStringLiteral("/update.pkg"), package);
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^Update Error: cant ")));
    Run run(m_server->url(QStringLiteral("/update.pkg")), QStringLiteral("html"));
    if (shortBy == 0)
        QVERIFY(QDir().mkpath(run.downloader->outputPath()));
    rlimit saved = {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedSignal = std::signal(SIGXFSZ, SIG_IGN);
    if (shortBy > 0) {
        rlimit limited = saved;
        limited.rlim_cur = rlim_t(package.size() - shortBy);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    run.start();
    // The dialog hears of it instead of staying on "Downloading...".
    const bool reported = run.errors.wait(20000);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedSignal);
    QVERIFY(reported);
    QCOMPARE(run.errors.first().first().toString(), shown);
    QCOMPARE(run.unpacked.size(), 0);
    QVERIFY(!QFileInfo(run.downloader->outputPath()).isFile());
    QVERIFY(!QFileInfo::exists(m_base + QStringLiteral("html/ready")));
#endif
}

QTEST_GUILESS_MAIN(TestDownloader)
#include "tst_downloader.moc"
