// The main window's tray icon, and where the window goes when it is closed: hidden in
// the tray, or minimised where the desktop has no tray.

#include "app/app_log.h"
#include "app/main_window.h"
#include "common/dialogs.h"
#include "common/ui_texts.h"
#include "desktop/system_tray.h"

#include <QIcon>
#include <QPixmap>
#include <QTimer>

namespace kelv {
namespace shell {

namespace {
// Set in conf.xml once the user was told that closing minimises.
const QString TrayNoticeKey = QStringLiteral("trayNoticeShown");
// How often the tray's presence is checked (a panel may quit or restart).
constexpr int kTrayWatchMs = 3000;
} // namespace

void kelv::setupTray()
{
    if (m_tray)
        return;
    // Named as a PNG: read by name alone, the image's format would be found
    // by loading the desktop's MIME database and every image format plugin.
    setWindowIcon(QIcon(QPixmap(QStringLiteral(":/kelv/desk_icon"), "PNG")));
    m_tray = new SystemTray(this);
    m_tray->setLanguageSource([this] { return m_appSettings.value(QStringLiteral("language")); });
    m_tray->show();
    connect(m_tray, &QSystemTrayIcon::activated, this, &kelv::onSystemtrayActive,
            Qt::UniqueConnection);
    connect(m_tray, &SystemTray::showWidget, this, &kelv::onshowWidget);
    connect(m_tray, &SystemTray::closeApp, this, &kelv::oncloseApp);

    m_trayWasAvailable = trayAvailable();
    m_trayWatch = new QTimer(this);
    m_trayWatch->setInterval(kTrayWatchMs);
    connect(m_trayWatch, &QTimer::timeout, this, &kelv::watchTray);
    m_trayWatch->start();
    qCInfo(lcApp, "tray icon set up");
}

bool kelv::trayAvailable() const
{
    return m_trayAvailability();
}

void kelv::setTrayAvailability(std::function<bool()> source)
{
    m_trayAvailability = std::move(source);
    m_trayWasAvailable = trayAvailable();
}

// A tray that goes away (its panel quit) would leave a hidden window out of
// reach but for the hot key: it comes back minimised.
void kelv::watchTray()
{
    const bool available = trayAvailable();
    if (available == m_trayWasAvailable)
        return;
    m_trayWasAvailable = available;
    qCInfo(lcApp) << (available ? "the notification area is back"
                                : "the notification area went away");
    if (!available && !isVisible())
        showMinimized();
}

void kelv::closeToBackground()
{
    if (trayAvailable()) {
        quitApp();
        return;
    }
    saveModifiedProfiles();
    if (m_appSettings.value(TrayNoticeKey) != QLatin1String("1"))
        tellClosingMinimises();
    qCInfo(lcApp, "closed where the desktop has no notification area: minimised");
    showMinimized();
}

void kelv::startInBackground(std::chrono::milliseconds trayGrace)
{
    if (trayAvailable()) {
        qCInfo(lcApp, "started in the tray (-autostart)");
        return;
    }
    // At login the panel with the tray often comes up after the programs
    // that start with the desktop: the window waits for it a while.
    qCInfo(lcApp, "started in the background (-autostart); no notification area yet");
    QTimer::singleShot(trayGrace, this, [this] {
        if (trayAvailable() || isVisible())
            return;
        qCInfo(lcApp, "no notification area came up: the window is minimised");
        showMinimized();
    });
}

// Once: why the window went to the task bar rather than the tray, and how to
// make the close button quit instead.
void kelv::tellClosingMinimises()
{
    const UiLanguage language =
        uiLanguageFromSetting(m_appSettings.value(QStringLiteral("language")));
    Dialogs::current().message(
        this, QMessageBox::Information, uiText(QStringLiteral("kelv keeps running"), language),
        uiText(QStringLiteral("This desktop has no notification area, so kelv cannot wait there "
                              "with its window closed. The window is minimised instead, and kelv "
                              "keeps switching modes for your programs. To make the close button "
                              "quit kelv, choose \"Quits the program\" under Settings."),
               language),
        QMessageBox::Ok);
    // Remembered in conf.xml; a settings file that cannot be written only
    // means the message comes again next time.
    if (m_appSettings.store(TrayNoticeKey, QStringLiteral("1"),
                            ClientSettings::Create::IfMissing) !=
        ClientSettings::StoreResult::Stored)
        qCInfo(lcApp) << "could not note the tray message in" << m_appSettings.path();
}

void kelv::onSystemtrayActive(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Context:
        if (m_tray)
            m_tray->setMenuLanguage(m_appSettings.value(QStringLiteral("language")));
        break;
    case QSystemTrayIcon::Unknown:
    case QSystemTrayIcon::DoubleClick:
    case QSystemTrayIcon::Trigger:
        setWindowState(Qt::WindowActive);
        show();
        qCInfo(lcApp, "window shown from the tray");
        break;
    default:
        break;
    }
}

} // namespace shell
} // namespace kelv
