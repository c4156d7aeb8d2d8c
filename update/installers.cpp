#include "update/installers.h"

#include "common/app_paths.h"
#include "common/dialogs.h"
#include "platform/file_access.h"
#include "platform/shell_operations.h"
#include "update/package_format.h"
#include "update/update_check.h"
#include "update/update_log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSaveFile>
#include <QThread>

namespace kelv {
namespace {

bool g_runUpdaterAtExit = false;
bool g_updaterElevated = false;

QString pagePackageFolder()
{
    return workingFolder() + QStringLiteral("tupdates/html/ready");
}

void removePagePackage()
{
    package::deleteFolderTree(pagePackageFolder());
    QDir().rmdir(workingFolder() + QStringLiteral("tupdates"));
}

// How a copy failed: access denied (the folder or file refuses writing) is
// told apart from every other error.
enum class CopyResult { Done, AccessDenied, Failed };

CopyResult copyFile(const QString &source, const QString &destination)
{
    QFile input(source);
    if (!input.open(QIODevice::ReadOnly))
        return CopyResult::Failed;
    const QFileInfo target(destination);
    if (target.exists() && !(target.permissions() & QFileDevice::WriteOwner))
        return CopyResult::AccessDenied;
    if (platform::folderDeniesWriting(target.absolutePath().toStdString()))
        return CopyResult::AccessDenied;
    QSaveFile output(destination);
    if (!output.open(QIODevice::WriteOnly))
        return output.error() == QFileDevice::PermissionsError ? CopyResult::AccessDenied
                                                               : CopyResult::Failed;
    constexpr qint64 kChunk = 1 << 20;
    while (!input.atEnd()) {
        const QByteArray chunk = input.read(kChunk);
        if (chunk.isEmpty() && input.error() != QFileDevice::NoError)
            return CopyResult::Failed;
        if (output.write(chunk) != chunk.size())
            return CopyResult::Failed;
    }
    output.setPermissions(input.permissions() | QFileDevice::WriteOwner);
    return output.commit() ? CopyResult::Done : CopyResult::Failed;
}

} // namespace

bool runUpdaterAtExit()
{
    return g_runUpdaterAtExit;
}

void setRunUpdaterAtExit(bool run)
{
    g_runUpdaterAtExit = run;
}

bool updaterElevated()
{
    return g_updaterElevated;
}

void setUpdaterElevated(bool elevated)
{
    g_updaterElevated = elevated;
}

QString updaterFileName()
{
    return QStringLiteral("Updater") + executableSuffix();
}

bool copyFileOver(const QString &source, const QString &destination)
{
    return copyFile(source, destination) == CopyResult::Done;
}

bool installPagePackage()
{
    const QString source = pagePackageFolder();
    const QString destination = workingFolder() + QStringLiteral("view/");
    if (!QFileInfo(source).isDir())
        return true; // no page package

    // Breadth-first walk of the source tree.
    QStringList folders;
    QStringList files;
    QStringList queue{QString()};
    while (!queue.isEmpty()) {
        const QString relative = queue.takeFirst();
        const QString path = relative.isEmpty() ? source : source + QLatin1Char('/') + relative;
        const QFileInfo info(path);
        if (!info.isReadable() || !info.isExecutable()) {
            qCInfo(lcPspecificWnd).noquote()
                << QStringLiteral("Update Error: cant list '%1'").arg(path);
            removePagePackage();
            return false;
        }
        const QFileInfoList entries = QDir(path).entryInfoList(
            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
        for (const QFileInfo &entry : entries) {
            const QString child = relative.isEmpty()
                                      ? entry.fileName()
                                      : relative + QLatin1Char('/') + entry.fileName();
            if (entry.isDir()) {
                folders << child;
                queue << child;
            } else {
                files << child;
            }
        }
    }

    for (const QString &folder : std::as_const(folders)) {
        const QString target = destination + folder;
        if (!QDir().mkpath(target) || !QFileInfo(target).isDir()) {
            qCInfo(lcPspecificWnd).noquote()
                << QStringLiteral("Update Error: cant create folder '%1'").arg(target);
            removePagePackage();
            return false;
        }
    }

    for (const QString &file : std::as_const(files)) {
        const QString from = source + QLatin1Char('/') + file;
        const QString to = QDir::toNativeSeparators(destination + file);
        for (;;) {
            bool copied = false;
            for (int attempt = 0; attempt < 30 && !copied; ++attempt) {
                copied = copyFileOver(from, destination + file);
                if (!copied)
                    QThread::msleep(100);
            }
            if (copied)
                break;
            const QMessageBox::StandardButton answer = Dialogs::current().message(
                nullptr, QMessageBox::Critical, QStringLiteral("Update error!"),
                QStringLiteral("Failed to update kelv :(\n%1 is not accessible.").arg(to),
                QMessageBox::Retry | QMessageBox::Cancel);
            if (answer != QMessageBox::Retry) {
                removePagePackage();
                return false;
            }
        }
    }
    removePagePackage();
    return true;
}

bool prepareUpdater()
{
    const QString ready = workingFolder() + QStringLiteral("tupdates/client/ready");
    if (!QFileInfo(ready).isDir())
        return false;
    const QString clientFolder = workingFolder() + QStringLiteral("tupdates/client");
    const QString newUpdater = ready + QLatin1Char('/') + updaterFileName();
    if (QFileInfo::exists(newUpdater)) {
        switch (copyFile(newUpdater, executableFolder() + updaterFileName())) {
        case CopyResult::Done:
            if (!QFile::remove(newUpdater)) {
                package::deleteFolderTree(clientFolder);
                return false;
            }
            break;
        case CopyResult::AccessDenied:
            setUpdaterElevated(true);
            break;
        case CopyResult::Failed:
            package::deleteFolderTree(clientFolder);
            return false;
        }
    }
    return true;
}

void launchUpdater()
{
    const QString updater =
        updaterElevated()
            ? workingFolder() + QStringLiteral("tupdates/client/ready/") + updaterFileName()
            : executableFolder() + updaterFileName();
    const QString argument = QStringLiteral("-update");
    qCInfo(lcPspecificWnd).noquote() << QStringLiteral("Application Info: executing %1 %2")
                                            .arg(executableFolder() + updaterFileName(), argument);

#ifdef Q_OS_WIN
    // Through the shell, so that "runas" can ask for the rights the
    // executable folder refused; a non-elevated start inherits the variable.
    qputenv(kUpdaterWaitPidVariable, QByteArray::number(QCoreApplication::applicationPid()));
    const QString directory = workingFolder();
    const platform::ShellStartResult result = platform::shellStart(
        updater.toStdString(), argument.toStdString(), directory.toStdString(), updaterElevated());
    if (!result.started) {
        qCInfo(lcPspecificWnd).noquote()
            << QStringLiteral("Application Error: failed to execute %1, working directory: "
                              "'%2', result: %3")
                   .arg(updater, QDir::toNativeSeparators(directory))
                   .arg(result.code);
        package::deleteFolderTree(workingFolder() + QStringLiteral("tupdates/client/ready"));
    }
#else
    QProcess process;
    process.setProgram(QDir::toNativeSeparators(updater));
    process.setArguments({argument});
    const QString directory = workingFolder();
    if (!directory.isEmpty())
        process.setWorkingDirectory(QDir::toNativeSeparators(directory));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kUpdaterWaitPidVariable),
                       QString::number(QCoreApplication::applicationPid()));
    process.setProcessEnvironment(environment);
    qint64 pid = 0;
    if (!process.startDetached(&pid)) {
        qCInfo(lcPspecificWnd).noquote()
            << QStringLiteral("Application Error: failed to execute %1, working directory: "
                              "'%2', result: %3")
                   .arg(updater, QDir::toNativeSeparators(directory))
                   .arg(int(process.error()));
        package::deleteFolderTree(workingFolder() + QStringLiteral("tupdates/client/ready"));
    }
#endif
}

} // namespace kelv
