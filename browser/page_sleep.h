#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <QVariantList>
#include <QWebEnginePage>

namespace kelv {

// Lets a page sleep while nobody looks at it: once it is hidden and quiet (no
// query in flight, none for quietTime()) and its document says nothing it
// sends is still on its way (window.kelvReadyToRest), its document and
// renderer process are discarded (QWebEnginePage::LifecycleState::Discarded);
// the page keeps its address, so the screen the user was on comes back with it.
//
// Nothing meant for the page is lost while it sleeps: an event is held and the
// page woken (loaded again, still hidden); the document takes the held events
// as it connects (takeHeld), handles them, and the page sleeps again once it
// is quiet. Showing the page wakes it the same way.
class PageSleep final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PageSleep)

public:
    using State = QWebEnginePage::LifecycleState;
    static constexpr int DefaultQuietMs = 1000;
    // A query unanswered for this long no longer keeps the page awake (a
    // request the native side never answers by design).
    static constexpr int UnansweredLimitMs = 30000;
    // How long after falling asleep the process gives back the memory it no
    // longer needs: the renderer has ended by then, so the engine's pages it
    // shared are this process's alone and can go too.
    static constexpr int ReleaseDelayMs = 3000;
    // A woken page whose document has not connected this long after the wake
    // (it came without its contract, or never finished loading) sleeps again
    // with the events it holds; the next event or the window wakes it anew.
    static constexpr int DefaultWakeLimitMs = 30000;
    // At most this many events are held for a page that sleeps; past it the
    // oldest go.
    static constexpr int HeldLimit = 256;

    explicit PageSleep(QWebEnginePage *page);

    // Whether the page may sleep at all (off by default).
    void setEnabled(bool enabled);
    bool isEnabled() const { return m_enabled; }
    void setQuietTime(int milliseconds) { m_quiet.setInterval(milliseconds); }
    int quietTime() const { return m_quiet.interval(); }
    void setWakeLimit(int milliseconds) { m_wakeLimit.setInterval(milliseconds); }

    // Something the document started goes on natively and reports to it
    // (a macro recording): the page stays awake meanwhile, since what it has
    // received so far lives only in its document. Released, it may sleep
    // once it is quiet.
    void setKeptAwake(bool kept);

    // The page's view goes away for good (a closed popup). Rather than
    // sleeping, the page says when it is hidden and quiet (readyToEnd): what
    // its document sends as it is hidden (its last changes) has arrived by then.
    void endWhenQuiet();

    // Another page of the process went (a closed popup) while this one may
    // sleep: what it held is given back after ReleaseDelayMs, as after
    // falling asleep, if this page sleeps then.
    void releaseMemorySoon();

    // The page is left without a working document: its renderer ended again
    // right after the page was loaded again, or its document came without the
    // contract for good. A hidden page goes to sleep, so the next event, or
    // the window, loads it afresh and the events held meanwhile reach that
    // document.
    void leftUnusable();

    bool isAsleep() const;
    // True from a wake until the woken document has connected.
    bool isWaking() const { return m_waking; }

    // The page's activity: a query of its document arrived, or was answered.
    void queryStarted(quint64 serial);
    void queryEnded(quint64 serial);
    // An event for the document. True when it is held for the document that
    // is coming (the page sleeps or is waking); then the caller does not send it.
    bool holdEvent(const QString &name, const QVariantList &args);
    // The document connected: the events held for it, as [name, args] pairs,
    // in the order they came.
    QVariantList takeHeld();

signals:
    // The page went to sleep (true) or was woken (false).
    void asleepChanged(bool asleep);
    // After endWhenQuiet: the page is hidden and quiet (reported once).
    void readyToEnd();

private:
    void wake(const QString &reason);
    void onVisibleChanged(bool visible);
    void onLifecycleStateChanged(State state);
    // (Re)starts the quiet period when the page may sleep; stops it otherwise.
    void noteActivity();
    // Whether the page may sleep (or end) now, queries and the document's answer apart.
    bool mayRest() const;
    void sleepIfQuiet();
    void onReadyAnswer(bool ready);
    bool hasQueryInFlight() const;
    void releaseMemoryIfAsleep();
    void onWakeLimit();

    QWebEnginePage *m_page;
    bool m_enabled = false;
    bool m_keptAwake = false;
    bool m_ending = false;
    bool m_waking = false;
    QString m_wakeReason;
    QElapsedTimer m_wakeClock;
    QTimer m_quiet;
    QTimer m_release;
    QTimer m_wakeLimit;
    bool m_droppedHeld = false;
    QVariantList m_held;
    QHash<quint64, qint64> m_inFlight; // serial -> arrival (ms on m_clock)
    QElapsedTimer m_clock;
    QElapsedTimer m_asked;    // the document was asked whether it may rest (valid until it answers)
    QElapsedTimer m_notReady; // since it first said it may not
    bool m_activitySinceAsked = false;
};

} // namespace kelv
