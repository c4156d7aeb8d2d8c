#include "update/update_dlg.h"

#include "common/client_settings.h"
#include "common/ui_texts.h"
#include "device/devices_handler.h"
#include "update/firmware_flasher.h"
#include "update/installers.h"
#include "update/package_signature.h"
#include "update/ps_update_downloader.h"
#include "update/update_check.h"
#include "update/update_host.h"
#include "update/update_log.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QThread>
#include <QWindow>

namespace kelv {
namespace {

void setButtonText(QPushButton *button, const QString &text)
{
    button->setText(text);
    button->setFont(updateDlg::buttonFont(text));
}

QString firmwareInProgressText()
{
    return uiText(QStringLiteral("正在更新固件，请勿插拔鼠标"));
}

// lb_install's place on the progress page for a text of one line.
constexpr int kInstallTextLeft = 10;
constexpr int kInstallTextTop = 195;
constexpr int kInstallTextWidth = 580;
constexpr int kInstallTextHeight = 30;

} // namespace

QFont updateDlg::buttonFont(const QString &text)
{
    QFont font = QApplication::font("QPushButton");
    const qreal full = font.pointSizeF() > 0 ? font.pointSizeF() : 9.0;
    for (qreal size = full; size >= full * 0.7; size -= 0.25) {
        font.setPointSizeF(size);
        if (QFontMetrics(font).horizontalAdvance(text) <= kButtonTextWidth)
            break;
    }
    return font;
}

updateDlg::updateDlg(UpdateHost *host) : QDialog(nullptr), m_host(host)
{
    // The dialog and the update's messages speak the language of the settings.
    if (m_host) {
        setUiLanguage(
            uiLanguageFromSetting(m_host->clientSettings().value(QStringLiteral("language"))));
        useQtTranslations(uiLanguage());
    }
    setObjectName(QStringLiteral("updateDlg"));
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(600, 380);
    setWindowIcon(QIcon(QStringLiteral(":/velorin/icon.png")));
    setContentsMargins(kBorderWidth, kBorderWidth, kBorderWidth, kBorderWidth);

    m_close = new QPushButton(this);
    m_close->setObjectName(QStringLiteral("btn_closeSetuper"));
    m_close->setGeometry(562, 20, 18, 18);
    m_close->setFixedSize(18, 18);
    m_close->setCursor(Qt::PointingHandCursor);

    m_stack = new QStackedWidget(this);
    m_stack->setGeometry(10, 60, 580, 310);
    m_stack->setContentsMargins(0, 0, 0, 0);

    auto *pageFirst = new QFrame;
    pageFirst->setObjectName(QStringLiteral("pageFirst"));
    pageFirst->resize(580, 310);
    m_text = new QLabel(uiText(QStringLiteral("Found the new version,update now?")), pageFirst);
    m_text->setObjectName(QStringLiteral("lb_text"));
    m_text->move(110, 70);
    m_cancel = new QPushButton(pageFirst);
    setButtonText(m_cancel, uiText(QStringLiteral("cancel")));
    m_cancel->setObjectName(QStringLiteral("cancelButton"));
    m_cancel->move(180, 190);
    m_update = new QPushButton(pageFirst);
    setButtonText(m_update, uiText(QStringLiteral("Update")));
    m_update->setObjectName(QStringLiteral("uninstallButton"));
    m_update->move(300, 190);

    auto *pageThird = new QFrame;
    pageThird->setObjectName(QStringLiteral("pageThird"));
    pageThird->resize(580, 310);
    m_logo = new QLabel(pageThird);
    m_logo->setObjectName(QStringLiteral("lb_logo"));
    m_logo->move(156, 50);
    m_install = new QLabel(pageThird);
    m_install->setObjectName(QStringLiteral("lb_install"));
    m_install->setFixedWidth(kInstallTextWidth);
    m_install->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    m_install->setWordWrap(true);
    // The label reaches 10 px past the page's right edge: lines stay within the page.
    m_install->setContentsMargins(10, 0, 10, 0);
    setInstallText(uiText(QStringLiteral("Downloading package resources。。。")));
    m_progress = new QProgressBar(pageThird);
    m_progress->setObjectName(QStringLiteral("pb_install"));
    m_progress->move(47, 240);
    m_progress->setRange(0, 100);
    m_progress->setValue(0);

    auto *pageInfo = new QFrame;
    pageInfo->setObjectName(QStringLiteral("pageInfo"));
    pageInfo->resize(580, 310);
    m_info =
        new QLabel(uiText(QStringLiteral("The current version is the latest version")), pageInfo);
    m_info->setObjectName(QStringLiteral("lb_info"));
    m_info->move(110, 70);
    m_ok = new QPushButton(pageInfo);
    setButtonText(m_ok, uiText(QStringLiteral("confirm")));
    m_ok->setObjectName(QStringLiteral("pb_ok"));
    m_ok->move(240, 190);

    m_stack->addWidget(pageFirst);
    m_stack->addWidget(pageThird);
    m_stack->addWidget(pageInfo);
    m_stack->setCurrentIndex(0);

    // The style sheet sizes the buttons, the logo and the bar, and the
    // labels take the size of their styled text when first shown.
    connect(m_close, &QPushButton::clicked, this, &updateDlg::on_btn_closeSetuper_clicked);
    connect(m_cancel, &QPushButton::clicked, this, &updateDlg::on_btn_closeSetuper_clicked);
    connect(m_update, &QPushButton::clicked, this, &updateDlg::on_uninstallButton_clicekd);
    connect(m_ok, &QPushButton::clicked, this, &updateDlg::on_pb_ok_clicked);
}

updateDlg::~updateDlg()
{
    for (PsUpdateDownloader *downloader :
         {m_clientDownloader, m_htmlDownloader, m_firmwareDownloader}) {
        if (downloader)
            downloader->deleteLater();
    }
    // An unpack under way stops at its next piece (leaving its package for a
    // later attempt), and the threads end before the dialog is gone: nothing
    // of this dialog goes on writing beside the next one, or while the
    // program quits.
    for (QThread *thread : {m_clientThread, m_htmlThread, m_firmwareThread}) {
        if (thread) {
            thread->requestInterruption();
            thread->quit();
        }
    }
    for (QThread *thread : {m_clientThread, m_htmlThread, m_firmwareThread}) {
        if (thread)
            thread->wait();
    }
}

void updateDlg::setPackageInfo(const QStringList &deployment, const QJsonObject &ret)
{
    m_deployment = deployment;
    m_ret = ret;
}

void updateDlg::showLatestVersion()
{
    m_stack->setCurrentIndex(2);
}

void updateDlg::reject()
{
    if (flashing()) {
        // Pulling the mouse now would leave it in its boot loader: stay until the end.
        setInstallText(firmwareInProgressText());
        return;
    }
    QDialog::reject();
}

void updateDlg::accept()
{
    // A finished page package does not close the dialog while the mouse is
    // being flashed: its progress stays in view until the end.
    if (flashing())
        return;
    QDialog::accept();
}

void updateDlg::afterFlash(const std::function<void()> &step)
{
    if (flashing())
        m_afterFlash.append(step);
    else
        step();
}

void updateDlg::flashEnded()
{
    const QList<std::function<void()>> steps = std::exchange(m_afterFlash, {});
    for (const auto &step : steps)
        step();
}

void updateDlg::setUpdateAction(void (updateDlg::*action)())
{
    m_update->disconnect(this);
    connect(m_update, &QPushButton::clicked, this, action);
}

void updateDlg::showMessage(const QString &text)
{
    showWrapped(m_info, text);
    m_stack->setCurrentIndex(2);
}

void updateDlg::showWrapped(QLabel *label, const QString &text)
{
    label->setWordWrap(true);
    label->setFixedWidth(m_stack->width() - label->x() - kBorderWidth);
    label->setText(text);
    label->adjustSize();
}

void updateDlg::setInstallText(const QString &text)
{
    m_install->setText(text);
    // The style sheet's font decides how many lines the text takes.
    m_install->ensurePolished();
    const int height = qMax(kInstallTextHeight, m_install->heightForWidth(kInstallTextWidth));
    m_install->setGeometry(kInstallTextLeft, kInstallTextTop + kInstallTextHeight - height,
                           kInstallTextWidth, height);
}

void updateDlg::on_btn_closeSetuper_clicked()
{
    reject();
}

PsUpdateDownloader *updateDlg::startDownload(QThread **thread, const QString &url,
                                             const QString &kind, const QString &installedVersion)
{
    *thread = new QThread;
    connect(*thread, &QThread::finished, *thread, &QObject::deleteLater);
    auto *downloader = new PsUpdateDownloader(*thread, url, kind);
    downloader->setInstalledVersion(installedVersion);
    connect(downloader, &PsUpdateDownloader::finishPart, this, &updateDlg::on_finishPart);
    connect(downloader, &PsUpdateDownloader::downLoadFailed, this, &updateDlg::on_downLoadFaild);
    connect(downloader, &PsUpdateDownloader::downLoadError, this, &updateDlg::on_downLoadError);
    connect(downloader, &PsUpdateDownloader::notNewerOffered, this, &updateDlg::on_notNewerOffered);
    return downloader;
}

void updateDlg::on_uninstallButton_clicekd()
{
    m_stack->setCurrentIndex(1);
    m_progress->setTextVisible(true);

    const QString firmwarePackage = m_ret.value(QLatin1String("firmwarePackage")).toString();
    const QString clientPackage = m_ret.value(QLatin1String("clientPackage")).toString();
    const QString devicePackage = m_ret.value(QLatin1String("devicePackage")).toString();

    // Without a trusted key no package could ever be installed.
    if (package::TrustedKeys::load(package::TrustedKeys::defaultPath()).isEmpty()) {
        qCInfo(lcUpdateSystem).noquote()
            << QStringLiteral("Update Error: no trusted update key in %1")
                   .arg(package::TrustedKeys::defaultPath());
        on_downLoadError(uiText(QStringLiteral("Updates are not set up: no trusted update key")));
        return;
    }

    const QString clientVersion =
        m_host ? m_host->clientSettings().value(QStringLiteral("version")) : QString();
    if (m_deployment.contains(QStringLiteral("client")) && !clientPackage.isEmpty()) {
        m_clientDownloader =
            startDownload(&m_clientThread, clientPackage, QStringLiteral("client"), clientVersion);
        connect(m_clientDownloader, &PsUpdateDownloader::unpressFinished, this,
                &updateDlg::on_clientPackageDownLoadFinished);
        m_clientThread->start(QThread::InheritPriority);
    }
    if (m_deployment.contains(QStringLiteral("html")) && !devicePackage.isEmpty()) {
        m_htmlDownloader = startDownload(&m_htmlThread, devicePackage, QStringLiteral("html"),
                                         installedPageVersion(clientVersion));
        connect(m_htmlDownloader, &PsUpdateDownloader::unpressFinished, this,
                &updateDlg::on_htmlPackageDownLoadFinished);
        m_htmlThread->start(QThread::InheritPriority);
    }
    if (m_deployment.contains(QStringLiteral("firmware")) && !firmwarePackage.isEmpty()) {
        // Firmware is compared with what the mouse runs.
        const DeviceTable table = m_host ? m_host->deviceTable() : DeviceTable();
        m_firmwareDownloader =
            startDownload(&m_firmwareThread, firmwarePackage, QStringLiteral("firmware"),
                          table.isEmpty() ? QString() : table.first().Version);
        connect(m_firmwareDownloader, &PsUpdateDownloader::unpressFinished, this,
                &updateDlg::on_firmPackageDownLoadFinished);
        m_firmwareThread->start(QThread::InheritPriority);
    }
    if (!m_clientDownloader && !m_htmlDownloader && !m_firmwareDownloader) {
        // An offer whose parts name no package: nothing will ever download.
        qCInfo(lcUpdateSystem).noquote()
            << QStringLiteral("Update Error: the offer (deployment '%1') named no package")
                   .arg(m_deployment.join(QLatin1Char(',')));
        on_downLoadError(updateRefusedText(QStringLiteral("the update service named no package")));
    }
}

void updateDlg::on_pb_ok_clicked()
{
    reject();
}

void updateDlg::on_finishPart(qint64 part, qint64 total)
{
    if (total <= 0) {
        // Unknown total: a busy bar instead of a division by zero.
        m_progress->setRange(0, 0);
        return;
    }
    if (m_progress->maximum() != 100)
        m_progress->setRange(0, 100);
    m_progress->setValue(int(qBound(qint64(0), part * 100 / total, qint64(100))));
}

void updateDlg::on_downLoadFaild()
{
    setInstallText(uiText(QStringLiteral("Download failed, please check the network")));
}

void updateDlg::on_downLoadError(const QString &message)
{
    setInstallText(message);
}

void updateDlg::updateNow()
{
    // Quitting now would cut the flash off.
    if (flashing())
        return;
    emit needupdate();
}

void updateDlg::on_notNewerOffered(const QString &version, const QString &message)
{
    if (auto *downloader = qobject_cast<PsUpdateDownloader *>(sender()))
        m_notNewer.append(downloader);
    qCInfo(lcUpdateSystem).noquote()
        << QStringLiteral("Update offered version %1, which is not newer: asking").arg(version);
    afterFlash([this, message] {
        showWrapped(m_text, message);
        setButtonText(m_update, uiText(QStringLiteral("Install")));
        setUpdateAction(&updateDlg::installNotNewer);
        m_stack->setCurrentIndex(0);
    });
}

void updateDlg::installNotNewer()
{
    m_stack->setCurrentIndex(1);
    setInstallText(uiText(QStringLiteral("Downloading package resources。。。")));
    for (const QPointer<PsUpdateDownloader> &downloader : std::exchange(m_notNewer, {})) {
        if (downloader)
            QMetaObject::invokeMethod(downloader, &PsUpdateDownloader::installAnyway,
                                      Qt::QueuedConnection);
    }
}

void updateDlg::on_clientPackageDownLoadFinished(const QString &version)
{
    if (!prepareUpdater()) {
        qCInfo(lcUpdateSystem) << "Update Error: the new Updater cannot be put in place";
        m_stack->setCurrentIndex(1);
        setInstallText(uiText(QStringLiteral("Update failed: the Updater cannot be replaced")));
        return;
    }
    // conf.xml gets the new version only after the new program has passed the
    // Updater's health check; until then it is remembered beside the package.
    // Without it the new program could not record itself, and the same update
    // would be offered again and again.
    if (!recordPendingClientVersion(version)) {
        qCInfo(lcUpdateSystem).noquote()
            << QStringLiteral("Update Error: cant remember the pending version %1").arg(version);
        m_stack->setCurrentIndex(1);
        setInstallText(updateRefusedText(QStringLiteral("the update folder cannot be written")));
        return;
    }
    setRunUpdaterAtExit(true);
    afterFlash([this] { offerRestart(); });
}

void updateDlg::offerRestart()
{
    m_text->setWordWrap(false);
    m_text->setMinimumWidth(0);
    m_text->setMaximumWidth(QWIDGETSIZE_MAX);
    m_text->setText(uiText(QStringLiteral("The download is complete,Restart now?")));
    m_text->adjustSize();
    setButtonText(m_update, uiText(QStringLiteral("Restart Now")));
    setUpdateAction(&updateDlg::updateNow);
    m_stack->setCurrentIndex(0);
}

void updateDlg::on_htmlPackageDownLoadFinished(const QString &version)
{
    // A page that was not replaced (a file that stayed locked, a folder that
    // cannot be written) is no "Update Complete": the progress page says so
    // and stays, as after a failed download.
    if (!installPagePackage()) {
        qCInfo(lcUpdateSystem).noquote()
            << QStringLiteral("Update Error: the page package %1 was not installed").arg(version);
        setInstallText(uiText(QStringLiteral("Update failed")));
        return;
    }
    if (!recordPageVersion(version))
        qCInfo(lcUpdateSystem).noquote()
            << QStringLiteral("Update Error: cant record the page version %1").arg(version);
    // The page's completion closes the dialog only when the page was all this
    // update brought: the program's or the firmware's outcome (a restart to
    // offer, a failure) is still to be shown, so the dialog stays for it.
    if (m_clientDownloader || m_firmwareDownloader) {
        qCInfo(lcUpdateSystem).noquote()
            << QStringLiteral("Update: page package %1 installed").arg(version);
        return;
    }
    setInstallText(uiText(QStringLiteral("Update Complete")));
    accept();
}

void updateDlg::on_firmPackageDownLoadFinished(const QString &)
{
    setInstallText(firmwareInProgressText());
    flashFirmware();
}

bool updateDlg::loadFirmwareImage()
{
    // Verified again right before every flash: the package on disk is only
    // trusted while its signature holds.
    return m_image
               .loadPackage(firmwarePackagePath(),
                            package::TrustedKeys::load(package::TrustedKeys::defaultPath()),
                            firmwareExpectation())
               .outcome == package::UnpackResult::Unpacked;
}

void updateDlg::flashFirmware()
{
    startFlash(FirmwareFlasher::Start::Mouse);
}

void updateDlg::offerFirmwareCompletion()
{
    showWrapped(m_text,
                uiText(QStringLiteral("The last firmware update did not finish,finish it now?")));
    setUpdateAction(&updateDlg::finishFirmwareUpdate);
    m_update->setDefault(true);
    m_stack->setCurrentIndex(0);
}

void updateDlg::finishFirmwareUpdate()
{
    m_stack->setCurrentIndex(1);
    setInstallText(firmwareInProgressText());
    startFlash(FirmwareFlasher::Start::BootLoader);
    // The boot loader gone meanwhile, the package no longer usable, another flash writing
    // the mouse: nothing was started, and the label must not say an update is running.
    if (!flashing())
        setInstallText(uiText(FirmwareFlasher::mouseUpdateFailedText()));
}

bool updateDlg::offerShown() const
{
    return m_stack->currentIndex() == 0;
}

void updateDlg::startFlash(FirmwareFlasher::Start start)
{
    devices_handler *devices = m_host ? m_host->devices() : nullptr;
    if (!devices || flashing())
        return;
    // The first device of the table: the mouse, or its boot loader when a flash did not
    // finish.
    const DeviceTable table = m_host->deviceTable();
    if (table.isEmpty())
        return;
    const QString hardwareId = table.first().HardwareID;
    std::unique_ptr<FirmwareSession> session = devices->openFirmwareSession();
    if (!session) {
        // Left at the firmware text, the label would announce an update that never runs.
        qCInfo(lcUpdateSystem) << "Firmware update not started: another one is running";
        setInstallText(uiText(FirmwareFlasher::mouseUpdateFailedText()));
        return;
    }
    if (!session->present(hardwareId) || !loadFirmwareImage())
        return;
    // The sequence belongs to the device manager, not to this dialog: closing the dialog or
    // a new update check that replaces it cannot pull its memory away.
    m_flash = new FirmwareUpdate(std::move(session), m_image, firmwarePackagePath(), hardwareId,
                                 start, m_flashTiming, devices);
    connect(m_flash, &FirmwareUpdate::textShown, this,
            [this](const QString &text) { setInstallText(uiText(text)); });
    connect(m_flash, &FirmwareUpdate::finished, this, [this](int outcome) {
        m_flash = nullptr;
        emit firmwareFinished(outcome);
        flashEnded();
    });
    m_flash->start();
}

bool updateDlg::isDragArea(const QPoint &pos) const
{
    if (!rect().contains(pos))
        return false;
    const QWidget *child = childAt(pos);
    return !child || child == m_stack || child == m_stack->currentWidget();
}

void updateDlg::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(rect(), QPixmap(QStringLiteral(":/image/background")));
}

void updateDlg::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && isDragArea(event->position().toPoint())) {
        // Let the window manager move the window where it can; otherwise
        // follow the mouse ourselves.
        if (windowHandle() && windowHandle()->startSystemMove())
            return;
        m_dragging = true;
        m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
        return;
    }
    QDialog::mousePressEvent(event);
}

void updateDlg::mouseMoveEvent(QMouseEvent *event)
{
    if (m_dragging && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - m_dragOffset);
        return;
    }
    QDialog::mouseMoveEvent(event);
}

void updateDlg::mouseReleaseEvent(QMouseEvent *event)
{
    m_dragging = false;
    QDialog::mouseReleaseEvent(event);
}

} // namespace kelv
