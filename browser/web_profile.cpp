#include "browser/web_profile.h"

#include "browser/kelv_web_view.h"
#include "common/dialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPointer>
#include <QStandardPaths>
#include <QWebEngineDownloadRequest>
#include <QWebEngineProfile>
#include <QWebEngineSettings>

Q_LOGGING_CATEGORY(lcProfile, "kelv.browser")

namespace kelv {
namespace {

QString &storageRoot()
{
    static QString root;
    return root;
}

QString &lastDownload()
{
    static QString path;
    return path;
}

void handleDownload(QWebEngineDownloadRequest *download)
{
    // Pages queue a download that waits for accept() or cancel(); the save
    // dialog decides, starting in the documents folder.
    QWidget *parent = nullptr;
    if (auto *view = qobject_cast<KelvWebView *>(QWebEngineView::forPage(download->page())))
        parent = view->window();
    const QString target = WebProfile::downloadTarget(download->suggestedFileName());
    const QString chosen = Dialogs::current().getSaveFileName(parent, QString(), target, QString());
    if (chosen.isEmpty()) {
        download->cancel();
        return;
    }
    const QFileInfo info(chosen);
    download->setDownloadDirectory(info.absolutePath());
    download->setDownloadFileName(info.fileName());
    QObject::connect(download, &QWebEngineDownloadRequest::isFinishedChanged, download, [download] {
        if (download->state() == QWebEngineDownloadRequest::DownloadCompleted)
            lastDownload() =
                QDir(download->downloadDirectory()).filePath(download->downloadFileName());
    });
    download->accept();
}

} // namespace

void WebProfile::setStorageRoot(const QString &root)
{
    storageRoot() = root;
}

QWebEngineProfile *WebProfile::shared()
{
    static QPointer<QWebEngineProfile> profile;
    if (profile)
        return profile;
    // A named profile keeps cookies and storage on disk.
    profile = new QWebEngineProfile(QStringLiteral("kelv"), QCoreApplication::instance());
    const QString root = storageRoot();
    if (root.isEmpty()) {
        // The user's own cache folder: a fixed folder in the shared temporary
        // folder could be made or filled by another local user.
        profile->setCachePath(
            QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
            QStringLiteral("/kelv/Cache"));
    } else {
        profile->setCachePath(root + QStringLiteral("/Cache"));
        profile->setPersistentStoragePath(root + QStringLiteral("/Storage"));
    }
    profile->setPersistentCookiesPolicy(QWebEngineProfile::ForcePersistentCookies);
    profile->setHttpCacheType(QWebEngineProfile::DiskHttpCache);
    profile->setDownloadPath(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
    QObject::connect(profile, &QWebEngineProfile::downloadRequested, profile, &handleDownload);
    qCDebug(lcProfile) << "browser profile" << profile->persistentStoragePath()
                       << profile->cachePath();
    return profile;
}

QString WebProfile::downloadTarget(const QString &suggestedName)
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        return QString();
    QDir().mkpath(documents);
    return documents + QLatin1Char('/') + suggestedName;
}

QString WebProfile::lastDownloadFile()
{
    return lastDownload();
}

} // namespace kelv
