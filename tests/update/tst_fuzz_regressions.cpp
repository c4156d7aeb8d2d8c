// Inputs the package fuzz target found, kept as regression tests.

#include "update/package_format.h"

#include <QCryptographicHash>
#include <QTest>
#include <QtEndian>
#include <lzma.h>

using namespace kelv;

namespace {

package::Content sample()
{
    package::Content content;
    content.version = QStringLiteral("3.1");
    content.entries = {{QStringLiteral("html/index.html"), QByteArray(5000, 'x')},
                       {QStringLiteral("html/js/app.js"), QByteArrayLiteral("let a = 1;")}};
    return content;
}

// Sets the dictionary size of the LZMA properties and the stated payload
// length, then recomputes the digest so the package is well-sealed.
QByteArray withHeader(QByteArray file, quint32 dictionary, quint32 length)
{
    qToLittleEndian<quint32>(dictionary, file.data() + package::kPropertiesOffset + 1);
    qToLittleEndian<quint32>(length, file.data() + package::kLengthOffset);
    const QByteArray digest = QCryptographicHash::hash(
        QByteArrayView(file).sliced(package::kPropertiesOffset), QCryptographicHash::Sha1);
    file.replace(package::kDigestOffset, 20, digest);
    return file;
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
        QVERIFY2(package::readPackage(file, &content, &error), qPrintable(error));
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
        QVERIFY(!package::readPackage(file, &content, &error));
        QCOMPARE(
            error,
            QStringLiteral("could not uncompress lzma, code: %1").arg(int(LZMA_MEMLIMIT_ERROR)));
    }
};

QTEST_GUILESS_MAIN(TestUpdateFuzzRegressions)
#include "tst_fuzz_regressions.moc"
