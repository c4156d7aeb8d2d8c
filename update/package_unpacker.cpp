#include "update/package_unpacker.h"

#include "common/text_file.h"
#include "platform/shell_operations.h"
#include "update/file_modes.h"
#include "update/package_reader.h"
#include "update/update_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QThread>

namespace kelv::package {
namespace {

const QString kKeysFile = QStringLiteral("Resources/update-keys.txt");

void logError(const QString &text)
{
    qCInfo(lcPspecificWnd).noquote() << text;
}

// Everything a package holds, through one reader: hands every file to
// visit(relative, entry name, size) and its content to write (both may stop
// the reading by answering false, with *reason set). The reader's own
// failures are logged.
using Visit = std::function<bool(const QString &relative, const QString &storedName)>;
using Write = std::function<bool(QByteArrayView piece)>;

UnpackResult walkPackage(QIODevice *file, const TrustedKeys &keys, const Expectation &expected,
                         const std::function<bool(quint32 payloadLength)> &beforeDecode,
                         const Visit &visit, const Write &write, const Visit &closeFile)
{
    UnpackResult result;
    PackageReader reader(file);
    auto failed = [&reader, &result] {
        logError(reader.error());
        result.reason = reader.reason();
        result.outcome = UnpackResult::Refused;
        return result;
    };
    if (!reader.verify(keys))
        return failed();
    result.version = reader.version();
    if (!reader.accepts(expected)) {
        if (!reader.notNewer())
            return failed();
        logError(reader.error());
        result.outcome = UnpackResult::NotNewer;
        result.reason = reader.reason();
        return result;
    }
    if (beforeDecode && !beforeDecode(reader.payloadLength()))
        return result;
    if (!reader.decode() || !reader.readHeader())
        return failed();
    for (quint32 i = 0; i < reader.fileCount(); ++i) {
        QString storedName;
        QString relative;
        quint32 size = 0;
        if (!reader.readEntry(&storedName, &relative, &size))
            return failed();
        if (visit && !visit(relative, storedName))
            return result;
        if (!reader.readContent(write ? write : Write([](QByteArrayView) { return true; }))) {
            if (!reader.error().isEmpty())
                return failed();
            return result;
        }
        if (closeFile && !closeFile(relative, storedName))
            return result;
    }
    if (!reader.finish())
        return failed();
    result.outcome = UnpackResult::Unpacked;
    return result;
}

// Settles the keys file a client package brings: withdrawals carry over, and
// an older version the user chose leaves the installed keys untouched.
bool settleKeysFile(const QString &tempFolder, const Expectation &expected)
{
    const QString incoming = tempFolder + QLatin1Char('/') + kKeysFile;
    if (expected.kind != QLatin1String("client") || !QFileInfo::exists(incoming))
        return true;
    QFile installedFile(TrustedKeys::defaultPath());
    const QByteArray installed =
        installedFile.open(QIODevice::ReadOnly) ? installedFile.readAll() : QByteArray();
    if (expected.allowOlder) {
        // A version that is not newer never changes which keys are trusted.
        return QFile::remove(incoming);
    }
    QFile in(incoming);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = TrustedKeys::carryWithdrawals(installed, in.readAll());
    in.close();
    return writeFileAtomically(incoming, text);
}

} // namespace

bool hasFreeSpace(const QString &folder, qint64 bytes)
{
    QStorageInfo storage(folder);
    storage.refresh();
    // An unknown file system (-1) cannot promise anything.
    return storage.isValid() && storage.bytesAvailable() >= bytes;
}

void deleteFolderTree(const QString &path)
{
    platform::deleteFolderTree(path.toStdString());
}

UnpackResult checkPackageFile(const QString &packagePath, const TrustedKeys &keys,
                              const Expectation &expected, const FileSink &sink)
{
    QFile input(packagePath);
    if (!input.open(QIODevice::ReadOnly)) {
        logError(QStringLiteral("Update Erro: cant read updates file!"));
        UnpackResult result;
        result.reason = QStringLiteral("the package cannot be read");
        return result;
    }
    QString reason;
    QString current;
    UnpackResult result = walkPackage(
        &input, keys, expected, {},
        [&reason, &current](const QString &relative, const QString &storedName) {
            current = relative;
            if (!relative.isEmpty())
                return true;
            logError(QStringLiteral("Update Error: file name '%1' has no path after its first "
                                    "component")
                         .arg(storedName));
            reason = QStringLiteral("a file of the package cannot be written");
            return false;
        },
        [&sink, &current](QByteArrayView piece) { return !sink || sink(current, piece); }, {});
    if (!reason.isEmpty())
        result.reason = reason;
    return result;
}

UnpackResult unpackPackageFile(const QString &packagePath, const QString &kindFolder,
                               const TrustedKeys &keys, const Expectation &expected)
{
    UnpackResult refused;
    QFile input(packagePath);
    if (!input.open(QIODevice::ReadOnly)) {
        logError(QStringLiteral("Update Erro: cant read updates file!"));
        refused.reason = QStringLiteral("the package cannot be read");
        return refused;
    }
    if (input.size() < kMinimumSize) {
        refused.reason = QStringLiteral("the package is incomplete");
        return refused;
    }

    const QString kind = QDir::cleanPath(QFileInfo(kindFolder).absoluteFilePath());
    const QString tempFolder = kind + QStringLiteral("/temp");
    const QString readyFolder = kind + QStringLiteral("/ready");

    QString reason;
    QFile output;
    QString target;
    auto beforeDecode = [&](quint32 payloadLength) {
        // The files must fit beside what is there.
        if (!QDir().mkpath(kind) || !hasFreeSpace(kind, qint64(payloadLength))) {
            logError(QStringLiteral("Update Error: not enough free space in '%1' for %2 bytes")
                         .arg(kind)
                         .arg(payloadLength));
            reason = QStringLiteral("there is not enough free disk space");
            return false;
        }
        deleteFolderTree(tempFolder);
        if (QFileInfo::exists(tempFolder) || !QDir().mkpath(tempFolder)) {
            reason = QStringLiteral("the update folder cannot be written");
            return false;
        }
        return true;
    };
    // The owner of the unpacking thread asked it to stop (its dialog went).
    auto stopped = [&] {
        const QThread *thread = QThread::currentThread();
        if (!thread->isInterruptionRequested())
            return false;
        logError(QStringLiteral("Update Info: the unpack into '%1' was stopped").arg(tempFolder));
        reason = QStringLiteral("the unpack was stopped");
        return true;
    };
    auto cantOpen = [&](const QString &storedName) {
        logError(QStringLiteral("Update Error: cant open file '%1' for writing")
                     .arg(tempFolder + QLatin1Char('/') + storedName));
        reason = QStringLiteral("a file of the package cannot be written");
        return false;
    };
    auto open = [&](const QString &relative, const QString &storedName) {
        if (stopped())
            return false;
        if (relative.isEmpty())
            return cantOpen(storedName);
        const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
        if (slash > 0)
            QDir().mkpath(tempFolder + QLatin1Char('/') + relative.left(slash));
        target = tempFolder + QLatin1Char('/') + relative;
        output.setFileName(target);
        if (QFileInfo(target).isDir() || !output.open(QIODevice::WriteOnly))
            return cantOpen(storedName);
        return true;
    };
    auto write = [&](QByteArrayView piece) {
        if (stopped())
            return false;
        if (output.write(piece.data(), piece.size()) == piece.size())
            return true;
        logError(QStringLiteral("Update Error: cant write file '%1'").arg(output.fileName()));
        reason = QStringLiteral("a file of the package cannot be written");
        return false;
    };
    auto close = [&](const QString &, const QString &) {
        // The file's last small pieces are still buffered: a failure to write
        // them now leaves the file cut short.
        const bool flushed = output.flush();
        output.close();
        if (!flushed) {
            logError(QStringLiteral("Update Error: cant write file '%1'").arg(target));
            reason = QStringLiteral("a file of the package cannot be written");
            return false;
        }
        // The package stores no modes: programs become executable by their content.
        if (install::settleInstalledPermissions(target, std::nullopt))
            return true;
        logError(QStringLiteral("Update Error: cant set the permissions of '%1'").arg(target));
        reason = QStringLiteral("a file of the package cannot be written");
        return false;
    };

    UnpackResult result = walkPackage(&input, keys, expected, beforeDecode, open, write, close);
    output.close();
    if (result.outcome != UnpackResult::Unpacked) {
        if (!reason.isEmpty()) {
            result.outcome = UnpackResult::Refused;
            result.reason = reason;
        }
        deleteFolderTree(tempFolder);
        return result;
    }
    if (!settleKeysFile(tempFolder, expected)) {
        logError(QStringLiteral("Update Error: cant settle '%1'").arg(kKeysFile));
        deleteFolderTree(tempFolder);
        return {UnpackResult::Refused, result.version,
                QStringLiteral("the update folder cannot be written")};
    }
    deleteFolderTree(readyFolder);
    if (QFileInfo::exists(readyFolder) || !QDir().rename(tempFolder, readyFolder)) {
        logError(QStringLiteral("Update Error: cant rename temp dir '%1' to ready dir '%2'")
                     .arg(tempFolder, readyFolder));
        deleteFolderTree(tempFolder);
        return {UnpackResult::Refused, result.version,
                QStringLiteral("the update folder cannot be written")};
    }
    return result;
}

} // namespace kelv::package
