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

// Writes the files of a package into the temp folder of a kind's folder as the
// reader hands them over. Each step answers false to stop the reading, with
// reason() saying why.
class TempFolderWriter
{
public:
    explicit TempFolderWriter(const QString &kindFolder)
        : m_kind(QDir::cleanPath(QFileInfo(kindFolder).absoluteFilePath())),
          m_tempFolder(m_kind + QStringLiteral("/temp"))
    {
    }

    const QString &kindFolder() const { return m_kind; }
    const QString &tempFolder() const { return m_tempFolder; }
    const QString &reason() const { return m_reason; }

    // Before decoding: room for the files, and an empty temp folder.
    bool makeRoom(quint32 payloadLength)
    {
        // The files must fit beside what is there.
        if (!QDir().mkpath(m_kind) || !hasFreeSpace(m_kind, qint64(payloadLength))) {
            logError(QStringLiteral("Update Error: not enough free space in '%1' for %2 bytes")
                         .arg(m_kind)
                         .arg(payloadLength));
            m_reason = QStringLiteral("there is not enough free disk space");
            return false;
        }
        deleteFolderTree(m_tempFolder);
        if (QFileInfo::exists(m_tempFolder) || !QDir().mkpath(m_tempFolder)) {
            m_reason = QStringLiteral("the update folder cannot be written");
            return false;
        }
        return true;
    }

    bool open(const QString &relative, const QString &storedName)
    {
        if (stopped())
            return false;
        if (relative.isEmpty())
            return cantOpen(storedName);
        const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
        if (slash > 0)
            QDir().mkpath(m_tempFolder + QLatin1Char('/') + relative.left(slash));
        m_target = m_tempFolder + QLatin1Char('/') + relative;
        m_output.setFileName(m_target);
        if (QFileInfo(m_target).isDir() || !m_output.open(QIODevice::WriteOnly))
            return cantOpen(storedName);
        return true;
    }

    bool write(QByteArrayView piece)
    {
        if (stopped())
            return false;
        if (m_output.write(piece.data(), piece.size()) == piece.size())
            return true;
        logError(QStringLiteral("Update Error: cant write file '%1'").arg(m_output.fileName()));
        m_reason = QStringLiteral("a file of the package cannot be written");
        return false;
    }

    bool close()
    {
        // The file's last small pieces are still buffered: a failure to write
        // them now leaves the file cut short.
        const bool flushed = m_output.flush();
        m_output.close();
        if (!flushed) {
            logError(QStringLiteral("Update Error: cant write file '%1'").arg(m_target));
            m_reason = QStringLiteral("a file of the package cannot be written");
            return false;
        }
        // The package stores no modes: programs become executable by their content.
        if (install::settleInstalledPermissions(m_target, std::nullopt))
            return true;
        logError(QStringLiteral("Update Error: cant set the permissions of '%1'").arg(m_target));
        m_reason = QStringLiteral("a file of the package cannot be written");
        return false;
    }

    // Closes the file being written when the reading ended half way.
    void end() { m_output.close(); }

private:
    // The owner of the unpacking thread asked it to stop (its dialog went).
    bool stopped()
    {
        const QThread *thread = QThread::currentThread();
        if (!thread->isInterruptionRequested())
            return false;
        logError(QStringLiteral("Update Info: the unpack into '%1' was stopped").arg(m_tempFolder));
        m_reason = QStringLiteral("the unpack was stopped");
        return true;
    }

    bool cantOpen(const QString &storedName)
    {
        logError(QStringLiteral("Update Error: cant open file '%1' for writing")
                     .arg(m_tempFolder + QLatin1Char('/') + storedName));
        m_reason = QStringLiteral("a file of the package cannot be written");
        return false;
    }

    const QString m_kind;
    const QString m_tempFolder;
    QString m_reason;
    QFile m_output;
    QString m_target;
};

// The unpacked temp folder of a kind takes the ready folder's place, with its
// keys file settled; when that fails the temp folder goes and the package is
// refused.
UnpackResult makeReady(const QString &kindFolder, const QString &tempFolder,
                       const Expectation &expected, const UnpackResult &unpacked)
{
    const QString readyFolder = kindFolder + QStringLiteral("/ready");
    if (!settleKeysFile(tempFolder, expected)) {
        logError(QStringLiteral("Update Error: cant settle '%1'").arg(kKeysFile));
        deleteFolderTree(tempFolder);
        return {UnpackResult::Refused, unpacked.version,
                QStringLiteral("the update folder cannot be written")};
    }
    deleteFolderTree(readyFolder);
    if (QFileInfo::exists(readyFolder) || !QDir().rename(tempFolder, readyFolder)) {
        logError(QStringLiteral("Update Error: cant rename temp dir '%1' to ready dir '%2'")
                     .arg(tempFolder, readyFolder));
        deleteFolderTree(tempFolder);
        return {UnpackResult::Refused, unpacked.version,
                QStringLiteral("the update folder cannot be written")};
    }
    return unpacked;
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

    TempFolderWriter writer(kindFolder);
    UnpackResult result = walkPackage(
        &input, keys, expected, [&writer](quint32 length) { return writer.makeRoom(length); },
        [&writer](const QString &relative, const QString &storedName) {
            return writer.open(relative, storedName);
        },
        [&writer](QByteArrayView piece) { return writer.write(piece); },
        [&writer](const QString &, const QString &) { return writer.close(); });
    writer.end();
    if (result.outcome != UnpackResult::Unpacked) {
        if (!writer.reason().isEmpty()) {
            result.outcome = UnpackResult::Refused;
            result.reason = writer.reason();
        }
        deleteFolderTree(writer.tempFolder());
        return result;
    }
    return makeReady(writer.kindFolder(), writer.tempFolder(), expected, result);
}

} // namespace kelv::package
