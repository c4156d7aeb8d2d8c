#include "browser/client_handler.h"

#include "bridge/request_router.h"
#include "browser/kelv_page.h"
#include "browser/kelv_web_view.h"
#include "common/app_paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QThread>

Q_LOGGING_CATEGORY(lcClient, "kelv.browser.client")

namespace kelv {
namespace {

ClientHandler *g_instance = nullptr;

QString withSlash(const QString &folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

} // namespace

ClientHandler::ClientHandler(QObject *parent)
    : QObject(parent), m_startupAddress(QStringLiteral("about:blank"))
{
    if (!g_instance)
        g_instance = this;
    if (QCoreApplication::instance())
        applySwitches(QCoreApplication::arguments());
}

ClientHandler::~ClientHandler()
{
    if (g_instance == this)
        g_instance = nullptr;
}

ClientHandler *ClientHandler::instance()
{
    return g_instance;
}

void ClientHandler::applySwitches(const QStringList &arguments)
{
    for (const QString &argument : arguments) {
        QString name = argument;
        if (name.startsWith(QLatin1String("--")))
            name = name.mid(2);
        else if (name.startsWith(QLatin1Char('-')))
            name = name.mid(1);
        else
            continue;
        const qsizetype eq = name.indexOf(QLatin1Char('='));
        const QString key = eq < 0 ? name : name.left(eq);
        if (key == QLatin1String("url") && eq >= 0)
            m_startupAddress = name.mid(eq + 1);
        else if (key == QLatin1String("mouse-cursor-change-disabled"))
            m_cursorChangeDisabled = true;
    }
}

QString ClientHandler::startupAddress() const
{
    return m_startupAddress;
}

void ClientHandler::setStartupAddress(const QString &address)
{
    m_startupAddress = address;
}

bool ClientHandler::mouseCursorChangeDisabled() const
{
    return m_cursorChangeDisabled;
}

KelvWebView *ClientHandler::listener() const
{
    return m_listener;
}

void ClientHandler::setListener(KelvWebView *view)
{
    m_listener = view;
}

QWidget *ClientHandler::mainWindowHandle() const
{
    return m_mainWindow;
}

void ClientHandler::setMainWindowHandle(QWidget *window)
{
    m_mainWindow = window;
}

KelvWebView *ClientHandler::browser() const
{
    return m_browser;
}

void ClientHandler::browserCreated(KelvWebView *view)
{
    // The first browser stays the main one; a later one (the popup's) does
    // not replace it.
    if (!m_browser)
        m_browser = view;
    if (view && !m_views.contains(view))
        m_views.append(view);
}

void ClientHandler::browserClosed(KelvWebView *view)
{
    if (m_browser == view)
        m_browser = nullptr;
    m_views.removeAll(view);
}

void ClientHandler::setRequestRouter(RequestRouter *router)
{
    m_router = router;
}

QString ClientHandler::pageFolder() const
{
    if (!m_pageFolder.isEmpty())
        return m_pageFolder;
    return withSlash(applicationFolder()) + QStringLiteral("view/");
}

void ClientHandler::setPageFolder(const QString &folder)
{
    m_pageFolder = folder.isEmpty() ? QString() : withSlash(QDir::cleanPath(folder));
}

bool ClientHandler::isProgramPage(const QUrl &url) const
{
    if (!url.isValid() || !url.isLocalFile() || !url.host().isEmpty())
        return false;
    const QString path = QDir::cleanPath(url.toLocalFile());
    return path.startsWith(pageFolder());
}

void ClientHandler::queryReceived(KelvWebView *from, const QString &request,
                                  const QueryCallbackPtr &callback)
{
    Q_UNUSED(from)
    if (m_router && m_router->takeWindowRequest(request, callback))
        return;
    // Everything else goes to the web view of the window activated last; with
    // none the request is dropped without an answer.
    if (KelvWebView *view = m_listener)
        view->deliverQuery(request, callback);
    else
        qCDebug(lcClient) << "no listener; request dropped";
}

void ClientHandler::sendDevicesChanged(int value)
{
    post(QStringLiteral("devicesChanged"), {value});
}

void ClientHandler::sendMacroItem(const QString &a, const QString &b, const QString &c,
                                  const QString &d)
{
    post(QStringLiteral("macroItem"), {a, b, c, d});
}

void ClientHandler::sendCurrentPropChanged(int propIndex, int proMode)
{
    post(QStringLiteral("currentPropChanged"), {propIndex, proMode});
}

void ClientHandler::sendNavStateChanged(bool canGoBack, bool canGoForward)
{
    post(QStringLiteral("navStateChanged"), {canGoBack, canGoForward});
}

void ClientHandler::sendOnDeviceData(const QString &hex)
{
    post(QStringLiteral("onDeviceData"), {hex});
}

void ClientHandler::sendOnProcessChanged(const QString &index, bool running)
{
    post(QStringLiteral("onProcessChanged"), {index, running});
}

void ClientHandler::sendNavStateChangedFor(KelvWebView *view, bool canGoBack, bool canGoForward)
{
    sendEventTo(view, QStringLiteral("navStateChanged"), {canGoBack, canGoForward});
}

void ClientHandler::post(const QString &name, const QVariantList &args)
{
    if (QThread::currentThread() == thread()) {
        sendEvent(name, args);
        return;
    }
    // Queued calls from one thread run in the order they were made.
    QMetaObject::invokeMethod(
        this, [this, name, args] { sendEvent(name, args); }, Qt::QueuedConnection);
}

void ClientHandler::sendEvent(const QString &name, const QVariantList &args)
{
    // Every page of the program hears every event: the main page always, the
    // popup's page while it is open. A page that missed events while another
    // window was active would show stale devices, data and macros.
    m_views.removeAll(nullptr);
    bool delivered = false;
    const QList<QPointer<KelvWebView>> views = m_views;
    for (KelvWebView *view : views)
        delivered = deliverTo(view, name, args) || delivered;
    if (delivered)
        emit eventSent(name, args);
}

void ClientHandler::sendEventTo(KelvWebView *view, const QString &name, const QVariantList &args)
{
    if (deliverTo(view, name, args))
        emit eventSent(name, args);
}

bool ClientHandler::deliverTo(KelvWebView *view, const QString &name, const QVariantList &args)
{
    if (!view || view->browserState() != KelvWebView::Created)
        return false;
    KelvPage *page = view->kelvPage();
    if (!page || !page->showsProgramPage())
        return false;
    page->deliverEvent(name, args);
    return true;
}

} // namespace kelv
