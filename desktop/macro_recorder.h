#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <functional>
#include <map>
#include <memory>

namespace kelv {

namespace platform {
class KeyRecorder;
struct RecordedKey;
} // namespace platform

// The items of a recording, built from key events in the order they happen.
// Plain class, no thread of its own.
//
// An item is four strings: a key item ("0", "1" press / "0" release, decimal
// scan code, "1" extended / "0") or a delay item ("2", signed milliseconds
// since the previous key item or the start, "0", "0"). Times are milliseconds
// since local midnight, so a delay across midnight is negative.
class MacroTimeline
{
public:
    // A fresh timeline: the next press is the first item. Keys still held
    // from before stay held.
    void begin(int nowMs);

    // The items one key event adds: nothing for the auto-repeat of a held
    // key; a key item for the first press of a timeline; otherwise a delay
    // item followed by the key item (also for a release that comes first).
    QList<QStringList> keyEvent(bool pressed, quint32 scanCode, bool extended, int nowMs);

    bool isHeld(quint32 scanCode) const { return m_held.count(scanCode) != 0; }

    // Forgets which keys are down: once nothing records, their releases go
    // unseen, and a key still marked down would lose its next press.
    void forgetHeldKeys() { m_held.clear(); }

private:
    bool m_first = false;
    int m_last = 0;
    std::map<quint32, bool> m_held; // scan code -> extended flag of each key that is down
};

// Places key events on the timeline by their own time stamps (milliseconds of
// the window system's clock, wrapping at 2^32) rather than by when they reach
// the recorder: the first event of a recording is anchored to the time of day
// it arrives, every later one keeps its exact distance from it.
class EventClock
{
public:
    void reset() { m_anchored = false; }
    // The event's time of day in milliseconds (wrapping at midnight).
    int timeOfDay(quint32 eventTime, int arrivalMs);

private:
    bool m_anchored = false;
    quint32 m_anchorEvent = 0;
    int m_anchorDay = 0;
};

// Records every key press and release system-wide (without consuming them)
// and reports key and delay items while a recording runs. On Linux it uses the
// X11 RECORD extension of the display named by $DISPLAY. A Wayland session
// lets no program see another's keys: there it records the keys typed into
// the program's own windows (Scope::Window), with the same items.
//
// Starting and stopping never block the calling (user interface) thread:
// opening the recording may wait for the display server for seconds, so both
// run on a control thread of their own, one request after the other, and the
// outcome comes back on the thread that owns the recorder.
class MacroRecorder final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MacroRecorder)

public:
    // started: the recording runs; otherwise reason tells why it could not.
    using StartDone = std::function<void(bool started, const QString &reason)>;
    using StopDone = std::function<void()>;

    enum class Scope { System, Window };

    explicit MacroRecorder(QObject *parent = nullptr);
    ~MacroRecorder() override;

    // Window under Wayland (natively or through XWayland), else System.
    static Scope sessionScope();
    Scope scope() const { return m_scope; }
    // Before a recording starts (tests record the window on any platform).
    void setScope(Scope scope) { m_scope = scope; }

    // Starts (or restarts, with a fresh timeline) a recording and returns at
    // once. When the recording runs (or could not start: no way to record
    // keys) done is called and recordingStarted or recordingFailed emitted.
    void startRecording(StartDone done = {});
    // Ends the recording and returns at once. Once it has ended, the items of
    // the keys recorded before have been emitted, done is called and
    // recordingStopped emitted. Harmless without a recording.
    void stopRecording(StopDone done = {});

    bool isRecording() const;

    // Milliseconds since local midnight now (0 when the clock is unavailable).
    static int timeOfDayMs();

signals:
    // One item: key ("0", "1" press / "0" release, scan code, extended flag)
    // or delay ("2", milliseconds, "0", "0"). Emitted on the main thread.
    void macroItem(const QString &kind, const QString &a, const QString &b, const QString &c);
    void recordingStarted();
    void recordingFailed(const QString &reason);
    void recordingStopped();

protected:
    // Records the program's own key events while a Window recording runs.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void stopWindowRecording();
    void onKey(quint64 generation, bool pressed, quint32 scanCode, bool extended, int nowMs);
    void onStarted(quint64 generation, bool started, const QString &reason, const StartDone &done);
    void onStopped(const StopDone &done);
    // Runs work on the control thread, in the order of the calls.
    void onControlThread(std::function<void()> work);

    std::unique_ptr<platform::KeyRecorder> m_recorder;
    Scope m_scope = sessionScope();
    bool m_windowRecording = false;
    EventClock m_windowClock; // the window's events arrive on the main thread
    QThread *m_control = nullptr;
    QObject *m_controlContext = nullptr; // lives on m_control
    MacroTimeline m_timeline;
    // Identifies the recording a queued key event belongs to.
    quint64 m_generation = 0;
    // Whether the last request was a start (the recording runs or is about to).
    bool m_wanted = false;
};

} // namespace kelv
