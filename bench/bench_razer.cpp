// Razer mice through OpenRazer's real daemon (Debian's openrazer-daemon, unpacked, on a
// private session bus with fake device folders):
//  - reading every property of a Razer mouse as the page does when it connects (the
//    description, then each property it lists), through the dispatcher and (with the browser
//    parts) from a real page through cefQuery: one round of reads, timed;
//  - the idle wake-ups per second of the real program started with -autostart (in the
//    notification area of a private X screen, no window), with two wireless mice whose
//    batteries it watches: the program's own threads and the daemon's, counted from the
//    kernel's context switches.
//
//   build/bin/bench_razer [rounds]     (default 50)

#include "bench/bench_app.h"
#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "device/device_list.h"
#include "device/devices_handler.h"
#include "tests/testsupport/razer_daemon.h"
#include "tests/testsupport/recording_callback.h"
#include "tests/testsupport/temp_program_folder.h"
#include "tests/testsupport/xvfb_server.h"

#ifdef KELV_BENCH_PAGE
#include "bench/page_round_trip.h"
#include "bridge/request_router.h"
#endif

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <vector>

using namespace kelv;

namespace {

QString escaped(QString id)
{
    return id.replace(QLatin1String("\\"), QLatin1String("\\\\"));
}

QString readRequest(const QString &id, int prop, int size)
{
    return QStringLiteral(R"({"funcname":"readDevicesProp","HardwareID":"%1","DevicePath":"",)"
                          R"("PARAMSIZE":%2,"PARAMID":%3})")
        .arg(escaped(id))
        .arg(size)
        .arg(prop);
}

// What the page reads when it connects: the description, every property it lists (64 to 66
// aside), the battery and the last result.
QStringList connectReads(devices_handler &devices, const QString &id)
{
    const QByteArray raw = devices.readProp(id, 2048, 64);
    const QJsonObject d = QJsonDocument::fromJson(raw.left(raw.indexOf('\0'))).object();
    QStringList reads{readRequest(id, 64, 2048)};
    for (const QJsonValue &p : d.value(QStringLiteral("properties")).toArray()) {
        const int prop = p.toInt();
        if (prop >= 64 && prop <= 66)
            continue;
        reads << readRequest(id, prop, prop == 3 ? 10 : prop == 8 ? 18 : 2);
    }
    reads << readRequest(id, 66, 1);
    return reads;
}

double roundMs(const Dispatcher &dispatcher, const QStringList &requests)
{
    QElapsedTimer timer;
    timer.start();
    for (const QString &json : requests) {
        const Members members = QJsonDocument::fromJson(json.toUtf8()).object().toVariantMap();
        const auto callback = test::RecordingCallback::create();
        dispatcher.dispatch(members.value(QStringLiteral("funcname")).toString(), members,
                            callback);
        QDeadlineTimer deadline(10000);
        while (!callback->answered() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return timer.nsecsElapsed() / 1e6;
}

QList<qint64> treeOf(qint64 root)
{
    QList<qint64> pids{root};
    for (int i = 0; i < pids.size(); ++i) {
        for (const QString &tid : QDir(QStringLiteral("/proc/%1/task").arg(pids[i]))
                                      .entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile f(QStringLiteral("/proc/%1/task/%2/children").arg(pids[i]).arg(tid));
            if (f.open(QIODevice::ReadOnly))
                for (const QByteArray &c : f.readAll().split(' '))
                    if (c.trimmed().toLongLong() > 0)
                        pids << c.trimmed().toLongLong();
        }
    }
    return pids;
}

// Context switches of every thread of the processes, by "pid/tid name".
QMap<QString, qint64> switchesOf(const QList<qint64> &pids)
{
    QMap<QString, qint64> out;
    for (qint64 pid : pids) {
        for (const QString &tid : QDir(QStringLiteral("/proc/%1/task").arg(pid))
                                      .entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile f(QStringLiteral("/proc/%1/task/%2/status").arg(pid).arg(tid));
            if (!f.open(QIODevice::ReadOnly))
                continue;
            qint64 sum = 0;
            QString name;
            for (const QByteArray &line : f.readAll().split('\n')) {
                if (line.startsWith("Name:"))
                    name = QString::fromUtf8(line.mid(5).trimmed());
                if (line.startsWith("voluntary_ctxt_switches:") ||
                    line.startsWith("nonvoluntary_ctxt_switches:"))
                    sum += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
            }
            out.insert(QStringLiteral("%1/%2 %3").arg(pid).arg(tid).arg(name), sum);
        }
    }
    return out;
}

// Wake-ups per second of all their threads, and the busiest threads.
double wakeupsPerSecond(const QList<qint64> &pids, int ms, QStringList *busiest = nullptr)
{
    const QMap<QString, qint64> before = switchesOf(pids);
    QThread::msleep(ms);
    const QMap<QString, qint64> after = switchesOf(pids);
    double total = 0;
    std::vector<std::pair<double, QString>> threads;
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        const double rate = double(it.value() - before.value(it.key(), it.value())) * 1000.0 / ms;
        total += rate;
        threads.emplace_back(rate, it.key().section(QLatin1Char(' '), 1));
    }
    std::sort(threads.begin(), threads.end(),
              [](const auto &a, const auto &b) { return a.first > b.first; });
    for (size_t i = 0; busiest && i < threads.size() && i < 5 && threads[i].first >= 0.05; ++i)
        *busiest
            << QStringLiteral("%1 %2/s").arg(threads[i].second).arg(threads[i].first, 0, 'f', 2);
    return total;
}

int idleInTheTray(test::RazerDaemon &daemon, qint64 daemonPid)
{
    test::XvfbServer xvfb;
    // A desktop with a notification area: without one the program shows its window.
    test::TrayHost tray(xvfb.display());
    QTemporaryDir folder, home;
    if (!xvfb.isRunning() || !tray.isRunning() ||
        !test::copyTree(bench::programFolder(), folder.path())) {
        std::fprintf(stderr, "bench_razer: no display, notification area or program folder\n");
        return 1;
    }
    QProcess kelv;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), xvfb.display());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path());
    env.insert(QStringLiteral("KELV_INSTANCE_SERVER"), home.filePath(QStringLiteral("instance")));
    env.insert(QStringLiteral("DC_SIM_DIR"), home.filePath(QStringLiteral("sim")));
    env.remove(QStringLiteral("KELV_BATTERY_POLL_SECONDS")); // the program's own once a minute
    kelv.setProcessEnvironment(env);
    kelv.setProcessChannelMode(QProcess::MergedChannels);
    kelv.start(folder.filePath(QStringLiteral("kelv")), {QStringLiteral("-autostart")});
    if (!kelv.waitForStarted(10000))
        return 1;
    QThread::msleep(100000); // settled in the tray: the page asleep, its memory given back
    const QList<qint64> program = treeOf(kelv.processId());
    QStringList busiest;
    const double own = wakeupsPerSecond(program, 60000, &busiest);
    std::printf("in the tray (-autostart), two wireless mice, 60 s: program %.2f wake-ups/s "
                "(%lld processes; busiest threads: %s)\n",
                own, qlonglong(program.size()), qPrintable(busiest.join(QStringLiteral(", "))));
    // The library's threads for OpenRazer and UPower, over the same kind of minute.
    QStringList all;
    const QMap<QString, qint64> before = switchesOf(program);
    QThread::msleep(60000);
    const QMap<QString, qint64> after = switchesOf(program);
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        if (it.key().contains(QLatin1String("kelv-openrazer")) ||
            it.key().contains(QLatin1String("kelv-upower")))
            all << QStringLiteral("%1 %2/s")
                       .arg(it.key().section(QLatin1Char(' '), 1))
                       .arg(double(it.value() - before.value(it.key(), it.value())) / 60.0, 0, 'f',
                            3);
    }
    std::printf(
        "                                          of which the library's daemon threads: %s\n",
        qPrintable(all.join(QStringLiteral(", "))));
    std::printf("                                          the daemon over the next 60 s: %.2f "
                "wake-ups/s\n",
                wakeupsPerSecond({daemonPid}, 60000));
    kelv.terminate();
    kelv.waitForFinished(15000);
    Q_UNUSED(daemon);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const auto app = bench::makeApplication(argc, argv);
    const int rounds = bench::requestCount(argc, argv, 50);
    if (qEnvironmentVariableIsEmpty("KELV_OPENRAZER_DIR"))
        qputenv("KELV_OPENRAZER_DIR", KELV_OPENRAZER_FOLDER);
    if (qEnvironmentVariableIsEmpty("KELV_RAZER_RUNNER"))
        qputenv("KELV_RAZER_RUNNER", KELV_RAZER_RUNNER_FILE);
    if (const QString why = test::RazerDaemon::unavailable(); !why.isEmpty()) {
        std::fprintf(stderr, "bench_razer: %s\n", qPrintable(why));
        return 1;
    }
    QTemporaryDir state;
    qputenv("DC_SIM_DIR", state.path().toLocal8Bit());
    test::RazerDaemon daemon;
    daemon.addMouse(test::RazerDaemon::Model::ViperUltimateWireless,
                    QStringLiteral("PM1947H0000001A"), 1, QStringLiteral("1-3"));
    daemon.addMouse(test::RazerDaemon::Model::ViperUltimateWireless,
                    QStringLiteral("PM1947H0000002B"), 2, QStringLiteral("1-4"));
    if (!daemon.start(2)) {
        std::fprintf(stderr, "bench_razer: the daemon did not start\n");
        return 1;
    }
    qint64 daemonPid = 0;
    {
        const QByteArray out = daemon.busctl(
            {QStringLiteral("--json=short"), QStringLiteral("call"),
             QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
             QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"),
             QStringLiteral("s"), QStringLiteral("org.razer")});
        daemonPid = QJsonDocument::fromJson(out).object().value("data").toArray().at(0).toInteger();
    }

    devices_handler devices(bench::programFolder() + QStringLiteral("/libdc.so"), nullptr);
    QString mouse;
    QElapsedTimer timer;
    timer.start();
    while (mouse.isEmpty() && timer.elapsed() < 10000) {
        for (const DeviceInfo &info : parseDeviceList(devices.listDevices()))
            if (info.HardwareID.startsWith(QLatin1String("RAZER\\")))
                mouse = info.HardwareID;
        QTest::qWait(5);
    }
    if (mouse.isEmpty()) {
        std::fprintf(stderr, "bench_razer: no Razer mouse listed\n");
        return 1;
    }
    std::printf("start: library loaded to a Razer mouse in the list          %8.1f ms\n",
                timer.nsecsElapsed() / 1e6);
    const QStringList reads = connectReads(devices, mouse);
    Dispatcher dispatcher;
    registerDeviceCommands(dispatcher, &devices);
    roundMs(dispatcher, reads); // warm up
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i)
        ms.push_back(roundMs(dispatcher, reads));
    std::sort(ms.begin(), ms.end());
    std::printf(
        "dispatcher: every property (%lld reads), one round        p50 %8.2f ms  max %8.2f ms\n",
        qlonglong(reads.size()), ms[ms.size() / 2], ms.back());

#ifdef KELV_BENCH_PAGE
    test::RoutedView routed;
    registerDeviceCommands(routed.router.dispatcher(), &devices);
    routed.view.show();
    const QUrl url = routed.fixture.writePage(QStringLiteral("view/bench.html"),
                                              "<!DOCTYPE html><html><body>bench</body></html>");
    if (test::loadAndWait(routed.view, url)) {
        bench::throughPage(routed.view, reads, int(reads.size()));
        const bench::PageFigures f =
            bench::throughPage(routed.view, reads, int(reads.size()) * rounds);
        std::printf("page: every property, one round (%lld reads at p50 %.3f ms)  %8.2f ms\n",
                    qlonglong(reads.size()), f.p50Ms, f.meanMs * reads.size());
    }
#endif
    return idleInTheTray(daemon, daemonPid);
}
