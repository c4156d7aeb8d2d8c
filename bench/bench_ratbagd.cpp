// Real mice through libratbag's real daemon (ratbagd.devel on a private bus) next to the
// simulated mouse, in the same run:
//  - from loading the device library to a ratbagd mouse in the device list (kelv's start),
//    from the daemon's start to its mouse in the list (a daemon that comes up later), and
//    from a new LoadTestDevice to the manager's devicesChanged (hot plug);
//  - a read (readDevicesProp of the stage values) and a write with its commit
//    (writeDevicesProp of the report rate, which alternates) through the dispatcher, waited
//    for as the page waits, and (with the browser parts) from a real page through cefQuery;
//  - what one request costs while the daemon hangs (SIGSTOP).
//
//   build/bin/bench_ratbagd [requests]     (default 200; libratbag 0.17's daemon)
//   the same against 0.18: with KELV_RATBAGD_DEVEL=build/third_party/libratbag-0.18/build/
//   ratbagd.devel, KELV_RATBAGD_DATA=build/third_party/libratbag-0.18/src/data/devices and
//   KELV_RATBAGD_API=2 in the environment

#include "bench/bench_app.h"
#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "device/device_list.h"
#include "device/devices_handler.h"
#include "tests/testsupport/ratbag_daemon.h"
#include "tests/testsupport/recording_callback.h"

#ifdef KELV_BENCH_PAGE
#include "bench/page_round_trip.h"
#include "bridge/request_router.h"
#endif

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <vector>

using namespace kelv;

namespace {

const char kSim[] = "HID\\\\Vid_0aa0&Pid_5e30";

QString escaped(QString id)
{
    return id.replace(QLatin1String("\\"), QLatin1String("\\\\"));
}

QString readRequest(const QString &id)
{
    return QStringLiteral(R"({"funcname":"readDevicesProp","HardwareID":"%1","DevicePath":"",)"
                          R"("PARAMSIZE":6,"PARAMID":3})")
        .arg(id);
}

QString writeRequest(const QString &id, int rateCode)
{
    return QStringLiteral(R"({"funcname":"writeDevicesProp","HardwareID":"%1","DevicePath":"",)"
                          R"("PARAMSIZE":1,"PARAMID":5,"PARAMDATA":"0x0%2"})")
        .arg(id)
        .arg(rateCode);
}

struct Figures
{
    double p50 = 0, mean = 0, max = 0;
    QString last;
};

// Sends each request and waits for its answer (the worker answers ratbagd mice), as the
// page does: round trip times in milliseconds.
Figures timed(const Dispatcher &dispatcher, const std::vector<QString> &requests)
{
    std::vector<double> ms;
    Figures f;
    for (const QString &json : requests) {
        const Members members = QJsonDocument::fromJson(json.toUtf8()).object().toVariantMap();
        const auto callback = test::RecordingCallback::create();
        QElapsedTimer timer;
        timer.start();
        dispatcher.dispatch(members.value(QStringLiteral("funcname")).toString(), members,
                            callback);
        while (!callback->answered())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        ms.push_back(timer.nsecsElapsed() / 1e6);
        f.last = callback->text();
    }
    std::sort(ms.begin(), ms.end());
    f.p50 = ms[ms.size() / 2];
    f.max = ms.back();
    for (double v : ms)
        f.mean += v / double(ms.size());
    return f;
}

void report(const char *what, const Figures &f)
{
    std::printf("%-52s %8.3f ms p50  %8.3f ms mean  %8.3f ms max  (%s)\n", what, f.p50, f.mean,
                f.max, qPrintable(f.last.left(40)));
    std::fflush(stdout);
}

QString ratbagMouse(devices_handler &devices)
{
    for (const DeviceInfo &info : parseDeviceList(devices.listDevices())) {
        if (info.HardwareID.startsWith(QLatin1String("RATBAG\\")))
            return info.HardwareID;
    }
    return QString();
}

} // namespace

int main(int argc, char **argv)
{
    const auto app = bench::makeApplication(argc, argv);
    const int n = bench::requestCount(argc, argv, 200);
    if (qEnvironmentVariableIsEmpty("KELV_RATBAGD_DEVEL"))
        qputenv("KELV_RATBAGD_DEVEL", KELV_RATBAGD_DEVEL_FILE);
    if (qEnvironmentVariableIsEmpty("KELV_RATBAGD_DATA"))
        qputenv("KELV_RATBAGD_DATA", KELV_RATBAGD_DATA_FOLDER);
    if (const QString why = test::RatbagDaemon::unavailable(); !why.isEmpty()) {
        std::fprintf(stderr, "bench_ratbagd: %s\n", qPrintable(why));
        return 1;
    }
    QTemporaryDir state;
    qputenv("DC_SIM_DIR", state.path().toLocal8Bit());

    // kelv starting where the daemon already runs.
    test::RatbagDaemon daemon;
    if (!daemon.start()) {
        std::fprintf(stderr, "bench_ratbagd: ratbagd.devel did not start\n");
        return 1;
    }
    QElapsedTimer timer;
    timer.start();
    devices_handler devices(bench::programFolder() + QStringLiteral("/libdc.so"), nullptr);
    QString mouse;
    while ((mouse = ratbagMouse(devices)).isEmpty() && timer.elapsed() < 10000)
        QTest::qWait(1);
    std::printf("start: library loaded to a ratbagd mouse in the list     %8.1f ms\n",
                timer.nsecsElapsed() / 1e6);

    // The daemon coming up while kelv runs.
    daemon.kill();
    while (!ratbagMouse(devices).isEmpty())
        QTest::qWait(1);
    timer.restart();
    daemon.start();
    while (ratbagMouse(devices).isEmpty() && timer.elapsed() < 10000)
        QTest::qWait(1);
    std::printf("daemon started to its mouse in the list (its own start too) %5.1f ms\n",
                timer.nsecsElapsed() / 1e6);

    // Hot plug: a new test device to the page's event.
    QSignalSpy changed(&devices, &devices_handler::devicesChanged);
    timer.restart();
    const QByteArray json = R"({"profiles":[{"is_active":true,"rate":1000,"report_rates":[500,1000],
      "resolutions":[{"xres":800,"yres":800,"dpi_min":100,"dpi_max":6400,"is_active":true},
      {"xres":1600,"yres":1600},{"xres":3200,"yres":3200}],
      "buttons":[{"action_type":"button","button":1},{"action_type":"button","button":2},
      {"action_type":"button","button":3}]}]})";
    daemon.load(json);
    changed.wait(5000);
    std::printf("hot plug: LoadTestDevice to devicesChanged                %8.1f ms\n",
                timer.nsecsElapsed() / 1e6);
    QTest::qWait(200);
    mouse = escaped(ratbagMouse(devices));

    Dispatcher dispatcher;
    registerDeviceCommands(dispatcher, &devices);
    std::vector<QString> reads(size_t(n), readRequest(mouse));
    std::vector<QString> simReads(size_t(n), readRequest(QLatin1String(kSim)));
    std::vector<QString> writes, simWrites;
    for (int i = 0; i < n; ++i) {
        writes.push_back(writeRequest(mouse, 3 + i % 2)); // 500 and 1000 Hz
        simWrites.push_back(writeRequest(QLatin1String(kSim), 3 + i % 2));
    }
    std::printf("through the dispatcher, %d requests each, waited for one at a time\n", n);
    timed(dispatcher, std::vector<QString>(10, readRequest(mouse))); // warm up
    report("dispatcher: read, ratbagd mouse (stage values)", timed(dispatcher, reads));
    report("dispatcher: read, simulated mouse", timed(dispatcher, simReads));
    report("dispatcher: write + commit, ratbagd mouse (rate)", timed(dispatcher, writes));
    report("dispatcher: write, simulated mouse", timed(dispatcher, simWrites));

#ifdef KELV_BENCH_PAGE
    test::RoutedView routed;
    registerDeviceCommands(routed.router.dispatcher(), &devices);
    routed.view.show();
    const QUrl url = routed.fixture.writePage(QStringLiteral("view/bench.html"),
                                              "<!DOCTYPE html><html><body>bench</body></html>");
    if (test::loadAndWait(routed.view, url)) {
        const int pageN = qMax(10, n / 2);
        std::printf(
            "from the page (cefQuery, one at a time, timed by the page), %d requests each\n",
            pageN);
        bench::throughPage(routed.view, readRequest(mouse), 10);
        bench::reportPage("page: read, ratbagd mouse",
                          bench::throughPage(routed.view, readRequest(mouse), pageN));
        bench::reportPage("page: read, simulated mouse",
                          bench::throughPage(routed.view, readRequest(QLatin1String(kSim)), pageN));
        // The rate alternates, so every write changes it and commits.
        const QStringList pageWrites = {writeRequest(mouse, 3), writeRequest(mouse, 4)};
        const QStringList simPageWrites = {writeRequest(QLatin1String(kSim), 3),
                                           writeRequest(QLatin1String(kSim), 4)};
        bench::reportPage("page: write + commit, ratbagd mouse",
                          bench::throughPage(routed.view, pageWrites, pageN));
        bench::reportPage("page: write, simulated mouse",
                          bench::throughPage(routed.view, simPageWrites, pageN));
    } else {
        std::fprintf(stderr, "bench_ratbagd: the page did not load\n");
    }
#endif

    // A hanging daemon: what one request costs, and that the list still answers at once.
    daemon.pause();
    report("daemon stopped: one read", timed(dispatcher, {readRequest(mouse)}));
    report("daemon stopped: getDevicesList",
           timed(dispatcher, {QStringLiteral(R"({"funcname":"getDevicesList"})")}));
    daemon.resume();
    return 0;
}
