#include "update/startup_check.h"

#include "common/app_paths.h"
#include "common/client_settings.h"
#include "update/client_install.h"
#include "update/installers.h"
#include "update/package_unpacker.h"

#include <QFile>
#include <QFileInfo>
#include <QLockFile>

namespace kelv {
namespace {

// How long a start waits for an Updater that is still copying files.
constexpr int kUpdaterWaitMs = 60000;

const QString kInterrupted = QStringLiteral(
    "The update was interrupted before all its files were in place and has been rolled back. "
    "The previous version has been restored.");
const QString kNotChecked = QStringLiteral(
    "The update was rolled back: the Updater that checks the new version could not be "
    "started. The previous version has been restored.");

void dropClientPackage(const install::InstallPaths &paths)
{
    package::deleteFolderTree(paths.ready);
    QFile::remove(paths.pendingVersion);
}

// The user chose Exit with a client package ready: this start hands it to the
// Updater, which installs it and starts the new version to check it.
StartupInstallCheck installScheduledUpdate(const install::InstallPaths &paths, StartMode mode,
                                           QStringList *log)
{
    StartupInstallCheck check;
    if (!install::takeInstallAtStart(paths))
        return check;
    if (!QFileInfo(paths.ready).isDir()) {
        *log << QStringLiteral("update: the package to install at this start is gone");
        return check;
    }
    setRestartAfterUpdate(true);
    // A new Updater still in the package is one the program folder refused
    // when the package became ready: it runs from there, elevated.
    setUpdaterElevated(QFileInfo::exists(paths.ready + QLatin1Char('/') + updaterFileName()));
    setUpdaterStartsInTray(mode == StartMode::Tray);
    if (launchUpdater()) {
        *log << QStringLiteral("update: handed the update to the Updater, which starts the new "
                               "version");
        check.outcome = StartupInstallCheck::Outcome::HandedOver;
        return check;
    }
    // Nothing was installed: the old version runs and the service offers the
    // update again.
    setRestartAfterUpdate(false);
    setUpdaterStartsInTray(false);
    *log << QStringLiteral("update: the Updater could not be started; the update is dropped");
    dropClientPackage(paths);
    return check;
}

StartupInstallCheck rolledBack(const install::InstallPaths &paths, const QString &notice,
                               QStringList *log)
{
    install::rollBack(paths, log);
    dropClientPackage(paths);
    // An earlier notice (the Updater's reason) is kept.
    if (!QFile::exists(paths.notice))
        install::writeNotice(paths, notice);
    StartupInstallCheck check;
    check.outcome = StartupInstallCheck::Outcome::Restart;
    return check;
}

} // namespace

UpdateNoticeMessage updateNoticeMessage(const QString &notice, UiLanguage language)
{
    return {uiText(QStringLiteral("Update rolled back"), language), uiText(notice, language)};
}

StartupInstallCheck checkInstallAtStartup(QStringList *log, StartMode mode)
{
    recoverPageInstall();
    const install::InstallPaths paths(workingFolder());
    StartupInstallCheck check;
    install::Phase phase = install::phaseOf(paths);
    if (phase == install::Phase::Idle) {
        check = installScheduledUpdate(paths, mode, log);
        if (check.outcome == StartupInstallCheck::Outcome::Continue)
            check.notice = install::takeNotice(paths);
        return check;
    }

    const std::unique_ptr<QLockFile> lock = install::installLock(paths);
    if (!lock->tryLock(0)) {
        if (phase == install::Phase::Installed) {
            // The Updater is waiting for this start's report.
            *log << QStringLiteral("update: this start is the new version's health check");
            check.trialStart = true;
            return check;
        }
        *log << QStringLiteral("update: waiting for the Updater to finish");
        if (!lock->tryLock(kUpdaterWaitMs)) {
            *log << QStringLiteral("update: the Updater is still at work; starting anyway");
            return check;
        }
        phase = install::phaseOf(paths);
    }

    switch (phase) {
    case install::Phase::Idle:
        check.notice = install::takeNotice(paths);
        return check;
    case install::Phase::Copying:
    case install::Phase::Failed:
        *log << QStringLiteral("update: an install was cut off; rolling it back");
        return rolledBack(paths, kInterrupted, log);
    case install::Phase::Started:
        install::commit(paths, log);
        check.notice = install::takeNotice(paths);
        return check;
    case install::Phase::Installed:
        break;
    }

    // Installed after Exit: the first start goes through the Updater, which
    // checks that the new version starts and rolls it back when it does not.
    lock->unlock();
    setRestartAfterUpdate(true);
    setUpdaterStartsInTray(mode == StartMode::Tray);
    if (launchUpdater()) {
        *log << QStringLiteral("update: handed the new version's first start to the Updater");
        check.outcome = StartupInstallCheck::Outcome::HandedOver;
        return check;
    }
    // No Updater to check the new version: it is not kept unchecked.
    setRestartAfterUpdate(false);
    setUpdaterStartsInTray(false);
    if (!lock->tryLock(0))
        return check; // an Updater came in meanwhile; it decides
    install::claimFailure(paths);
    return rolledBack(paths, kNotChecked, log);
}

bool reportStarted(ClientSettings &settings, QStringList *log)
{
    const install::InstallPaths paths(workingFolder());
    QString version;
    if (!install::reportStarted(paths, &version)) {
        *log << QStringLiteral("update: the health report came too late; the Updater rolls back");
        return false;
    }
    *log << QStringLiteral("update: reported that the new version started");
    // The new version is recorded like the settings commands record values:
    // an absent or empty "version" is not created; memory changes only once
    // the file holds it.
    if (version.isEmpty() || settings.value(QStringLiteral("version")).isEmpty())
        return true;
    if (settings.store(QStringLiteral("version"), version) == ClientSettings::StoreResult::Stored)
        *log << QStringLiteral("update: recorded version %1").arg(version);
    else
        *log
            << QStringLiteral("update: cant record version %1 in %2").arg(version, settings.path());
    return true;
}

} // namespace kelv
