#pragma once

// The time of one request from a real page in Qt WebEngine: cefQuery through the browser
// client and the request router, as the page's own clock sees it (median and mean).

#include "tests/browser/browser_fixture.h"

#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QWebEnginePage>
#include <cstdio>

namespace kelv::bench {

inline QString jsList(const QStringList &texts)
{
    QStringList quoted;
    for (const QString &text : texts)
        quoted << test::jsString(text);
    return quoted.join(QLatin1Char(','));
}

struct PageFigures
{
    double p50Ms = -1;
    double meanMs = -1;
    qsizetype answerChars = 0;
};

// Sends the request n times from the page, one after the other (each waits for its
// answer), timing each round trip with the page's own clock. The requests are served on
// this (main) thread, so the harness waits in an event loop that serves them at once: the
// page reports the end by its title. (An earlier version polled the page with QTest::qWait,
// which sleeps the main thread between its rounds of events; each request then waited for
// that sleep to end, and the benchmark reported about 5 ms per request of its own making.)
// Sends requests[i % size] as the i-th of n requests.
inline PageFigures throughPage(KelvWebView &view, const QStringList &requests, int n)
{
    const QString script = QStringLiteral(R"((function () {
  document.title = 'bench';
  var requests = %1, left = %2, sent = 0, times = [], chars = 0, start = 0;
  function next() {
    if (start) times.push(performance.now() - start);
    if (left-- === 0) {
      times.sort(function (a, b) { return a - b; });
      var sum = times.reduce(function (a, b) { return a + b; }, 0);
      window.benchResult = {p50: times[times.length >> 1], mean: sum / times.length, chars: chars};
      document.title = 'bench done';
      return;
    }
    start = performance.now();
    cefQuery({request: requests[sent++ % requests.length], persistent: false,
              onSuccess: function (text) { chars = text.length; next(); },
              onFailure: function () { window.benchResult = null; document.title = 'bench done'; }});
  }
  next();
})())")
                               .arg(QStringLiteral("[") + jsList(requests) + QStringLiteral("]"))
                               .arg(n);
    QSignalSpy title(view.page(), &QWebEnginePage::titleChanged);
    test::runJs(view.page(), script);
    QDeadlineTimer deadline(300000);
    while (view.page()->title() != QLatin1String("bench done") && !deadline.hasExpired())
        title.wait(int(qMin<qint64>(deadline.remainingTime(), 1000)));
    PageFigures figures;
    const QVariantMap result =
        test::runJsJson(view.page(), QStringLiteral("window.benchResult")).toMap();
    if (result.isEmpty())
        return figures;
    figures.p50Ms = result.value(QStringLiteral("p50")).toDouble();
    figures.meanMs = result.value(QStringLiteral("mean")).toDouble();
    figures.answerChars = result.value(QStringLiteral("chars")).toLongLong();
    return figures;
}

inline PageFigures throughPage(KelvWebView &view, const QString &request, int n)
{
    return throughPage(view, QStringList{request}, n);
}

inline void reportPage(const char *what, const PageFigures &figures)
{
    std::printf("%-44s %10.3f ms p50  %8.3f ms mean  (answer %lld chars)\n", what, figures.p50Ms,
                figures.meanMs, qlonglong(figures.answerChars));
    std::fflush(stdout);
}

} // namespace kelv::bench
