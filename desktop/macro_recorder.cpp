#include "desktop/macro_recorder.h"

#include "platform/key_recorder.h"
#include "platform/scancode.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLoggingCategory>
#include <QTime>
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
    return m_recorder->isRecording();
}

MacroRecorder::~MacroRecorder()
{
    // Requests still queued run first; then the recording thread is joined.
    // Outcomes still queued for this object die with it.
    m_control->quit();
    m_control->wait();
    delete m_controlContext;
    m_recorder->stop();
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
    if (!(m_wanted && m_recorder->isRecording()))
        m_timeline.forgetHeldKeys();
    const quint64 generation = ++m_generation;
    m_wanted = true;
    m_timeline.begin(timeOfDayMs());
    // Runs on the recording thread: stamp the time there, hand over in order.
    auto onRecordedKey = [this, generation](const platform::RecordedKey &key) {
        const int now = timeOfDayMs();
        platform::ScanCode scan;
        if (!platform::scanCodeForXKeycode(key.keycode, &scan))
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
