#include "app/pop_widget.h"

#include "browser/client_handler.h"
#include "browser/kelv_web_view.h"

#include <QEvent>
#include <QResizeEvent>

namespace kelv {

PopWidget::PopWidget(const QUrl &address, QWidget *parent) : QWidget(parent)
{
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    resize(1000, 670);
    m_webView = new KelvWebView(this);
    // The page fills the popup: a view taller than the window would hide the
    // bottom of the page where nothing can scroll to it.
    m_webView->resize(size());
    m_webView->setAddress(address);
    m_webView->showPage();
    installEventFilter(this);
}

PopWidget::~PopWidget() = default;

void PopWidget::resizeEvent(QResizeEvent *event)
{
    m_webView->resize(event->size());
    QWidget::resizeEvent(event);
}

bool PopWidget::eventFilter(QObject *watched, QEvent *event)
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

} // namespace kelv
