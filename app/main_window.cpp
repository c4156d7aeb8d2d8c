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

void kelv::restartProcessMoniter()
{
    m_host.restartProcessMonitor();
}

} // namespace shell
} // namespace kelv
