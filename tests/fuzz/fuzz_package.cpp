// The update package reader, the program's own (kelv_update): the same
// reader kelvpack uses. A key pair made at start-up is the one trusted key.
//
// Input: the first byte chooses how the rest is used. Bit 0 clear: the rest
// is a package file as downloaded; set: the rest is the decompressed payload
// (the data stream of version and files), packed here into a firmware package
// of version 1.0, so the stream reader is fuzzed directly. Bit 1 set: the
// file is sealed here (the manifest's body length and SHA-256 recomputed and
// the manifest signed with the trusted key), so a mutated package passes the
// signature and digest and reaches the LZMA decoder and the payload stream;
// clear: it is read as it is, which exercises the signature checks (and is
// refused unless it carries the trusted signature).
//
// Invariants: the reader never writes outside the kind folder; an unpack that
// succeeds is one the checking reader accepts too, and leaves exactly the
// package's files, with their contents, in the ready folder.

#include "tests/fuzz/fuzz_support.h"
#include "tests/testsupport/package_bytes.h"
#include "update/package_reader.h"
#include "update/package_signature.h"
#include "update/package_unpacker.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

using namespace kelv;

namespace {

const package::SecretKey &signingKey()
{
    static const package::SecretKey key = package::SecretKey::generate();
    return key;
}

const package::TrustedKeys &trustedKeys()
{
    static const package::TrustedKeys keys = [] {
        package::TrustedKeys trusted;
        trusted.add(signingKey().publicKey());
        return trusted;
    }();
    return keys;
}

// Recomputes the manifest's body length and digest and signs, as the
// vendor's packer does.
QByteArray seal(QByteArray file)
{
    if (file.size() < package::kMinimumSize)
        return file;
    test::restampBody(&file);
    signingKey().signPackage(&file);
    return file;
}

QByteArray packPayload(const QByteArray &payload)
{
    const QByteArray body = test::packageBody(payload, 0);
    if (body.isEmpty())
        return QByteArray();
    package::Manifest manifest;
    manifest.kind = QStringLiteral("firmware");
    manifest.product = package::kProductCode;
    manifest.version = QStringLiteral("1.0");
    return package::headerOf(manifest) + body;
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
    QByteArray file = (data[0] & 1) ? packPayload(rest) : rest;
    if (data[0] & 2)
        file = seal(file);

    package::Content content;
    QString error;
    const bool readable = package::readPackage(file, trustedKeys(), &content, &error);

    const QString kindFolder = fuzz::sandboxFile(QStringLiteral("tupdates/firmware"));
    const QString packagePath =
        fuzz::writeSandboxFile(QStringLiteral("tupdates/firmware/update.pkg"), file);
    package::Expectation expected;
    expected.kind = QStringLiteral("firmware");
    const package::UnpackResult result =
        package::unpackPackageFile(packagePath, kindFolder, trustedKeys(), expected);
    const bool unpacked = result.outcome == package::UnpackResult::Unpacked;

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
        FUZZ_CHECK(package::checkSignature(file.left(package::kHeaderSize), trustedKeys()) ==
                       package::SignatureCheck::Valid,
                   "only packages signed by the trusted key unpack");
        FUZZ_CHECK(result.version == content.version, "the version string is the package's");
        FUZZ_CHECK(content.kind == QLatin1String("firmware"), "only the expected kind unpacks");
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
