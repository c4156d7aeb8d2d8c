// Round trips page -> native -> page, one after the other: through the whole
// bridge (cefQuery, origin check, query intake, MessageEvent, jsMessage,
// router, dispatcher, a trivial command, the answer back to onSuccess) and
// through a bare Qt WebChannel echo (one slot that emits one signal). The
// time of one round trip is the interval between two consecutive arrivals of
// the page's request at the native end (the page sends the next request from
// the previous answer's callback), taken with a monotonic nanosecond clock.
// Then events per second into the page's registered function.
//
// Run: QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1 build/bin/bench_bridge [trips]
#include "bridge/app_host.h"
#include "bridge/dispatcher.h"
#include "bridge/request_router.h"
#include "browser/client_handler.h"
#include "browser/kelv_page.h"
#include "browser/kelv_web_view.h"
#include "browser/web_profile.h"
#include "tests/testsupport/fake_app_host.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebChannel>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineView>
#include <algorithm>
#include <cstdio>

using namespace kelv;

namespace {

// The bare channel's object: one slot, one signal.
class Echo final : public QObject
{
    Q_OBJECT

public:
    std::function<void()> onPing;

public slots:
    void ping(int id, const QString &text)
    {
        if (onPing)
            onPing();
        emit pong(id, text);
    }

signals:
    void pong(int id, const QString &text);
};

void waitFor(const std::function<bool()> &done, int timeoutMs = 120000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs) {
        QEventLoop loop;
        QTimer::singleShot(2, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

bool loadPage(QWebEnginePage *page, const QUrl &url)
{
    bool finished = false, ok = false;
    auto c = QObject::connect(page, &QWebEnginePage::loadFinished, [&](bool result) {
        finished = true;
        ok = result;
    });
    page->load(url);
    waitFor([&] { return finished; });
    QObject::disconnect(c);
    return ok;
}

void runJs(QWebEnginePage *page, const QString &script)
{
    page->runJavaScript(script, 0);
}

// Collects the interval between consecutive arrivals.
struct Intervals
{
    QElapsedTimer clock;
    qint64 last = -1;
    QList<double> micros;
    int arrivals = 0;

    void arrive()
    {
        const qint64 now = clock.nsecsElapsed();
        if (last >= 0)
            micros.append(double(now - last) / 1000.0);
        last = now;
        ++arrivals;
    }
    void reset()
    {
        clock.start();
        last = -1;
        micros.clear();
        arrivals = 0;
    }
};

double percentile(QList<double> values, double p)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype index = std::min<qsizetype>(values.size() - 1, qsizetype(p * values.size()));
    return values.at(index);
}

const char *LoopScript = R"(
window.benchRun = function (trips, send) {
  var left = trips;
  function next() { if (left-- > 0) send(next); }
  next();
};)";

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    const int trips = argc > 1 ? std::max(10, atoi(argv[1])) : 2000;
    const int rounds = 3;

    QTemporaryDir root;
    WebProfile::setStorageRoot(root.path() + QStringLiteral("/profile"));
    QDir().mkpath(root.path() + QStringLiteral("/view"));
    QDir().mkpath(root.path() + QStringLiteral("/bare"));
    const QByteArray html =
        "<!DOCTYPE html><html><body><script>" + QByteArray(LoopScript) + "</script></body></html>";
    for (const char *path : {"/view/bench.html", "/bare/bench.html"}) {
        QFile file(root.path() + QLatin1String(path));
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        file.write(html);
    }

    // The whole bridge with a trivial command.
    test::FakeAppHost host(root.path());
    Dispatcher dispatcher;
    Intervals bridgeTimes;
    int eventsDone = 0;
    dispatcher.add(QStringLiteral("ping"), [&](const Members &m, const QueryCallbackPtr &cb) {
        bridgeTimes.arrive();
        answerSuccess(cb, memberText(m, QStringLiteral("value")));
    });
    dispatcher.add(QStringLiteral("eventsDone"),
                   [&](const Members &, const QueryCallbackPtr &) { ++eventsDone; });
    RequestRouter router(host);
    router.dispatcher() = dispatcher;
    ClientHandler client;
    client.setPageFolder(root.path() + QStringLiteral("/view"));
    client.setRequestRouter(&router);
    KelvWebView view;
    view.resize(320, 240);
    connectToRouter(&view, &router);
    view.setAddress(QUrl::fromLocalFile(root.path() + QStringLiteral("/view/bench.html")));
    view.showPage();
    waitFor([&] { return !view.page()->isLoading() && view.url() == view.address(); });

    // The bare channel: the same page in a plain page of the same profile.
    QWebEnginePage barePage(WebProfile::shared());
    QWebChannel channel;
    Echo echo;
    Intervals bareTimes;
    echo.onPing = [&] { bareTimes.arrive(); };
    channel.registerObject(QStringLiteral("echo"), &echo);
    barePage.setWebChannel(&channel, QWebEngineScript::MainWorld);
    {
        QFile js(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
        js.open(QIODevice::ReadOnly);
        QWebEngineScript script;
        script.setSourceCode(QString::fromUtf8(js.readAll()) + QStringLiteral(R"(
new QWebChannel(qt.webChannelTransport, function (channel) {
  var echo = channel.objects.echo, waiting = null;
  echo.pong.connect(function () { var w = waiting; waiting = null; if (w) w(); });
  window.bareSend = function (next) { waiting = next; echo.ping(1, '{"funcname":"ping","value":"x"}'); };
});)"));
        script.setInjectionPoint(QWebEngineScript::DocumentCreation);
        script.setWorldId(QWebEngineScript::MainWorld);
        barePage.scripts().insert(script);
    }
    if (!loadPage(&barePage, QUrl::fromLocalFile(root.path() + QStringLiteral("/bare/bench.html"))))
        return 1;

    const QString bridgeSend = QStringLiteral(
        "function (next) { cefQuery({request: '{\"funcname\":\"ping\",\"value\":\"x\"}', "
        "onSuccess: function () { next(); }}); }");
    const QString bareSendFn = QStringLiteral("function (next) { bareSend(next); }");

    auto runBridge = [&](int n) {
        bridgeTimes.reset();
        runJs(view.page(), QStringLiteral("benchRun(%1, %2)").arg(n).arg(bridgeSend));
        waitFor([&] { return bridgeTimes.arrivals >= n; });
        return bridgeTimes.micros;
    };
    auto runBare = [&](int n) {
        bareTimes.reset();
        runJs(&barePage, QStringLiteral("benchRun(%1, %2)").arg(n).arg(bareSendFn));
        waitFor([&] { return bareTimes.arrivals >= n; });
        return bareTimes.micros;
    };

    // Warm-up, then interleaved rounds so both see the same machine load.
    runBridge(200);
    runBare(200);
    QList<double> bridgeAll, bareAll;
    for (int r = 0; r < rounds; ++r) {
        bareAll += runBare(trips);
        bridgeAll += runBridge(trips);
    }

    // Events per second into the page's registered function: a burst from
    // the main thread; the page reports the last one with a query.
    const int events = trips * 5;
    runJs(view.page(),
          QStringLiteral("window.got = 0; setMessageCallback('devicesChanged', function (a) {"
                         " if (++got === %1) cefQuery({request: '{\"funcname\":\"eventsDone\"}'});"
                         " });")
              .arg(events));
    waitFor([&] { return false; }, 200);
    QElapsedTimer eventClock;
    eventClock.start();
    for (int i = 0; i < events; ++i)
        client.sendDevicesChanged(i & 0xffff);
    waitFor([&] { return eventsDone > 0; });
    const double eventSeconds = double(eventClock.nsecsElapsed()) / 1e9;

    const double bridgeP50 = percentile(bridgeAll, 0.50), bridgeP99 = percentile(bridgeAll, 0.99);
    const double bareP50 = percentile(bareAll, 0.50), bareP99 = percentile(bareAll, 0.99);
    std::printf("bridge round trip (%lld trips): p50 %.0f us, p99 %.0f us\n",
                qlonglong(bridgeAll.size()), bridgeP50, bridgeP99);
    std::printf("bare channel echo (%lld trips): p50 %.0f us, p99 %.0f us\n",
                qlonglong(bareAll.size()), bareP50, bareP99);
    std::printf("bridge / bare: p50 %.2fx, p99 %.2fx (goal <= 1.30x)\n", bridgeP50 / bareP50,
                bridgeP99 / bareP99);
    if (eventsDone > 0)
        std::printf("events into the page: %d in %.3f s = %.0f events/s\n", events, eventSeconds,
                    events / eventSeconds);
    else
        std::printf("events into the page: did not all arrive\n");
    return 0;
}

#include "bench_bridge.moc"
