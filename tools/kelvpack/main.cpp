// kelvpack: makes signing keys, builds, signs, lists and verifies update
// packages.
//
//   kelvpack keygen <secret-key-file> <public-key-file>
//   kelvpack build <folder> <version> <package> [--kind client|html] [--prefix <name>]
//                  [--preset <0-9>] [--product <code>]
//   kelvpack firmware <firmware-bytes> <version> <package> [--product <code>]
//   (build and firmware: --sign <secret-key-file> signs the package,
//    --end-marker ends the LZMA stream with a marker)
//   kelvpack sign <package> <secret-key-file>
//   kelvpack image <firmware-bytes> <update.bin>
//   kelvpack list <package>
//   kelvpack verify <package> [--keys <update-keys.txt>]

#include "common/text_file.h"
#include "update/firmware_image.h"
#include "update/package_reader.h"
#include "update/package_signature.h"
#include "update/package_writer.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <algorithm>

using namespace kelv;

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

int usage()
{
    err()
        << "usage:\n"
           "  kelvpack keygen <secret-key-file> <public-key-file>\n"
           "      makes an Ed25519 key pair: the secret key (PEM, mode 0600, never\n"
           "      overwritten) and the public key line for Resources/update-keys.txt\n"
           "  kelvpack build <folder> <version> <package> [--kind client|html] [--prefix <name>]\n"
           "                 [--preset <0-9>] [--product <code>]\n"
           "      packs every file below <folder> as a client (program) or html (page)\n"
           "      package, client by default; stored names are <name>/<path>, <name>\n"
           "      defaulting to the folder's own name (the reader drops it); <version> is\n"
           "      dotted numbers (2.0.1); the product code defaults to this program's (4118)\n"
           "  kelvpack firmware <firmware-bytes> <version> <package> [--product <code>]\n"
           "      wraps raw firmware bytes into update.bin and packs it (kind firmware)\n"
           "  kelvpack image <firmware-bytes> <update.bin>\n"
           "      writes the firmware image update.bin only\n"
           "  kelvpack sign <package> <secret-key-file>\n"
           "      signs an existing package in place\n"
           "  kelvpack list <package>\n"
           "  kelvpack verify <package> [--keys <update-keys.txt>]\n"
           "      checks the package as the program does, against the trusted keys in\n"
           "      Resources/update-keys.txt beside kelvpack or in --keys\n"
           "  --sign <secret-key-file> (build, firmware): sign the package\n"
           "  --end-marker (build, firmware): end the LZMA stream with an end marker\n";
    return 2;
}

bool readFile(const QString &path, QByteArray *data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        err() << "cannot read " << path << ": " << file.errorString() << "\n";
        return false;
    }
    *data = file.readAll();
    return true;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    if (!writeFileAtomically(path, data)) {
        err() << "cannot write " << path << "\n";
        return false;
    }
    return true;
}

bool g_endMarker = false;
QString g_signingKeyFile;
quint32 g_product = package::kProductCode;

// Takes "--name value" out of args; false when the option has no value.
bool takeOption(QStringList *args, const QString &name, QString *value)
{
    const qsizetype at = args->indexOf(name);
    if (at < 0)
        return true;
    if (at + 1 >= args->size())
        return false;
    *value = args->at(at + 1);
    args->remove(at, 2);
    return true;
}

bool loadSecretKey(const QString &path, package::SecretKey *key)
{
    QByteArray pem;
    if (!readFile(path, &pem))
        return false;
    QString error;
    *key = package::SecretKey::fromPem(pem, &error);
    if (key->isNull()) {
        err() << path << ": " << error << "\n";
        return false;
    }
    return true;
}

// One file of a package: its stored name and where its content comes from (a
// file on disk, or bytes made here).
struct Source
{
    QString storedName;
    QString path;
    QByteArray bytes;
};

// Streams one source into the writer; its size was given to addFile().
bool writeSource(package::PackageWriter &writer, const Source &source)
{
    if (source.path.isEmpty())
        return writer.write(source.bytes);
    QFile file(source.path);
    if (!file.open(QIODevice::ReadOnly)) {
        err() << "cannot read " << source.path << ": " << file.errorString() << "\n";
        return false;
    }
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(chunk.data(), chunk.size());
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (!writer.write(QByteArrayView(chunk.constData(), got)))
            return false;
    }
}

// Writes the package piece by piece (nothing of it is held in memory) into
// a file beside path that takes path's place once it is complete and signed.
int writePackage(const QString &kind, const QString &version, const QList<Source> &sources,
                 const QString &path, int preset)
{
    package::SecretKey key;
    if (!g_signingKeyFile.isEmpty() && !loadSecretKey(g_signingKeyFile, &key))
        return 1;
    if (!package::isDottedVersion(version) || version.size() > package::kVersionSize) {
        err() << "the version '" << version << "' is not dotted numbers (such as 2.0.1, at most "
              << package::kVersionSize << " characters)\n";
        return 1;
    }
    QFile file(path + QStringLiteral(".part"));
    if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate)) {
        err() << "cannot write " << file.fileName() << ": " << file.errorString() << "\n";
        return 1;
    }
    package::PackageWriter writer(&file, preset, g_endMarker);
    bool ok = writer.begin(kind, g_product, version, quint32(sources.size()));
    for (const Source &source : sources) {
        const qint64 size =
            source.path.isEmpty() ? source.bytes.size() : QFileInfo(source.path).size();
        ok = ok && size <= qint64(package::kMaxPayloadLength) &&
             writer.addFile(source.storedName, quint32(size)) && writeSource(writer, source);
    }
    ok = ok && writer.finish();
    QByteArray header;
    if (ok && !key.isNull()) {
        ok = file.seek(0);
        header = file.read(package::kHeaderSize);
        ok = ok && key.signPackage(&header) && file.seek(0) && file.write(header) == header.size();
    }
    const qint64 size = file.size();
    file.close();
    if (!ok) {
        err() << "packing failed (a file changed while it was read, or the payload is larger "
                 "than "
              << package::kMaxPayloadLength << " bytes, or the disk is full)\n";
        file.remove();
        return 1;
    }
    QFile::remove(path);
    if (!file.rename(path)) {
        err() << "cannot write " << path << ": " << file.errorString() << "\n";
        return 1;
    }
    out() << path << ": " << kind << " package, " << sources.size() << " files, version " << version
          << ", " << size << " bytes, "
          << (key.isNull()
                  ? QStringLiteral("not signed")
                  : QStringLiteral("signed by ") + package::encodePublicKey(key.publicKey()))
          << "\n";
    return 0;
}

int keygen(const QStringList &args)
{
    if (args.size() != 2)
        return usage();
    const package::SecretKey key = package::SecretKey::generate();
    const QByteArray pem = key.toPem();
    if (key.isNull() || pem.isEmpty()) {
        err() << "key generation failed\n";
        return 1;
    }
    // Created private from the start, and never over an existing key.
    QFile secret(args.at(0));
    if (!secret.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                     QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        err() << "cannot create " << args.at(0) << ": " << secret.errorString()
              << (secret.exists() ? " (an existing key is never overwritten)" : "") << "\n";
        return 1;
    }
    if (secret.write(pem) != pem.size() || !secret.flush()) {
        err() << "cannot write " << args.at(0) << ": " << secret.errorString() << "\n";
        secret.close();
        secret.remove();
        return 1;
    }
    secret.close();
    const QString line = package::encodePublicKey(key.publicKey());
    if (!writeFile(args.at(1), line.toLatin1() + '\n'))
        return 1;
    out() << "secret key: " << args.at(0) << " (keep it private)\npublic key: " << line << "\n";
    return 0;
}

// Reads every file of a verified package through the reader (names and
// sizes into lines when given); false with *error set.
bool readThrough(package::PackageReader &reader, QStringList *lines, QString *error)
{
    bool ok = reader.decode() && reader.readHeader();
    for (quint32 i = 0; ok && i < reader.fileCount(); ++i) {
        QString storedName;
        QString relative;
        quint32 size = 0;
        ok = reader.readEntry(&storedName, &relative, &size);
        if (ok && relative.isEmpty()) {
            *error = QStringLiteral("the file name '%1' has no path after its first component")
                         .arg(storedName);
            return false;
        }
        if (ok && lines)
            *lines << QStringLiteral("%1\t%2").arg(size).arg(storedName);
    }
    ok = ok && reader.finish();
    if (!ok)
        *error = reader.error();
    return ok;
}

int sign(const QStringList &args)
{
    if (args.size() != 2)
        return usage();
    package::SecretKey key;
    if (!loadSecretKey(args.at(1), &key))
        return 1;
    QFile file(args.at(0));
    if (!file.open(QIODevice::ReadWrite)) {
        err() << "cannot open " << args.at(0) << ": " << file.errorString() << "\n";
        return 1;
    }
    // Only a package that reads completely is signed; the signature covers
    // its manifest, which holds the digest of the rest.
    package::PackageReader reader(&file);
    QString error;
    if (!reader.verifyUnsigned() || !readThrough(reader, nullptr, &error)) {
        err() << args.at(0) << ": " << (error.isEmpty() ? reader.error() : error) << "\n";
        return 1;
    }
    file.seek(0);
    QByteArray header = file.read(package::kHeaderSize);
    if (!key.signPackage(&header) || !file.seek(0) || file.write(header) != header.size() ||
        !file.flush()) {
        err() << "cannot sign " << args.at(0) << ": " << file.errorString() << "\n";
        return 1;
    }
    out() << args.at(0) << ": signed by " << package::encodePublicKey(key.publicKey()) << "\n";
    return 0;
}

int build(QStringList args)
{
    QString prefix;
    QString presetText = QStringLiteral("6");
    QString kind = QStringLiteral("client");
    if (!takeOption(&args, QStringLiteral("--prefix"), &prefix) ||
        !takeOption(&args, QStringLiteral("--preset"), &presetText) ||
        !takeOption(&args, QStringLiteral("--kind"), &kind))
        return usage();
    bool presetOk = false;
    const int preset = presetText.toInt(&presetOk);
    if (!presetOk || preset < 0 || preset > 9 ||
        (kind != QLatin1String("client") && kind != QLatin1String("html")))
        return usage();
    if (args.size() != 3)
        return usage();
    const QString folder = QDir(args.at(0)).absolutePath();
    const QDir root(folder);
    if (!root.exists()) {
        err() << "no such folder: " << folder << "\n";
        return 1;
    }
    if (prefix.isEmpty())
        prefix = QFileInfo(QDir::cleanPath(root.absolutePath())).fileName();
    if (prefix.isEmpty() || prefix.contains(QLatin1Char('/')) || prefix == QLatin1String(".."))
        prefix = QStringLiteral("package");

    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << root.relativeFilePath(it.next());
    std::sort(files.begin(), files.end());
    if (files.isEmpty()) {
        err() << "no files below " << folder << "\n";
        return 1;
    }
    QList<Source> sources;
    for (const QString &relative : std::as_const(files))
        sources.append({prefix + QLatin1Char('/') + relative, root.filePath(relative), {}});
    return writePackage(kind, args.at(1), sources, args.at(2), preset);
}

int firmware(const QStringList &args, bool packageIt)
{
    if (args.size() != (packageIt ? 3 : 2))
        return usage();
    QByteArray bytes;
    if (!readFile(args.at(0), &bytes))
        return 1;
    if (quint64(bytes.size()) > FirmwareImage::kMaxPackedLength) {
        err() << "firmware of " << bytes.size() << " bytes does not fit the image (at most "
              << FirmwareImage::kMaxPackedLength << ")\n";
        return 1;
    }
    const QByteArray image = FirmwareImage::build(bytes);
    if (!packageIt) {
        if (!writeFile(args.at(1), image))
            return 1;
        out() << args.at(1) << ": firmware of " << bytes.size() << " bytes, CRC-32 "
              << QString::number(FirmwareImage::crc32(bytes.constData(), bytes.size()), 16) << "\n";
        return 0;
    }
    return writePackage(QStringLiteral("firmware"), args.at(1),
                        {{QStringLiteral("firmware/update.bin"), QString(), image}}, args.at(2), 6);
}

QString signatureLine(const QByteArray &header)
{
    const QByteArray signer = package::signerOf(header);
    return signer.isEmpty() ? QStringLiteral("not signed")
                            : QStringLiteral("signed by ") + package::encodePublicKey(signer);
}

QByteArray headerOf(QFile &file)
{
    file.seek(0);
    return file.read(package::kHeaderSize);
}

int list(const QStringList &args)
{
    if (args.size() != 1)
        return usage();
    QFile file(args.at(0));
    if (!file.open(QIODevice::ReadOnly)) {
        err() << "cannot read " << args.at(0) << ": " << file.errorString() << "\n";
        return 1;
    }
    // Listing shows what a package holds, signed or not; verify says whether
    // the program would install it.
    package::PackageReader reader(&file);
    QStringList lines;
    QString error;
    if (!reader.verifyUnsigned() || !readThrough(reader, &lines, &error)) {
        err() << args.at(0) << ": " << (error.isEmpty() ? reader.error() : error) << "\n";
        return 1;
    }
    out() << "version " << reader.version() << "\n"
          << "kind " << reader.manifest().kind << ", product " << reader.manifest().product << "\n"
          << signatureLine(headerOf(file)) << "\n";
    for (const QString &line : std::as_const(lines))
        out() << line << "\n";
    return 0;
}

int verify(QStringList args)
{
    // The program's own trusted keys: Resources/update-keys.txt beside it.
    QString keysFile =
        QCoreApplication::applicationDirPath() + QStringLiteral("/Resources/update-keys.txt");
    if (!takeOption(&args, QStringLiteral("--keys"), &keysFile) || args.size() != 1)
        return usage();
    QFile file(args.at(0));
    if (!file.open(QIODevice::ReadOnly)) {
        err() << "cannot read " << args.at(0) << ": " << file.errorString() << "\n";
        return 1;
    }
    if (!QFileInfo::exists(keysFile)) {
        err() << "no trusted keys file " << keysFile << "\n";
        return 1;
    }
    const package::TrustedKeys keys = package::TrustedKeys::load(keysFile);
    if (keys.isEmpty()) {
        err() << args.at(0) << ": refused: " << keysFile
              << " lists no trusted key (updates are not set up)\n";
        return 1;
    }
    // The program's reader, with the program's checks: signature, manifest,
    // product, every stored name and size, the whole stream. Only the
    // installed version is unknown here; the version is printed instead.
    package::PackageReader reader(&file);
    package::Expectation expected;
    QStringList lines;
    QString error;
    bool ok = reader.verify(keys);
    if (ok) {
        expected.kind = reader.manifest().kind;
        expected.allowOlder = true;
        ok = reader.accepts(expected) && readThrough(reader, &lines, &error);
    }
    if (!ok) {
        if (error.isEmpty())
            error = reader.error();
        if (error.startsWith(QLatin1String("Update Error: ")))
            error = error.mid(int(qstrlen("Update Error: ")));
        err() << args.at(0) << ": refused: " << error << "\n";
        return 1;
    }
    out() << args.at(0) << ": OK, " << reader.manifest().kind << " package, version "
          << reader.version() << ", " << lines.size() << " files, " << signatureLine(headerOf(file))
          << "\n";
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    g_endMarker = args.removeAll(QStringLiteral("--end-marker")) > 0;
    if (args.isEmpty())
        return usage();
    const QString command = args.takeFirst();
    const bool packs = command == QLatin1String("build") || command == QLatin1String("firmware");
    QString product;
    if ((args.contains(QStringLiteral("--sign")) || args.contains(QStringLiteral("--product"))) &&
        !packs)
        return usage();
    if (!takeOption(&args, QStringLiteral("--sign"), &g_signingKeyFile) ||
        !takeOption(&args, QStringLiteral("--product"), &product))
        return usage();
    if (!product.isEmpty()) {
        bool ok = false;
        g_product = product.toUInt(&ok);
        if (!ok)
            return usage();
    }
    int result = 2;
    if (command == QLatin1String("build"))
        result = build(args);
    else if (command == QLatin1String("firmware"))
        result = firmware(args, true);
    else if (command == QLatin1String("image"))
        result = firmware(args, false);
    else if (command == QLatin1String("keygen"))
        result = keygen(args);
    else if (command == QLatin1String("sign"))
        result = sign(args);
    else if (command == QLatin1String("list"))
        result = list(args);
    else if (command == QLatin1String("verify"))
        result = verify(args);
    else
        result = usage();
    out().flush();
    err().flush();
    return result;
}
