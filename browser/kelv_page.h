#pragma once

#include "bridge/query_callback.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantList>
#include <QWebEnginePage>
#include <functional>

class QWebChannel;

namespace kelv {

class KelvWebView;
class PageSleep;

// The one object a page of the program sees on its web channel ("kelvBridge").
// The contract script sends every cefQuery through query() and listens to
// answered() and event(). The document key is a random text the script picks
// once per document: answers carry it back, so an answer to a query of a
// document that has since been replaced never reaches the new document.
class PageBridge final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PageBridge)

public:
    explicit PageBridge(QObject *parent = nullptr);

    // The (native) receiver of queries; set by the page.
    using QueryHandler =
        std::function<void(const QString &documentKey, int id, const QString &request)>;
    void setQueryHandler(QueryHandler handler) { m_handler = std::move(handler); }
    // The events a document that has just connected missed; see ready().
    using ReadyHandler = std::function<QVariantList(const QString &documentKey)>;
    void setReadyHandler(ReadyHandler handler) { m_readyHandler = std::move(handler); }

    // QObject::event(QEvent *) stays reachable next to the event() signal.
    using QObject::event;

public slots:
    void query(const QString &documentKey, int id, const QString &request);
    // Called by a document once it listens to event(): returns the events
    // sent since its page started loading, as [name, args] pairs. Until the
    // answer arrives the document ignores event() (the answer comes after
    // every event sent before it), so nothing is lost and nothing doubled.
    QVariantList ready(const QString &documentKey);

signals:
    void answered(const QString &documentKey, int id, bool ok, int code, const QString &text);
    void event(const QString &name, const QVariantList &args);

private:
    QueryHandler m_handler;
    ReadyHandler m_readyHandler;
};

// The page of a KelvWebView: the shared profile, the program's browser
// settings, the contract script, the web channel with the bridge object, and
// the browser decisions (geolocation allowed, quota up to 20 MiB, error page
// text, renderer-crash recovery).
class KelvPage final : public QWebEnginePage
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(KelvPage)

public:
    // The startup page that crashed is loaded again unless its renderer
    // crashed this soon after the last such reload.
    static constexpr qint64 CrashAgainMs = 30000;
    // A program page the engine loaded without the contract script gets its
    // scripts again and is loaded again, at most this many times in a row.
    static constexpr int ContractReloads = 2;

    explicit KelvPage(KelvWebView *view);
    ~KelvPage() override;

    KelvWebView *view() const { return m_view; }
    // Called by the view as it goes: from now on the page reports nothing to
    // it (the page is deleted right after).
    void detachView();
    PageBridge *bridge() const { return m_bridge; }

    // True while the main frame shows a page of the program (a file under the
    // program's view/ folder); only then do queries and events pass.
    bool showsProgramPage() const;

    // The page of a window another page opened: never answered, whatever it
    // shows, because its opener keeps a hold on it and may be a page the
    // bridge does not answer.
    void setOpenedByPage() { m_openedByPage = true; }

    // The text of the page shown for a failed load.
    static QString errorPageText(const QUrl &failedUrl, const QString &errorText, int errorCode);

    // A callback that answers one query of this page's current document.
    QueryCallbackPtr makeCallback(const QString &documentKey, int id);

    // Sends one event to the document (main thread); while the page sleeps
    // the event is held and the page woken to take it.
    void deliverEvent(const QString &name, const QVariantList &args);

    // When the page sleeps while it is hidden (off unless switched on).
    PageSleep *sleep() const { return m_sleep; }

signals:
    // Every query the page's document sent and the origin rule let through.
    void queryArrived(const QString &request, const kelv::QueryCallbackPtr &callback);
    // Emitted after the error page for a failed load was put in place.
    void errorPageShown(const QUrl &failedUrl, int errorCode);
    // The page of the program came without its contract again after being
    // loaded again ContractReloads times: its document can neither ask nor
    // hear. Only a new page (a window opened again) or a new document after
    // a sleep can help.
    void contractLost();

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;
    // The page's warnings and errors go to the program's log: the page shows
    // the user a sentence and logs the native answer behind it for support.
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString &message,
                                  int lineNumber, const QString &sourceID) override;

private:
    void onLoadingChanged(const QWebEngineLoadingInfo &info);
    // Shows the error page in place of a load that brought no page.
    void showErrorPage(const QUrl &failedUrl, const QString &errorText, int errorCode);
    void onFeaturePermission(const QUrl &origin, QWebEnginePage::Feature feature);
    void onRenderProcessTerminated(RenderProcessTerminationStatus status, int exitCode);
    // Asks the loaded document whether it has the contract, and loads it
    // again when it has not.
    void checkContract(bool loaded);
    void onContractChecked(const QUrl &checked, const QVariant &present);
    // Gives the page's scripts to the engine again, so that they reach the
    // renderer that runs now.
    void reinstallScripts();
    void onNewWindowRequested(QWebEngineNewWindowRequest &request);

    KelvWebView *m_view;
    QWebChannel *m_channel;
    PageBridge *m_bridge;
    PageSleep *m_sleep;
    quint64 m_lastQuery = 0;
    bool m_openedByPage = false;
    // Since the startup page was last loaded again after its renderer crashed.
    QElapsedTimer m_sinceCrashReload;
    // Loads in a row that came without the contract, and whether the load
    // starting now is the page's own for that.
    int m_contractMissed = 0;
    bool m_contractReloadStarting = false;
    // Events sent since the main frame last started loading (bounded): the
    // replay for a document that connects after them.
    QVariantList m_sinceLoadStart;
};

} // namespace kelv
