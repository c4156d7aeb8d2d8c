#include "browser/pending_edits.h"

#include <QLoggingCategory>
#include <QPointer>
#include <QWebEnginePage>

Q_LOGGING_CATEGORY(lcPendingEdits, "kelv.browser.edits")

namespace kelv {

namespace {

// The page's answer: true while its edits are still being sent.
const QString kQuestion = QStringLiteral(
    "typeof window.kelvSendPendingEdits === 'function' && window.kelvSendPendingEdits() === true");

} // namespace

PendingEdits::PendingEdits(QObject *parent) : QObject(parent)
{
    m_limit.setSingleShot(true);
    connect(&m_limit, &QTimer::timeout, this, [this] {
        qCInfo(lcPendingEdits, "pages still sending edits after the time limit: going on");
        finish();
    });
}

void PendingEdits::send(const QList<QWebEnginePage *> &pages, int limitMs)
{
    m_finished = false;
    m_waiting = 0;
    for (QWebEnginePage *page : pages) {
        // A sleeping page sent everything before it fell asleep.
        if (!page || page->lifecycleState() != QWebEnginePage::LifecycleState::Active)
            continue;
        ++m_waiting;
        ask(page);
    }
    if (m_waiting == 0) {
        QMetaObject::invokeMethod(this, &PendingEdits::finish, Qt::QueuedConnection);
        return;
    }
    m_limit.start(limitMs);
}

void PendingEdits::ask(QWebEnginePage *page)
{
    QPointer<QWebEnginePage> guarded(page);
    page->runJavaScript(kQuestion, [this, guarded](const QVariant &stillSending) {
        if (m_finished)
            return;
        if (guarded && stillSending.toBool()) {
            QTimer::singleShot(AskAgainMs, this, [this, guarded] {
                if (m_finished)
                    return;
                if (guarded)
                    ask(guarded);
                else
                    pageDone();
            });
            return;
        }
        pageDone();
    });
}

void PendingEdits::pageDone()
{
    if (--m_waiting <= 0)
        finish();
}

void PendingEdits::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_limit.stop();
    emit sent();
}

} // namespace kelv
