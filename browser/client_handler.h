#pragma once

#include "bridge/query_callback.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantList>

class QWidget;

namespace kelv {

class KelvWebView;
class RequestRouter;

// The one browser client of the process (created in main, reachable through
// instance()). It keeps the startup address, the listener (the web view of the
// window activated last), the main window (or popup) that window requests act
// on, takes every page query in (queryReceived) and sends the six page events.
class ClientHandler final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ClientHandler)

public:
    explicit ClientHandler(QObject *parent = nullptr);
    ~ClientHandler() override;

    static ClientHandler *instance();

    // The page address every web view starts with; "url" switch or the main window.
    QString startupAddress() const;
    void setStartupAddress(const QString &address);
    bool mouseCursorChangeDisabled() const;

    KelvWebView *listener() const;
    void setListener(KelvWebView *view);

    QWidget *mainWindowHandle() const;
    void setMainWindowHandle(QWidget *window);

    // The main (first) browser, or null.
    KelvWebView *browser() const;
    void browserCreated(KelvWebView *view);
    void browserClosed(KelvWebView *view);

    // Window requests are carried out by the router before a query reaches
    // the listener. Not owned; may be null (then every query goes on).
    void setRequestRouter(RequestRouter *router);

    // Query intake: every query a page of the program sends arrives here.
    void queryReceived(KelvWebView *from, const QString &request, const QueryCallbackPtr &callback);

    // The folder whose pages may use the bridge: the program folder's "view/"
    // (absolute, ending with "/"). Tests point it at their own pages.
    QString pageFolder() const;
    void setPageFolder(const QString &folder);
    // True when url is a file below the page folder.
    bool isProgramPage(const QUrl &url) const;

    // Reads the "url" and "mouse-cursor-change-disabled" switches ("--name" or
    // "-name", value after "="). The constructor applies the application's
    // arguments.
    void applySwitches(const QStringList &arguments);

    // navStateChanged of one view, sent to that view's page (its own loading
    // state changed).
    void sendNavStateChangedFor(KelvWebView *view, bool canGoBack, bool canGoForward);

public slots:
    // Event senders, callable from any thread. Events raised off the main
    // thread are handed to it first (order kept per thread). Each event goes
    // to every view showing a page of the program (the main page and the
    // popup's); events sent while no page exists are dropped.
    void sendDevicesChanged(int value);
    void sendMacroItem(const QString &a, const QString &b, const QString &c, const QString &d);
    void sendCurrentPropChanged(int propIndex, int proMode);
    void sendNavStateChanged(bool canGoBack, bool canGoForward);
    void sendOnDeviceData(const QString &hex);
    void sendOnProcessChanged(const QString &index, bool running);

signals:
    // Emitted on the main thread for every event delivered to the page.
    void eventSent(const QString &name, const QVariantList &args);

private:
    // Runs send on the main thread: at once there, queued from other threads.
    void post(const QString &name, const QVariantList &args);
    void sendEvent(const QString &name, const QVariantList &args);
    void sendEventTo(KelvWebView *view, const QString &name, const QVariantList &args);
    // False when the view shows no page of the program.
    bool deliverTo(KelvWebView *view, const QString &name, const QVariantList &args);

    QString m_startupAddress;
    bool m_cursorChangeDisabled = false;
    QPointer<KelvWebView> m_listener;
    QPointer<QWidget> m_mainWindow;
    QPointer<KelvWebView> m_browser;
    // Every view whose browser exists, the main one first: the event receivers.
    QList<QPointer<KelvWebView>> m_views;
    RequestRouter *m_router = nullptr;
    QString m_pageFolder;
};

} // namespace kelv
