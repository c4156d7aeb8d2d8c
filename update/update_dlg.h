#pragma once

#include "update/firmware_flasher.h"
#include "update/firmware_image.h"

#include <QDialog>
#include <QFont>
#include <QJsonObject>
#include <QList>
#include <QPoint>
#include <QPointer>
#include <QStringList>
#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QThread;

namespace kelv {

class PsUpdateDownloader;
class UpdateHost;

// The update dialog: offers the update, downloads the client, page and
// firmware packages in parallel threads, installs the page package at once,
// prepares the client package for the Updater at exit and offers a restart,
// and writes a firmware package into the mouse.
class updateDlg final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(updateDlg)

public:
    static constexpr int kBorderWidth = 10;
    // The buttons are 104 px wide (the style sheet), their text 12 px less:
    // a text that would not fit is drawn a little smaller, down to 70 % of
    // the font, so no language's word is cut off.
    static constexpr int kButtonTextWidth = 104 - 12;
    static QFont buttonFont(const QString &text);

    explicit updateDlg(UpdateHost *host);
    ~updateDlg() override;

    void setPackageInfo(const QStringList &deployment, const QJsonObject &ret);
    QStringList deployment() const { return m_deployment; }
    QJsonObject packageInfo() const { return m_ret; }

    // Switches to the "latest version" page.
    void showLatestVersion();
    // Switches to the same page with another text (an update that cannot be
    // checked for, e.g. a refused service address).
    void showMessage(const QString &text);

    // Verifies the kept firmware package (tupdates/firmware/firmware.pkg) and
    // reads its update.bin into the image buffer, checking header and CRC.
    bool loadFirmwareImage();
    // Starts the ROM sequence on the first device of the device table and returns; the
    // labels follow its steps. It runs on an object of its own that lives until the
    // sequence ends, even when the dialog goes first.
    void flashFirmware();
    // Offers to finish a firmware update that left the mouse in its boot loader: the offer
    // page's button then starts the sequence at the boot loader.
    void offerFirmwareCompletion();
    // True while the offer page waits for the user's answer.
    bool offerShown() const;
    // True while a firmware sequence started here runs: closing is refused
    // meanwhile, and what would leave the progress page (the restart offer, a
    // question) waits until it has ended.
    bool flashing() const { return !m_flash.isNull(); }
    // The waits of the firmware sequence (tests shorten them).
    void setFlashTiming(const FirmwareFlasher::Timing &timing) { m_flashTiming = timing; }

    // Dragging: true where a press moves the dialog (no child control other
    // than the current page under the point).
    bool isDragArea(const QPoint &pos) const;

signals:
    void needupdate();
    // The firmware sequence has ended (a FirmwareFlasher::Outcome).
    void firmwareFinished(int outcome);

public slots:
    // Refused while the firmware sequence runs: the label asks the user to wait.
    void reject() override;
    void accept() override;
    void on_btn_closeSetuper_clicked();
    void on_uninstallButton_clicekd();
    void on_pb_ok_clicked();
    void on_finishPart(qint64 part, qint64 total);
    void on_downLoadFaild();
    // A refused address or package, or an HTTP error: shown on the progress page.
    void on_downLoadError(const QString &message);
    // Refused while the firmware sequence runs.
    void updateNow();
    // A package that is not newer than the installed version: the offer page
    // says so and asks whether to install it anyway.
    void on_notNewerOffered(const QString &version, const QString &message);
    void on_clientPackageDownLoadFinished(const QString &version);
    void on_htmlPackageDownLoadFinished(const QString &version);
    void on_firmPackageDownLoadFinished(const QString &version);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    PsUpdateDownloader *startDownload(QThread **thread, const QString &url, const QString &kind,
                                      const QString &installedVersion);
    // lb_install's text. A long one (a refusal with its reason or an address)
    // wraps and grows upwards from the one-line place, staying above the bar.
    void setInstallText(const QString &text);
    // A text of lb_text or lb_info that may be long: it wraps at the page's edge.
    void showWrapped(QLabel *label, const QString &text);
    void startFlash(FirmwareFlasher::Start start);
    void finishFirmwareUpdate();
    // The offer page's button does this from now on.
    void setUpdateAction(void (updateDlg::*action)());
    void offerRestart();
    void installNotNewer();
    // Runs step now, or once the firmware sequence has ended.
    void afterFlash(const std::function<void()> &step);
    void flashEnded();

    UpdateHost *m_host;
    QJsonObject m_ret;
    QStringList m_deployment;
    QThread *m_clientThread = nullptr;
    PsUpdateDownloader *m_clientDownloader = nullptr;
    QThread *m_htmlThread = nullptr;
    PsUpdateDownloader *m_htmlDownloader = nullptr;
    QThread *m_firmwareThread = nullptr;
    PsUpdateDownloader *m_firmwareDownloader = nullptr;
    FirmwareImage m_image;
    QPointer<FirmwareUpdate> m_flash;
    FirmwareFlasher::Timing m_flashTiming;
    QList<std::function<void()>> m_afterFlash;
    QList<QPointer<PsUpdateDownloader>> m_notNewer;

    QPushButton *m_close;
    QStackedWidget *m_stack;
    QLabel *m_text;
    QPushButton *m_cancel;
    QPushButton *m_update;
    QLabel *m_logo;
    QLabel *m_install;
    QProgressBar *m_progress;
    QLabel *m_info;
    QPushButton *m_ok;

    bool m_dragging = false;
    QPoint m_dragOffset;
};

} // namespace kelv
