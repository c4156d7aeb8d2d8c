#include "app/cef_application.h"

#include "app/app_log.h"
#include "app/application_host.h"
#include "app/main_window.h"
#include "app/unsaved_edits.h"
#include "browser/client_handler.h"
#include "browser/kelv_web_view.h"
#include "browser/pending_edits.h"
#include "common/app_paths.h"
#include "common/dialogs.h"
#include "common/session.h"
#include "common/ui_texts.h"
#include "common/user_folders.h"
#include "crash/crash_reporting.h"
#include "desktop/battery_notice.h"
#include "desktop/system_tray.h"
#include "device/battery_watch.h"
#include "device/devices_handler.h"
#include "platform/termination_signals.h"
#include "update/firmware_recovery.h"
#include "update/startup_check.h"
#include "update/update_check.h"

#include <QFile>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <utility>

namespace kelv {

namespace {

// The tray and the rest of a shown start wait for the page at most this long.
constexpr std::chrono::milliseconds kBackgroundPartsLatestMs{3000};

cefApplication *s_application = nullptr;
bool s_quitRequested = false;
int s_exitCode = 0;
bool s_startRequestedWhileQuitting = false;
} // namespace

cefApplication::cefApplication(int &argc, char **argv) : cefApplication(argc, argv, Options()) {}

cefApplication::cefApplication(int &argc, char **argv, const Options &options)
    : QApplication(argc, argv), m_options(options), m_instance(options.serverName)
{
    // Closing the main window only hides (or, without a tray, minimises) it;
    // the program lives on until a quit request.
    setQuitOnLastWindowClosed(false);

    if (m_options.settingsPath.isEmpty()) {
        // A user's first start from a shared program folder gets the default
        // settings and mode document into the user's own folders first.
        QString error;
        if (!userFolders().prepare(&error))
            qCWarning(lcApp).noquote() << "the user's folders cannot be prepared:" << error;
    }
    const QString settingsPath =
        m_options.settingsPath.isEmpty()
            ? userFolders().profilePath(QStringLiteral("Resources/profiles/conf.xml"))
            : m_options.settingsPath;
    m_settings.load(settingsPath);

    for (int i = 0; i < argc; ++i) {
        if (qstrcmp(argv[i], "-autostart") == 0)
            m_autostart = true;
    }

    connect(&m_instance, &SingleInstance::primaryStarted, this, &cefApplication::primaryStart);
    connect(&m_instance, &SingleInstance::commandReceived, this,
            &cefApplication::onInstanceCommand);
    connect(&m_instance, &SingleInstance::quitRequested, this, [this](int exitCode) {
        m_quitWithoutAsking = true;
        requestQuit(exitCode);
    });
}

cefApplication::~cefApplication()
{
    // Shutdown order: the instance channel, then the update checker, the main
    // window and the device manager.
    m_instance.close();
    delete m_updateCheck;
    m_updateCheck = nullptr;
    delete m_firmwareRecovery;
    m_firmwareRecovery = nullptr;
    delete m_mainWindow;
    m_mainWindow = nullptr;
    // The host after the window it serves: it waits for the monitor's threads.
    delete m_host;
    m_host = nullptr;
    delete m_devices;
    m_devices = nullptr;
    if (s_application == this)
        s_application = nullptr;
}

cefApplication *cefApplication::instance()
{
    return s_application;
}

devices_handler *cefApplication::devices()
{
    return s_application ? s_application->m_devices : nullptr;
}

UiLanguage cefApplication::settingsLanguage() const
{
    return uiLanguageFromSetting(m_settings.value(QStringLiteral("language")));
}

bool cefApplication::setClientSetting(const QString &key, const QString &value)
{
    return m_settings.setValue(key, value);
}

bool cefApplication::saveSettings()
{
    return m_settings.save();
}

void cefApplication::initialise()
{
    if (m_initialised)
        return;
    m_initialised = true;

    const QString folder = applicationFolder() + QLatin1Char('/');
    setExecutableFolder(folder);
    // Firmware packages are kept with the user's data where the program
    // folder is shared.
    setWorkingFolder(userFolders().perUser() ? userFolders().data() + QLatin1Char('/') : folder);

    QFile styleSheet(QStringLiteral(":/qss/kelv"));
    setStyleSheet(styleSheet.open(QIODevice::ReadOnly) ? QString::fromUtf8(styleSheet.readAll())
                                                       : QString());

    // A crash leaves a report in the program folder (the user's state folder
    // where the program folder is shared) and starts the reporter.
    if (userFolders().perUser() && !crash::isCrashHandlerInstalled())
        crash::setDumpFolder(userFolders().state());
    crash::setupCrashReporting(applicationFolder(), QStringLiteral("CrashReporter"));

    if (s_application && s_application != this) {
        requestQuit(0);
        return;
    }
    s_application = this;

    // A session that logs out (or a service manager) asks with a signal: end
    // like the tray's Exit does, so edited profiles are written and the
    // instance socket is removed.
    const int fd = platform::watchTerminationRequests();
    if (fd >= 0) {
        auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            const int signal = platform::takeTerminationRequest();
            if (signal == 0)
                return;
            qCInfo(lcApp) << "quit requested by signal" << signal;
            // A session that ends has nobody to ask about unsaved edits.
            m_quitWithoutAsking = true;
            on_closeApp();
        });
    }

    m_instance.start();
}

void cefApplication::primaryStart()
{
    if (!m_options.createWindow) {
        emit primaryStarted();
        return;
    }
    // The device manager and its first listing come before the window, so the
    // page finds the device table filled.
    m_devices = new devices_handler(this);
    m_devices->refreshDevices();
    // The batteries are watched natively, with or without the page: the tray's tooltip and the
    // low-battery notification.
    m_batteries = new BatteryWatch(
        *m_devices,
        [this] {
            return BatteryWatch::thresholdFromSetting(
                m_settings.value(QStringLiteral("batteryWarning")));
        },
        this);
    m_batteryNotifier = new BatteryNotifier(this);
    connect(m_batteries, &BatteryWatch::low, m_batteryNotifier, &BatteryNotifier::notifyLow);
    connect(m_batteries, &BatteryWatch::changed, this, &cefApplication::showBatteries);
    m_batteries->refresh();
    if (ClientHandler *client = ClientHandler::instance()) {
        connect(m_devices, &devices_handler::devicesChanged, client,
                &ClientHandler::sendDevicesChanged);
        connect(m_devices, &devices_handler::deviceData, client, &ClientHandler::sendOnDeviceData);
    }

    qCInfo(lcApp).noquote() << QStringLiteral("window system %1, %2 session, desktop %3")
                                   .arg(QGuiApplication::platformName(), Session::type(),
                                        Session::desktop().isEmpty() ? QStringLiteral("unknown")
                                                                     : Session::desktop());
    m_host = new ApplicationHost(m_settings, m_devices);
    m_mainWindow = new shell::kelv(m_settings, *m_host);
    if (ClientHandler *client = ClientHandler::instance())
        client->setMainWindowHandle(m_mainWindow);
    if (m_trialStart) {
        // The update check waits for the report, which records the new version.
        m_trialConnection = connect(m_mainWindow->webView(), &QWebEngineView::loadFinished, this,
                                    &cefApplication::onTrialPageLoaded);
    }
    if (m_autostart) {
        startBackgroundParts();
        m_mainWindow->startInBackground();
    } else {
        m_mainWindow->show();
        // The page's start has the GUI thread to itself (it answers the engine
        // there): the rest follows once the page has loaded, or failed to, or
        // after a while if the engine never says.
        connect(m_mainWindow->webView(), &QWebEngineView::loadFinished, this,
                &cefApplication::startBackgroundParts,
                Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
        QTimer::singleShot(kBackgroundPartsLatestMs, this, &cefApplication::startBackgroundParts);
    }
    if (!m_updateNotice.isEmpty())
        QTimer::singleShot(0, this, &cefApplication::showUpdateNotice);
    qCInfo(lcApp, "mainwindow show!");
    emit primaryStarted();
}

void cefApplication::startBackgroundParts()
{
    if (m_firmwareRecovery || !m_mainWindow)
        return;
    m_mainWindow->setupTray();
    showBatteries();
    if (!m_trialStart && (m_noticeOpen || !m_updateNotice.isEmpty())) {
        qCInfo(lcApp) << "update check waits until the roll-back notice is closed";
        m_checkAfterNotice = true;
    } else if (!m_trialStart) {
        checkForUpdates(false);
    }
    // A mouse that an interrupted firmware update left in its boot loader gets the offer
    // to finish it, now and whenever the devices change.
    m_firmwareRecovery = new FirmwareRecovery(&m_updateHost, this);
    connect(m_devices, &devices_handler::devicesChanged, m_firmwareRecovery,
            &FirmwareRecovery::checkDevices);
    QTimer::singleShot(0, m_firmwareRecovery, &FirmwareRecovery::checkDevices);
}

void cefApplication::showBatteries()
{
    if (!m_mainWindow || !m_mainWindow->tray() || !m_batteries)
        return;
    QList<BatteryLine> lines;
    for (const BatteryEntry &e : m_batteries->entries())
        lines << BatteryLine{e.name, e.level, e.state};
    const QString toolTip = batteryToolTip(lines);
    if (toolTip == m_mainWindow->tray()->toolTip())
        return;
    m_mainWindow->tray()->setToolTip(toolTip);
    qCInfo(lcApp).noquote() << "tray tooltip:"
                            << QString(toolTip).replace(QLatin1Char('\n'), QStringLiteral(" | "));
}

void cefApplication::setUpdateStart(bool trialStart, const QString &notice)
{
    m_trialStart = trialStart;
    m_updateNotice = notice;
}

void cefApplication::onTrialPageLoaded(bool ok)
{
    // Started means: the page has loaded, and the main window is shown
    // unless the start is in the tray (-autostart, as the user's login item
    // started the version this one replaces).
    if (!ok || !m_mainWindow || (!m_autostart && !m_mainWindow->isVisible()))
        return;
    disconnect(m_trialConnection);
    m_trialStart = false;
    QStringList log;
    reportStarted(m_settings, &log);
    for (const QString &line : std::as_const(log))
        qCInfo(lcApp).noquote() << line;
    checkForUpdates(false);
}

void cefApplication::showUpdateNotice()
{
    const QString notice = m_updateNotice;
    m_updateNotice.clear();
    qCInfo(lcApp).noquote() << "update rolled back:" << notice;
    const UpdateNoticeMessage message = updateNoticeMessage(notice, settingsUiLanguage());
    m_noticeOpen = true;
    Dialogs::current().message(m_mainWindow, QMessageBox::Warning, message.title, message.text,
                               QMessageBox::Ok);
    m_noticeOpen = false;
    if (std::exchange(m_checkAfterNotice, false) && !s_quitRequested)
        checkForUpdates(false);
}

void cefApplication::onInstanceCommand(const QString &command)
{
    if (command != QLatin1String("show") || !m_mainWindow)
        return;
    // A start while quitting (the pages still sending their edits, or a
    // firmware flash waited for): that start ends once it has its answer and
    // this instance ends too, so the program starts again after the shutdown
    // rather than leave the user with nothing. While a flash is waited for
    // the window still shows.
    if (s_quitRequested || m_quitDeferred) {
        if (!s_startRequestedWhileQuitting)
            qCInfo(lcApp,
                   "another start while quitting: the program starts again once it has ended");
        s_startRequestedWhileQuitting = true;
        if (s_quitRequested)
            return;
    }
    // Un-minimise and bring to the front. On X11 the running instance raises
    // itself: another process cannot hand it the focus.
    m_mainWindow->setWindowState(m_mainWindow->windowState() & ~Qt::WindowMinimized);
    m_mainWindow->show();
    m_mainWindow->raise();
    m_mainWindow->activateWindow();
    qCInfo(lcApp).noquote() << "window shown for another start; visible:"
                            << m_mainWindow->isVisible()
                            << "minimised:" << m_mainWindow->isMinimized();
}

void cefApplication::checkForUpdates(bool interactive)
{
    // A start on trial has not recorded its version yet, and a new client
    // download would clear the install state the Updater is watching: the
    // check waits for the report.
    if (m_trialStart) {
        qCInfo(lcApp, "update check deferred until this version has reported that it started");
        return;
    }
    // One checker at a time: a new check replaces the old one together with
    // any dialog it still has open.
    delete m_updateCheck;
    m_updateCheck = startUpdateCheck(&m_updateHost, this, interactive);
    connect(m_updateCheck, &UpdateCheck::closeApp, this, &cefApplication::on_closeApp);
}

DeviceTable cefApplication::UpdateHostAdapter::deviceTable() const
{
    return m_application.m_devices ? m_application.m_devices->deviceTable() : DeviceTable();
}

QWidget *cefApplication::UpdateHostAdapter::mainWindow() const
{
    return m_application.m_mainWindow;
}

void cefApplication::on_closeApp()
{
    if (m_host)
        m_host->profiles().saveModified();
    requestQuit();
}

bool cefApplication::deferQuitDuringFlash(int exitCode)
{
    if (!m_devices || !m_devices->firmwareSessionOpen())
        return false;
    if (m_quitDeferred)
        return true;
    // Ending now would leave the mouse half written in its boot loader: the
    // quit waits for the flash to end, whatever asked for it.
    m_quitDeferred = true;
    qCInfo(lcApp, "quit deferred until the firmware update has ended");
    connect(
        m_devices, &devices_handler::firmwareSessionClosed, this,
        [this, exitCode] {
            m_quitDeferred = false;
            qCInfo(lcApp, "the firmware update has ended: quitting");
            if (m_host)
                m_host->profiles().saveModified();
            requestQuit(exitCode);
        },
        Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
    tellQuitWaitsForFirmware(m_mainWindow, settingsLanguage());
    return true;
}

void cefApplication::requestQuit(int exitCode)
{
    if (s_quitRequested)
        return;
    if (s_application && s_application->deferQuitDuringFlash(exitCode))
        return;
    s_quitRequested = true;
    s_exitCode = exitCode;
    if (s_application && s_application->exitOnceEditsSent(exitCode))
        return;
    if (s_application && !s_application->mayQuitLosingEdits())
        return;
    if (QCoreApplication::instance())
        QCoreApplication::exit(exitCode);
}

bool cefApplication::mayQuitLosingEdits()
{
    if (!m_host ||
        saveBeforeQuit(m_host->profiles(), m_mainWindow, !m_quitWithoutAsking, settingsLanguage()))
        return true;
    // The program goes on; the window shows the page, which says what to do.
    s_quitRequested = false;
    s_exitCode = 0;
    if (m_mainWindow) {
        m_mainWindow->setWindowState(m_mainWindow->windowState() & ~Qt::WindowMinimized);
        m_mainWindow->show();
        m_mainWindow->raise();
    }
    return false;
}

bool cefApplication::exitOnceEditsSent(int exitCode)
{
    if (!m_mainWindow || !m_host)
        return false;
    const QList<QWebEnginePage *> pages = m_mainWindow->pages();
    if (pages.isEmpty())
        return false;
    auto *edits = new PendingEdits(this);
    connect(edits, &PendingEdits::sent, this, [this, edits, exitCode] {
        edits->deleteLater();
        if (mayQuitLosingEdits())
            QCoreApplication::exit(exitCode);
    });
    edits->send(pages);
    return true;
}

bool cefApplication::quitRequested()
{
    return s_quitRequested;
}

int cefApplication::requestedExitCode()
{
    return s_exitCode;
}

bool cefApplication::startRequestedWhileQuitting()
{
    return s_startRequestedWhileQuitting;
}

} // namespace kelv
