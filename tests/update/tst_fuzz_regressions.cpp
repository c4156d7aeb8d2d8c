// Inputs the update fuzz targets found, kept as regression tests.

#include "common/app_paths.h"
#include "tests/testsupport/signing_key.h"
#include "update/package_reader.h"
#include "update/package_unpacker.h"
#include "update/package_writer.h"
#include "update/payload_codec.h"
#include "update/ps_update_downloader.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QtEndian>
#include <lzma.h>

using namespace kelv;

namespace {

const test::SigningKey &key()
{
    static const test::SigningKey signingKey;
    return signingKey;
}

package::Content sample()
{
    package::Content content;
    content.kind = QStringLiteral("html");
    content.version = QStringLiteral("3.1");
    content.entries = {{QStringLiteral("html/index.html"), QByteArray(5000, 'x')},
                       {QStringLiteral("html/js/app.js"), QByteArrayLiteral("let a = 1;")}};
    return content;
}

// Sets the dictionary size of the LZMA properties and the stated payload
// length, then recomputes the manifest's digest so the package is well-sealed.
QByteArray withHeader(QByteArray file, quint32 dictionary, quint32 length)
{
    qToLittleEndian<quint32>(dictionary, file.data() + package::kPropertiesOffset + 1);
    qToLittleEndian<quint32>(length, file.data() + package::kLengthOffset);
    const QByteArray digest = QCryptographicHash::hash(
        QByteArrayView(file).sliced(package::kHeaderSize), QCryptographicHash::Sha256);
    file.replace(package::kBodyDigestOffset, package::kBodyDigestSize, digest);
    return key().sign(file);
}

bool unpacks(const QString &packagePath, const QString &kindFolder, const QString &kind)
{
    package::Expectation expected;
    expected.kind = kind;
    return package::unpackPackageFile(packagePath, kindFolder, key().trustedKeys(), expected)
               .outcome == package::UnpackResult::Unpacked;
}

} // namespace

class TestUpdateFuzzRegressions final : public QObject
{
    Q_OBJECT

private slots:
    void hugeDictionaryIsNotAllocated()
    {
        // The LZMA properties name a 4 GiB dictionary: the decoder used to set
        // it up whole before reading a byte (out of memory). A dictionary as
        // large as the payload decodes the same stream.
        const QByteArray good = package::buildPackage(sample());
        QVERIFY(!good.isEmpty());
        const quint32 length =
            qFromLittleEndian<quint32>(good.constData() + package::kLengthOffset);
        const QByteArray file = withHeader(good, 0xFFFFFFFFu, length);

        package::Content content;
        QString error;
        QVERIFY2(package::readPackage(file, key().trustedKeys(), &content, &error),
                 qPrintable(error));
        QCOMPARE(content.version, sample().version);
        QCOMPARE(content.entries.size(), 2);
        QCOMPARE(content.entries.at(0).content, sample().entries.at(0).content);
    }

    void hugeDictionaryAndLengthAreRefused()
    {
        // Both the dictionary and the stated length say 4 GiB: refused with
        // the memory-limit code before anything is allocated.
        const QByteArray file =
            withHeader(package::buildPackage(sample()), 0xFFFFFFF0u, 0xFFFFFFF0u);
        QByteArray out;
        int code = 0;
        QVERIFY(!package::lzmaDecompress(
            file.mid(package::kPropertiesOffset, 5), file.constData() + package::kDataOffset,
            file.size() - package::kDataOffset, 0xFFFFFFF0u, &out, &code));
        QCOMPARE(code, int(LZMA_MEMLIMIT_ERROR));
        QVERIFY(out.isEmpty());

        package::Content content;
        QString error;
        QVERIFY(!package::readPackage(file, key().trustedKeys(), &content, &error));
        // The reader refuses the stated length before it reaches the decoder.
        QCOMPARE(error, QStringLiteral("update payload of 4294967280 bytes exceeds the limit of "
                                       "536870912 bytes"));
    }

    void storedNameWithNulIsRefused()
    {
        // "hl/js/app\0ml" would be written as js/app (the system ends the name
        // at the NUL) and a later "html/js/app" would overwrite it.
        bool unsafe = false;
        QVERIFY(package::relativePathOf(
                    QStringLiteral("hl/js/app") + QChar(0) + QStringLiteral("ml"), &unsafe)
                    .isEmpty());
        QVERIFY(unsafe);

        package::Content content = sample();
        content.entries.prepend({QStringLiteral("hl/js/app.js") + QChar(0) + QStringLiteral("ml"),
                                 QByteArrayLiteral("<html></html>")});
        const QByteArray file = key().package(content);
        package::Content read;
        QString error;
        QVERIFY(!package::readPackage(file, key().trustedKeys(), &read, &error));
        QVERIFY2(error.startsWith(QLatin1String("unsafe file name")), qPrintable(error));

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString packagePath = dir.filePath(QStringLiteral("html/update.pkg"));
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("html"))));
        QFile out(packagePath);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(file);
        out.close();
        QVERIFY(
            !unpacks(packagePath, dir.filePath(QStringLiteral("html")), QStringLiteral("html")));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("html/ready"))));
    }

    void climbingNameWithLoneSurrogateIsRefused()
    {
        // "x/../../ev\uDC69s": not valid UTF-16, which the name check used to
        // split with a regular expression that matches nothing in such text,
        // so the ".." parts went unseen and the file landed two folders up.
        const QString name = QStringLiteral("x/../../ev") + QChar(0xDC69) + QStringLiteral("s");
        bool unsafe = false;
        QVERIFY(package::relativePathOf(name, &unsafe).isEmpty());
        QVERIFY(unsafe);
        const QString windows = QStringLiteral("x/a\\..\\..\\ev") + QChar(0xD800);
        QVERIFY(package::relativePathOf(windows, &unsafe).isEmpty());
        QVERIFY(unsafe);

        package::Content content;
        content.version = QStringLiteral("9");
        content.entries = {{name, QByteArrayLiteral("a")}};
        const QByteArray file = key().package(content);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString kind = dir.filePath(QStringLiteral("tupdates/firmware"));
        QVERIFY(QDir().mkpath(kind));
        QFile out(kind + QStringLiteral("/update.pkg"));
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(file);
        out.close();
        QVERIFY(!unpacks(out.fileName(), kind, QStringLiteral("firmware")));
        const QStringList above = QDir(dir.filePath(QStringLiteral("tupdates")))
                                      .entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        QCOMPARE(above, QStringList{QStringLiteral("firmware")});
        QVERIFY(!QFileInfo::exists(kind + QStringLiteral("/ready")));
    }

    void packageUrlNeverNamesAFile_data()
    {
        QTest::addColumn<QString>("url");
        // Addresses once used to name the download: "." and "..", backslashes,
        // the installer's own files.
        QTest::newRow("dot before a query") << QStringLiteral("h|tp:0/1..0p:0/.?/pkg/");
        QTest::newRow("dot-dot at the end") << QStringLiteral("http://127.0.0.1/pkg/..");
        QTest::newRow("backslashes") << QStringLiteral("http://127.0.0.1/..\\..\\kelv");
        QTest::newRow("the journal") << QStringLiteral("http://127.0.0.1/x/update.journal");
        QTest::newRow("the notice") << QStringLiteral("http://127.0.0.1/rollback.txt?a=1");
    }

    void packageUrlNeverNamesAFile()
    {
        QFETCH(QString, url);
        QTemporaryDir dir;
        setWorkingFolder(dir.path() + QLatin1Char('/'));
        QThread thread;
        auto *downloader = new PsUpdateDownloader(&thread, url, QStringLiteral("client"));
        QCOMPARE(downloader->outputPath(),
                 dir.path() + QStringLiteral("/tupdates/download/client.pkg"));
        delete downloader;
        setWorkingFolder(QString());
    }
};

QTEST_GUILESS_MAIN(TestUpdateFuzzRegressions)
#include "tst_fuzz_regressions.moc"
