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
    // The answer may come after this object is gone (a page destroyed late
    // answers its pending scripts with nothing).
    QPointer<PendingEdits> self(this);
    QPointer<QWebEnginePage> guarded(page);
    page->runJavaScript(kQuestion, [self, guarded](const QVariant &stillSending) {
        if (!self || self->m_finished)
            return;
        if (guarded && stillSending.toBool()) {
            QTimer::singleShot(AskAgainMs, self, [self, guarded] {
                if (self->m_finished)
                    return;
                if (guarded)
                    self->ask(guarded);
                else
                    self->pageDone();
            });
            return;
        }
        self->pageDone();
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
