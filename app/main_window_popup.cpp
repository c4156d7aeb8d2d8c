// The main window's mouse-configuration popup: opened and closed by the showConf hot
// key, ended only once its page has sent its last changes.

#include "app/app_log.h"
#include "app/application_host.h"
#include "app/main_window.h"
#include "app/pop_widget.h"
#include "bridge/request_router.h"
#include "browser/client_handler.h"
#include "browser/kelv_page.h"
#include "browser/kelv_web_view.h"
#include "browser/page_sleep.h"

#include <QTimer>

namespace kelv {
namespace shell {

namespace {
// How long a closed popup waits at most for its page to send its last changes.
constexpr int kPopupEndLimitMs = 3000;
} // namespace

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

} // namespace shell
} // namespace kelv
