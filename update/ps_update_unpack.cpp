// What the downloader does with a downloaded package: unpacks it (a firmware package
// is kept whole instead), offers one that is not newer to be installed anyway, and
// clears away what a refused one left.

#include "common/app_paths.h"
#include "common/ui_texts.h"
#include "platform/file_access.h"
#include "update/client_install.h"
#include "update/firmware_image.h"
#include "update/ps_update_downloader.h"
#include "update/update_log.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>

namespace kelv {
namespace {

// The Updater's journal, backup or health files in tupdates/client: an install
// is under way (or waits to be finished or rolled back at the next start), and
// that folder is the Updater's until then.
bool clientInstallUnderWay()
{
    return install::phaseOf(install::InstallPaths(workingFolder())) != install::Phase::Idle;
}

} // namespace

void PsUpdateDownloader::unpackPackage()
{
    if (m_kind == QLatin1String("client") && clientInstallUnderWay()) {
        // The package stays for a later attempt.
        qCInfo(lcPspecificWnd).noquote()
            << QStringLiteral("Update Error: an earlier update is still being installed; the "
                              "client package is not unpacked now");
        emit downLoadError(
            updateRefusedText(QStringLiteral("the update folder cannot be written")));
        return;
    }
    const package::TrustedKeys keys =
        package::TrustedKeys::load(package::TrustedKeys::defaultPath());
    package::Expectation expected;
    expected.kind = m_kind;
    expected.installedVersion = m_installedVersion;
    expected.allowOlder = m_allowOlder;
    const package::UnpackResult result =
        m_kind == QLatin1String("firmware")
            ? keepFirmwarePackage()
            : package::unpackPackageFile(outputPath(), kindFolder(), keys, expected);
    if (result.outcome == package::UnpackResult::Refused &&
        QThread::currentThread()->isInterruptionRequested()) {
        // Stopped half way by the dialog's end: the package stays for the next attempt.
        return;
    }
    switch (result.outcome) {
    case package::UnpackResult::Unpacked:
        QFile::remove(outputPath());
        QFile::remove(validatorPath());
        emit unpressFinished(result.version);
        return;
    case package::UnpackResult::NotNewer:
        // The package stays: the user may still choose to install it.
        emit notNewerOffered(
            result.version,
            uiText(QStringLiteral("The package's version %1 is not newer than the installed "
                                  "version %2. Install it anyway?"))
                .arg(result.version, m_installedVersion));
        return;
    case package::UnpackResult::Refused:
        break;
    }
    fatalFailure();
    emit downLoadError(updateRefusedText(result.reason));
}

void PsUpdateDownloader::installAnyway()
{
    if (m_reply || !QFileInfo::exists(outputPath()))
        return;
    qCInfo(lcPspecificWnd).noquote()
        << QStringLiteral("Update Info: the user chose to install the %1 package although it is "
                          "not newer than %2")
               .arg(m_kind, m_installedVersion);
    m_allowOlder = true;
    unpackPackage();
}

package::UnpackResult PsUpdateDownloader::keepFirmwarePackage()
{
    // The firmware package is kept whole and signed: every flash and every
    // recovery reads the image from it again and verifies it first. The one
    // kept before is replaced only by a package that passed every check.
    package::Expectation expected;
    expected.kind = m_kind;
    expected.installedVersion = m_installedVersion;
    expected.allowOlder = m_allowOlder;
    FirmwareImage image;
    package::UnpackResult result = image.loadPackage(
        outputPath(), package::TrustedKeys::load(package::TrustedKeys::defaultPath()), expected);
    if (result.outcome != package::UnpackResult::Unpacked)
        return result;
    // The new package takes the old one's place in one step: a failed move,
    // or a crash at any moment, leaves the old package or the new one, never
    // none (a mouse left in its boot loader is recovered from it).
    const QString kept = firmwarePackagePath();
    QDir().mkpath(QFileInfo(kept).absolutePath());
    if (!platform::replaceFile(outputPath().toStdString(), kept.toStdString())) {
        qCInfo(lcPspecificWnd).noquote()
            << QStringLiteral("Update Error: cant keep the firmware package as '%1'").arg(kept);
        return {package::UnpackResult::Refused, result.version,
                QStringLiteral("the update folder cannot be written")};
    }
    return result;
}

void PsUpdateDownloader::fatalFailure(bool abort)
{
    dropReply(abort);
    if (m_outputFile.isOpen())
        m_outputFile.close();
    QFile::remove(outputPath());
    QFile::remove(validatorPath());
    // Only this package's own folder goes: a broken page package must not
    // destroy a client update that is ready. The firmware package kept for
    // recovering a mouse stays until a newer one has been verified. The
    // client's folder stays while an install of it is under way.
    if (m_kind != QLatin1String("firmware") &&
        !(m_kind == QLatin1String("client") && clientInstallUnderWay()))
        package::deleteFolderTree(workingFolder() + QStringLiteral("tupdates/") + m_kind);
}

} // namespace kelv
