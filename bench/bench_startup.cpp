// Start-up cost of the program as a user meets it: from starting the
// executable to the page's load-finished, offscreen, each start cold (a fresh
// home, temporary folder and browser profile), and the resident memory of the
// program with all its browser helper processes once the page is loaded.
//
// Usage: bench_startup [program folder] (default: the build's program folder)
#include "tests/testsupport/temp_program_folder.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int Runs = 5;

// Resident set size of one process in KiB (0 when it is gone).
qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

// Proportional set size in KiB: shared pages divided among their users, so
// the sum over the processes does not count the helpers' shared code twice.
qint64 proportionalKiB(qint64 pid)
{
    QFile rollup(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (!rollup.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : rollup.readAll().split('\n')) {
        if (line.startsWith("Pss:"))
            return line.mid(4).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

qint64 parentOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // "pid (comm) state ppid ...": comm may hold blanks, so read after ')'.
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return -1;
    return text.mid(close + 2).split(' ').value(1).toLongLong();
}

QString nameOf(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    return comm.open(QIODevice::ReadOnly) ? QString::fromUtf8(comm.readAll()).trimmed() : QString();
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

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Run
{
    double loadMs = -1;
    qint64 totalKiB = 0;
    qint64 proportionalKiB = 0;
    QStringList processes;
};

Run startOnce(const QString &programFolder)
{
    Run run;
    QTemporaryDir home;
    QDir().mkpath(home.filePath(QStringLiteral("tmp")));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("TMPDIR"), home.filePath(QStringLiteral("tmp")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path());
    env.insert(QStringLiteral("KELV_INSTANCE_SERVER"),
               QStringLiteral("kelv-bench-") + QUuid::createUuid().toString(QUuid::Id128));
    env.remove(QStringLiteral("DISPLAY"));

    QProcess process;
    process.setProgram(programFolder + QStringLiteral("/kelv"));
    process.setWorkingDirectory(home.path());
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);

    QElapsedTimer timer;
    timer.start();
    process.start();
    QByteArray output;
    QDeadlineTimer deadline(120000);
    while (!deadline.hasExpired() && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(20);
        output += process.readAll();
        if (output.contains("page loaded")) {
            run.loadMs = double(timer.nsecsElapsed()) / 1e6;
            break;
        }
    }
    if (run.loadMs >= 0 && !output.contains("page failed to load")) {
        // Let the helper processes settle after the first paint.
        QThread::msleep(1000);
        for (qint64 pid : processTree(process.processId())) {
            const qint64 kib = residentKiB(pid);
            run.totalKiB += kib;
            run.proportionalKiB += proportionalKiB(pid);
            run.processes
                << QStringLiteral("%1 %2 MiB").arg(nameOf(pid)).arg(kib / 1024.0, 0, 'f', 1);
        }
    } else {
        run.loadMs = -1;
        std::fprintf(stderr, "bench_startup: the page did not load:\n%s\n", output.constData());
    }
    process.terminate();
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(10000);
    }
    return run;
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

    std::vector<double> loads;
    std::vector<double> memory;
    std::vector<double> proportional;
    for (int i = 0; i < Runs; ++i) {
        const Run run = startOnce(folder.path());
        if (run.loadMs < 0)
            return 1;
        loads.push_back(run.loadMs);
        memory.push_back(double(run.totalKiB) / 1024.0);
        proportional.push_back(double(run.proportionalKiB) / 1024.0);
        std::printf("run %d: start to page loaded %.0f ms; resident %.1f MiB (%s)\n", i + 1,
                    run.loadMs, double(run.totalKiB) / 1024.0,
                    qPrintable(run.processes.join(QStringLiteral(", "))));
        std::fflush(stdout);
    }
    std::printf("cold start to page loaded: median %.0f ms of %d (min %.0f, max %.0f)\n",
                median(loads), Runs, *std::min_element(loads.begin(), loads.end()),
                *std::max_element(loads.begin(), loads.end()));
    std::printf("resident memory after load, all processes: median %.1f MiB RSS, %.1f MiB PSS\n",
                median(memory), median(proportional));
    return 0;
}
