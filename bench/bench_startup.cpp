// Start-up and tray cost of the program as a user meets it, next to the
// engine's floor (bench_bare_page: a bare Qt WebEngine view with an empty
// local page) measured in the same run.
//
// 1. Start (offscreen, each start cold: a fresh home, temporary folder and
//    browser profile), kelv and the bare page alternating, 5 runs each: the
//    time from starting the executable to "page loaded", and the memory of
//    the program with all its browser helper processes once the page is
//    loaded (PSS per process, summed; RSS summed).
// 2. Hidden in the tray (under a private Xvfb, so the window can be closed as
//    a user closes it): started with -autostart, and started shown with the
//    window closed by a click on the page's close button once it is ready,
//    one after the other. Memory 10 s and 120 s after they went to the tray,
//    and the wake-ups per second of all their processes (context switches of
//    every thread) between 110 s and 120 s.
// 3. Opening the window again (a second start, which shows the running
//    window like the tray does): the time until the window is shown, and the
//    program's own figure from the window being shown to the page being back
//    as the user left it ("page shown after N ms").
//
// 4. With "ratbagd": the -autostart run of part 2 while libratbag's
//    ratbagd.devel serves its test mouse on a private system bus (the
//    ratbagd service thread idle with a daemon to watch).
//
// Usage: bench_startup [program folder [start|tray|ratbagd]] (default: the
// build's program folder, parts 1 to 3)
#include "tests/testsupport/ratbag_daemon.h"
#include "tests/testsupport/temp_program_folder.h"
#include "tests/testsupport/xvfb_server.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Runs = 5;

QByteArray readProc(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The number after "key" in a /proc key-value file (0 when absent).
qint64 procField(const QByteArray &text, const QByteArray &key)
{
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

QString roleFromCommandLine(qint64 pid);

qint64 parentOf(qint64 pid)
{
    const QByteArray text = readProc(QStringLiteral("/proc/%1/stat").arg(pid));
    // "pid (comm) state ppid ...": comm may hold blanks, so read after ')'.
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return -1;
    return text.mid(close + 2).split(' ').value(1).toLongLong();
}

// The process's role: the program's name, or the browser helper's --type
// (the zygote's children keep its command line: they are the renderers).
QString roleOf(qint64 pid)
{
    const QString own = roleFromCommandLine(pid);
    if (own == QLatin1String("zygote") && roleFromCommandLine(parentOf(pid)) == own)
        return QStringLiteral("renderer");
    return own;
}

QString roleFromCommandLine(qint64 pid)
{
    const QList<QByteArray> arguments =
        readProc(QStringLiteral("/proc/%1/cmdline").arg(pid)).split('\0');
    QString name = QFileInfo(QString::fromLocal8Bit(arguments.value(0))).fileName();
    for (const QByteArray &argument : arguments) {
        if (argument.startsWith("--type="))
            name = QString::fromLatin1(argument.mid(7));
        if (argument.startsWith("--utility-sub-type="))
            name += QLatin1Char(':') + QString::fromLatin1(argument.mid(19)).section('.', -2, -2);
    }
    return name;
}

// The process and all its descendants.
std::vector<qint64> processTree(qint64 root)
{
    std::vector<std::pair<qint64, qint64>> all; // pid, parent
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (ok)
            all.emplace_back(pid, parentOf(pid));
    }
    std::vector<qint64> tree{root};
    for (size_t i = 0; i < tree.size(); ++i) {
        for (const auto &[pid, parent] : all) {
            if (parent == tree[i])
                tree.push_back(pid);
        }
    }
    return tree;
}

struct Memory
{
    qint64 pssKiB = 0; // proportional: shared pages divided among their users
    qint64 rssKiB = 0;
    QStringList processes; // "role PSS"
    double pssMiB() const { return double(pssKiB) / 1024.0; }
    double rssMiB() const { return double(rssKiB) / 1024.0; }
};

Memory memoryOf(qint64 root)
{
    Memory memory;
    for (qint64 pid : processTree(root)) {
        const qint64 pss =
            procField(readProc(QStringLiteral("/proc/%1/smaps_rollup").arg(pid)), "Pss:");
        memory.pssKiB += pss;
        memory.rssKiB += procField(readProc(QStringLiteral("/proc/%1/status").arg(pid)), "VmRSS:");
        memory.processes << QStringLiteral("%1 %2").arg(roleOf(pid)).arg(pss / 1024.0, 0, 'f', 1);
    }
    return memory;
}

// Context switches of every thread of the tree, per thread id.
QMap<qint64, qint64> switchesOf(qint64 root, QMap<qint64, QString> *roles)
{
    QMap<qint64, qint64> result;
    for (qint64 pid : processTree(root)) {
        const QString role = roleOf(pid);
        const QStringList threads = QDir(QStringLiteral("/proc/%1/task").arg(pid))
                                        .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &tid : threads) {
            const QByteArray status =
                readProc(QStringLiteral("/proc/%1/task/%2/status").arg(pid).arg(tid));
            // The first line: "Name:\t<thread name>".
            const QByteArray name = status.left(status.indexOf('\n')).mid(5).trimmed();
            result[tid.toLongLong()] = procField(status, "voluntary_ctxt_switches:") +
                                       procField(status, "nonvoluntary_ctxt_switches:");
            (*roles)[tid.toLongLong()] = role + QLatin1Char('/') + QString::fromLatin1(name);
        }
    }
    return result;
}

struct Wakeups
{
    double perSecond = 0;
    QStringList busiest; // "process/thread n/s"
};

// Wake-ups of all processes of the tree over the given time.
Wakeups wakeupsOf(qint64 root, int milliseconds)
{
    QMap<qint64, QString> roles;
    const QMap<qint64, qint64> before = switchesOf(root, &roles);
    QThread::msleep(milliseconds);
    const QMap<qint64, qint64> after = switchesOf(root, &roles);
    Wakeups wakeups;
    std::vector<std::pair<double, QString>> threads;
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        const double rate = double(it.value() - before.value(it.key())) * 1000.0 / milliseconds;
        wakeups.perSecond += rate;
        threads.emplace_back(rate, roles.value(it.key()));
    }
    std::sort(threads.begin(), threads.end(),
              [](const auto &a, const auto &b) { return a.first > b.first; });
    for (size_t i = 0; i < threads.size() && i < 4 && threads[i].first >= 0.5; ++i)
        wakeups.busiest
            << QStringLiteral("%1 %2/s").arg(threads[i].second).arg(threads[i].first, 0, 'f', 1);
    return wakeups;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

QString spread(const std::vector<double> &values, int decimals)
{
    return QStringLiteral("median %1 (range %2 to %3)")
        .arg(median(values), 0, 'f', decimals)
        .arg(*std::min_element(values.begin(), values.end()), 0, 'f', decimals)
        .arg(*std::max_element(values.begin(), values.end()), 0, 'f', decimals);
}

// One started program with a home of its own; its output is collected.
class Started
{
public:
    // display: empty for offscreen. sameUser: a running program whose user
    // (home, runtime folder, instance name) this start shares.
    Started(const QString &program, const QStringList &arguments, const QString &display,
            const Started *sameUser = nullptr)
    {
        QDir().mkpath(m_home.filePath(QStringLiteral("tmp")));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_home.path());
        env.insert(QStringLiteral("TMPDIR"), m_home.filePath(QStringLiteral("tmp")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path());
        env.insert(QStringLiteral("XDG_CACHE_HOME"), m_home.filePath(QStringLiteral("cache")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("KELV_INSTANCE_SERVER"),
                   QStringLiteral("kelv-bench-") + QUuid::createUuid().toString(QUuid::Id128));
        env.insert(QStringLiteral("DC_SIM_DIR"), m_home.filePath(QStringLiteral("sim")));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        // The engine's sandbox cannot run for root; the program switches it off
        // there itself, the bare page is told.
        if (::geteuid() == 0)
            env.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
        if (display.isEmpty()) {
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            env.remove(QStringLiteral("DISPLAY"));
        } else {
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
            env.insert(QStringLiteral("DISPLAY"), display);
        }
        m_env = sameUser ? sameUser->m_env : env;
        m_process.setProgram(program);
        m_process.setArguments(arguments);
        m_process.setWorkingDirectory(m_home.path());
        m_process.setProcessEnvironment(m_env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_clock.start();
        m_process.start();
    }

    ~Started()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(30000)) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    qint64 pid() const { return m_process.processId(); }
    QProcessEnvironment environment() const { return m_env; }
    QByteArray output() const { return m_output; }
    qint64 elapsedMs() const { return m_clock.elapsed(); }

    // Milliseconds since the start when text was first seen after the
    // output's position from (-1 when it did not come within timeoutMs).
    double waitFor(const QByteArray &text, qsizetype from = 0, int timeoutMs = 120000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (m_output.indexOf(text, from) < 0) {
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return -1;
            m_process.waitForReadyRead(5);
            m_output += m_process.readAll();
        }
        return double(m_clock.nsecsElapsed()) / 1e6;
    }
    void collect() { m_output += m_process.readAll(); }

private:
    QTemporaryDir m_home;
    QProcessEnvironment m_env;
    QProcess m_process;
    QByteArray m_output;
    QElapsedTimer m_clock;
};

// Runs a tool against the display; its standard output.
QString runTool(const QString &display, const QString &program, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    process.waitForFinished(10000);
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

// Closes the program's window as a user does: a click on the page's close
// button at the right end of its title bar.
bool clickCloseButton(const QString &display)
{
    const QString window =
        runTool(display, QStringLiteral("xdotool"),
                {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                 QStringLiteral("--name"), QStringLiteral("^Gaming Mouse Software$")})
            .section('\n', 0, 0);
    if (window.isEmpty())
        return false;
    const QString geometry =
        runTool(display, QStringLiteral("xdotool"),
                {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window});
    const int width =
        QRegularExpression(QStringLiteral("WIDTH=(\\d+)")).match(geometry).captured(1).toInt();
    if (width <= 0)
        return false;
    return kelv::test::xdotool(display, {QStringLiteral("mousemove"), QStringLiteral("--window"),
                                         window, QString::number(width - 23), QStringLiteral("12"),
                                         QStringLiteral("click"), QStringLiteral("1")});
}

void printStartups(const char *name, const std::vector<double> &loads,
                   const std::vector<Memory> &memories)
{
    std::vector<double> pss, rss;
    for (const Memory &m : memories) {
        pss.push_back(m.pssMiB());
        rss.push_back(m.rssMiB());
    }
    std::printf("%-10s start to page loaded: %s ms\n", name, qPrintable(spread(loads, 0)));
    std::printf("%-10s memory, page shown:   %s MiB PSS; RSS %s MiB\n", name,
                qPrintable(spread(pss, 1)), qPrintable(spread(rss, 1)));
}

int startupComparison(const QString &programFolder, const QString &emptyPage, double *ratioLoad,
                      double *ratioMemory)
{
    std::vector<double> kelvLoads, bareLoads;
    std::vector<Memory> kelvMemory, bareMemory;
    for (int i = 0; i < Runs * 2; ++i) {
        const bool isKelv = i % 2 == 0;
        const QString program =
            isKelv ? programFolder + QStringLiteral("/kelv") : QStringLiteral(KELV_BENCH_BARE_PAGE);
        Started started(program, isKelv ? QStringList() : QStringList{emptyPage}, QString());
        const double loaded = started.waitFor("page loaded");
        started.collect();
        if (loaded < 0 || started.output().contains("page failed to load")) {
            std::fprintf(stderr, "bench_startup: the page did not load:\n%s\n",
                         started.output().constData());
            return 1;
        }
        // Let the helper processes settle after the first paint.
        QThread::msleep(1500);
        const Memory memory = memoryOf(started.pid());
        (isKelv ? kelvLoads : bareLoads).push_back(loaded);
        (isKelv ? kelvMemory : bareMemory).push_back(memory);
        std::printf("run %d %-9s page loaded %4.0f ms; PSS %.1f MiB (%s)\n", i / 2 + 1,
                    isKelv ? "kelv" : "bare page", loaded, memory.pssMiB(),
                    qPrintable(memory.processes.join(QStringLiteral(", "))));
        std::fflush(stdout);
    }
    printStartups("kelv", kelvLoads, kelvMemory);
    printStartups("bare page", bareLoads, bareMemory);
    std::vector<double> kelvPss, barePss;
    for (const Memory &m : kelvMemory)
        kelvPss.push_back(m.pssMiB());
    for (const Memory &m : bareMemory)
        barePss.push_back(m.pssMiB());
    *ratioLoad = median(kelvLoads) / median(bareLoads);
    *ratioMemory = median(kelvPss) / median(barePss);
    return 0;
}

void printHidden(const char *name, const char *when, const Memory &memory)
{
    std::printf("hidden, %-22s after %s: PSS %.1f MiB, RSS %.1f MiB (%s)\n", name, when,
                memory.pssMiB(), memory.rssMiB(),
                qPrintable(memory.processes.join(QStringLiteral(", "))));
    std::fflush(stdout);
}

// One program in the tray: started with -autostart, or shown and then closed
// by the user. Memory after 10 s and 120 s in the tray, the wake-ups between
// 110 s and 120 s, and the time to open the window again.
int trayRun(const QString &programFolder, const QString &display, bool autostartRun)
{
    const char *name = autostartRun ? "started with -autostart" : "window shown and closed";
    // A copy of the program folder: each run keeps its own profiles.
    QTemporaryDir folder;
    if (!kelv::test::copyTree(programFolder, folder.path()))
        return 1;
    const QString program = folder.filePath(QStringLiteral("kelv"));
    Started run(program, autostartRun ? QStringList{QStringLiteral("-autostart")} : QStringList(),
                display);
    if (run.waitFor(autostartRun ? "mainwindow show!" : "page loaded") < 0) {
        std::fprintf(stderr, "bench_startup: no start:\n%s\n", run.output().constData());
        return 1;
    }
    if (!autostartRun) {
        // The page's handlers are in place once it is ready; then the user closes it.
        QThread::msleep(2000);
        if (!clickCloseButton(display)) {
            std::fprintf(stderr, "bench_startup: the window could not be closed\n");
            return 1;
        }
    }
    const qint64 hiddenAt = run.elapsedMs();
    const auto sampleAt = [&](qint64 afterMs) {
        QThread::msleep(std::max<qint64>(0, hiddenAt + afterMs - run.elapsedMs()));
        run.collect();
        return memoryOf(run.pid());
    };
    printHidden(name, "10 s", sampleAt(10000));
    QThread::msleep(std::max<qint64>(0, hiddenAt + 110000 - run.elapsedMs()));
    const Wakeups wakeups = wakeupsOf(run.pid(), 10000);
    printHidden(name, "120 s", sampleAt(120000));
    std::printf("hidden, %-22s idle wake-ups of all processes: %.1f/s (busiest threads: %s)\n",
                name, wakeups.perSecond, qPrintable(wakeups.busiest.join(QStringLiteral(", "))));

    // Opening the window again, as the tray or a second start does: the time
    // until the window is shown, and until the page shows what the user left
    // ("page shown", written once a page that slept is back).
    run.collect();
    const qsizetype from = run.output().size();
    const double before = double(run.elapsedMs());
    {
        Started second(program, {}, display, &run);
        const double windowShown = run.waitFor("window shown for another start", from, 30000);
        const double pageShown = run.waitFor("page shown", from, 10000);
        run.waitFor(" ms (woken", from, 1000);
        // The program's own figure: from the window being shown to the page
        // being back ("page shown after N ms (woken for the window)").
        const QRegularExpressionMatch own =
            QRegularExpression(QStringLiteral("page shown after (\\d+) ms"))
                .match(QString::fromUtf8(run.output().mid(from)));
        if (pageShown < 0 || !own.hasMatch())
            std::printf("hidden, %-22s opened again: window shown %.0f ms after the second start; "
                        "the page stayed awake\n",
                        name, windowShown - before);
        else
            std::printf("hidden, %-22s opened again: window shown %.0f ms after the second start, "
                        "page shown %s ms after the window\n",
                        name, windowShown - before, qPrintable(own.captured(1)));
    }
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QString built =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(KELV_BENCH_PROGRAM_DIR);
    // A copy of the program folder, as an installed program would be.
    QTemporaryDir folder;
    if (!kelv::test::copyTree(built, folder.path()) ||
        !QFile::exists(folder.filePath(QStringLiteral("kelv")))) {
        std::fprintf(stderr, "bench_startup: no program in %s\n", qPrintable(built));
        return 1;
    }
    const QString emptyPage = folder.filePath(QStringLiteral("empty.html"));
    QFile empty(emptyPage);
    if (!empty.open(QIODevice::WriteOnly) ||
        empty.write("<!doctype html><html><head><title></title></head><body></body></html>\n") < 0)
        return 1;
    empty.close();

    const QString part = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    if (part != QLatin1String("tray") && part != QLatin1String("ratbagd")) {
        double loadRatio = 0, memoryRatio = 0;
        if (const int failed =
                startupComparison(folder.path(), emptyPage, &loadRatio, &memoryRatio))
            return failed;
        std::printf("kelv / bare page: start %.2fx, memory shown %.2fx\n", loadRatio, memoryRatio);
        std::fflush(stdout);
    }
    if (part == QLatin1String("start"))
        return 0;
    // In the tray one after the other: two programs side by side would share
    // their libraries' pages and each show less.
    kelv::test::XvfbServer xvfb;
    if (!xvfb.isRunning()) {
        std::fprintf(stderr, "bench_startup: no Xvfb\n");
        return 1;
    }
    // A desktop with a tray: the closed window rests there.
    kelv::test::TrayHost tray(xvfb.display());
    if (!tray.isRunning()) {
        std::fprintf(stderr, "bench_startup: no tray (kelv_tray_host)\n");
        return 1;
    }
    if (part == QLatin1String("ratbagd")) {
#ifdef KELV_RATBAGD_DEVEL_FILE
        if (qEnvironmentVariableIsEmpty("KELV_RATBAGD_DEVEL"))
            qputenv("KELV_RATBAGD_DEVEL", KELV_RATBAGD_DEVEL_FILE);
        if (qEnvironmentVariableIsEmpty("KELV_RATBAGD_DATA"))
            qputenv("KELV_RATBAGD_DATA", KELV_RATBAGD_DATA_FOLDER);
#endif
        if (const QString why = kelv::test::RatbagDaemon::unavailable(); !why.isEmpty()) {
            std::fprintf(stderr, "bench_startup: %s\n", qPrintable(why));
            return 1;
        }
        // The program started below finds the daemon through this process's
        // environment (the private bus and the daemon's name).
        kelv::test::RatbagDaemon daemon;
        if (!daemon.start()) {
            std::fprintf(stderr, "bench_startup: ratbagd.devel did not start\n");
            return 1;
        }
        std::printf("ratbagd.devel serves its test mouse on a private system bus\n");
        return trayRun(folder.path(), xvfb.display(), true);
    }
    for (const bool autostartRun : {true, false}) {
        if (const int failed = trayRun(folder.path(), xvfb.display(), autostartRun))
            return failed;
    }
    return 0;
}
