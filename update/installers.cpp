#include "update/installers.h"

#include "common/app_paths.h"
#include "common/dialogs.h"
#include "common/text_file.h"
#include "common/ui_texts.h"
#include "platform/file_access.h"
#include "platform/shell_operations.h"
#include "platform/updater_command.h"
#include "update/client_install.h"
#include "update/file_modes.h"
#include "update/package_unpacker.h"
#include "update/update_check.h"
#include "update/update_log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QThread>
#include <functional>

namespace kelv {
namespace {

bool g_runUpdaterAtExit = false;
bool g_updaterElevated = false;
bool g_restartAfterUpdate = false;
bool g_updaterStartsInTray = false;

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
    const bool replacing = target.exists();
    QSaveFile output(destination);
    if (!output.open(QIODevice::WriteOnly))
        return output.error() == QFileDevice::PermissionsError ? CopyResult::AccessDenied
                                                               : CopyResult::Failed;
    constexpr qint64 kChunk = 1 << 20;
    QByteArray head;
    while (!input.atEnd()) {
        const QByteArray chunk = input.read(kChunk);
        if (chunk.isEmpty() && input.error() != QFileDevice::NoError)
            return CopyResult::Failed;
        if (head.isEmpty())
            head = chunk.left(4);
        if (output.write(chunk) != chunk.size())
            return CopyResult::Failed;
    }
    // A replaced file keeps its bits; a new program becomes executable.
    if (replacing && !output.setPermissions(target.permissions()))
        return CopyResult::Failed;
    if (!replacing && install::startsLikeProgram(head) &&
        !output.setPermissions(install::withExecute(output.permissions())))
        return CopyResult::Failed;
    // The last piece may still wait in the write buffer: commit() would
    // rename the file into place even when a full disk refused it there.
    if (!output.flush())
        return CopyResult::Failed;
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

bool restartAfterUpdate()
{
    return g_restartAfterUpdate;
}

void setRestartAfterUpdate(bool restart)
{
    g_restartAfterUpdate = restart;
}

bool updaterStartsInTray()
{
    return g_updaterStartsInTray;
}

void setUpdaterStartsInTray(bool inTray)
{
    g_updaterStartsInTray = inTray;
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

namespace {

// Runs step until it succeeds: 30 attempts 100 ms apart, then the retry/cancel
// message box naming path. False when the user cancelled.
bool withRetries(const std::function<bool()> &step, const QString &path)
{
    for (;;) {
        for (int attempt = 0; attempt < 30; ++attempt) {
            if (step())
                return true;
            QThread::msleep(100);
        }
        const QMessageBox::StandardButton answer = Dialogs::current().message(
            nullptr, QMessageBox::Critical, uiText(QStringLiteral("Update error!")),
            uiText(QStringLiteral("Failed to update kelv :(\n%1 is not accessible."))
                .arg(QDir::toNativeSeparators(path)),
            QMessageBox::Retry | QMessageBox::Cancel);
        if (answer != QMessageBox::Retry)
            return false;
    }
}

// Every file below folder, by its path relative to folder (breadth first),
// and every sub-folder. False when a folder cannot be listed.
bool listTree(const QString &folder, QStringList *folders, QStringList *files)
{
    QStringList queue{QString()};
    while (!queue.isEmpty()) {
        const QString relative = queue.takeFirst();
        const QString path = relative.isEmpty() ? folder : folder + QLatin1Char('/') + relative;
        const QFileInfo info(path);
        if (!info.isReadable() || !info.isExecutable()) {
            qCInfo(lcPspecificWnd).noquote()
                << QStringLiteral("Update Error: cant list '%1'").arg(path);
            return false;
        }
        const QFileInfoList entries = QDir(path).entryInfoList(
            QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
        for (const QFileInfo &entry : entries) {
            const QString child = relative.isEmpty()
                                      ? entry.fileName()
                                      : relative + QLatin1Char('/') + entry.fileName();
            if (entry.isDir() && !entry.isSymLink()) {
                *folders << child;
                queue << child;
            } else {
                *files << child;
            }
        }
    }
    return true;
}

// Puts one package file into the staged page: it takes the place of the page
// file of the same name, so that file must be replaceable (a write-protected
// file counts as locked) and its bits carry over.
bool stagePageFile(const QString &from, const QString &pageFile, const QString &staged)
{
    const QFileInfo current(pageFile);
    if (current.exists() && !(current.permissions() & QFileDevice::WriteOwner))
        return false;
    QFile::remove(staged);
    if (copyFile(from, staged) != CopyResult::Done)
        return false;
    return !current.exists() || QFile::setPermissions(staged, current.permissions());
}

// Renames the staged page to view/ and the current one out of the way.
bool swapPageFolders(const QString &view, const QString &staging, const QString &retired)
{
    const bool hadPage = QFileInfo::exists(view);
    if (hadPage && !QDir().rename(view, retired))
        return false;
    if (QDir().rename(staging, view))
        return true;
    if (hadPage)
        QDir().rename(retired, view);
    return false;
}

// The build bundles the page's modules (js/*.js) into this one file, which index.html
// loads in place of the modules while it is there.
const QString PageBundle = QStringLiteral("js/app.bundle.js");

// The language tables other than English are files of their own, loaded by the bundle
// as by the modules when their language is chosen; English and the built-in names are
// part of the bundle.
bool loadedBesideTheBundle(const QString &file)
{
    return file.startsWith(QLatin1String("js/i18n/")) && file != QLatin1String("js/i18n/en.js") &&
           file != QLatin1String("js/i18n/builtin.js");
}

// A package that replaces modules without bringing a bundle made from them leaves the
// current bundle stale: it is not carried over, and the page loads its modules.
bool bundleOutdatedBy(const QStringList &packageFiles)
{
    if (packageFiles.contains(PageBundle))
        return false;
    for (const QString &file : packageFiles) {
        if (file.startsWith(QLatin1String("js/")) && file.endsWith(QLatin1String(".js")) &&
            !loadedBesideTheBundle(file))
            return true;
    }
    return false;
}

// The build copies css/main.css into index.html (cmake/inline_page_style.cmake), marked
// with the file it came from. A package with a new style sheet but without an
// index.html of its own would leave the old copy in force: the staged index.html gets
// its link to the file back. False when the staged index.html cannot be rewritten.
const QString PageStyleSheet = QStringLiteral("css/main.css");

bool linkStyleSheetAgain(const QString &stagedIndex)
{
    QFile file(stagedIndex);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray page = file.readAll();
    file.close();
    const QByteArray open = "<style data-file=\"" + PageStyleSheet.toUtf8() + "\">";
    const QByteArray close = QByteArrayLiteral("</style>");
    const qsizetype start = page.indexOf(open);
    if (start < 0)
        return true;
    const qsizetype end = page.indexOf(close, start + open.size());
    if (end < 0)
        return true;
    page.replace(start, end + close.size() - start,
                 "<link rel=\"stylesheet\" href=\"" + PageStyleSheet.toUtf8() + "\">");
    return writeFileAtomically(stagedIndex, page);
}

} // namespace

bool installPagePackage()
{
    const QString source = pagePackageFolder();
    if (!QFileInfo(source).isDir())
        return true; // no page package
    const QString view = workingFolder() + QStringLiteral("view");
    const QString staging = view + QStringLiteral(".new");
    const QString retired = view + QStringLiteral(".old");

    QStringList folders;
    QStringList files;
    if (!listTree(source, &folders, &files)) {
        removePagePackage();
        return false;
    }
    auto abandon = [&] {
        package::deleteFolderTree(staging);
        removePagePackage();
        return false;
    };

    // The new page is put together beside view/: the package's files first,
    // then every file of the current page the package does not replace (the
    // page's own documents among them). Only a complete copy is swapped in, so
    // a failure or a cancel leaves the old page whole.
    package::deleteFolderTree(staging);
    for (const QString &folder : QStringList{QString()} + folders) {
        const QString target = folder.isEmpty() ? staging : staging + QLatin1Char('/') + folder;
        if (!QDir().mkpath(target) || !QFileInfo(target).isDir()) {
            qCInfo(lcPspecificWnd).noquote()
                << QStringLiteral("Update Error: cant create folder '%1'").arg(target);
            return abandon();
        }
    }
    for (const QString &file : std::as_const(files)) {
        const QString pageFile = view + QLatin1Char('/') + file;
        const QString staged = staging + QLatin1Char('/') + file;
        const QString from = source + QLatin1Char('/') + file;
        if (!withRetries([&] { return stagePageFile(from, pageFile, staged); }, pageFile))
            return abandon();
    }

    QStringList pageFolders;
    QStringList pageFiles;
    if (QFileInfo::exists(view) && !listTree(view, &pageFolders, &pageFiles))
        return abandon();
    for (const QString &folder : std::as_const(pageFolders)) {
        if (!QDir().mkpath(staging + QLatin1Char('/') + folder))
            return abandon();
    }
    const bool dropBundle = bundleOutdatedBy(files);
    for (const QString &file : std::as_const(pageFiles)) {
        const QString staged = staging + QLatin1Char('/') + file;
        if (QFileInfo(staged).exists() || QFileInfo(staged).isSymLink())
            continue; // replaced by the package
        if (dropBundle && file == PageBundle) {
            qCInfo(lcPspecificWnd, "the page package replaces modules: their old bundle goes");
            continue;
        }
        const QString pageFile = view + QLatin1Char('/') + file;
        if (!withRetries([&] { return QFile::copy(pageFile, staged); }, pageFile))
            return abandon();
    }

    const QString stagedIndex = staging + QStringLiteral("/index.html");
    if (files.contains(PageStyleSheet) && !files.contains(QStringLiteral("index.html")) &&
        !withRetries([&] { return linkStyleSheetAgain(stagedIndex); }, stagedIndex))
        return abandon();

    if (!withRetries([&] { return swapPageFolders(view, staging, retired); }, view))
        return abandon();
    package::deleteFolderTree(retired);
    removePagePackage();
    return true;
}

namespace {

QString pageVersionFile()
{
    return workingFolder() + QStringLiteral("Resources/page-version");
}

} // namespace

QString installedPageVersion(const QString &clientVersion)
{
    QFile file(pageVersionFile());
    const QString page =
        file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.read(64)).trimmed() : QString();
    if (!package::isDottedVersion(page))
        return clientVersion;
    if (!package::isDottedVersion(clientVersion))
        return page;
    return package::compareVersions(page, clientVersion) > 0 ? page : clientVersion;
}

bool recordPageVersion(const QString &version)
{
    QDir().mkpath(QFileInfo(pageVersionFile()).absolutePath());
    return writeFileAtomically(pageVersionFile(), version.toUtf8() + '\n');
}

void recoverPageInstall()
{
    const QString view = workingFolder() + QStringLiteral("view");
    const QString retired = view + QStringLiteral(".old");
    // Cut off between the two renames: the old page is the whole one. While
    // it cannot be put back it is the only page there is, so nothing is
    // removed and the next start tries again.
    if (!QFileInfo::exists(view) && QFileInfo(retired).isDir() && !QDir().rename(retired, view)) {
        qCInfo(lcPspecificWnd).noquote()
            << QStringLiteral("Update Error: cant move the page '%1' back to '%2'")
                   .arg(retired, view);
        return;
    }
    package::deleteFolderTree(view + QStringLiteral(".new"));
    package::deleteFolderTree(retired);
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

bool launchUpdater()
{
    const QString updater =
        updaterElevated()
            ? workingFolder() + QStringLiteral("tupdates/client/ready/") + updaterFileName()
            : executableFolder() + updaterFileName();
    platform::UpdaterRequest request;
    request.waitPid = std::uint64_t(QCoreApplication::applicationPid());
    request.restart = restartAfterUpdate();
    request.autostart = updaterStartsInTray();
    const std::vector<std::string> arguments = platform::updaterArguments(request);
    QStringList words;
    for (const std::string &word : arguments)
        words << QString::fromStdString(word);
    qCInfo(lcPspecificWnd).noquote()
        << QStringLiteral("Application Info: executing %1 %2")
               .arg(executableFolder() + updaterFileName(), words.join(QLatin1Char(' ')));
#ifdef Q_OS_WIN
    // Through the shell, so that "runas" can ask for the rights the
    // executable folder refused. Everything goes on the command line: an
    // elevated program does not inherit this program's environment.
    const QString directory = workingFolder();
    const platform::ShellStartResult result = platform::shellStart(
        updater.toStdString(), arguments, directory.toStdString(), updaterElevated());
    if (!result.started) {
        qCInfo(lcPspecificWnd).noquote()
            << QStringLiteral("Application Error: failed to execute %1, working directory: "
                              "'%2', result: %3")
                   .arg(updater, QDir::toNativeSeparators(directory))
                   .arg(result.code);
        package::deleteFolderTree(workingFolder() + QStringLiteral("tupdates/client/ready"));
        return false;
    }
#else
    QProcess process;
    process.setProgram(QDir::toNativeSeparators(updater));
    process.setArguments(words);
    const QString directory = workingFolder();
    if (!directory.isEmpty())
        process.setWorkingDirectory(QDir::toNativeSeparators(directory));
    // The Updater outlives this program: the terminal or pipe this program
    // was given may be gone by the time the Updater writes to it.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!process.startDetached(&pid)) {
        qCInfo(lcPspecificWnd).noquote()
            << QStringLiteral("Application Error: failed to execute %1, working directory: "
                              "'%2', result: %3")
                   .arg(updater, QDir::toNativeSeparators(directory))
                   .arg(int(process.error()));
        package::deleteFolderTree(workingFolder() + QStringLiteral("tupdates/client/ready"));
        return false;
    }
#endif
    return true;
}

bool finishClientUpdateAtExit()
{
    if (restartAfterUpdate())
        return launchUpdater();
    // Nothing would start the new version now to see that it runs: it is
    // installed on the next start, which hands it to the Updater.
    qCInfo(lcPspecificWnd, "Application Info: the client update is installed at the next start");
    return install::scheduleInstallAtStart(install::InstallPaths(workingFolder()));
}

bool recordPendingClientVersion(const QString &version)
{
    return install::writePendingVersion(install::InstallPaths(workingFolder()), version);
}

} // namespace kelv
