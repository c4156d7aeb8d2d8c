#pragma once

#include <QList>
#include <QObject>
#include <QTimer>

class QWebEnginePage;

namespace kelv {

// Before the program quits, every page that is awake sends the profile edits
// it still holds back (a page sends an edit a moment after the last one, so a
// dragged slider costs one request). Each page is asked, and asked again while
// it answers that its edits are on their way; sent() comes once every page has
// answered no (a page without the question, asleep or gone counts as no), or
// when the time limit has passed whatever the pages do.
class PendingEdits final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PendingEdits)

public:
    static constexpr int AskAgainMs = 50;
    static constexpr int DefaultLimitMs = 3000;

    explicit PendingEdits(QObject *parent = nullptr);

    // Starts asking; sent() is emitted once, never from within this call.
    void send(const QList<QWebEnginePage *> &pages, int limitMs = DefaultLimitMs);

signals:
    void sent();

private:
    void ask(QWebEnginePage *page);
    void pageDone();
    void finish();

    int m_waiting = 0;
    bool m_finished = false;
    QTimer m_limit;
};

} // namespace kelv
