// The update package reader. This target compiles the package code with
// KELV_FUZZ_SKIP_DIGEST, so a mutated package is not stopped by its SHA-1 and
// reaches the LZMA decoder and the payload stream.
//
// Input: the first byte chooses how the rest is used. Even: the rest is a
// package file as downloaded. Odd: the rest is the decompressed payload (the
// data stream of version and files), packed here into a well-formed package,
// so the stream reader is fuzzed directly.
//
// Invariants: the reader never writes outside the kind folder; an unpack that
// succeeds is one the checking reader accepts too, and leaves exactly the
// package's files, with their contents, in the ready folder.

#include "tests/fuzz/fuzz_support.h"
#include "update/package_format.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QtEndian>

using namespace kelv;

namespace {

QByteArray packPayload(const QByteArray &payload)
{
    QByteArray properties;
    QByteArray stream;
    if (!package::lzmaCompress(payload, 0, false, &properties, &stream))
        return QByteArray();
    QByteArray tail = properties;
    char length[4];
    qToLittleEndian<quint32>(quint32(payload.size()), length);
    tail.append(length, 4);
    tail += stream;
    QByteArray file(package::kReservedSize, '\0');
    file += QCryptographicHash::hash(tail, QCryptographicHash::Sha1);
    return file + tail;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    fuzz::resetProgramFolder();
    QByteArray rest(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    const QByteArray file = (data[0] & 1) ? packPayload(rest) : rest;

    package::Content content;
    QString error;
    const bool readable = package::readPackage(file, &content, &error);

    const QString kindFolder = fuzz::sandboxFile(QStringLiteral("tupdates/firmware"));
    const QString packagePath =
        fuzz::writeSandboxFile(QStringLiteral("tupdates/firmware/update.pkg"), file);
    QString version;
    const bool unpacked = package::unpackPackageFile(packagePath, kindFolder, &version);

    // Nothing lands outside the kind folder (the default profiles aside).
    QDirIterator all(fuzz::sandbox(), QDir::Files | QDir::Hidden | QDir::System,
                     QDirIterator::Subdirectories);
    while (all.hasNext()) {
        const QString path = all.next();
        const bool inside = path.startsWith(kindFolder + QLatin1Char('/')) ||
                            path.startsWith(fuzz::sandboxFile(QStringLiteral("Resources/"))) ||
                            path.startsWith(fuzz::sandboxFile(QStringLiteral("view/")));
        if (!inside)
            std::fprintf(stderr, "written: %s\n", qPrintable(path));
        FUZZ_CHECK(inside, "the package reader writes only into its kind folder");
    }
    if (unpacked) {
        FUZZ_CHECK(readable, "what unpacks also passes the checking reader");
        FUZZ_CHECK(version == content.version, "the version string is the package's");
        FUZZ_CHECK(!QFile::exists(packagePath), "the package file goes after unpacking");
        // Later entries with the same path replace earlier ones.
        QHash<QString, QByteArray> expected;
        for (const package::Entry &entry : std::as_const(content.entries)) {
            bool unsafe = false;
            expected.insert(package::relativePathOf(entry.storedName, &unsafe), entry.content);
        }
        const QString ready = kindFolder + QStringLiteral("/ready/");
        for (auto it = expected.constBegin(); it != expected.constEnd(); ++it) {
            QFile unpackedFile(ready + it.key());
            FUZZ_CHECK(unpackedFile.open(QIODevice::ReadOnly), "every file is in the ready folder");
            FUZZ_CHECK(unpackedFile.readAll() == it.value(), "every file has its content");
        }
    }
    fuzz::drainEvents();
    return 0;
}
