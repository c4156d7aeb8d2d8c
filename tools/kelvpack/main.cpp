// kelvpack: builds, lists and verifies update packages.
//
//   kelvpack build <folder> <version> <package> [--prefix <name>] [--preset <0-9>]
//   (add --end-marker to build or firmware to end the LZMA stream with a marker)
//   kelvpack firmware <firmware-bytes> <version> <package>
//   kelvpack image <firmware-bytes> <update.bin>
//   kelvpack list <package>
//   kelvpack verify <package>

#include "update/firmware_image.h"
#include "update/package_format.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
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
    err() << "usage:\n"
             "  kelvpack build <folder> <version> <package> [--prefix <name>] [--preset <0-9>]\n"
             "      packs every file below <folder>; stored names are <name>/<path>, <name>\n"
             "      defaulting to the folder's own name (the reader drops it)\n"
             "  kelvpack firmware <firmware-bytes> <version> <package>\n"
             "      wraps raw firmware bytes into update.bin and packs it\n"
             "  kelvpack image <firmware-bytes> <update.bin>\n"
             "      writes the firmware image update.bin only\n"
             "  kelvpack list <package>\n"
             "  kelvpack verify <package>\n"
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
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        err() << "cannot write " << path << ": " << file.errorString() << "\n";
        return false;
    }
    return true;
}

bool g_endMarker = false;

int writePackage(const package::Content &content, const QString &path, int preset)
{
    const QByteArray packed = package::buildPackage(content, preset, g_endMarker);
    if (packed.isEmpty()) {
        err() << "compression failed\n";
        return 1;
    }
    if (!writeFile(path, packed))
        return 1;
    out() << path << ": " << content.entries.size() << " files, version " << content.version << ", "
          << packed.size() << " bytes\n";
    return 0;
}

int build(QStringList args)
{
    QString prefix;
    int preset = 6;
    for (int i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--prefix") && i + 1 < args.size()) {
            prefix = args.at(i + 1);
            args.remove(i, 2);
            --i;
        } else if (args.at(i) == QLatin1String("--preset") && i + 1 < args.size()) {
            bool ok = false;
            preset = args.at(i + 1).toInt(&ok);
            if (!ok || preset < 0 || preset > 9)
                return usage();
            args.remove(i, 2);
            --i;
        }
    }
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
    package::Content content;
    content.version = args.at(1);
    for (const QString &relative : std::as_const(files)) {
        package::Entry entry;
        entry.storedName = prefix + QLatin1Char('/') + relative;
        if (!readFile(root.filePath(relative), &entry.content))
            return 1;
        content.entries.append(entry);
    }
    return writePackage(content, args.at(2), preset);
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
    package::Content content;
    content.version = args.at(1);
    content.entries.append({QStringLiteral("firmware/update.bin"), image});
    return writePackage(content, args.at(2), 6);
}

int listOrVerify(const QStringList &args, bool list)
{
    if (args.size() != 1)
        return usage();
    QByteArray file;
    if (!readFile(args.at(0), &file))
        return 1;
    package::Content content;
    QString error;
    if (!package::readPackage(file, &content, &error)) {
        err() << args.at(0) << ": " << error << "\n";
        return 1;
    }
    if (list) {
        out() << "version " << content.version << "\n";
        for (const package::Entry &entry : std::as_const(content.entries))
            out() << entry.content.size() << "\t" << entry.storedName << "\n";
    } else {
        out() << args.at(0) << ": OK, version " << content.version << ", " << content.entries.size()
              << " files\n";
    }
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
    int result = 2;
    if (command == QLatin1String("build"))
        result = build(args);
    else if (command == QLatin1String("firmware"))
        result = firmware(args, true);
    else if (command == QLatin1String("image"))
        result = firmware(args, false);
    else if (command == QLatin1String("list"))
        result = listOrVerify(args, true);
    else if (command == QLatin1String("verify"))
        result = listOrVerify(args, false);
    else
        result = usage();
    out().flush();
    err().flush();
    return result;
}
