#include "browser/kelv_page.h"

#include "browser/client_handler.h"
#include "browser/kelv_web_view.h"
#include "browser/page_sleep.h"
#include "browser/web_profile.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QPointer>
#include <QThread>
#include <QWebChannel>
#include <QWebEngineLoadingInfo>
#include <QWebEngineNewWindowRequest>
#include <QWebEngineQuotaRequest>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineUrlScheme>
#include <utility>

static void initBrowserResources()
{
    Q_INIT_RESOURCE(browser);
}

Q_LOGGING_CATEGORY(lcPage, "kelv.browser.page")

namespace kelv {
namespace {

constexpr int ErrAborted = -3;
constexpr int ErrUnknownUrlScheme = -302;

// The schemes the browser loads itself; an address of any other scheme is
// one for another program.
bool browserLoadsScheme(const QString &scheme)
{
    static const QStringList schemes = {QStringLiteral("http"),
                                        QStringLiteral("https"),
                                        QStringLiteral("file"),
                                        QStringLiteral("data"),
                                        QStringLiteral("blob"),
                                        QStringLiteral("filesystem"),
                                        QStringLiteral("about"),
                                        QStringLiteral("javascript"),
                                        QStringLiteral("view-source"),
                                        QStringLiteral("chrome"),
                                        QStringLiteral("chrome-error"),
                                        QStringLiteral("devtools"),
                                        QStringLiteral("chrome-extension"),
                                        QStringLiteral("chrome-untrusted"),
                                        QStringLiteral("qrc"),
                                        QStringLiteral("ws"),
                                        QStringLiteral("wss")};
    return schemes.contains(scheme) ||
           !QWebEngineUrlScheme::schemeByName(scheme.toLatin1()).name().isEmpty();
}

QString readResource(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcPage) << "missing resource" << path;
        return QString();
    }
    return QString::fromUtf8(file.readAll());
}

// qwebchannel.js and the contract script in one function scope, so the page's
// global names stay its own.
const QString &contractSource()
{
    static const QString source = [] {
        initBrowserResources();
        return QStringLiteral("(function () {\n") +
               readResource(QStringLiteral(":/qtwebchannel/qwebchannel.js")) +
               QStringLiteral("\n") + readResource(QStringLiteral(":/kelv/browser/contract.js")) +
               QStringLiteral("\n})();\n");
    }();
    return source;
}

// The answer channel of one query: emitted on the page's channel on the main
// thread, and only while the page still shows a program page (a document that
// replaced it must not read answers meant for the program's page).
// The page's sleep hears of every answer (and of every query dropped without
// one), so a page with a query in flight is not put to sleep.
class PageCallback final : public QueryCallback
{
public:
    PageCallback(KelvPage *page, const QString &documentKey, int id, quint64 serial)
        : m_page(page), m_documentKey(documentKey), m_id(id), m_serial(serial)
    {
    }

    ~PageCallback() override
    {
        if (!isAnswered())
            onMainThread([page = m_page, serial = m_serial] { ended(page, serial); });
    }

    QObject *origin() const override { return m_page.data(); }

protected:
    void deliver(bool ok, int code, const QString &text) override
    {
        onMainThread(
            [page = m_page, key = m_documentKey, id = m_id, serial = m_serial, ok, code, text] {
                if (page && page->showsProgramPage())
                    emit page->bridge()->answered(key, id, ok, code, text);
                ended(page, serial);
            });
    }

private:
    template <typename Function> static void onMainThread(Function function)
    {
        QCoreApplication *app = QCoreApplication::instance();
        if (!app)
            return;
        if (QThread::currentThread() == app->thread())
            function();
        else
            QMetaObject::invokeMethod(app, function, Qt::QueuedConnection);
    }

    static void ended(const QPointer<KelvPage> &page, quint64 serial)
    {
        if (page && page->sleep())
            page->sleep()->queryEnded(serial);
    }

    QPointer<KelvPage> m_page;
    QString m_documentKey;
    int m_id;
    quint64 m_serial;
};

} // namespace

PageBridge::PageBridge(QObject *parent) : QObject(parent) {}

void PageBridge::query(const QString &documentKey, int id, const QString &request)
{
    if (m_handler)
        m_handler(documentKey, id, request);
}

QVariantList PageBridge::ready(const QString &documentKey)
{
    return m_readyHandler ? m_readyHandler(documentKey) : QVariantList();
}

KelvPage::KelvPage(KelvWebView *view)
    : QWebEnginePage(WebProfile::shared(), view), m_view(view), m_channel(new QWebChannel(this)),
      m_bridge(new PageBridge(this)), m_sleep(new PageSleep(this))
{
    QWebEngineSettings *s = settings();
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, true);
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, true);
    s->setAttribute(QWebEngineSettings::LinksIncludedInFocusChain, false);
    s->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    s->setAttribute(QWebEngineSettings::AllowGeolocationOnInsecureOrigins, true);
    // Every address of another program is put to acceptNavigationRequest,
    // which decides (with the other policies the engine drops them unseen).
    s->setUnknownUrlSchemePolicy(QWebEngineSettings::AllowAllUnknownUrlSchemes);
    setBackgroundColor(QColor::fromRgba(0xFF222529));

    QWebEngineScript contract;
    contract.setName(QStringLiteral("kelv-contract"));
    contract.setSourceCode(contractSource());
    contract.setInjectionPoint(QWebEngineScript::DocumentCreation);
    contract.setWorldId(QWebEngineScript::MainWorld);
    contract.setRunsOnSubFrames(false);
    scripts().insert(contract);

    // The user cannot resize text areas (the engine has no switch for it):
    // a style sheet of no specificity, so a page's own rule still wins.
    QWebEngineScript fixedTextAreas;
    fixedTextAreas.setName(QStringLiteral("kelv-fixed-text-areas"));
    fixedTextAreas.setSourceCode(
        QStringLiteral("(function () { try { var sheet = new CSSStyleSheet();"
                       " sheet.replaceSync(':where(textarea) { resize: none; }');"
                       " document.adoptedStyleSheets = [sheet].concat(document.adoptedStyleSheets);"
                       " } catch (e) {} })();"));
    fixedTextAreas.setInjectionPoint(QWebEngineScript::DocumentCreation);
    // The main world: no second script context per frame.
    fixedTextAreas.setWorldId(QWebEngineScript::MainWorld);
    fixedTextAreas.setRunsOnSubFrames(true);
    scripts().insert(fixedTextAreas);

    m_channel->registerObject(QStringLiteral("kelvBridge"), m_bridge);
    setWebChannel(m_channel, QWebEngineScript::MainWorld);
    m_bridge->setQueryHandler([this](const QString &key, int id, const QString &request) {
        // The channel cannot tell frames apart, but the contract script runs in
        // the main frame only and the main frame must show a program page.
        if (!showsProgramPage()) {
            qCDebug(lcPage) << "query refused from" << url();
            return;
        }
        ClientHandler *handler = ClientHandler::instance();
        if (handler)
            handler->queryReceived(m_view, request, makeCallback(key, id));
    });
    // A document that connects takes what the page held for it while it
    // slept, then what was sent since its load started.
    m_bridge->setReadyHandler([this](const QString &) {
        const QVariantList held = m_sleep ? m_sleep->takeHeld() : QVariantList();
        return showsProgramPage() ? held + m_sinceLoadStart : QVariantList();
    });

    // A new document may follow: the replay starts afresh (before any other
    // receiver of loadStarted runs, and before loadingChanged).
    connect(this, &QWebEnginePage::loadStarted, this, [this] {
        m_sinceLoadStart.clear();
        // Only the page's own loads for a missing contract count in a row.
        if (!std::exchange(m_contractReloadStarting, false))
            m_contractMissed = 0;
    });
    connect(this, &QWebEnginePage::loadingChanged, this, &KelvPage::onLoadingChanged);
    connect(this, &QWebEnginePage::featurePermissionRequested, this,
            &KelvPage::onFeaturePermission);
    connect(this, &QWebEnginePage::renderProcessTerminated, this,
            &KelvPage::onRenderProcessTerminated);
    connect(this, &QWebEnginePage::loadFinished, this, &KelvPage::checkContract);
    connect(this, &QWebEnginePage::newWindowRequested, this, &KelvPage::onNewWindowRequested);
    connect(this, &QWebEnginePage::quotaRequested, this, [](QWebEngineQuotaRequest request) {
        if (WebProfile::quotaGranted(request.requestedSize()))
            request.accept();
        else
            request.reject();
    });
}

KelvPage::~KelvPage()
{
    // The base class still emits loading signals while it is destroyed; this
    // part of the object is gone by then.
    disconnect(this, nullptr, this, nullptr);
    delete m_sleep;
    m_sleep = nullptr;
    m_view = nullptr;
}

void KelvPage::detachView()
{
    disconnect(this, nullptr, this, nullptr);
    m_view = nullptr;
}

bool KelvPage::showsProgramPage() const
{
    const ClientHandler *handler = ClientHandler::instance();
    return !m_openedByPage && handler && handler->isProgramPage(url());
}

QString KelvPage::errorPageText(const QUrl &failedUrl, const QString &errorText, int errorCode)
{
    // The address is named as the browser holds it (percent-encoded, as the
    // page's own location), not in Qt's decoded display form. It and the
    // error text are escaped: an address may carry markup, and this page is
    // shown with the failed address as its origin.
    return QStringLiteral("<html><body bgcolor=\"white\"><h2>Failed to load URL ") +
           failedUrl.toString(QUrl::FullyEncoded).toHtmlEscaped() + QStringLiteral(" with error ") +
           errorText.toHtmlEscaped() + QStringLiteral(" (") + QString::number(errorCode) +
           QStringLiteral(").</h2></body></html>");
}

QueryCallbackPtr KelvPage::makeCallback(const QString &documentKey, int id)
{
    const quint64 serial = ++m_lastQuery;
    if (m_sleep)
        m_sleep->queryStarted(serial);
    return QueryCallbackPtr(new PageCallback(this, documentKey, id, serial));
}

void KelvPage::deliverEvent(const QString &name, const QVariantList &args)
{
    if (m_sleep && m_sleep->holdEvent(name, args))
        return;
    constexpr int ReplayLimit = 256;
    if (m_sinceLoadStart.size() >= ReplayLimit)
        m_sinceLoadStart.removeFirst();
    m_sinceLoadStart.append(QVariant(QVariantList{name, QVariant(args)}));
    emit m_bridge->event(name, args);
}

void KelvPage::onLoadingChanged(const QWebEngineLoadingInfo &info)
{
    if (m_view)
        m_view->loadingStateChanged();
    if (info.status() != QWebEngineLoadingInfo::LoadFailedStatus)
        return;
    // An HTTP status of 400 or more counts as a failed load here, but the
    // server's own page arrived and is shown: only a load that brought no
    // page at all gets the error page.
    if (info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain)
        return;
    // A load cut short by the end of its renderer fails with no error at all;
    // the crash handling decides what is loaded instead. An error page here
    // would replace that load, keep the page's address and take the events
    // held for the page woken from its sleep.
    if (info.errorDomain() == QWebEngineLoadingInfo::NoErrorDomain)
        return;
    const int code = info.errorCode();
    if (code == ErrAborted)
        return;
    if (code == ErrUnknownUrlScheme && url().toString().startsWith(QLatin1String("spotify:")))
        return;
    QString text = info.errorString();
    if (text.startsWith(QLatin1String("net::")))
        text = text.mid(5);
    showErrorPage(info.url(), text, code);
}

void KelvPage::showErrorPage(const QUrl &failedUrl, const QString &errorText, int errorCode)
{
    setHtml(errorPageText(failedUrl, errorText, errorCode), failedUrl);
    emit errorPageShown(failedUrl, errorCode);
}

void KelvPage::onFeaturePermission(const QUrl &origin, QWebEnginePage::Feature feature)
{
    setFeaturePermission(origin, feature,
                         feature == QWebEnginePage::Geolocation
                             ? QWebEnginePage::PermissionGrantedByUser
                             : QWebEnginePage::PermissionDeniedByUser);
}

void KelvPage::onRenderProcessTerminated(RenderProcessTerminationStatus status, int exitCode)
{
    if (status == NormalTerminationStatus)
        return;
    qCWarning(lcPage) << "renderer ended" << status << exitCode;
    const ClientHandler *handler = ClientHandler::instance();
    if (!handler)
        return;
    // Both addresses are compared without regard to letter case; any other
    // page is replaced by the startup address.
    const QString startup = handler->startupAddress();
    const QString current = url().toString();
    if (startup.compare(QLatin1String("chrome://crash"), Qt::CaseInsensitive) == 0 ||
        current.isEmpty())
        return;
    if (!current.startsWith(startup, Qt::CaseInsensitive)) {
        load(QUrl(startup));
        return;
    }
    // The startup page itself is loaded again as it was (its screen is in its
    // address): left crashed, the window would stay blank without even its
    // title bar. Not when it crashes again soon after: a page that crashes as
    // it loads would crash for ever.
    if (m_sinceCrashReload.isValid() && m_sinceCrashReload.elapsed() < CrashAgainMs) {
        qCWarning(lcPage, "the page crashed again soon after it was loaded again: left as it is");
        if (m_sleep)
            m_sleep->leftUnusable();
        return;
    }
    m_sinceCrashReload.start();
    load(url());
}

// The engine runs the contract script in every new document, yet after a
// renderer was killed the documents of the renderer that follows have been
// seen without it, load after load: the page then could neither ask nor hear
// anything, for good. The engine still holds the page's scripts but no longer
// hands them to that renderer; given again while the document is there, they
// reach it, and the page is loaded again (a few times at most).
void KelvPage::checkContract(bool loaded)
{
    if (!loaded || !showsProgramPage())
        return;
    const QUrl checked = url();
    runJavaScript(QStringLiteral("typeof window.cefQuery === 'function'"),
                  QWebEngineScript::MainWorld,
                  [page = QPointer<KelvPage>(this), checked](const QVariant &present) {
                      if (page)
                          page->onContractChecked(checked, present);
                  });
}

void KelvPage::onContractChecked(const QUrl &checked, const QVariant &present)
{
    // No answer (the document went, or the page sleeps) tells nothing.
    if (url() != checked || present.typeId() != QMetaType::Bool)
        return;
    if (present.toBool()) {
        m_contractMissed = 0;
        return;
    }
    if (m_contractMissed >= ContractReloads) {
        qCWarning(lcPage) << "the page came without its contract again: left as it is";
        // Hidden, the page sleeps: a new document is loaded when it is needed.
        if (m_sleep)
            m_sleep->leftUnusable();
        emit contractLost();
        return;
    }
    ++m_contractMissed;
    qCWarning(lcPage) << "the page came without its contract: loaded again";
    reinstallScripts();
    m_contractReloadStarting = true;
    load(checked);
}

void KelvPage::reinstallScripts()
{
    QWebEngineScriptCollection &installed = scripts();
    const QList<QWebEngineScript> all = installed.toList();
    installed.clear();
    installed.insert(all);
}

void KelvPage::onNewWindowRequested(QWebEngineNewWindowRequest &request)
{
    // A new window opens as a popup browser of its own, as in any browser;
    // a page that is going away (no view) opens none.
    if (!m_view)
        return;
    KelvWebView *popup = KelvWebView::openPopup(m_view->window(), request.requestedGeometry());
    request.openIn(popup->page());
}

void KelvPage::javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString &message,
                                        int lineNumber, const QString &sourceID)
{
    if (level == InfoMessageLevel)
        return;
    const QString where =
        QUrl(sourceID).fileName() + QLatin1Char(':') + QString::number(lineNumber);
    if (level == ErrorMessageLevel)
        qCWarning(lcPage).noquote() << "page error:" << message << where;
    else
        qCInfo(lcPage).noquote() << "page:" << message << where;
}

bool KelvPage::acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame)
{
    if (browserLoadsScheme(url.scheme()))
        return QWebEnginePage::acceptNavigationRequest(url, type, isMainFrame);
    // An address for another program: only "spotify:" goes to the desktop's
    // handler (the engine hands an accepted one to QDesktopServices). Any
    // other fails like a load that brought no page; the engine reports it as
    // aborted, so the error page is put in place here, once the refusal is
    // through.
    if (url.scheme() == QLatin1String("spotify"))
        return true;
    if (isMainFrame) {
        QMetaObject::invokeMethod(
            this,
            [this, url] {
                showErrorPage(url, QStringLiteral("ERR_UNKNOWN_URL_SCHEME"), ErrUnknownUrlScheme);
            },
            Qt::QueuedConnection);
    }
    return false;
}

} // namespace kelv
