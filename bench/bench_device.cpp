// Device commands over the simulated mouse: readByAddr of 2048 bytes and getDevicesList
// per second through the dispatcher, and (with the browser parts) the time of one request
// from a real page in Qt WebEngine through cefQuery, the browser client and the request
// router, as the page's own clock sees it (median and mean; getConf for comparison).
//
//   build/bin/bench_device [requests]     (default 2000; the page runs a tenth of them)

#include "bench/bench_app.h"
#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "device/devices_handler.h"
#include "tests/testsupport/recording_callback.h"

#ifdef KELV_BENCH_PAGE
#include "bench/page_round_trip.h"
#include "bridge/request_router.h"
#include "tests/testsupport/fake_app_host.h"
#endif

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <cstdio>

using namespace kelv;

namespace {

const char kRead[] = R"({"funcname":"readByAddr","HardwareID":"HID\\Vid_0aa0&Pid_5e30",)"
                     R"("DevicePath":"","PARAMSIZE":2048,"PARAMADDRESS":"0x1000"})";
const char kWrite[] = R"({"funcname":"writeByAddr","HardwareID":"HID\\Vid_0aa0&Pid_5e30",)"
                      R"("DevicePath":"","PARAMSIZE":2048,"PARAMADDRESS":"0x1000",)"
                      R"("PARAMDATA":"%1"})";
const char kList[] = R"({"funcname":"getDevicesList"})";
const char kConf[] = R"({"funcname":"getConf"})";

// Runs one request n times through the dispatcher; returns requests per second.
double throughDispatcher(const Dispatcher &dispatcher, const QString &json, int n,
                         QString *lastAnswer)
{
    const Members members = QJsonDocument::fromJson(json.toUtf8()).object().toVariantMap();
    const QString name = members.value(QStringLiteral("funcname")).toString();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < n; ++i) {
        const auto callback = test::RecordingCallback::create();
        dispatcher.dispatch(name, members, callback);
        if (i == n - 1)
            *lastAnswer = callback->text();
    }
    return n / (timer.nsecsElapsed() / 1e9);
}

void report(const char *what, double perSecond, qsizetype answerChars)
{
    std::printf("%-44s %10.0f /s  %8.3f ms each  (answer %lld chars)\n", what, perSecond,
                1000.0 / perSecond, qlonglong(answerChars));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    const auto app = bench::makeApplication(argc, argv);
    const int n = bench::requestCount(argc, argv, 2000);

    QTemporaryDir state;
    qputenv("DC_SIM_DIR", state.path().toLocal8Bit());
    devices_handler devices(bench::programFolder() + QStringLiteral("/libdc.so"), nullptr);
    if (!devices.isLoaded()) {
        std::fprintf(stderr, "bench_device: no libdc.so in %s\n",
                     qPrintable(bench::programFolder()));
        return 1;
    }
    Dispatcher dispatcher;
    registerDeviceCommands(dispatcher, &devices);

    QStringList items;
    for (int i = 0; i < 2048; ++i)
        items << QStringLiteral("0x%1").arg(i & 0xff, 2, 16, QLatin1Char('0'));
    const QString write = QString::fromLatin1(kWrite).arg(items.join(QLatin1Char(',')));

    std::printf("device commands over the simulated mouse, %d requests each\n", n);
    QString answer;
    double rate = throughDispatcher(dispatcher, kRead, n, &answer);
    report("dispatcher: readByAddr 2048 bytes", rate, answer.size());
    rate = throughDispatcher(dispatcher, kList, n, &answer);
    report("dispatcher: getDevicesList", rate, answer.size());
    rate = throughDispatcher(dispatcher, write, qMax(10, n / 4), &answer);
    report("dispatcher: writeByAddr 2048 bytes (kept)", rate, answer.size());

#ifdef KELV_BENCH_PAGE
    test::BrowserFixture fixture;
    test::FakeAppHost host(fixture.root());
    // getConf: the page's lightest request, a reply from the settings in memory.
    host.settings.load(bench::programFolder() + QStringLiteral("/Resources/profiles/conf.xml"));
    registerSettingsCommands(dispatcher, host);
    RequestRouter router(host);
    router.dispatcher() = dispatcher;
    ClientHandler client;
    client.setPageFolder(fixture.viewFolder());
    client.setRequestRouter(&router);
    // Shown like the program's window.
    KelvWebView view;
    view.resize(640, 480);
    view.show();
    connectToRouter(&view, &router);
    const QUrl url = fixture.writePage(QStringLiteral("view/bench.html"),
                                       "<!DOCTYPE html><html><body>bench</body></html>");
    if (!test::loadAndWait(view, url)) {
        std::fprintf(stderr, "bench_device: the page did not load\n");
        return 1;
    }
    const int pageN = qMax(10, n / 10);
    std::printf("from the page (cefQuery round trips, one at a time, timed by the page), "
                "%d requests each\n",
                pageN);
    std::fflush(stdout);
    // A first round warms the page's script and the channel up; it is not reported.
    bench::throughPage(view, QString::fromLatin1(kRead), 10);
    bench::reportPage("page: readByAddr 2048 bytes",
                      bench::throughPage(view, QString::fromLatin1(kRead), pageN));
    bench::reportPage("page: getDevicesList",
                      bench::throughPage(view, QString::fromLatin1(kList), pageN));
    bench::reportPage("page: getConf", bench::throughPage(view, QString::fromLatin1(kConf), pageN));
#endif
    return 0;
}
