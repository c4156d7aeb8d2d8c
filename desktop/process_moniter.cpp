#include "desktop/process_moniter.h"

#include "common/app_paths.h"
#include "common/text_file.h"
#include "common/xml_text.h"
#include "platform/program_path.h"
#include "platform/running_programs.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QThread>
#include <pugixml.hpp>
#include <string>
#include <utility>
#include <vector>

namespace kelv {

Q_LOGGING_CATEGORY(lcProcessMoniter, "process_moniter")

ProcessMoniter::ProcessMoniter(const QString &modeDocument, QObject *parent)
    : QObject(parent), m_modeDocument(modeDocument)
{
}

ProcessMoniter::~ProcessMoniter() = default;

void ProcessMoniter::requestStop()
{
    m_stop.store(true);
    // On the thread that runs the loop (a directly connected slot) the mutex
    // is held by the emitting loop; the flag alone ends the loop there.
    if (QThread::currentThread() == m_loopThread.load())
        return;
    QMutexLocker lock(&m_mutex);
    m_wake.wakeAll();
}

QMap<QString, QString> ProcessMoniter::loadBindings(const QString &modeDocument)
{
    QMap<QString, QString> bindings;
    // The mode document is a profile the page edits: the same bounds hold
    // (size, then depth before pugixml builds the tree). Only a regular file
    // is opened: a named pipe would hold the monitor until something wrote.
    QFile file;
    if (!openRegularFile(&file, modeDocument))
        return bindings;
    const QByteArray bytes = file.read(kMaxProfileBytes + 1);
    pugi::xml_document doc;
    if (bytes.size() > kMaxProfileBytes || loadXml(xmlBytesAsUtf8(bytes), &doc) != XmlLoad::Parsed)
        return bindings;
    const pugi::xpath_node_set modes = doc.select_nodes("/conf/modeSetting/modes/mode");
    for (const pugi::xpath_node &mode : modes) {
        const pugi::xml_node node = mode.node();
        const QString path = QString::fromUtf8(node.attribute("bindingProcess").value());
        if (path.isEmpty())
            continue;
        bindings.insert(canonicalProgramPath(path),
                        QString::fromUtf8(node.attribute("index").value()));
    }
    return bindings;
}

QString ProcessMoniter::canonicalProgramPath(const QString &path)
{
    // A program that is not there (yet) keeps the path as written.
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

bool ProcessMoniter::pollRunning(const QMap<QString, QString> &bindings, QMap<QString, bool> *fresh)
{
    fresh->clear();
    // Bound paths in the encoding the running programs are reported in, so that the few
    // hundred processes are matched without converting every path; the rule that decides
    // whether two paths name the same program is the system's (platform/program_path.h).
    // A path is resolved again at every poll: a binding read while its program was not there
    // (a drive mounted after the start, reached through a link) matches once it is.
    std::vector<std::string> bound;
    for (auto it = bindings.cbegin(); it != bindings.cend(); ++it)
        bound.push_back(nativePathBytes(canonicalProgramPath(it.key())).toStdString());
    std::vector<std::string> running;
    if (!platform::runningProgramPaths(&running))
        return false;
    const std::vector<bool> runs = platform::boundProgramsRunning(bound, running);
    size_t i = 0;
    for (auto it = bindings.cbegin(); it != bindings.cend(); ++it)
        fresh->insert(it.key(), runs[i++]);
    return true;
}

QList<QPair<QString, bool>> ProcessMoniter::changes(const QMap<QString, bool> &states,
                                                    const QMap<QString, bool> &fresh)
{
    QList<QPair<QString, bool>> result;
    if (fresh == states || fresh.size() != states.size())
        return result;
    for (auto it = fresh.cbegin(); it != fresh.cend(); ++it) {
        const auto old = states.constFind(it.key());
        if (old != states.cend() && old.value() != it.value())
            result.append({it.key(), it.value()});
    }
    return result;
}

bool ProcessMoniter::waitForNextPoll()
{
    QDeadlineTimer deadline(m_interval);
    QMutexLocker lock(&m_mutex);
    while (!m_stop.load() && !deadline.hasExpired())
        m_wake.wait(&m_mutex, deadline);
    return !m_stop.load();
}

void ProcessMoniter::report(bool known, const QMap<QString, bool> &running)
{
    QStringList modes;
    for (auto it = running.cbegin(); it != running.cend(); ++it) {
        if (it.value())
            modes.append(m_bindings.value(it.key()));
    }
    QMutexLocker lock(&m_mutex);
    if (!m_stop.load())
        emit looked(known, modes);
}

void ProcessMoniter::start()
{
    m_loopThread.store(QThread::currentThread());
    m_bindings = loadBindings(m_modeDocument);
    m_states.clear();
    for (auto it = m_bindings.cbegin(); it != m_bindings.cend(); ++it)
        m_states.insert(it.key(), false);
    // No binding: nothing bound runs, and nothing will be polled.
    if (m_bindings.isEmpty())
        report(true, m_states);

    bool firstPoll = true;
    while (!m_bindings.isEmpty()) {
        if (!waitForNextPoll())
            return;
        QMap<QString, bool> fresh;
        if (!pollRunning(m_bindings, &fresh)) {
            qCWarning(lcProcessMoniter) << "cannot read the process list; monitoring stops";
            report(false, {});
            return;
        }
        const QList<QPair<QString, bool>> changed = changes(m_states, fresh);
        {
            QMutexLocker lock(&m_mutex);
            if (m_stop.load())
                return;
            for (const auto &[path, running] : changed) {
                qCInfo(lcProcessMoniter) << "current process status changed!";
                qCInfo(lcProcessMoniter).noquote()
                    << QStringLiteral("%1  become %2").arg(path).arg(running ? 1 : 0);
                emit processChanged(m_bindings.value(path), running);
            }
            emit polled();
        }
        m_states = fresh;
        // After the events of the same poll: whoever hears both hears the
        // events first.
        if (firstPoll || !changed.isEmpty())
            report(true, m_states);
        firstPoll = false;
    }
}

ProcessMonitorRunner::~ProcessMonitorRunner()
{
    stop();
    // Every thread this runner started has ended before the runner goes:
    // none may still poll (and emit into a window being torn down), and none
    // is left for a deleteLater that an ended event loop would never run.
    for (const QPointer<QThread> &thread : std::as_const(m_retiring)) {
        if (thread && thread->wait(5000))
            delete thread.data();
    }
}

ProcessMoniter *ProcessMonitorRunner::restart(const QString &modeDocument,
                                              const std::function<void(ProcessMoniter *)> &setUp)
{
    stop();
    auto *thread = new QThread;
    auto *monitor = new ProcessMoniter(modeDocument);
    monitor->moveToThread(thread);
    QObject::connect(thread, &QThread::started, monitor, &ProcessMoniter::start);
    // The monitor lives on the thread: deleted there as the thread finishes.
    QObject::connect(thread, &QThread::finished, monitor, &QObject::deleteLater);
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    const quint64 generation = m_generation;
    QObject::connect(monitor, &ProcessMoniter::looked, &m_receiver,
                     [this, generation](bool known, const QStringList &runningModes) {
                         onLooked(generation, known, runningModes);
                     });
    if (setUp)
        setUp(monitor);
    m_thread = thread;
    m_monitor = monitor;
    thread->start(QThread::InheritPriority);
    return monitor;
}

void ProcessMonitorRunner::stop()
{
    if (m_monitor)
        m_monitor->requestStop();
    if (m_thread) {
        m_thread->quit();
        m_retiring.removeAll(nullptr); // threads that ended and were deleted
        m_retiring.append(m_thread);
    }
    m_monitor = nullptr;
    m_thread = nullptr;
    // Whatever the stopped monitor still had queued is not the next one's look.
    ++m_generation;
    m_look = Look::Pending;
    m_runningModes.clear();
}

void ProcessMonitorRunner::whenLooked(LookDone done)
{
    if (m_look == Look::Pending)
        m_waiting.append(std::move(done));
    else
        done(m_look == Look::Known, m_runningModes);
}

void ProcessMonitorRunner::onLooked(quint64 generation, bool known, const QStringList &runningModes)
{
    if (generation != m_generation)
        return;
    m_look = known ? Look::Known : Look::Failed;
    m_runningModes = runningModes;
    const QList<LookDone> waiting = std::exchange(m_waiting, {});
    for (const LookDone &done : waiting)
        done(known, runningModes);
}

} // namespace kelv
