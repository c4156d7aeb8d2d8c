#include "browser/page_sleep.h"

#include "platform/memory_release.h"

#include <QLoggingCategory>
#include <QPointer>
#include <utility>

Q_LOGGING_CATEGORY(lcSleep, "kelv.browser.sleep")

namespace kelv {

namespace {

// Asked of the document before it is discarded: true once nothing it sends is held back or on
// its way (a document without the question has nothing to say).
const QString kReadyQuestion = QStringLiteral(
    "typeof window.kelvReadyToRest !== 'function' || window.kelvReadyToRest() === true");

} // namespace

PageSleep::PageSleep(QWebEnginePage *page) : QObject(page), m_page(page)
{
    m_clock.start();
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(DefaultQuietMs);
    connect(&m_quiet, &QTimer::timeout, this, &PageSleep::sleepIfQuiet);
    m_release.setSingleShot(true);
    m_release.setInterval(ReleaseDelayMs);
    connect(&m_release, &QTimer::timeout, this, &PageSleep::releaseMemoryIfAsleep);
    m_wakeLimit.setSingleShot(true);
    m_wakeLimit.setInterval(DefaultWakeLimitMs);
    connect(&m_wakeLimit, &QTimer::timeout, this, &PageSleep::onWakeLimit);
    connect(page, &QWebEnginePage::visibleChanged, this, &PageSleep::onVisibleChanged);
    connect(page, &QWebEnginePage::lifecycleStateChanged, this,
            &PageSleep::onLifecycleStateChanged);
    // Loading is activity too: a page still loading is not quiet.
    connect(page, &QWebEnginePage::loadFinished, this, &PageSleep::noteActivity);
}

void PageSleep::setEnabled(bool enabled)
{
    m_enabled = enabled;
    if (!enabled && isAsleep())
        wake(QStringLiteral("sleeping switched off"));
    noteActivity();
}

void PageSleep::setKeptAwake(bool kept)
{
    m_keptAwake = kept;
    noteActivity();
}

void PageSleep::endWhenQuiet()
{
    m_ending = true;
    noteActivity();
}

void PageSleep::releaseMemorySoon()
{
    m_release.start();
}

void PageSleep::leftUnusable()
{
    if (!m_enabled || m_page->isVisible() || isAsleep())
        return;
    qCInfo(lcSleep, "the page has no working document: it sleeps until it is needed");
    m_waking = false;
    m_wakeLimit.stop();
    m_inFlight.clear();
    m_page->setLifecycleState(State::Discarded);
}

bool PageSleep::isAsleep() const
{
    return m_page->lifecycleState() == State::Discarded;
}

void PageSleep::queryStarted(quint64 serial)
{
    m_inFlight.insert(serial, m_clock.elapsed());
    noteActivity();
}

void PageSleep::queryEnded(quint64 serial)
{
    m_inFlight.remove(serial);
    noteActivity();
}

bool PageSleep::holdEvent(const QString &name, const QVariantList &args)
{
    if (!isAsleep() && !m_waking) {
        noteActivity();
        return false;
    }
    // A page that never comes back must not gather events for ever: the
    // oldest go first, the ones that tell how things stand now stay.
    if (m_held.size() >= HeldLimit) {
        m_held.removeFirst();
        if (!std::exchange(m_droppedHeld, true))
            qCWarning(lcSleep, "more than %d events held for the page: the oldest are dropped",
                      HeldLimit);
    }
    m_held.append(QVariant(QVariantList{name, QVariant(args)}));
    if (isAsleep())
        wake(name);
    return true;
}

QVariantList PageSleep::takeHeld()
{
    if (m_waking) {
        m_waking = false;
        m_wakeLimit.stop();
        qCInfo(lcSleep).noquote() << QStringLiteral("page %1 after %2 ms (woken for %3)")
                                         .arg(m_page->isVisible() ? QStringLiteral("shown")
                                                                  : QStringLiteral("awake"))
                                         .arg(m_wakeClock.elapsed())
                                         .arg(m_wakeReason);
    }
    noteActivity();
    QVariantList held;
    held.swap(m_held);
    m_droppedHeld = false;
    return held;
}

void PageSleep::wake(const QString &reason)
{
    m_waking = true;
    m_wakeReason = reason;
    m_wakeClock.start();
    m_wakeLimit.start();
    qCInfo(lcSleep).noquote() << "page woken for" << reason;
    // The page loads its document again from its address (still hidden
    // unless it is being shown).
    m_page->setLifecycleState(State::Active);
}

void PageSleep::onVisibleChanged(bool visible)
{
    if (visible && isAsleep())
        wake(QStringLiteral("the window"));
    noteActivity();
}

void PageSleep::onLifecycleStateChanged(State state)
{
    if (state == State::Discarded) {
        // A question the discarded document never answered asks nothing of the next one.
        m_asked.invalidate();
        m_notReady.invalidate();
        qCInfo(lcSleep, "page asleep");
        m_release.start();
        emit asleepChanged(true);
        return;
    }
    if (state == State::Active && !m_waking) {
        // Woken by the engine itself (a view that became visible).
        m_waking = true;
        m_wakeReason = QStringLiteral("the window");
        m_wakeClock.start();
        m_wakeLimit.start();
    }
    emit asleepChanged(false);
}

void PageSleep::onWakeLimit()
{
    if (!m_waking)
        return;
    qCWarning(lcSleep).noquote() << QStringLiteral(
                                        "the page woken for %1 did not connect within %2 ms")
                                        .arg(m_wakeReason)
                                        .arg(m_wakeLimit.interval());
    // Shown, the page stays as it is (a shown page is never discarded) and is
    // looked at again later; what it holds waits for a document that
    // connects. Hidden, it sleeps again, so the next event or the window
    // loads it afresh.
    if (!m_enabled)
        return;
    if (m_page->isVisible()) {
        m_wakeLimit.start();
        return;
    }
    m_waking = false;
    m_inFlight.clear();
    m_page->setLifecycleState(State::Discarded);
}

void PageSleep::releaseMemoryIfAsleep()
{
    if (!isAsleep())
        return;
    // The renderer's memory is gone; give back what the engine freed in this
    // process and the pages of its code that only the page's start needed.
    platform::releaseFreeMemory();
    qCInfo(lcSleep, "memory given back");
}

void PageSleep::noteActivity()
{
    m_activitySinceAsked = true;
    if ((m_enabled || m_ending) && !m_page->isVisible() && !isAsleep())
        m_quiet.start();
    else
        m_quiet.stop();
}

bool PageSleep::hasQueryInFlight() const
{
    const qint64 now = m_clock.elapsed();
    for (const qint64 since : m_inFlight) {
        if (now - since < UnansweredLimitMs)
            return true;
    }
    return false;
}

bool PageSleep::mayRest() const
{
    if (m_ending)
        return !m_page->isVisible();
    return m_enabled && !m_keptAwake && !m_page->isVisible() && !isAsleep() && !m_waking &&
           m_held.isEmpty();
}

void PageSleep::sleepIfQuiet()
{
    if (!mayRest())
        return;
    if (hasQueryInFlight()) {
        m_quiet.start();
        return;
    }
    // What the document sends as it is hidden (its last edits) may still be on its way on a
    // busy machine: the document is asked first. A renderer that never answers is not waited
    // for longer than an unanswered query.
    if (m_asked.isValid()) {
        if (m_asked.elapsed() < UnansweredLimitMs)
            m_quiet.start();
        else
            onReadyAnswer(true);
        return;
    }
    m_asked.start();
    m_activitySinceAsked = false;
    QPointer<PageSleep> self(this);
    m_page->runJavaScript(kReadyQuestion, [self](const QVariant &ready) {
        if (self)
            self->onReadyAnswer(ready.isValid() ? ready.toBool() : true);
    });
}

void PageSleep::onReadyAnswer(bool ready)
{
    m_asked.invalidate();
    if (!mayRest() || hasQueryInFlight() || m_activitySinceAsked) {
        noteActivity(); // something happened meanwhile: a new quiet period decides
        return;
    }
    if (!ready) {
        if (!m_notReady.isValid())
            m_notReady.start();
        // A document that says "not yet" for ever (a request that is never answered) rests
        // all the same once an unanswered query would.
        if (m_notReady.elapsed() < UnansweredLimitMs) {
            m_quiet.start();
            return;
        }
        qCWarning(lcSleep, "the page still says it is busy after %d ms: it rests all the same",
                  UnansweredLimitMs);
    }
    m_notReady.invalidate();
    if (m_ending) {
        m_ending = false;
        emit readyToEnd();
        return;
    }
    m_inFlight.clear();
    m_page->setLifecycleState(State::Discarded);
}

} // namespace kelv
