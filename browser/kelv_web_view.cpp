#include "browser/kelv_web_view.h"

#include "bridge/request_router.h"
#include "browser/client_handler.h"
#include "browser/kelv_page.h"

#include <QChildEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QResizeEvent>
#include <QWebEngineHistory>

namespace kelv {
namespace {
const QEvent::Type g_messageEventType = QEvent::Type(QEvent::registerEventType());
} // namespace

MessageEvent::MessageEvent(const QString &request, const QueryCallbackPtr &callback)
    : QEvent(g_messageEventType), m_request(request), m_callback(callback)
{
}

QEvent::Type MessageEvent::eventType()
{
    return g_messageEventType;
}

struct KelvWebView::Private
{
    BrowserState state = NoBrowser;
    QUrl address;
    KelvPage *page = nullptr;
    bool loadPending = false;
    bool resettingCursor = false;
};

KelvWebView::KelvWebView(QWidget *parent) : QWebEngineView(parent), d(new Private)
{
    qRegisterMetaType<kelv::QueryCallbackPtr>();
    // The page exists from the start (so nothing ever gets a default page of
    // another profile); it loads once the view has a size (createBrowser).
    d->page = new KelvPage(this);
    setPage(d->page);
    setContextMenuPolicy(Qt::NoContextMenu);
    ClientHandler *client = ClientHandler::instance();
    if (client && client->mouseCursorChangeDisabled())
        QCoreApplication::instance()->installEventFilter(this);
}

KelvWebView::~KelvWebView()
{
    if (ClientHandler *client = ClientHandler::instance())
        client->browserClosed(this);
    // The page goes before this view's data: while it is torn down (a load
    // may still be running) it reports loading changes, which must not reach
    // a view that is half gone.
    KelvPage *page = d->page;
    d->page = nullptr;
    page->detachView();
    delete page;
    delete d;
}

KelvWebView::BrowserState KelvWebView::browserState() const
{
    return d->state;
}

void KelvWebView::setAddress(const QUrl &address)
{
    d->address = address;
}

QUrl KelvWebView::address() const
{
    return d->address;
}

KelvPage *KelvWebView::kelvPage() const
{
    return d->page;
}

void KelvWebView::showPage()
{
    switch (d->state) {
    case NoBrowser:
        createBrowser(size());
        break;
    case CreationRequested:
        d->loadPending = true;
        break;
    case Created:
        loadAddress();
        break;
    }
}

bool KelvWebView::loadAddress()
{
    if (d->address.isEmpty() || d->state != Created)
        return false;
    d->page->load(d->address);
    return true;
}

void KelvWebView::createBrowser(const QSize &size)
{
    if (d->state != NoBrowser || size.width() <= 0 || size.height() <= 0)
        return;
    ClientHandler *client = ClientHandler::instance();
    if (client)
        client->setListener(this);
    d->state = CreationRequested;
    if (client)
        client->browserCreated(this);
    d->state = Created;
    const QUrl start = d->address.isEmpty() ? QUrl(QStringLiteral("about:blank")) : d->address;
    d->loadPending = false;
    d->page->load(start);
}

KelvWebView *KelvWebView::openPopup(QWidget *openerWindow, const QRect &requestedGeometry)
{
    auto *popup = new KelvWebView(openerWindow);
    popup->setWindowFlag(Qt::Window);
    popup->setAttribute(Qt::WA_DeleteOnClose);
    // The page comes with the new window: nothing is created or loaded here.
    popup->d->state = Created;
    popup->d->page->setOpenedByPage();
    // The size and place the page asked for (window.open's features), else
    // the opener's size where the window manager puts it.
    popup->resize(!requestedGeometry.isEmpty()
                      ? requestedGeometry.size()
                      : (openerWindow ? openerWindow->size() : QSize(800, 600)));
    if (!requestedGeometry.topLeft().isNull())
        popup->move(requestedGeometry.topLeft());
    connect(popup->d->page, &QWebEnginePage::titleChanged, popup, &QWidget::setWindowTitle);
    connect(popup->d->page, &QWebEnginePage::windowCloseRequested, popup, &QWidget::close);
    popup->show();
    popup->activateWindow();
    popup->setFocus();
    return popup;
}

void KelvWebView::deliverQuery(const QString &request, const QueryCallbackPtr &callback)
{
    QCoreApplication::postEvent(this, new MessageEvent(request, callback), Qt::HighEventPriority);
}

void KelvWebView::loadingStateChanged()
{
    // A page asleep has no document to tell: the one woken later hears of
    // its own load. (The end of a load that its renderer's end cut short
    // comes after the page was put to sleep, and would wake it at once.)
    if (!d->page || d->page->lifecycleState() == QWebEnginePage::LifecycleState::Discarded)
        return;
    if (ClientHandler *client = ClientHandler::instance()) {
        const QWebEngineHistory *h = d->page->history();
        client->sendNavStateChangedFor(this, h->canGoBack(), h->canGoForward());
    }
}

void KelvWebView::back()
{
    if (d->state == Created)
        QWebEngineView::back();
}

void KelvWebView::forward()
{
    if (d->state == Created)
        QWebEngineView::forward();
}

void KelvWebView::reload()
{
    if (d->state == Created)
        QWebEngineView::reload();
}

void KelvWebView::customEvent(QEvent *event)
{
    if (event->type() == MessageEvent::eventType()) {
        auto *message = static_cast<MessageEvent *>(event);
        emit jsMessage(message->request(), message->callback());
        return;
    }
    QWebEngineView::customEvent(event);
}

void KelvWebView::showEvent(QShowEvent *event)
{
    QWebEngineView::showEvent(event);
    createBrowser(size());
}

void KelvWebView::resizeEvent(QResizeEvent *event)
{
    QWebEngineView::resizeEvent(event);
    if (d->state == NoBrowser)
        createBrowser(event->size());
}

void KelvWebView::closeEvent(QCloseEvent *event)
{
    if (d->state == Created) {
        d->page->triggerAction(QWebEnginePage::Stop);
        if (ClientHandler *client = ClientHandler::instance())
            client->browserClosed(this);
    }
    event->accept();
}

void KelvWebView::dragEnterEvent(QDragEnterEvent *event)
{
    // Link drags are refused; everything else (text, files) goes on.
    if (event->possibleActions() & Qt::LinkAction) {
        event->ignore();
        return;
    }
    QWebEngineView::dragEnterEvent(event);
}

bool KelvWebView::eventFilter(QObject *watched, QEvent *event)
{
    // With "mouse-cursor-change-disabled" the page never changes the cursor:
    // whatever the render widget sets is put back to the arrow.
    if (event->type() == QEvent::CursorChange && !d->resettingCursor) {
        auto *widget = qobject_cast<QWidget *>(watched);
        if (widget && (widget == this || isAncestorOf(widget)) &&
            widget->cursor().shape() != Qt::ArrowCursor) {
            d->resettingCursor = true;
            widget->setCursor(Qt::ArrowCursor);
            d->resettingCursor = false;
        }
    }
    return QWebEngineView::eventFilter(watched, event);
}

void connectToRouter(KelvWebView *view, RequestRouter *router)
{
    QObject::connect(view, &KelvWebView::jsMessage, router, &RequestRouter::onJsMessage);
}

} // namespace kelv
