#include "app/main_window.h"

#include "app/app_log.h"
#include "app/application_host.h"
#include "app/pop_widget.h"
#include "app/window_geometry.h"
#include "app/window_title.h"
#include "bridge/request_router.h"
#include "browser/client_handler.h"
#include "browser/kelv_page.h"
#include "browser/kelv_web_view.h"
#include "browser/page_sleep.h"
#include "common/app_paths.h"
#include "common/dialogs.h"
#include "common/ui_texts.h"
#include "desktop/macro_recorder.h"
#include "desktop/qxt_global_shortcut.h"
#include "desktop/system_tray.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>
#include <QKeySequence>
#include <QResizeEvent>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <climits>

namespace kelv {
namespace shell {

namespace {
const QString ShowConfKey = QStringLiteral("showConf");
const QString TestToolKey = QStringLiteral("testTool");
// Set in conf.xml once the user was told that closing minimises.
const QString TrayNoticeKey = QStringLiteral("trayNoticeShown");
// How often the tray's presence is checked (a panel may quit or restart).
constexpr int kTrayWatchMs = 3000;
// How long a closed popup waits at most for its page to send its last changes.
constexpr int kPopupEndLimitMs = 3000;
// The largest side a window may open with: wider than any one screen. The page
// is drawn into a buffer of the window's size; a far larger value (a typo in a
// hand-edited conf.xml) takes gigabytes, or ends the program at every start.
constexpr int kMaxClientSide = 8192;
} // namespace

QSize kelv::clientSize(const ClientSettings::Map &settings)
{
    const QSize fallback(800, 600);
    if (!settings.contains(QStringLiteral("clientSize")))
        return fallback;
    const QStringList parts = settings.value(QStringLiteral("clientSize")).split(QLatin1Char(','));
    if (parts.size() < 2)
        return fallback;
    bool widthOk = false;
    bool heightOk = false;
    const int width = parts.at(0).trimmed().toInt(&widthOk);
    const int height = parts.at(1).trimmed().toInt(&heightOk);
    // A window of no size could never be seen or enlarged again (the size is
    // also its minimum size), nor one far beyond the screens be made smaller:
    // such a value counts as malformed.
    if (!widthOk || !heightOk || width <= 0 || height <= 0 || width > kMaxClientSide ||
        height > kMaxClientSide)
        return fallback;
    return QSize(width, height);
}

QUrl kelv::pageAddressFor(const QString &applicationFolder)
{
    return QUrl::fromLocalFile(applicationFolder + QStringLiteral("/view/index.html"));
}

kelv::kelv(ClientSettings &settings, ApplicationHost &host, QWidget *parent)
    : QWidget(parent), m_appSettings(settings), m_host(host),
      m_trayAvailability([] { return QSystemTrayIcon::isSystemTrayAvailable(); })
{
    // 1. Base set-up; size and title are replaced below.
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("kelvClass"));
    resize(600, 400);
    setWindowTitle(QCoreApplication::translate("kelvClass", "kelv"));

    // 2.-3. Size from the settings.
    m_settings = settings.values();
    const QSize size = clientSize(m_settings);
    resize(size);

    // 4.-5. A frameless window with the program's title (its icon comes with
    // the tray: reading the first image costs the start about 2 ms).
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint);
    setWindowTitle(QString::fromUtf16(kMainWindowTitle));

    // The request path: page queries reach the host's router (window
    // requests at once, the rest through each view's jsMessage).
    m_host.setWindow(this);
    ClientHandler *client = ClientHandler::instance();
    if (client)
        client->setRequestRouter(m_host.router());

    // 6. The web view fills the window; the window never gets smaller.
    m_webView = new KelvWebView(this);
    m_webView->resize(size);
    setMinimumSize(size);
    setMouseTracking(true);
    connect(m_webView, &QWebEngineView::loadFinished, this, [](bool ok) {
        qCInfo(lcApp).noquote() << (ok ? "page loaded" : "page failed to load");
    });

    // 7. The page of the program folder.
    m_pageAddress = pageAddressFor(applicationFolder());
    if (client)
        client->setStartupAddress(m_pageAddress.toString());
    m_webView->setAddress(m_pageAddress);
    m_webView->showPage();
    // While the window is hidden (in the tray) the page sleeps; events wake it.
    PageSleep *sleep = m_webView->kelvPage()->sleep();
    sleep->setEnabled(true);
    // Not while a macro is recorded: the steps received so far live only in
    // the page, and the recording goes on behind a hidden window until the
    // page stops it.
    MacroRecorder *recorder = m_host.recorder();
    const auto followRecorder = [sleep, recorder] { sleep->setKeptAwake(recorder->isRecording()); };
    connect(recorder, &MacroRecorder::recordingStarted, sleep, followRecorder);
    connect(recorder, &MacroRecorder::recordingFailed, sleep, followRecorder);
    connect(recorder, &MacroRecorder::recordingStopped, sleep, followRecorder);

    // 8. Page requests.
    connectToRouter(m_webView, m_host.router());

    // 9.-10. The two system-wide hot keys.
    m_showConf = new QxtGlobalShortcut(this);
    m_testTool = new QxtGlobalShortcut(this);
    for (const QString &key : {ShowConfKey, TestToolKey}) {
        if (m_settings.contains(key))
            registerHotKey(key, m_settings.value(key));
    }
    connect(m_showConf, &QxtGlobalShortcut::activated, this, &kelv::showMouseConf);
    connect(m_testTool, &QxtGlobalShortcut::activated, this, &kelv::showDebug);
    // A desktop portal may decline a key after it was requested.
    connect(m_showConf, &QxtGlobalShortcut::registrationFailed, this,
            [this] { m_showConfRegistered = false; });
    connect(m_testTool, &QxtGlobalShortcut::registrationFailed, this,
            [this] { m_testToolRegistered = false; });

    // 11. Activation makes this window's view the listener.
    installEventFilter(this);

    // 12. The bound-program monitor.
    restartProcessMoniter();
}

kelv::~kelv()
{
    if (ClientHandler *client = ClientHandler::instance())
        client->setRequestRouter(nullptr);
    delete m_tray;
    m_tray = nullptr;
    delete m_showConf;
    m_showConf = nullptr;
    delete m_testTool;
    m_testTool = nullptr;
    delete m_popup;
    delete m_webView;
    m_webView = nullptr;
}

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

ProfileStore &kelv::profiles() const
{
    return m_host.profiles();
}

void kelv::saveModifiedProfiles()
{
    m_host.profiles().saveModified();
}

// Slots

void kelv::quitApp()
{
    hide();
    saveModifiedProfiles();
}

void kelv::reload_currentPage()
{
    m_webView->reload();
}

void kelv::onJsMessage(const QString &request, const QueryCallbackPtr &callback)
{
    m_host.router()->onJsMessage(request, callback);
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

void kelv::onCurrentPropChanged(int propIndex, int proMode)
{
    if (ClientHandler *client = ClientHandler::instance())
        client->sendCurrentPropChanged(propIndex, proMode);
}

void kelv::onshowWidget()
{
    // "Open" brings back a minimised window too (the page's minimise button
    // leaves it in the task bar), keeping it maximised when it was.
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
}

void kelv::oncloseApp()
{
    m_host.closeApp(); // saves the modified profiles, then the quit request
}

void kelv::showMouseConf()
{
    if (m_popup && m_popup->isVisible()) {
        if (ClientHandler *client = ClientHandler::instance()) {
            client->setListener(m_webView);
            client->setMainWindowHandle(this);
        }
        endPopup();
        return;
    }
    openPopup(false);
}

// Shows the popup, made anew unless a hidden one is still there. again: it is
// opened again because its page lost its contract.
void kelv::openPopup(bool again)
{
    if (!m_popup) {
        m_popup = new PopWidget(m_pageAddress, this);
        m_popupSavedGeometry = QRect();
        m_popupOpenedAgain = again;
        // Page requests of the popup's page are served like the main page's,
        // so the popup is a working copy of the page and not a dead end.
        connectToRouter(m_popup->webView(), m_host.router());
        connect(m_popup->webView()->kelvPage(), &KelvPage::contractLost, m_popup,
                [this, popup = m_popup.data()] { popupLostContract(popup); });
    }
    if (ClientHandler *client = ClientHandler::instance()) {
        client->setListener(m_popup->webView());
        client->setMainWindowHandle(m_popup);
    }
    m_popup->show();
}

// After a renderer was killed the engine has been seen to leave the page
// contract out of every document of the renderer that followed, also in a
// window opened later: loading the page again did not help. The popup is
// opened again, with a page of its own that starts afresh, once: a popup
// whose page comes without it again stays as it is.
void kelv::popupLostContract(PopWidget *popup)
{
    if (popup != m_popup || !popup->isVisible())
        return;
    if (m_popupOpenedAgain) {
        qCWarning(lcApp, "the popup's page came without its contract again: left as it is");
        return;
    }
    qCWarning(lcApp, "the popup's page came without its contract: the popup is opened again");
    // Without the contract its page can neither send nor hold an edit.
    m_popup = nullptr;
    popup->hide();
    popup->deleteLater();
    openPopup(true);
}

// Hidden, the popup's page saves; a change it made just before waits a moment
// to be sent. The popup goes once its page is quiet, or after a time limit
// whatever the page does.
void kelv::endPopup()
{
    PopWidget *popup = m_popup;
    m_popup = nullptr;
    popup->hide();
    PageSleep *pageActivity = popup->webView()->kelvPage()->sleep();
    connect(pageActivity, &PageSleep::readyToEnd, popup, &QObject::deleteLater);
    QTimer::singleShot(kPopupEndLimitMs, popup, &QObject::deleteLater);
    // The popup's page used memory of this process too: with the main page
    // asleep it is given back once the popup is gone, not at the main
    // page's next sleep.
    PageSleep *mainSleep = m_webView->kelvPage()->sleep();
    connect(popup, &QObject::destroyed, mainSleep, &PageSleep::releaseMemorySoon);
    pageActivity->endWhenQuiet();
}

QList<QWebEnginePage *> kelv::pages() const
{
    QList<QWebEnginePage *> all;
    if (m_webView)
        all.append(m_webView->page());
    for (const PopWidget *popup : findChildren<PopWidget *>())
        all.append(popup->webView()->page());
    return all;
}

void kelv::showDebug() {}

// Window events

void kelv::closeEvent(QCloseEvent *event)
{
    event->ignore();
    // Where there is no tray to go to, the close button's setting holds for
    // the window system's close too: minimised, or quit after saving.
    if (!trayAvailable() &&
        m_appSettings.value(QStringLiteral("closeFunc")) == QLatin1String("closeapp")) {
        oncloseApp();
        return;
    }
    closeToBackground();
}

void kelv::resizeEvent(QResizeEvent *event)
{
    if (m_webView)
        m_webView->resize(event->size());
    QWidget::resizeEvent(event);
}

bool kelv::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == this && event->type() == QEvent::WindowActivate) {
        if (ClientHandler *client = ClientHandler::instance()) {
            client->setListener(m_webView);
            client->setMainWindowHandle(this);
        }
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

// Hot keys and window operations

QxtGlobalShortcut *kelv::hotKey(const QString &key) const
{
    if (key == ShowConfKey)
        return m_showConf;
    if (key == TestToolKey)
        return m_testTool;
    return nullptr;
}

bool &kelv::hotKeyFlag(const QString &key)
{
    return key == ShowConfKey ? m_showConfRegistered : m_testToolRegistered;
}

bool kelv::registerHotKey(const QString &key, const QString &sequence)
{
    QxtGlobalShortcut *shortcut = hotKey(key);
    if (!shortcut)
        return false;
    const QKeySequence keys(sequence, QKeySequence::NativeText);
    if (!shortcut->shortcut().isEmpty())
        shortcut->unsetShortcut();
    const bool registered = shortcut->setShortcut(keys);
    hotKeyFlag(key) = registered;
    return registered;
}

bool kelv::hotKeyRegistered(const QString &key) const
{
    if (key == ShowConfKey)
        return m_showConfRegistered;
    if (key == TestToolKey)
        return m_testToolRegistered;
    return false;
}

void kelv::hideWindow()
{
    // The close button of the popup's own page closes the popup (the window
    // that was active last); hiding the main window behind it instead would
    // leave the popup open on its own.
    if (m_popup && m_popup->isVisible() && requestWindow() == m_popup) {
        saveModifiedProfiles();
        showMouseConf();
        return;
    }
    closeToBackground();
}

// The window that the move and minimise requests act on: the top-level
// window of the main window or of the popup, whichever was active last.
QWidget *kelv::requestWindow() const
{
    ClientHandler *client = ClientHandler::instance();
    QWidget *handle = client ? client->mainWindowHandle() : nullptr;
    return handle ? handle->window() : const_cast<kelv *>(this);
}

namespace {

// The available area (task bars excluded) of the screen that holds point;
// of the fallback screen when no screen does (a point between or beyond the
// screens).
QRect availableAreaAt(qint64 x, qint64 y, QScreen *fallback)
{
    const QPoint point(int(std::clamp<qint64>(x, INT_MIN, INT_MAX)),
                       int(std::clamp<qint64>(y, INT_MIN, INT_MAX)));
    QScreen *screen = QGuiApplication::screenAt(point);
    if (!screen)
        screen = fallback ? fallback : QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

// Puts a window at x, y with the given size, kept within the available area
// of the screen under the new rectangle's centre and at least at its minimum
// size (see fitWindowGeometry).
void placeWindow(QWidget *window, qint64 x, qint64 y, qint64 width, qint64 height)
{
    const QRect area = availableAreaAt(x + width / 2, y + height / 2, window->screen());
    if (area.isEmpty()) {
        qCInfo(lcApp) << "no screen to place the window on; request ignored";
        return;
    }
    window->setGeometry(fitWindowGeometry(x, y, width, height, area, window->minimumSize()));
}

} // namespace

void kelv::moveWindow(int dx, int dy, int width, int height)
{
    QWidget *window = requestWindow();
    const QRect frame = window->geometry();
    if (window->isMaximized() || window->isMinimized()) {
        // Back to the normal state at the same place with the new size.
        window->showNormal();
        placeWindow(window, frame.left(), frame.top(), width, height);
        return;
    }
    placeWindow(window, qint64(frame.left()) + dx, qint64(frame.top()) + dy, width, height);
}

void kelv::toggleMinimised()
{
    QWidget *window = requestWindow();
    if (window->isMinimized())
        window->showNormal();
    else
        window->showMinimized();
}

// Maximise and restore act, like move and minimise, on the window active last:
// the popup's page maximises the popup, not the main window behind it. Each
// window keeps its own geometry to go back to.
QRect &kelv::savedGeometryOf(QWidget *window)
{
    return window == m_popup.data() ? m_popupSavedGeometry : m_savedGeometry;
}

void kelv::maximiseWindow()
{
    QWidget *window = requestWindow();
    savedGeometryOf(window) = window->geometry();
    // The whole available area of the screen the window is on (it used to be
    // the primary screen always), unless that is smaller than the window's
    // minimum size.
    const QList<QScreen *> screens = QGuiApplication::screens();
    QList<QRect> geometries;
    for (const QScreen *screen : screens)
        geometries << screen->geometry();
    const qsizetype on = screenOfWindow(window->geometry(), geometries);
    QScreen *screen = on >= 0 ? screens.at(on) : window->screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (screen) {
        const QRect area = screen->availableGeometry();
        window->setGeometry(fitWindowGeometry(area.x(), area.y(), area.width(), area.height(), area,
                                              window->minimumSize()));
    }
}

void kelv::restoreWindow()
{
    QWidget *window = requestWindow();
    const QRect saved = savedGeometryOf(window);
    // Before any maximise there is no geometry to go back to; shrinking the
    // window to nothing would lose it.
    if (saved.isNull())
        return;
    // The screens may have changed since: the kept geometry is fitted to
    // them like a move.
    placeWindow(window, saved.x(), saved.y(), saved.width(), saved.height());
}

void kelv::restartProcessMoniter()
{
    m_host.restartProcessMonitor();
}

} // namespace shell
} // namespace kelv
