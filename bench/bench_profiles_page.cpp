// Profile commands sent from a real page in Qt WebEngine: round trips per
// second through cefQuery, the browser client, the router and the
// dispatcher, one request after the other and all at once.
//
//   QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1 build/bin/bench_profiles_page
//   [kilobytes]

#include "bench/profile_fixture.h"
#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "bridge/request_router.h"
#include "tests/browser/browser_fixture.h"
#include "tests/testsupport/fake_app_host.h"

#include <QApplication>
#include <cstdio>

using namespace kelv;
using namespace kelv::test;

namespace {

const QByteArray kPage = R"(<!DOCTYPE html><html><head><meta charset="utf-8"><script>
// One request after the other: the next goes out when the previous answered.
window.serial = function (requests, n) {
  window.result = null;
  var i = 0, t0 = performance.now();
  function next() {
    if (i === n) { window.result = performance.now() - t0; return; }
    cefQuery({request: requests[i % requests.length],
              onSuccess: function () { i++; next(); },
              onFailure: function (c, t) { window.result = -1; window.error = t; }});
  }
  next();
};
// All at once: n requests queued, time until the last answer.
window.burst = function (requests, n) {
  window.result = null;
  var left = n, t0 = performance.now();
  for (var i = 0; i < n; ++i)
    cefQuery({request: requests[i % requests.length],
              onSuccess: function () { if (--left === 0) window.result = performance.now() - t0; },
              onFailure: function (c, t) { window.result = -1; window.error = t; }});
};
</script></head><body></body></html>)";

using kelv::bench::makeProfile;

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int kilobytes = argc > 1 ? std::atoi(argv[1]) : 1024;
    // modifyProfile's double-click call meets a desktop without mouse
    // settings: the benchmark never changes the desktop of whoever runs it.
    qputenv("XDG_CURRENT_DESKTOP", "kelv-bench");
    qunsetenv("XDG_SESSION_DESKTOP");

    BrowserFixture fixture;
    int modes = 0;
    const QByteArray xml = makeProfile(kilobytes, &modes);
    fixture.writePage(QStringLiteral("profile.xml"), xml);
    FakeAppHost host(fixture.root());
    Dispatcher dispatcher;
    registerProfileCommands(dispatcher, host);
    registerSettingsCommands(dispatcher, host);
    RequestRouter router(host);
    router.dispatcher() = dispatcher;
    ClientHandler client;
    client.setPageFolder(fixture.viewFolder());
    client.setRequestRouter(&router);
    KelvWebView view;
    view.resize(640, 480);
    connectToRouter(&view, &router);
    if (!loadAndWait(view, fixture.writePage(QStringLiteral("view/bench.html"), kPage)))
        return 1;
    std::printf("profile: %.0f KiB, %d modes; requests from a page in Qt WebEngine\n",
                xml.size() / 1024.0, modes);

    auto requests = [&](const char *pattern) {
        QStringList list;
        for (int i = 0; i < 16; ++i)
            list << QString::fromLatin1(pattern)
                        .replace(QStringLiteral("{N}"), QString::number((i * 7919) % modes))
                        .replace(QStringLiteral("{V}"), QString::number(i));
        return QString::fromUtf8(
            QJsonDocument(QJsonArray::fromStringList(list)).toJson(QJsonDocument::Compact));
    };
    const QString goback = requests(R"({"funcname":"goback"})");
    const QString query = requests(
        R"({"funcname":"queryProfile","filePath":"profile.xml","xpath":"//mode[@index='{N}']/key[@id='1']"})");
    const QString modify = requests(
        R"({"funcname":"modifyProfile","filePath":"profile.xml","xpath":"//mode[@index='{N}']/key[@id='2']","attribute":"type","attributeValue":"{V}"})");

    auto measure = [&](const char *what, const char *mode, const QString &list, int n) {
        runJs(view.page(), QStringLiteral("%1(%2, %3)").arg(QLatin1String(mode), list).arg(n));
        // Wait in the event loop (no sleeping between checks, which would
        // slow the requests down), looking for the page's result now and then.
        QEventLoop loop;
        QTimer poll;
        QTimer::singleShot(600000, &loop, &QEventLoop::quit);
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            view.page()->runJavaScript(QStringLiteral("window.result"), 0, [&](const QVariant &v) {
                if (!v.isNull())
                    loop.quit();
            });
        });
        poll.start(100);
        loop.exec();
        poll.stop();
        if (runJs(view.page(), QStringLiteral("window.result")).isNull()) {
            std::printf("%s: no answer\n", what);
            return;
        }
        const double ms = runJs(view.page(), QStringLiteral("window.result")).toDouble();
        if (ms < 0) {
            std::printf("%s: failed: %s\n", what,
                        qPrintable(runJs(view.page(), QStringLiteral("window.error")).toString()));
            return;
        }
        std::printf("%-50s %5d requests %9.1f /s  %8.3f ms each\n", what, n, n * 1000.0 / ms,
                    ms / n);
    };
    measure("goback (no profile work), one by one", "serial", goback, 500);
    measure("goback, all at once", "burst", goback, 2000);
    measure("queryProfile, one by one", "serial", query, 300);
    measure("queryProfile, all at once", "burst", query, 1000);
    measure("modifyProfile, one by one", "serial", modify, 100);
    measure("modifyProfile, all at once", "burst", modify, 200);
    return 0;
}
