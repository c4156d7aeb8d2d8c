#pragma once

#include <QUrl>
#include <QWidget>

namespace kelv {

class KelvWebView;

// The mouse-configuration popup: a frameless dialog window showing the page in
// a web view of its own. When it becomes the active window its web view
// becomes the browser client's listener and the popup the window that window
// requests act on.
class PopWidget final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PopWidget)

public:
    PopWidget(const QUrl &address, QWidget *parent);
    ~PopWidget() override;

    KelvWebView *webView() const { return m_webView; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    KelvWebView *m_webView = nullptr;
};

} // namespace kelv
