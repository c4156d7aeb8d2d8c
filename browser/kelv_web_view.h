#pragma once

#include "bridge/query_callback.h"

#include <QEvent>
#include <QUrl>
#include <QWebEngineView>

namespace kelv {

class KelvPage;
class RequestRouter;

// One page request with its answer channel, on its way from the query intake
// to the Qt main thread. Its event type is registered once per process.
class MessageEvent final : public QEvent
{
public:
    MessageEvent(const QString &request, const QueryCallbackPtr &callback);

    static QEvent::Type eventType();

    QString request() const { return m_request; }
    QueryCallbackPtr callback() const { return m_callback; }

private:
    QString m_request;
    QueryCallbackPtr m_callback;
};

// The widget that shows the page. It creates its page once it has a positive
// size and an address, and carries page queries to the Qt main thread: the
// browser client hands it each query (deliverQuery), it posts a MessageEvent
// to itself and emits jsMessage from customEvent, so queries keep their order.
class KelvWebView final : public QWebEngineView
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(KelvWebView)

public:
    enum BrowserState { NoBrowser = 0, CreationRequested = 1, Created = 2 };

    explicit KelvWebView(QWidget *parent = nullptr);
    ~KelvWebView() override;

    BrowserState browserState() const;

    void setAddress(const QUrl &address);
    QUrl address() const;

    // How an owner shows a page: state 0 creates the browser with the current
    // size, 1 marks a pending load, 2 loads the address.
    void showPage();
    // Loads the address; false when it is empty or there is no browser yet.
    bool loadAddress();

    // Called by the browser client for every page query that is not a window
    // request: posts it to this widget (high priority) for jsMessage.
    void deliverQuery(const QString &request, const QueryCallbackPtr &callback);

    // This view's page (never null).
    KelvPage *kelvPage() const;

    // A popup browser for a page that opened a new window (window.open, a
    // link with a target): a top-level window of its own, owned by the
    // opener's window, whose page takes the new window's contents. It is
    // neither the main browser nor a listener; its page has the program's
    // browser decisions but no bridge (KelvPage::setOpenedByPage). Closing
    // it (or the page's window.close()) deletes it.
    static KelvWebView *openPopup(QWidget *openerWindow, const QRect &requestedGeometry);

    // Called by the page after every loading-state change: sends the page
    // its navigation state ("navStateChanged").
    void loadingStateChanged();

signals:
    void jsMessage(const QString &request, const kelv::QueryCallbackPtr &callback);
    // The page finished loading (ok = false on an error page).
    void pageLoaded(bool ok);

public slots:
    void back();
    void forward();
    void reload();

protected:
    void customEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void createBrowser(const QSize &size);

    struct Private;
    Private *d;
};

// Wires the view's page requests (jsMessage) straight to the router's
// onJsMessage. Every view that shows the page is wired this way: the main
// window's, the popup's and those of the tests.
void connectToRouter(KelvWebView *view, RequestRouter *router);

} // namespace kelv
