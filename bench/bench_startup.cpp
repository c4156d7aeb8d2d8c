// Start-up and tray cost of the program as a user meets it, next to the
// engine's floor (bench_bare_page: a bare Qt WebEngine view with an empty
// local page) measured in the same run.
//
// 1. Start (offscreen, each start cold: a fresh home, temporary folder and
//    browser profile), kelv, the bare page and the program's page in the bare
//    view ("its page": the page's own cost, without the native side) taking
//    turns, 5 runs each: the time from starting the executable to "page
//    loaded" and the processor time all their processes and threads had used
//    by then (a figure less shaken by other work on the machine), and the
//    memory of the program with
//    all its browser helper processes 1.5 s after the page loaded and once it
//    has settled, 8 s after (the engine keeps the buffers of the start's
//    first pictures for a few seconds) (PSS per process, summed; RSS summed).
//    The bare page has the program's window size (conf.xml's clientSize).
// 2. Hidden in the tray (under a private Xvfb, so the window can be closed as
//    a user closes it): started with -autostart, and started shown with the
//    window closed by a click on the page's close button once it is ready,
//    one after the other. Memory 10 s and 120 s after they went to the tray,
//    and the wake-ups per second of all their processes (context switches of
//    every thread) between 110 s and 120 s.
// 3. Opening the window with a click on the tray icon, five times (closed
//    with the page's close button in between, once the page slept again): the
//    time from the click until the window is shown, and until the page is
//    back as the user left it ("page shown"). The first opening of the
//    -autostart run is the window's first showing.
//
// Started as root, the program in the tray runs as the unprivileged user
// "kelvbench" (made when missing) from a program folder that user may only
// read, with Chromium's sandbox on, as a user runs it: root may page out any
// file's pages, a user only those of files of its own. Memory is printed with
// its anonymous part and its part of files' pages.
//
// 4. With "ratbagd": the -autostart run of measurement 2 while libratbag's
//    ratbagd.devel serves its test mouse on a private system bus (the
//    ratbagd service thread idle with a daemon to watch), as the user running
//    this (the bus is that user's).
//
// 5. With "open": measurement 3 alone, ten times, as soon as the page of an
//    -autostart run has gone to sleep and given its memory back.
//
// Usage: bench_startup [program folder [start|tray|ratbagd|open]] (default:
// the build's program folder, measurements 1 to 3)
#include "tests/testsupport/program_home.h"
#include "tests/testsupport/ratbag_daemon.h"
#include "tests/testsupport/temp_program_folder.h"
#include "tests/testsupport/xvfb_server.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Runs = 5;
// How often the window is opened from the tray and closed again.
constexpr int OpenRuns = 5;

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
    qint64 anonKiB = 0; // of which anonymous (heaps, stacks)
    qint64 fileKiB = 0; // of which pages of files (libraries, fonts, data files)
    qint64 rssKiB = 0;
    // PSS as if the tree were alone on the machine: a page is divided among the
    // tree's own processes only (0 where the pages cannot be read).
    qint64 alonePssKiB = 0;
    qint64 aloneFileKiB = 0; // of which pages of files
    QStringList processes; // "role PSS"
    double pssMiB() const { return double(pssKiB) / 1024.0; }
    double anonMiB() const { return double(anonKiB) / 1024.0; }
    double fileMiB() const { return double(fileKiB) / 1024.0; }
    double rssMiB() const { return double(rssKiB) / 1024.0; }
    double alonePssMiB() const { return double(alonePssKiB) / 1024.0; }
    double aloneFileMiB() const { return double(aloneFileKiB) / 1024.0; }
};

// Marks a page of a file in residentPagesOf's list (frame numbers are far smaller).
constexpr quint64 FilePage = quint64(1) << 63;

// The physical pages (page frame numbers, FilePage added for pages of files) a
// process has in memory; empty when its page map cannot be read (it needs the
// rights of an administrator).
std::vector<quint64> residentPagesOf(qint64 pid)
{
    std::vector<quint64> pages;
    QFile pagemap(QStringLiteral("/proc/%1/pagemap").arg(pid));
    if (!pagemap.open(QIODevice::ReadOnly))
        return pages;
    const qint64 pageSize = ::sysconf(_SC_PAGESIZE);
    // Only the ranges with resident pages are read (the engine reserves far
    // more address space than it uses).
    qulonglong start = 0, end = 0;
    for (const QByteArray &line : readProc(QStringLiteral("/proc/%1/smaps").arg(pid)).split('\n')) {
        const QByteArray range = line.left(line.indexOf(' '));
        if (range.contains('-') && !range.endsWith(':')) {
            start = range.left(range.indexOf('-')).toULongLong(nullptr, 16);
            end = range.mid(range.indexOf('-') + 1).toULongLong(nullptr, 16);
            continue;
        }
        if (!line.startsWith("Rss:") || procField(line, "Rss:") == 0 || end <= start)
            continue;
        std::vector<quint64> entries((end - start) / pageSize);
        if (!pagemap.seek(qint64(start / pageSize * 8)) ||
            pagemap.read(reinterpret_cast<char *>(entries.data()), qint64(entries.size() * 8)) !=
                qint64(entries.size() * 8))
            continue;
        for (quint64 entry : entries) {
            const quint64 frame = entry & ((quint64(1) << 55) - 1);
            // Present (frame numbers hidden: 0); bit 61: a page of a file (or
            // shared memory), not an anonymous one.
            if ((entry >> 63) && frame != 0)
                pages.push_back(frame | ((entry >> 61) & 1 ? FilePage : 0));
        }
    }
    return pages;
}

Memory memoryOf(qint64 root)
{
    Memory memory;
    std::vector<std::vector<quint64>> resident;
    for (qint64 pid : processTree(root)) {
        const QByteArray rollup = readProc(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
        const qint64 pss = procField(rollup, "Pss:");
        memory.pssKiB += pss;
        memory.anonKiB += procField(rollup, "Pss_Anon:");
        memory.fileKiB += procField(rollup, "Pss_File:");
        memory.rssKiB += procField(readProc(QStringLiteral("/proc/%1/status").arg(pid)), "VmRSS:");
        memory.processes << QStringLiteral("%1 %2").arg(roleOf(pid)).arg(pss / 1024.0, 0, 'f', 1);
        resident.push_back(residentPagesOf(pid));
    }
    // Each page divided among the tree's processes that map it (a page mapped
    // twice by one process counts twice, as PSS does).
    QHash<quint64, int> users;
    for (const std::vector<quint64> &pages : resident) {
        for (quint64 page : pages)
            ++users[page & ~FilePage];
    }
    double alone = 0;
    double aloneFile = 0;
    for (const std::vector<quint64> &pages : resident) {
        for (quint64 page : pages) {
            const double share = 1.0 / users.value(page & ~FilePage);
            alone += share;
            if (page & FilePage)
                aloneFile += share;
        }
    }
    const double pageKiB = double(::sysconf(_SC_PAGESIZE)) / 1024.0;
    memory.alonePssKiB = qint64(alone * pageKiB);
    memory.aloneFileKiB = qint64(aloneFile * pageKiB);
    return memory;
}

// Processor time used so far by every thread of the tree, in milliseconds.
double cpuMsOf(qint64 root)
{
    double ns = 0;
    for (qint64 pid : processTree(root)) {
        const QStringList threads = QDir(QStringLiteral("/proc/%1/task").arg(pid))
                                        .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &tid : threads) {
            // "time on the processor (ns) time waiting (ns) time slices"
            ns += readProc(QStringLiteral("/proc/%1/task/%2/schedstat").arg(pid).arg(tid))
                      .split(' ')
                      .value(0)
                      .toDouble();
        }
    }
    return ns / 1e6;
}

// The program's window size: conf.xml's clientSize ("width,height"), as the
// program reads it (800x600 when it is missing or malformed).
QString windowSizeOf(const QString &programFolder)
{
    QFile file(programFolder + QStringLiteral("/Resources/profiles/conf.xml"));
    const QString conf =
        file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    const QRegularExpressionMatch size =
        QRegularExpression(
            QStringLiteral("<client\\b[^>]*\\bclientSize=\"\\s*(\\d+)\\s*,\\s*(\\d+)"))
            .match(conf);
    if (!size.hasMatch() || size.captured(1).toInt() <= 0 || size.captured(2).toInt() <= 0)
        return QStringLiteral("800x600");
    return size.captured(1) + QLatin1Char('x') + size.captured(2);
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

// The account a program runs under. Root's pages of the system's libraries
// count differently (root may page out any file, a user only files of its
// own), so the tray is measured as users run it: a start as root runs the
// program as the unprivileged user "kelvbench", made when missing.
struct Account
{
    uid_t uid = 0;
    gid_t gid = 0;
    QString name;
    bool switches() const { return uid != 0; }

    static Account unprivileged()
    {
        if (::geteuid() != 0)
            return Account{::geteuid(), ::getegid(), QString::fromLocal8Bit(qgetenv("USER"))};
        const char *name = "kelvbench";
        if (!::getpwnam(name))
            QProcess::execute(QStringLiteral("useradd"),
                              {QStringLiteral("--system"), QStringLiteral("--no-create-home"),
                               QStringLiteral("--shell"), QStringLiteral("/usr/sbin/nologin"),
                               QString::fromLatin1(name)});
        const passwd *entry = ::getpwnam(name);
        if (!entry)
            return Account{};
        return Account{entry->pw_uid, entry->pw_gid, QString::fromLatin1(name)};
    }
};

// Hands a folder tree to the account (no change for the account running this).
bool giveTo(const Account &account, const QString &path)
{
    if (!account.switches() || ::geteuid() != 0)
        return true;
    return QProcess::execute(QStringLiteral("chown"),
                             {QStringLiteral("-R"),
                              QStringLiteral("%1:%2").arg(account.uid).arg(account.gid), path}) ==
           0;
}

// One started program with a home of its own; its output is collected.
class Started
{
public:
    // display: empty for offscreen. sameUser: a running program whose user
    // (home, runtime folder, instance name, account) this start shares.
    // account: the user the program runs as (by default the one running this).
    Started(const QString &program, const QStringList &arguments, const QString &display,
            const Started *sameUser = nullptr, const Account &account = Account{})
        : m_home(display), m_account(sameUser ? sameUser->m_account : account)
    {
        // A user of its own (home, runtime folder, instance name, display).
        QProcessEnvironment env = m_home.environment();
        env.insert(QStringLiteral("XDG_CACHE_HOME"), m_home.filePath(QStringLiteral("cache")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("DC_SIM_DIR"), m_home.filePath(QStringLiteral("sim")));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        // The engine's sandbox cannot run for root; the program switches it off
        // there itself, the bare page is told. A user's run keeps it on.
        const bool switches = m_account.switches() && ::geteuid() == 0;
        if (::geteuid() == 0 && !switches)
            env.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
        if (switches) {
            env.remove(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"));
            env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
            env.insert(QStringLiteral("USER"), m_account.name);
            env.insert(QStringLiteral("LOGNAME"), m_account.name);
            if (!sameUser)
                giveTo(m_account, m_home.path());
            const uid_t uid = m_account.uid;
            const gid_t gid = m_account.gid;
            m_process.setChildProcessModifier([uid, gid] {
                if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                    ::_exit(127);
            });
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

    // Milliseconds since the start when the output that completed text (the
    // first after the output's position from) was read; -1 when it did not
    // come within timeoutMs.
    double waitFor(const QByteArray &text, qsizetype from = 0, int timeoutMs = 120000)
    {
        QDeadlineTimer deadline(timeoutMs);
        qsizetype at = -1;
        while ((at = m_output.indexOf(text, from)) < 0) {
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return -1;
            m_process.waitForReadyRead(5);
            append(m_process.readAll());
        }
        const qsizetype end = at + text.size();
        for (const auto &[size, ms] : m_arrivals) {
            if (size >= end)
                return ms;
        }
        return double(m_clock.nsecsElapsed()) / 1e6;
    }
    // Everything the program has written so far (read from the pipe, not
    // only what was read into the process object before).
    void collect()
    {
        for (;;) {
            m_process.waitForReadyRead(0);
            const QByteArray more = m_process.readAll();
            if (more.isEmpty())
                return;
            append(more);
        }
    }

private:
    void append(const QByteArray &more)
    {
        if (more.isEmpty())
            return;
        m_output += more;
        m_arrivals.emplace_back(m_output.size(), double(m_clock.nsecsElapsed()) / 1e6);
    }

    kelv::test::ProgramHome m_home;
    Account m_account;
    // When the output grew to each size (ms since the start).
    std::vector<std::pair<qsizetype, double>> m_arrivals;
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

// Clicks the program's icon in the tray: its window of the program's class
// that kelv_tray_host has embedded at icon size (the host gives every icon
// that docks a new place, so a later program's icon is further along).
bool clickTrayIcon(const QString &display)
{
    constexpr int IconSize = 24; // as kelv_tray_host lays them out
    const QStringList windows = runTool(display, QStringLiteral("xdotool"),
                                        {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                         QStringLiteral("--class"), QStringLiteral("^kelv$")})
                                    .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &window : windows) {
        const QString geometry =
            runTool(display, QStringLiteral("xdotool"),
                    {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window});
        const auto field = [&](const char *name) {
            return QRegularExpression(QStringLiteral("%1=(-?\\d+)").arg(QLatin1String(name)))
                .match(geometry)
                .captured(1)
                .toInt();
        };
        const int width = field("WIDTH");
        const int height = field("HEIGHT");
        if (width <= 0 || width > IconSize || height <= 0 || height > IconSize)
            continue;
        // Relative to the icon: xdotool's own position of an embedded window
        // counts the offset in its parent twice.
        return kelv::test::xdotool(display,
                                   {QStringLiteral("mousemove"), QStringLiteral("--window"), window,
                                    QString::number(width / 2), QString::number(height / 2),
                                    QStringLiteral("click"), QStringLiteral("1")});
    }
    return false;
}

struct Startup
{
    double loadedMs = 0;
    double cpuMs = 0; // all processes' processor time when the page had loaded
    Memory shown;     // 1.5 s after the page loaded
    Memory settled;   // 8 s after
};

// One figure of each run.
template <typename Figure>
std::vector<double> figuresOf(const std::vector<Startup> &runs, Figure figure)
{
    std::vector<double> figures;
    for (const Startup &run : runs)
        figures.push_back(figure(run));
    return figures;
}

const auto loadedMs = [](const Startup &run) { return run.loadedMs; };
const auto cpuMs = [](const Startup &run) { return run.cpuMs; };
const auto shownPss = [](const Startup &run) { return run.shown.pssMiB(); };
const auto settledPss = [](const Startup &run) { return run.settled.pssMiB(); };
const auto shownAlone = [](const Startup &run) { return run.shown.alonePssMiB(); };
const auto settledAlone = [](const Startup &run) { return run.settled.alonePssMiB(); };

void printStartups(const char *name, const std::vector<Startup> &runs)
{
    std::printf("%-10s start to page loaded: %s ms; processor time by then %s ms\n", name,
                qPrintable(spread(figuresOf(runs, loadedMs), 0)),
                qPrintable(spread(figuresOf(runs, cpuMs), 0)));
    std::printf("%-10s memory, page shown:   %s MiB PSS; RSS %s MiB\n", name,
                qPrintable(spread(figuresOf(runs, shownPss), 1)),
                qPrintable(spread(
                    figuresOf(runs, [](const Startup &run) { return run.shown.rssMiB(); }), 1)));
    std::printf("%-10s memory, page settled: %s MiB PSS\n", name,
                qPrintable(spread(figuresOf(runs, settledPss), 1)));
    std::printf("%-10s PSS as if alone on the machine: page shown %s MiB, settled %s MiB\n", name,
                qPrintable(spread(figuresOf(runs, shownAlone), 1)),
                qPrintable(spread(figuresOf(runs, settledAlone), 1)));
}

int startupComparison(const QString &programFolder, const QString &emptyPage)
{
    const QString windowSize = windowSizeOf(programFolder);
    std::printf("the bare page's window: %s, as the program's\n", qPrintable(windowSize));
    // kelv; the engine's floor; and the program's own page in the bare view
    // (no native side: it starts, finds no bridge and says so), which parts
    // what the page's content costs from what the native side adds.
    struct Contender
    {
        const char *name;
        QString program;
        QStringList arguments;
        std::vector<Startup> runs;
    };
    Contender contenders[] = {
        {"kelv", programFolder + QStringLiteral("/kelv"), {}, {}},
        {"bare page", QStringLiteral(KELV_BENCH_BARE_PAGE), {emptyPage, windowSize}, {}},
        {"its page", QStringLiteral(KELV_BENCH_BARE_PAGE),
         {programFolder + QStringLiteral("/view/index.html"), windowSize}, {}},
    };
    for (int i = 0; i < Runs * 3; ++i) {
        Contender &contender = contenders[i % 3];
        Started started(contender.program, contender.arguments, QString());
        Startup run;
        run.loadedMs = started.waitFor("page loaded");
        run.cpuMs = cpuMsOf(started.pid());
        const double loaded = run.loadedMs;
        started.collect();
        if (loaded < 0 || started.output().contains("page failed to load")) {
            std::fprintf(stderr, "bench_startup: the page did not load:\n%s\n",
                         started.output().constData());
            return 1;
        }
        // Let the helper processes settle after the first paint.
        QThread::msleep(1500);
        run.shown = memoryOf(started.pid());
        QThread::msleep(6500);
        run.settled = memoryOf(started.pid());
        contender.runs.push_back(run);
        std::printf("run %d %-9s page loaded %4.0f ms, processor %4.0f ms; PSS %.1f MiB (%s), "
                    "alone %.1f; settled %.1f MiB, alone %.1f\n",
                    i / 3 + 1, contender.name, loaded, run.cpuMs, run.shown.pssMiB(),
                    qPrintable(run.shown.processes.join(QStringLiteral(", "))),
                    run.shown.alonePssMiB(), run.settled.pssMiB(), run.settled.alonePssMiB());
        std::fflush(stdout);
    }
    for (const Contender &contender : contenders)
        printStartups(contender.name, contender.runs);
    const std::vector<Startup> &bare = contenders[1].runs;
    for (const Contender *contender : {&contenders[0], &contenders[2]}) {
        const auto ratio = [&](auto figure) {
            return median(figuresOf(contender->runs, figure)) / median(figuresOf(bare, figure));
        };
        std::printf("%s / bare page: start %.2fx (processor time %.2fx), memory shown %.2fx, "
                    "settled %.2fx; as if alone: shown %.2fx, settled %.2fx\n",
                    contender->name, ratio(loadedMs), ratio(cpuMs), ratio(shownPss),
                    ratio(settledPss), ratio(shownAlone), ratio(settledAlone));
    }
    std::fflush(stdout);
    return 0;
}

void printHidden(const char *name, const char *when, const Memory &memory)
{
    std::printf("hidden, %-22s after %s: PSS %.1f MiB (anonymous %.1f, file pages %.1f), "
                "RSS %.1f MiB (%s); PSS as if alone %.1f MiB (file pages %.1f)\n",
                name, when, memory.pssMiB(), memory.anonMiB(), memory.fileMiB(), memory.rssMiB(),
                qPrintable(memory.processes.join(QStringLiteral(", "))), memory.alonePssMiB(),
                memory.aloneFileMiB());
    std::fflush(stdout);
}

// One program in the tray: started with -autostart, or shown and then closed
// by the user. Memory after 10 s and 120 s in the tray, the wake-ups between
// 110 s and 120 s, and the time to open the window again.
int trayRun(const QString &programFolder, const QString &display, bool autostartRun,
            const Account &account, bool openingOnly = false)
{
    const char *name = autostartRun ? "started with -autostart" : "window shown and closed";
    // A copy of the program folder: each run keeps its own profiles. Run by
    // another user, it stays root's and is only readable (as a packaged
    // program's is): the user's files go to the user's own folders.
    QTemporaryDir folder;
    if (!kelv::test::copyTree(programFolder, folder.path()) ||
        !QFile::setPermissions(folder.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                                  QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                                  QFileDevice::ExeOther))
        return 1;
    const QString program = folder.filePath(QStringLiteral("kelv"));
    Started run(program, autostartRun ? QStringList{QStringLiteral("-autostart")} : QStringList(),
                display, nullptr, account);
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
    const int openRuns = openingOnly ? 2 * OpenRuns : OpenRuns;
    if (openingOnly && run.waitFor("memory given back", 0, 60000) < 0) {
        std::fprintf(stderr, "bench_startup: the page did not go to sleep\n");
        return 1;
    }
    const auto sampleAt = [&](qint64 afterMs) {
        QThread::msleep(std::max<qint64>(0, hiddenAt + afterMs - run.elapsedMs()));
        run.collect();
        return memoryOf(run.pid());
    };
    if (!openingOnly) {
        printHidden(name, "10 s", sampleAt(10000));
        QThread::msleep(std::max<qint64>(0, hiddenAt + 110000 - run.elapsedMs()));
        const Wakeups wakeups = wakeupsOf(run.pid(), 10000);
        printHidden(name, "120 s", sampleAt(120000));
        std::printf("hidden, %-22s idle wake-ups of all processes: %.1f/s (busiest threads: %s)\n",
                    name, wakeups.perSecond,
                    qPrintable(wakeups.busiest.join(QStringLiteral(", "))));
    }

    // Opening the window again as the user does, with a click on the tray
    // icon, then closing it with the page's close button and waiting until
    // the page sleeps and the memory is given back, OpenRuns times. The first
    // opening of an -autostart run is the window's first showing.
    std::vector<double> windowMs, pageMs;
    for (int i = 0; i < openRuns; ++i) {
        if (i > 0) {
            run.collect();
            const qsizetype closedFrom = run.output().size();
            if (!clickCloseButton(display) ||
                run.waitFor("memory given back", closedFrom, 30000) < 0) {
                std::fprintf(stderr, "bench_startup: the window did not go back to the tray\n");
                return 1;
            }
            QThread::msleep(1000);
        }
        run.collect();
        const qsizetype from = run.output().size();
        const double before = double(run.elapsedMs());
        if (!clickTrayIcon(display)) {
            std::fprintf(stderr, "bench_startup: the tray icon could not be clicked\n");
            return 1;
        }
        // Each figure is the time its line was first seen: the window's comes first.
        const double windowShown = run.waitFor("window shown from the tray", from, 3000);
        const double pageShown = run.waitFor("page shown", from, 10000);
        // (An earlier program does not say when the tray showed the window.)
        if (pageShown < 0) {
            run.collect();
            std::fprintf(stderr, "bench_startup: the click on the tray icon showed %s:\n%s\n",
                         windowShown < 0 ? "no window" : "a page that had not slept",
                         run.output().mid(from).constData());
            return 1;
        }
        windowMs.push_back(windowShown - before);
        pageMs.push_back(pageShown - before);
        // The page's handlers are in place again before the close button is used.
        QThread::msleep(2000);
    }
    std::printf("hidden, %-22s opened with a click on the tray icon: the first time window shown "
                "%.0f ms, page shown %.0f ms after the click; %d times: window %s ms, page %s ms\n",
                name, windowMs.front(), pageMs.front(), openRuns, qPrintable(spread(windowMs, 0)),
                qPrintable(spread(pageMs, 0)));
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
    if (part != QLatin1String("tray") && part != QLatin1String("ratbagd") &&
        part != QLatin1String("open")) {
        if (const int failed = startupComparison(folder.path(), emptyPage))
            return failed;
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
    const Account account = Account::unprivileged();
    if (::geteuid() == 0 && !account.switches()) {
        std::fprintf(stderr, "bench_startup: no unprivileged user to run the program as\n");
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
        // As the user running this: the private system bus is its own.
        return trayRun(folder.path(), xvfb.display(), true, Account{});
    }
    std::printf("in the tray as user %s (uid %u)\n", qPrintable(account.name),
                unsigned(account.uid));
    if (part == QLatin1String("open"))
        return trayRun(folder.path(), xvfb.display(), true, account, true);
    for (const bool autostartRun : {true, false}) {
        if (const int failed = trayRun(folder.path(), xvfb.display(), autostartRun, account))
            return failed;
    }
    return 0;
}
