#pragma once

#include <QList>
#include <QLoggingCategory>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QWaitCondition>
#include <atomic>
#include <functional>

namespace kelv {

Q_DECLARE_LOGGING_CATEGORY(lcProcessMoniter)

// Reads the bindings (mode index per program path) from the mode document and
// polls the running programs on its own thread, reporting starts and stops.
//
// Program paths are compared in full, as the system compares file names: byte for byte on
// Linux; on Windows without regard to letter case or to '/' and '\' (a binding from the
// page names "C:/Games/run.exe" for the program Windows reports as C:\Games\run.exe).
// The first poll
// reports every bound program that is already running. A program that starts
// and stops between two polls is not seen; several copies of one program count
// as running until the last one ends.
class ProcessMoniter final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProcessMoniter)

public:
    static constexpr int kPollIntervalMs = 3000;

    // modeDocument: the full path of view/xml/configuration.xml.
    explicit ProcessMoniter(const QString &modeDocument, QObject *parent = nullptr);
    ~ProcessMoniter() override;

    // Thread-safe: asks the polling loop to end promptly (it does not wait a
    // whole polling period). Once this returns from another thread the
    // monitor emits nothing more; a poll in progress drops its changes.
    void requestStop();
    bool isStopRequested() const { return m_stop.load(); }

    // The time between polls; kPollIntervalMs unless a test shortens it.
    // Set before the thread starts.
    void setPollInterval(int milliseconds) { m_interval = milliseconds; }
    int pollInterval() const { return m_interval; }

    // The steps of the loop as plain functions.
    //
    // Bindings of the mode document: path -> mode index, from every
    // "/conf/modeSetting/modes/mode" with a non-empty bindingProcess (a later
    // mode with the same program replaces the index). Paths are canonical
    // (symlinks resolved), so a program bound through a link matches the
    // process started from its target. Empty when the document cannot be read
    // or parsed.
    static QMap<QString, QString> loadBindings(const QString &modeDocument);
    // The path with every symlink resolved; unchanged when there is no such file.
    static QString canonicalProgramPath(const QString &path);
    // Every bound path with whether a process runs from it now (symlinks in
    // the path resolved as they are now). False when the process list cannot
    // be read.
    static bool pollRunning(const QMap<QString, QString> &bindings, QMap<QString, bool> *fresh);
    // What one poll reports: the paths (ascending) that both maps hold with
    // different values, with the new value; nothing unless both maps hold the
    // same number of entries.
    static QList<QPair<QString, bool>> changes(const QMap<QString, bool> &states,
                                               const QMap<QString, bool> &fresh);

public slots:
    // Loads the bindings, then polls until stopped (connected to QThread::started).
    // Returns at once when there is no binding, and when the process list
    // cannot be read.
    void start();

signals:
    // A bound program started (running = true) or stopped. Emitted on the
    // monitor's thread.
    void processChanged(const QString &index, bool running);
    // After every completed poll, on the monitor's thread (for diagnostics).
    void polled();
    // What the monitor knows about the bound programs, on the monitor's
    // thread: the mode indices whose programs run (ascending by path). Emitted
    // at the first poll and at every poll that saw a change; a monitor without
    // bindings emits it once, empty, as it starts. known is false when the
    // process list cannot be read (monitoring stops).
    void looked(bool known, const QStringList &runningModes);

private:
    // Waits one polling period; false when stopped meanwhile.
    bool waitForNextPoll();
    // Emits looked() unless stopped (under the emission lock).
    void report(bool known, const QMap<QString, bool> &running);

    const QString m_modeDocument;
    int m_interval = kPollIntervalMs;
    std::atomic<bool> m_stop{false};
    std::atomic<QThread *> m_loopThread{nullptr}; // the thread running start()
    // Guards the wait and every emission: requestStop() from another thread
    // cannot return while a signal is being emitted.
    QMutex m_mutex;
    QWaitCondition m_wake;
    // Owned by the monitor's thread.
    QMap<QString, QString> m_bindings;
    QMap<QString, bool> m_states;
};

// The one monitor of a window with its thread. restart() ends the current
// monitor and starts a fresh one, so however often it is called exactly one
// monitor polls: the old loop is woken and ends without another poll, its
// thread quits, and both objects are deleted once the thread has finished.
// Used on the thread that owns it (the main thread).
class ProcessMonitorRunner final
{
    Q_DISABLE_COPY_MOVE(ProcessMonitorRunner)

public:
    ProcessMonitorRunner() = default;
    // Stops the monitor and waits for its thread and for the threads of
    // monitors stopped before.
    ~ProcessMonitorRunner();

    // setUp is called with the new monitor before its thread starts (connect
    // processChanged there). Returns the new monitor.
    ProcessMoniter *restart(const QString &modeDocument,
                            const std::function<void(ProcessMoniter *)> &setUp = {});
    // Ends the current monitor, if any; it is forgotten at once.
    void stop();

    bool exists() const { return m_monitor != nullptr; }
    ProcessMoniter *monitor() const { return m_monitor; }
    QThread *thread() const { return m_thread; }

    // Calls done (on the runner's thread) with the mode indices whose programs
    // run, once the current monitor has looked: at once when it has, else
    // after its first poll (at its start when it has no binding). A restart
    // meanwhile: the new monitor's first look answers. known is false when
    // the running programs cannot be read. Without a monitor done waits for
    // the next restart.
    using LookDone = std::function<void(bool known, const QStringList &runningModes)>;
    void whenLooked(LookDone done);

private:
    enum class Look { Pending, Known, Failed };
    void onLooked(quint64 generation, bool known, const QStringList &runningModes);

    QPointer<QThread> m_thread;
    ProcessMoniter *m_monitor = nullptr;
    // The current monitor's last look; generation counts the monitors, so a
    // look queued by a stopped one is not taken for the current one's.
    QObject m_receiver; // lives on the runner's thread: looks are queued to it
    quint64 m_generation = 0;
    Look m_look = Look::Pending;
    QStringList m_runningModes;
    QList<LookDone> m_waiting;
    // Threads of stopped monitors, until they have ended and are deleted.
    QList<QPointer<QThread>> m_retiring;
};

} // namespace kelv
