#include "desktop/macro_recorder.h"

#include "common/session.h"
#include "platform/key_recorder.h"
#include "platform/scancode.h"

#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QTime>
#include <memory>
#include <string>

namespace kelv {

Q_LOGGING_CATEGORY(lcMacro, "kelv.macro")

namespace {

QStringList keyItem(bool pressed, quint32 scanCode, bool extended)
{
    return {QStringLiteral("0"), pressed ? QStringLiteral("1") : QStringLiteral("0"),
            QString::number(scanCode), extended ? QStringLiteral("1") : QStringLiteral("0")};
}

QStringList delayItem(int milliseconds)
{
    return {QStringLiteral("2"), QString::number(milliseconds), QStringLiteral("0"),
            QStringLiteral("0")};
}

} // namespace

void MacroTimeline::begin(int nowMs)
{
    m_first = true;
    m_last = nowMs;
}

QList<QStringList> MacroTimeline::keyEvent(bool pressed, quint32 scanCode, bool extended, int nowMs)
{
    QList<QStringList> items;
    if (pressed) {
        const auto held = m_held.find(scanCode);
        if (held != m_held.end() && held->second == extended)
            return items; // auto-repeat of a key that is down
        if (m_first)
            m_first = false;
        else
            items.append(delayItem(nowMs - m_last));
        m_last = nowMs;
        items.append(keyItem(true, scanCode, extended));
        m_held[scanCode] = extended;
    } else {
        items.append(delayItem(nowMs - m_last));
        m_last = nowMs;
        items.append(keyItem(false, scanCode, extended));
        m_held.erase(scanCode);
    }
    return items;
}

int EventClock::timeOfDay(quint32 eventTime, int arrivalMs)
{
    if (!m_anchored) {
        m_anchored = true;
        m_anchorEvent = eventTime;
        m_anchorDay = arrivalMs;
    }
    constexpr qint64 kDay = 24 * 60 * 60 * 1000;
    const qint64 time = m_anchorDay + qint64(qint32(eventTime - m_anchorEvent));
    return int(((time % kDay) + kDay) % kDay);
}

MacroRecorder::MacroRecorder(QObject *parent)
    : QObject(parent), m_recorder(std::make_unique<platform::KeyRecorder>()),
      m_control(new QThread(this)), m_controlContext(new QObject)
{
    m_control->setObjectName(QStringLiteral("macro recorder control"));
    m_controlContext->moveToThread(m_control);
    m_control->start();
}

bool MacroRecorder::isRecording() const
{
    return m_windowRecording || m_recorder->isRecording();
}

MacroRecorder::Scope MacroRecorder::sessionScope()
{
    return Session::isWayland() ? Scope::Window : Scope::System;
}

bool MacroRecorder::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (m_windowRecording && (type == QEvent::KeyPress || type == QEvent::KeyRelease)) {
        const auto *key = static_cast<QKeyEvent *>(event);
        // One event reaches every object on its way to the focus widget; the
        // window receives it first. Auto-repeat shows as repeated presses.
        if (watched->isWindowType() && !key->isAutoRepeat()) {
            platform::ScanCode scan;
#ifdef Q_OS_LINUX
            const bool known = platform::scanCodeForXkbKeycode(key->nativeScanCode(), &scan);
#else
            const bool known = false;
#endif
            if (known)
                onKey(m_generation, type == QEvent::KeyPress, scan.code, scan.extended,
                      m_windowClock.timeOfDay(quint32(key->timestamp()), timeOfDayMs()));
        }
    }
    return QObject::eventFilter(watched, event);
}

void MacroRecorder::stopWindowRecording()
{
    if (!m_windowRecording)
        return;
    m_windowRecording = false;
    QCoreApplication::instance()->removeEventFilter(this);
}

MacroRecorder::~MacroRecorder()
{
    // Requests still queued run first; then the recording thread is joined.
    // Outcomes still queued for this object die with it.
    m_control->quit();
    m_control->wait();
    delete m_controlContext;
    m_recorder->stop();
    stopWindowRecording();
}

int MacroRecorder::timeOfDayMs()
{
    const QTime now = QTime::currentTime();
    return now.isValid() ? now.msecsSinceStartOfDay() : 0;
}

void MacroRecorder::onControlThread(std::function<void()> work)
{
    QMetaObject::invokeMethod(m_controlContext, std::move(work), Qt::QueuedConnection);
}

void MacroRecorder::startRecording(StartDone done)
{
    // Keys a running recording already handed over still belong to its
    // timeline. After a recording that ended (or never ran) no key is known
    // to be down.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    if (!(m_wanted && isRecording()))
        m_timeline.forgetHeldKeys();
    const quint64 generation = ++m_generation;
    m_wanted = true;
    m_timeline.begin(timeOfDayMs());
    if (m_scope == Scope::Window) {
        // The program's own key events: nothing to open, nothing to wait for.
        m_windowClock.reset();
        if (!m_windowRecording) {
            m_windowRecording = true;
            QCoreApplication::instance()->installEventFilter(this);
        }
        QMetaObject::invokeMethod(
            this, [=] { onStarted(generation, true, QString(), done); }, Qt::QueuedConnection);
        return;
    }
    // Runs on the recording thread: each key at its own event time, handed
    // over in order.
    auto clock = std::make_shared<EventClock>();
    auto onRecordedKey = [this, generation, clock](const platform::RecordedKey &key) {
        const int now = clock->timeOfDay(key.time, timeOfDayMs());
        platform::ScanCode scan;
        if (!platform::recordedScanCode(key, &scan))
            return; // a key without a PC scan code cannot be replayed
        QMetaObject::invokeMethod(
            this,
            [this, generation, pressed = key.pressed, code = scan.code, extended = scan.extended,
             now] { onKey(generation, pressed, code, extended, now); },
            Qt::QueuedConnection);
    };
    onControlThread([this, generation, onRecordedKey, done = std::move(done)] {
        std::string error;
        const bool started = m_recorder->start(onRecordedKey, &error);
        const QString reason = QString::fromStdString(error);
        QMetaObject::invokeMethod(
            this, [=] { onStarted(generation, started, reason, done); }, Qt::QueuedConnection);
    });
}

void MacroRecorder::onStarted(quint64 generation, bool started, const QString &reason,
                              const StartDone &done)
{
    if (!started) {
        qCWarning(lcMacro) << "cannot record keys:" << reason;
        if (generation == m_generation)
            m_wanted = false;
        emit recordingFailed(reason);
    } else {
        emit recordingStarted();
    }
    if (done)
        done(started, reason);
}

void MacroRecorder::stopRecording(StopDone done)
{
    m_wanted = false;
    stopWindowRecording();
    onControlThread([this, done = std::move(done)] {
        m_recorder->stop();
        // Posted after every key the recording thread handed over.
        QMetaObject::invokeMethod(
            this, [=] { onStopped(done); }, Qt::QueuedConnection);
    });
}

void MacroRecorder::onStopped(const StopDone &done)
{
    // Keys released from now on are not seen: none counts as held any more
    // (a key pressed to stop the recording would otherwise lose its next
    // press in the next recording as an auto-repeat).
    if (!m_wanted)
        m_timeline.forgetHeldKeys();
    emit recordingStopped();
    if (done)
        done();
}

void MacroRecorder::onKey(quint64 generation, bool pressed, quint32 scanCode, bool extended,
                          int nowMs)
{
    if (generation != m_generation)
        return;
    const QList<QStringList> items = m_timeline.keyEvent(pressed, scanCode, extended, nowMs);
    for (const QStringList &item : items)
        emit macroItem(item.at(0), item.at(1), item.at(2), item.at(3));
}

} // namespace kelv
