#include "app/pop_widget.h"

#include "browser/client_handler.h"
#include "browser/kelv_web_view.h"

#include <QEvent>

namespace kelv {

PopWidget::PopWidget(const QUrl &address, QWidget *parent) : QWidget(parent)
{
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    resize(1000, 670);
    m_webView = new KelvWebView(this);
    m_webView->resize(1000, 1000);
    m_webView->setAddress(address);
    m_webView->showPage();
    installEventFilter(this);
}

PopWidget::~PopWidget() = default;

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
