// The page contract end to end: a real page in Qt WebEngine calls cefQuery,
// the query passes the browser client, the router and a dispatcher with
// trivial commands, and the answer comes back to the page's callbacks; events
// go the other way to the functions the page registered.
#include "bridge/dispatcher.h"
#include "bridge/request_router.h"
#include "tests/browser/browser_fixture.h"
#include "tests/testsupport/fake_app_host.h"
#include "tests/testsupport/http_test_server.h"

#include <QApplication>
#include <QScopeGuard>
#include <QThread>
#include <thread>

using namespace kelv;
using namespace kelv::test;

namespace {

// Every test page starts with this: a log of answers and events, and q(),
// which sends one request and logs its answer.
const QByteArray PageHead = R"(<!DOCTYPE html><html><head><meta charset="utf-8"><script>
window.log = [];
window.events = [];
window.q = function (request) {
  return cefQuery({request: request, persistent: false,
    onSuccess: function (text) { log.push(['ok', request, text]); },
    onFailure: function (code, text) { log.push(['fail', request, code, text]); }});
};
</script>)";

QByteArray page(const QByteArray &body)
{
    return PageHead + "</head><body>" + body + "</body></html>";
}

} // namespace

class TestPageBridge : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<RoutedView> m_rig;
    BrowserFixture *m_fixture = nullptr;
    FakeAppHost *m_host = nullptr;
    ClientHandler *m_client = nullptr;
    KelvWebView *m_view = nullptr;
    QHash<QString, int> m_calls;
    QList<QueryCallbackPtr> m_held;
    QUrl m_plain;

    KelvPage *kpage() const { return m_view->kelvPage(); }

    // Sends a request from the page and waits for its answer (the log entry).
    QVariantList roundTrip(const QString &request)
    {
        const int before = runJs(kpage(), QStringLiteral("log.length")).toInt();
        runJs(kpage(), QStringLiteral("q(%1)").arg(jsString(request)));
        if (!waitUntil(
                [&] { return runJs(kpage(), QStringLiteral("log.length")).toInt() > before; }))
            return {QStringLiteral("no answer to ") + request};
        return runJsJson(kpage(), QStringLiteral("log[%1]").arg(before)).toList();
    }

    QVariantList log() { return runJsJson(kpage(), QStringLiteral("log")).toList(); }

    static QString echo(const QString &value)
    {
        return QStringLiteral(R"({"funcname":"echo","value":%1})").arg(jsString(value));
    }

private slots:
    void initTestCase()
    {
        // As in the program: every request that is not a window request of
        // the intake goes from the view straight to the router.
        m_rig = std::make_unique<RoutedView>();
        m_fixture = &m_rig->fixture;
        m_host = &m_rig->host;
        m_client = &m_rig->client;
        m_view = &m_rig->view;
        Dispatcher &dispatcher = m_rig->router.dispatcher();
        auto count = [this](const QString &name) { ++m_calls[name]; };
        dispatcher.add(QStringLiteral("echo"), [=](const Members &m, const QueryCallbackPtr &cb) {
            count(QStringLiteral("echo"));
            answerSuccess(cb, memberText(m, QStringLiteral("value")));
        });
        dispatcher.add(QStringLiteral("fail"), [=](const Members &, const QueryCallbackPtr &cb) {
            count(QStringLiteral("fail"));
            answerFailure(cb, QStringLiteral("fail failed!"));
        });
        dispatcher.add(QStringLiteral("silent"), [=](const Members &, const QueryCallbackPtr &) {
            count(QStringLiteral("silent"));
        });
        dispatcher.add(QStringLiteral("twice"), [=](const Members &, const QueryCallbackPtr &cb) {
            count(QStringLiteral("twice"));
            answerSuccess(cb, QStringLiteral("first"));
            answerSuccess(cb, QStringLiteral("second"));
            answerFailure(cb, QStringLiteral("third"));
        });
        dispatcher.add(QStringLiteral("hold"), [=](const Members &, const QueryCallbackPtr &cb) {
            count(QStringLiteral("hold"));
            m_held.append(cb);
        });
        dispatcher.add(
            QStringLiteral("members"), [=](const Members &m, const QueryCallbackPtr &cb) {
                count(QStringLiteral("members"));
                answerSuccess(
                    cb, memberText(m, QStringLiteral("t")) + QLatin1Char('|') +
                            QString::number(memberInt(m, QStringLiteral("i"))) + QLatin1Char('|') +
                            QString::number(memberHex(m, QStringLiteral("h"))) + QLatin1Char('|') +
                            QString::number(memberHex(m, QStringLiteral("hs"))) + QLatin1Char('|') +
                            (hasMember(m, QStringLiteral("z")) ? QStringLiteral("present")
                                                               : QStringLiteral("absent")));
            });
        m_plain = m_fixture->writePage(QStringLiteral("view/plain.html"), page(""));
        QVERIFY(loadAndWait(*m_view, m_plain));
        QCOMPARE(m_view->browserState(), KelvWebView::Created);
        QCOMPARE(m_client->listener(), m_view);
        QCOMPARE(m_client->browser(), m_view);
    }

    void init()
    {
        m_calls.clear();
        m_host->calls.clear();
        // A fresh document: no registrations, no pending queries.
        QVERIFY(loadAndWait(*m_view, m_plain));
    }

    void contractExistsBeforeThePagesFirstScript()
    {
        const QUrl url = m_fixture->writePage(QStringLiteral("view/first.html"),
                                              R"(<html><head><script>
window.seen = [typeof window.cefQuery, typeof window.cefQueryCancel,
               typeof window.setMessageCallback, typeof window.QWebChannel];
</script></head><body></body></html>)");
        QVERIFY(loadAndWait(*m_view, url));
        QCOMPARE(runJsJson(kpage(), QStringLiteral("seen")).toStringList(),
                 QStringList({"function", "function", "function", "undefined"}));
        // The query functions cannot be replaced by the page.
        runJs(kpage(), QStringLiteral("try { window.cefQuery = null; } catch (e) {}"));
        QCOMPARE(runJs(kpage(), QStringLiteral("typeof window.cefQuery")).toString(),
                 QStringLiteral("function"));
    }

    void queriesBeforeTheChannelIsUpAreAnswered()
    {
        // Sent while the document is still being parsed: the channel is not
        // connected yet, so they wait in the queue and go out in order.
        const QUrl url =
            m_fixture->writePage(QStringLiteral("view/early.html"),
                                 page(R"(<script>q('{"funcname":"echo","value":"early1"}');
q('{"funcname":"echo","value":"early2"}');
var cancelled = q('{"funcname":"echo","value":"cancelled"}'); cefQueryCancel(cancelled);
</script>)"));
        QVERIFY(loadAndWait(*m_view, url));
        QTRY_COMPARE_WITH_TIMEOUT(runJs(kpage(), QStringLiteral("log.length")).toInt(), 2, 20000);
        roundTrip(echo(QStringLiteral("sentinel")));
        const QVariantList entries = log();
        QCOMPARE(entries.size(), 3);
        QCOMPARE(entries.at(0).toList().at(2).toString(), QStringLiteral("early1"));
        QCOMPARE(entries.at(1).toList().at(2).toString(), QStringLiteral("early2"));
        // A query cancelled before the channel was up never reached a handler.
        QCOMPARE(m_calls.value(QStringLiteral("echo")), 3);
    }

    void successFailureAndQueryIds()
    {
        QCOMPARE(roundTrip(echo(QStringLiteral("héllo \"x\""))),
                 QVariantList({"ok", echo(QStringLiteral("héllo \"x\"")), "héllo \"x\""}));
        QCOMPARE(roundTrip(QStringLiteral(R"({"funcname":"fail"})")),
                 QVariantList({"fail", R"({"funcname":"fail"})", 0, "fail failed!"}));
        const QVariantList ids = runJsJson(kpage(), QStringLiteral("[q('x'), q('y')]")).toList();
        QCOMPARE(ids.size(), 2);
        QVERIFY(ids.at(0).toDouble() > 0);
        QVERIFY(ids.at(1).toDouble() > ids.at(0).toDouble());
        // Malformed calls throw, as the original query function did.
        QCOMPARE(runJs(kpage(), QStringLiteral("try { cefQuery({}); 'no' } catch (e) { e.name }"))
                     .toString(),
                 QStringLiteral("TypeError"));
        QCOMPARE(runJs(kpage(), QStringLiteral("try { cefQuery('x'); 'no' } catch (e) { e.name }"))
                     .toString(),
                 QStringLiteral("TypeError"));
    }

    void noReplyCasesStayPendingWhileLaterQueriesAreAnswered()
    {
        runJs(kpage(), QStringLiteral(R"(
window.pendingIds = [
  q('{"funcname":"silent"}'),
  q('not json at all'),
  q('["funcname","echo"]'),
  q('{"value":"no funcname"}'),
  q('{"funcname":"Echo","value":"wrong case"}'),
  q('{"funcname":"unknownCommand"}'),
  q('moveWindow:1,2,3'),
  q('{"funcname": "maxsizeWindow"}')];)"));
        QCOMPARE(roundTrip(echo(QStringLiteral("later"))).at(2).toString(),
                 QStringLiteral("later"));
        QCOMPARE(roundTrip(echo(QStringLiteral("later2"))).at(2).toString(),
                 QStringLiteral("later2"));
        QCOMPARE(log().size(), 2);
        QCOMPARE(m_calls.value(QStringLiteral("silent")), 1);
        QCOMPARE(m_calls.value(QStringLiteral("echo")), 2);
        QVERIFY(m_host->calls.isEmpty());
        // The pending ones can still be cancelled, once.
        QCOMPARE(runJs(kpage(), QStringLiteral("cefQueryCancel(pendingIds[0])")).toBool(), true);
        QCOMPARE(runJs(kpage(), QStringLiteral("cefQueryCancel(pendingIds[0])")).toBool(), false);
    }

    void requestsBeyondTheLengthBoundAreNotSent()
    {
        // Built in the page, one character beyond the bound: no answer, the
        // program never sees it, and the query stays pending (cancellable).
        runJs(kpage(), QStringLiteral("window.tooLong = q('{\"funcname\":\"echo\",\"value\":\"' + "
                                      "'v'.repeat(%1) + '\"}');")
                           .arg(kMaxRequestLength - 29));
        QCOMPARE(roundTrip(echo(QStringLiteral("after"))).at(2).toString(),
                 QStringLiteral("after"));
        QCOMPARE(m_calls.value(QStringLiteral("echo")), 1);
        QCOMPARE(log().size(), 1);
        QCOMPARE(runJs(kpage(), QStringLiteral("cefQueryCancel(tooLong)")).toBool(), true);
        // At the bound it goes through.
        runJs(kpage(), QStringLiteral("q('{\"funcname\":\"echo\",\"value\":\"' + "
                                      "'v'.repeat(%1) + '\"}');")
                           .arg(kMaxRequestLength - 30));
        QVERIFY(
            waitUntil([&] { return runJs(kpage(), QStringLiteral("log.length")).toInt() == 2; }));
        QCOMPARE(runJs(kpage(), QStringLiteral("log[1][2].length")).toInt(),
                 kMaxRequestLength - 30);
    }

    void blanksAroundColonsStillDispatch()
    {
        QCOMPARE(roundTrip(QStringLiteral(R"({ "funcname" : "echo" , "value" : "spaced" })"))
                     .at(2)
                     .toString(),
                 QStringLiteral("spaced"));
    }

    void answeredAtMostOnce()
    {
        QCOMPARE(roundTrip(QStringLiteral(R"({"funcname":"twice"})")).at(2).toString(),
                 QStringLiteral("first"));
        roundTrip(echo(QStringLiteral("sentinel")));
        QCOMPARE(log().size(), 2);
    }

    void cancelledQueryIsNotCalledBack()
    {
        runJs(kpage(), QStringLiteral("cefQueryCancel(q('%1'))")
                           .arg(QStringLiteral(R"({"funcname":"echo","value":"gone"})")));
        roundTrip(echo(QStringLiteral("sentinel")));
        const QVariantList entries = log();
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries.at(0).toList().at(2).toString(), QStringLiteral("sentinel"));
        QCOMPARE(m_calls.value(QStringLiteral("echo")), 2);
    }

    void membersReadThroughTheFullPath()
    {
        const QVariantList entry = roundTrip(QStringLiteral(
            R"({"funcname":"members","t":12,"i":"42","h":256,"hs":" 0x10zz","z":null})"));
        QCOMPARE(entry.at(2).toString(), QStringLiteral("12|42|598|16|present"));
        QCOMPARE(roundTrip(QStringLiteral(R"({"funcname":"members","t":true,"i":2.5,"h":"-ff"})"))
                     .at(2)
                     .toString(),
                 QStringLiteral("true|3|-255|0|absent"));
    }

    void moveWindowRequests()
    {
        QCOMPARE(roundTrip(QStringLiteral("moveWindow:10,-20,300,400")),
                 QVariantList({"ok", "moveWindow:10,-20,300,400", ""}));
        QCOMPARE(m_host->calls, QStringList({"move 10,-20,300,400"}));
        // Blanks after the commas are fine; the separator character is any.
        roundTrip(QStringLiteral("moveWindow# 1, 2,\t3, 4"));
        // The character after the ten letters is never read: "12" loses its "1".
        roundTrip(QStringLiteral("moveWindow12,5,6,7"));
        QCOMPARE(m_host->calls,
                 QStringList({"move 10,-20,300,400", "move 1,2,3,4", "move 2,5,6,7"}));
        // Three or five numbers: nothing happens, no answer.
        runJs(kpage(), QStringLiteral("q('moveWindow:1,2,3'); q('moveWindow:1,2,3,4,5');"
                                      "q('moveWindow:1 ,2,3,4');"));
        roundTrip(echo(QStringLiteral("sentinel")));
        QCOMPARE(log().size(), 4);
        QCOMPARE(m_host->calls.size(), 3);
        // None of them reached the dispatcher either.
        QCOMPARE(m_calls.value(QStringLiteral("echo")), 1);
    }

    void minimiseSavesProfilesAndAnswers()
    {
        const QString file = m_fixture->root() + QStringLiteral("/profile.xml");
        m_host->profiles().store(file, QStringLiteral("<root a=\"1\"/>"));
        QCOMPARE(roundTrip(QStringLiteral(R"({"funcname":"minisizeWindow"})")),
                 QVariantList({"ok", R"({"funcname":"minisizeWindow"})", ""}));
        QCOMPARE(m_host->calls, QStringList({"minimise"}));
        QFile saved(file);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll().contains("a=\"1\""));
    }

    void maximiseAndRestoreAreExactTextsWithoutReply()
    {
        runJs(kpage(), QStringLiteral(R"(q('{"funcname":"maxsizeWindow"}');
q('{"funcname":"restoreWindow"}'); q('{"funcname":"restoreWindow" }');)"));
        roundTrip(echo(QStringLiteral("sentinel")));
        QCOMPARE(log().size(), 1);
        QCOMPARE(m_host->calls, QStringList({"maximise", "restore"}));
    }

    void anAnswerForAReplacedDocumentIsDropped()
    {
        // The held query is the first of its document (id 1), like the
        // pending one of the reloaded document that follows.
        QVERIFY(loadAndWait(*m_view, m_plain));
        m_held.clear();
        QCOMPARE(runJs(kpage(), QStringLiteral(R"(q('{"funcname":"hold"}'))")).toInt(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_held.size(), 1, 20000);
        QVERIFY(loadAndWait(*m_view, m_plain));
        QCOMPARE(runJs(kpage(), QStringLiteral(R"(q('{"funcname":"silent"}'))")).toInt(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_calls.value(QStringLiteral("silent")), 1, 20000);
        m_held.first()->success(QStringLiteral("stale"));
        roundTrip(echo(QStringLiteral("sentinel")));
        QCOMPARE(log().size(), 1);
    }

    void answersFromAnotherThreadArrive()
    {
        m_held.clear();
        runJs(kpage(), QStringLiteral(R"(q('{"funcname":"hold"}'))"));
        QTRY_COMPARE_WITH_TIMEOUT(m_held.size(), 1, 20000);
        QueryCallbackPtr held = m_held.takeFirst();
        std::thread([held] { held->success(QStringLiteral("from thread")); }).join();
        QTRY_COMPARE_WITH_TIMEOUT(runJs(kpage(), QStringLiteral("log.length")).toInt(), 1, 20000);
        QCOMPARE(log().at(0).toList().at(2).toString(), QStringLiteral("from thread"));
    }

    void noListenerMeansNoAnswer()
    {
        m_client->setListener(nullptr);
        runJs(kpage(), QStringLiteral("q('%1')").arg(echo(QStringLiteral("lost"))));
        // Window requests of the intake still work without a listener.
        runJs(kpage(), QStringLiteral("q('moveWindow:1,1,1,1')"));
        QTRY_COMPARE_WITH_TIMEOUT(runJs(kpage(), QStringLiteral("log.length")).toInt(), 1, 20000);
        m_client->setListener(m_view);
        roundTrip(echo(QStringLiteral("sentinel")));
        QCOMPARE(log().size(), 2);
        QCOMPARE(m_calls.value(QStringLiteral("echo")), 1);
    }

    // ---- events ------------------------------------------------------------

    void registrationRules()
    {
        const QVariantList results = runJsJson(kpage(), QStringLiteral(R"([
  typeof setMessageCallback('devicesChanged', function (a) { events.push(['first', a]); }),
  typeof setMessageCallback('devicesChanged', function (a) { events.push(['second', a]); }),
  typeof setMessageCallback('macroItem'),
  typeof setMessageCallback(5, function (a) { events.push(['number', a]); }),
  typeof setMessageCallback('onDeviceData', 'not a function'),
  typeof setMessageCallback('onProcessChanged', function (a) { events.push(['extra', a]); }, 1),
  typeof setMessageCallback('fancyEvent', function (a) { events.push(['fancy', a]); })])"))
                                         .toList();
        QCOMPARE(results.size(), 7);
        for (const QVariant &r : results)
            QCOMPARE(r.toString(), QStringLiteral("undefined"));
        QSignalSpy sent(m_client, &ClientHandler::eventSent);
        m_client->sendMacroItem("a", "b", "c", "d");
        m_client->sendOnDeviceData(QStringLiteral("0011223344556677"));
        m_client->sendOnProcessChanged(QStringLiteral("2"), true);
        kpage()->deliverEvent(QStringLiteral("fancyEvent"), {1});
        m_client->sendDevicesChanged(1);
        QCOMPARE(sent.count(), 4);
        QTRY_COMPARE_WITH_TIMEOUT(runJs(kpage(), QStringLiteral("events.length")).toInt(), 1,
                                  20000);
        m_client->sendDevicesChanged(2);
        QTRY_COMPARE_WITH_TIMEOUT(runJs(kpage(), QStringLiteral("events.length")).toInt(), 2,
                                  20000);
        QCOMPARE(runJsJson(kpage(), QStringLiteral("events")).toList(),
                 QVariantList({QVariantList({"first", QVariantList({1})}),
                               QVariantList({"first", QVariantList({2})})}));
    }

    void reloadResetsRegistrations()
    {
        runJs(
            kpage(),
            QStringLiteral(
                "setMessageCallback('devicesChanged', function (a) { events.push(['old', a]); })"));
        QVERIFY(loadAndWait(*m_view, m_plain));
        runJs(
            kpage(),
            QStringLiteral(
                "setMessageCallback('devicesChanged', function (a) { events.push(['new', a]); })"));
        m_client->sendDevicesChanged(7);
        QTRY_COMPARE_WITH_TIMEOUT(runJs(kpage(), QStringLiteral("events.length")).toInt(), 1,
                                  20000);
        QCOMPARE(runJsJson(kpage(), QStringLiteral("events[0]")).toList(),
                 QVariantList({"new", QVariantList({7})}));
    }

    void eventsSentWhileThePageLoadsAreNotLost()
    {
        // The device manager may report a change while the page is still
        // loading, before the document's channel is connected.
        const QUrl url =
            m_fixture->writePage(QStringLiteral("view/loading.html"),
                                 page("<script>setMessageCallback('devicesChanged', function (a) { "
                                      "events.push(a[0]); });</script>"));
        QMetaObject::Connection c = connect(kpage(), &QWebEnginePage::loadStarted, this,
                                            [this] { m_client->sendDevicesChanged(42); });
        QSignalSpy progressed(kpage(), &QWebEnginePage::loadProgress);
        QVERIFY(loadAndWait(*m_view, url));
        disconnect(c);
        m_client->sendDevicesChanged(43);
        QVERIFY2(
            waitUntil([&] { return runJs(kpage(), QStringLiteral("events.length")).toInt() >= 2; }),
            "events were lost");
        QTest::qWait(100);
        QCOMPARE(runJsJson(kpage(), QStringLiteral("events")).toList(), QVariantList({42, 43}));
    }

    void eventArgumentsAreTyped()
    {
        runJs(kpage(), QStringLiteral(R"(
['devicesChanged','macroItem','currentPropChanged','navStateChanged','onDeviceData','onProcessChanged']
  .forEach(function (name) {
    setMessageCallback(name, function (args) {
      // The page's own load sent navStateChanged too (replayed when its
      // channel connected); only the one sent below, [true, true], counts.
      if (name === 'navStateChanged' && !(args[0] && args[1]))
        return;
      events.push([name, Array.isArray(args), args.map(function (a) { return typeof a; }), args]);
    });
  });)"));
        m_client->sendDevicesChanged(65535);
        m_client->sendMacroItem("1", "30", "0", "down");
        m_client->sendCurrentPropChanged(3, 4);
        m_client->sendNavStateChanged(true, true);
        m_client->sendOnDeviceData(QStringLiteral("00ff10a0b0c0d0e0"));
        m_client->sendOnProcessChanged(QStringLiteral("2"), true);
        QTRY_COMPARE_WITH_TIMEOUT(runJs(kpage(), QStringLiteral("events.length")).toInt(), 6,
                                  20000);
        const QVariantList e = runJsJson(kpage(), QStringLiteral("events")).toList();
        auto row = [](const char *name, const QStringList &types, const QVariantList &args) {
            QVariantList typeList;
            for (const QString &t : types)
                typeList << t;
            return QVariantList({QString::fromLatin1(name), true, typeList, args});
        };
        QCOMPARE(e.at(0).toList(), row("devicesChanged", {"number"}, {65535}));
        QCOMPARE(e.at(1).toList(), row("macroItem", {"string", "string", "string", "string"},
                                       {"1", "30", "0", "down"}));
        QCOMPARE(e.at(2).toList(), row("currentPropChanged", {"number", "number"}, {3, 4}));
        QCOMPARE(e.at(3).toList(), row("navStateChanged", {"boolean", "boolean"}, {true, true}));
        QCOMPARE(e.at(4).toList(), row("onDeviceData", {"string"}, {"00ff10a0b0c0d0e0"}));
        QCOMPARE(e.at(5).toList(), row("onProcessChanged", {"string", "boolean"}, {"2", true}));
    }

    void eventsFromOtherThreadsKeepTheirOrder()
    {
        runJs(kpage(),
              QStringLiteral(
                  "setMessageCallback('devicesChanged', function (a) { events.push(a[0]); })"));
        constexpr int PerThread = 60;
        QSignalSpy sent(m_client, &ClientHandler::eventSent);
        std::thread a([this] {
            for (int i = 0; i < PerThread; ++i)
                m_client->sendDevicesChanged(1000 + i);
        });
        std::thread b([this] {
            for (int i = 0; i < PerThread; ++i)
                m_client->sendDevicesChanged(2000 + i);
        });
        a.join();
        b.join();
        QTRY_COMPARE_WITH_TIMEOUT(runJs(kpage(), QStringLiteral("events.length")).toInt(),
                                  2 * PerThread, 20000);
        for (int i = 0; i < sent.count(); ++i)
            QCOMPARE(QThread::currentThread(), qApp->thread());
        const QVariantList values = runJsJson(kpage(), QStringLiteral("events")).toList();
        int nextA = 1000, nextB = 2000;
        for (const QVariant &v : values) {
            const int value = v.toInt();
            if (value < 2000)
                QCOMPARE(value, nextA++);
            else
                QCOMPARE(value, nextB++);
        }
        QCOMPARE(nextA, 1000 + PerThread);
        QCOMPARE(nextB, 2000 + PerThread);
    }

    void eventsWithoutAPageAreDropped()
    {
        ClientHandler *current = m_client;
        QSignalSpy sent(current, &ClientHandler::eventSent);
        // A view that never got a size has no browser yet.
        KelvWebView unsized;
        current->setListener(&unsized);
        current->browserClosed(m_view);
        QVERIFY(!current->browser());
        current->sendDevicesChanged(1);
        std::thread([current] { current->sendDevicesChanged(2); }).join();
        QTest::qWait(50);
        QCOMPARE(sent.count(), 0);
        current->setListener(m_view);
        current->browserCreated(m_view);
        current->sendDevicesChanged(3);
        QCOMPARE(sent.count(), 1);
    }

    void everyEventReachesTheMainPageAndTheOpenPopup()
    {
        // The popup's view is active (the listener) while the main page keeps
        // listening; both pages hear each event, whichever thread sent it.
        const QString listen = QStringLiteral(R"(
['devicesChanged','macroItem','onDeviceData','onProcessChanged'].forEach(function (name) {
  setMessageCallback(name, function (args) { events.push(name); });
});)");
        runJs(kpage(), listen);
        // The main view is the listener again whatever happens below.
        const auto restore = qScopeGuard([this] { m_client->setListener(m_view); });
        auto popup = std::make_unique<KelvWebView>();
        popup->resize(320, 240);
        QVERIFY(loadAndWait(*popup, m_plain));
        runJs(popup->page(), listen);
        QCOMPARE(m_client->listener(), popup.get());
        QCOMPARE(m_client->browser(), m_view);

        m_client->sendDevicesChanged(1);
        std::thread([this] {
            m_client->sendOnDeviceData(QStringLiteral("0011223344556677"));
        }).join();
        m_client->sendMacroItem("0", "1", "30", "0");
        std::thread([this] { m_client->sendOnProcessChanged(QStringLiteral("1"), true); }).join();
        // Events of different threads may arrive in any order.
        const QStringList expected{"devicesChanged", "macroItem", "onDeviceData",
                                   "onProcessChanged"};
        for (QWebEnginePage *p : {static_cast<QWebEnginePage *>(kpage()), popup->page()}) {
            QTRY_COMPARE_WITH_TIMEOUT(runJs(p, QStringLiteral("events.length")).toInt(), 4, 20000);
            QStringList received = runJsJson(p, QStringLiteral("events")).toStringList();
            received.sort();
            QCOMPARE(received, expected);
        }

        // Once the popup is gone the main page goes on alone.
        popup.reset();
        m_client->setListener(m_view);
        m_client->sendDevicesChanged(2);
        QTRY_COMPARE_WITH_TIMEOUT(runJs(kpage(), QStringLiteral("events.length")).toInt(), 5,
                                  20000);
    }

    void developerConsoleSendsAndLogs()
    {
        QFile source(qEnvironmentVariable("KELV_SOURCE_DIR") +
                     QStringLiteral("/view/console.html"));
        QVERIFY(source.open(QIODevice::ReadOnly));
        const QUrl url =
            m_fixture->writePage(QStringLiteral("view/console.html"), source.readAll());
        QVERIFY(loadAndWait(*m_view, url));
        runJs(kpage(), QStringLiteral("document.getElementById('request').value = '%1';"
                                      "document.getElementById('send').click();")
                           .arg(echo(QStringLiteral("console"))));
        const QString logText = QStringLiteral("document.getElementById('log').textContent");
        QVERIFY(waitUntil(
            [&] { return runJs(kpage(), logText).toString().contains(QLatin1String("success")); }));
        QVERIFY(runJs(kpage(), logText).toString().contains(QLatin1String("\"console\"")));
        // A request without an answer stays in the pending list.
        runJs(kpage(), QStringLiteral("document.getElementById('request').value = "
                                      "'{\"funcname\":\"silent\"}';"
                                      "document.getElementById('send').click();"));
        QVERIFY(waitUntil([&] { return m_calls.value(QStringLiteral("silent")) == 1; }));
        QVERIFY(runJs(kpage(), QStringLiteral("document.getElementById('pending').textContent"))
                    .toString()
                    .contains(QLatin1String("silent")));
        m_client->sendOnProcessChanged(QStringLiteral("2"), true);
        QVERIFY(waitUntil([&] {
            return runJs(kpage(), logText)
                .toString()
                .contains(QLatin1String("onProcessChanged [\"2\",true]"));
        }));
    }

    // ---- new windows --------------------------------------------------------------

    void newWindowsOpenAsPopupBrowsers()
    {
        const QUrl target = m_fixture->writePage(QStringLiteral("view/opened.html"), page(""));
        auto popups = [this] {
            QList<KelvWebView *> found;
            for (QWidget *w : QApplication::topLevelWidgets()) {
                if (auto *view = qobject_cast<KelvWebView *>(w); view && view != m_view)
                    found << view;
            }
            return found;
        };
        QVERIFY(popups().isEmpty());
        runJs(kpage(),
              QStringLiteral("window.opened = window.open(%1, '', 'width=320,height=240'); 1")
                  .arg(jsString(target.toString())));
        QVERIFY(waitUntil([&] { return popups().size() == 1; }));
        QPointer<KelvWebView> popup = popups().first();
        QTRY_COMPARE_WITH_TIMEOUT(popup->url(), target, 20000);
        QVERIFY(popup->isWindow());
        QVERIFY(popup->isVisible());
        QCOMPARE(popup->size(), QSize(320, 240));
        QCOMPARE(popup->parentWidget(), m_view->window());
        // The popup neither replaces the main browser nor takes the requests
        // of the window that was active.
        QCOMPARE(m_client->browser(), m_view);
        QCOMPARE(m_client->listener(), m_view);

        // Even a page of the program in a popup is not answered: the page
        // that opened it can script it, and that page may be any page.
        auto *popupPage = popup->page();
        QTRY_VERIFY_WITH_TIMEOUT(
            runJs(popupPage, QStringLiteral("typeof q === 'function'")).toBool(), 20000);
        runJs(popupPage, QStringLiteral("q(%1); setMessageCallback('devicesChanged', function (a) {"
                                        " events.push(a); }); 1")
                             .arg(jsString(echo(QStringLiteral("popup")))));
        m_client->sendDevicesChanged(1);
        roundTrip(echo(QStringLiteral("sentinel")));
        QTest::qWait(200);
        QCOMPARE(runJs(popupPage, QStringLiteral("log.length + events.length")).toInt(), 0);
        QCOMPARE(m_calls.value(QStringLiteral("echo")), 1);

        // The opener closes it: the window goes.
        runJs(kpage(), QStringLiteral("opened.close(); 1"));
        QVERIFY(waitUntil([&] { return popup.isNull(); }));

        // A link with a target opens one too; the page's own window.close()
        // closes it.
        runJs(kpage(), QStringLiteral("var a = document.createElement('a'); a.href = %1;"
                                      " a.target = '_blank'; document.body.appendChild(a);"
                                      " a.click(); 1")
                           .arg(jsString(target.toString())));
        QVERIFY(waitUntil([&] { return popups().size() == 1; }));
        popup = popups().first();
        QTRY_COMPARE_WITH_TIMEOUT(popup->url(), target, 20000);
        runJs(popup->page(), QStringLiteral("window.close(); 1"));
        QVERIFY(waitUntil([&] { return popup.isNull(); }));
        QCOMPARE(m_client->browser(), m_view);
    }

    // ---- origin rule ------------------------------------------------------------

    void iframesCannotReachTheBridge()
    {
        HttpTestServer server;
        QVERIFY(server.isListening());
        const QByteArray probe = R"(<script>
var report = {cefQuery: typeof window.cefQuery, setMessageCallback: typeof window.setMessageCallback,
  transport: typeof qt !== 'undefined' && !!qt.webChannelTransport, parent: 'blocked'};
try { parent.cefQuery({request: '{"funcname":"echo","value":"from frame"}'}); report.parent = 'called'; }
catch (e) { report.parent = 'blocked'; }
parent.postMessage(JSON.stringify(report), '*');
</script>)";
        server.setContent(QStringLiteral("/frame.html"), probe, "text/html");
        const QByteArray body =
            "<script>window.reports = []; addEventListener('message', function (e) {"
            " reports.push(JSON.parse(e.data)); });</script>"
            "<iframe src=\"" +
            server.url(QStringLiteral("/frame.html")).toUtf8() +
            "\"></iframe>"
            "<iframe src=\"data:text/html;base64," +
            probe.toBase64() +
            "\"></iframe>"
            "<iframe id=\"blank\"></iframe>";
        const QUrl url = m_fixture->writePage(QStringLiteral("view/frames.html"), page(body));
        QVERIFY(loadAndWait(*m_view, url));
        QTRY_COMPARE_WITH_TIMEOUT(runJs(kpage(), QStringLiteral("reports.length")).toInt(), 2,
                                  20000);
        const QVariantList reports = runJsJson(kpage(), QStringLiteral("reports")).toList();
        for (const QVariant &r : reports) {
            const QVariantMap report = r.toMap();
            QCOMPARE(report.value("cefQuery").toString(), QStringLiteral("undefined"));
            QCOMPARE(report.value("setMessageCallback").toString(), QStringLiteral("undefined"));
            QCOMPARE(report.value("transport").toBool(), false);
            QCOMPARE(report.value("parent").toString(), QStringLiteral("blocked"));
        }
        // The about:blank frame shares the page's origin but not its functions
        // or its channel.
        QCOMPARE(
            runJsJson(kpage(), QStringLiteral("(function (w) { return [typeof w.cefQuery, typeof "
                                              "w.setMessageCallback, typeof w.qt]; })"
                                              "(document.getElementById('blank').contentWindow)"))
                .toStringList(),
            QStringList({"undefined", "undefined", "undefined"}));
        roundTrip(echo(QStringLiteral("sentinel")));
        QCOMPARE(m_calls.value(QStringLiteral("echo")), 1);
    }

    void aPageOutsideTheViewFolderGetsNoAnswerAndNoEvents()
    {
        HttpTestServer server;
        QVERIFY(server.isListening());
        // The remote page also talks to the channel directly, with its own copy
        // of qwebchannel.js: it tries a query with a made-up key and tries to
        // delete the bridge object.
        QFile channelJs(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
        QVERIFY(channelJs.open(QIODevice::ReadOnly));
        server.setContent(QStringLiteral("/qwebchannel.js"), channelJs.readAll(),
                          "application/javascript");
        server.setContent(QStringLiteral("/remote.html"),
                          page(R"(<script src="qwebchannel.js"></script><script>
window.direct = 'waiting';
new QWebChannel(qt.webChannelTransport, function (channel) {
  var bridge = channel.objects.kelvBridge;
  bridge.query('made-up', 1, '{"funcname":"echo","value":"direct"}');
  bridge.ready('made-up', function (missed) { window.direct = JSON.stringify(missed); });
  bridge.deleteLater();
});
</script>)"),
                          "text/html");
        const QUrl elsewhere =
            m_fixture->writePage(QStringLiteral("elsewhere/page.html"), page(""));
        // A file named like the folder but outside it does not count either.
        const QUrl lookalike = m_fixture->writePage(QStringLiteral("view2/page.html"), page(""));
        const QUrl escaped =
            QUrl(m_plain.toString() + QStringLiteral("/../../elsewhere/page.html"));
        QVERIFY(m_client->isProgramPage(m_plain));
        QVERIFY(!m_client->isProgramPage(elsewhere));
        QVERIFY(!m_client->isProgramPage(lookalike));
        QVERIFY(!m_client->isProgramPage(escaped));
        QVERIFY(!m_client->isProgramPage(QUrl(QStringLiteral("data:text/html,x"))));
        QVERIFY(!m_client->isProgramPage(QUrl(QStringLiteral("about:blank"))));

        const QList<QUrl> foreign = {QUrl(server.url(QStringLiteral("/remote.html"))), elsewhere,
                                     lookalike};
        for (const QUrl &url : foreign) {
            QVERIFY(loadAndWait(*m_view, url));
            QCOMPARE(runJs(kpage(), QStringLiteral("typeof cefQuery")).toString(),
                     QStringLiteral("function"));
            runJs(kpage(),
                  QStringLiteral(
                      "setMessageCallback('devicesChanged', function (a) { events.push(a); });"
                      "q('%1'); q('moveWindow:1,2,3,4'); q('%2');")
                      .arg(echo(QStringLiteral("foreign")),
                           QStringLiteral(R"({"funcname":"minisizeWindow"})")));
            QSignalSpy sent(m_client, &ClientHandler::eventSent);
            m_client->sendDevicesChanged(1);
            QCOMPARE(sent.count(), 0);
            QTest::qWait(200);
            QCOMPARE(runJs(kpage(), QStringLiteral("log.length + events.length")).toInt(), 0);
            if (url.scheme() == QLatin1String("http")) {
                QVERIFY(waitUntil([&] {
                    return runJs(kpage(), QStringLiteral("direct")).toString() != "waiting";
                }));
                QCOMPARE(runJs(kpage(), QStringLiteral("direct")).toString(), QStringLiteral("[]"));
            }
        }
        // Back on a page of the program: the foreign queries reached nothing.
        QVERIFY(loadAndWait(*m_view, m_plain));
        roundTrip(echo(QStringLiteral("sentinel")));
        QCOMPARE(m_calls.value(QStringLiteral("echo")), 1);
        QVERIFY(m_host->calls.isEmpty());
    }
};

int main(int argc, char **argv)
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestPageBridge test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_page_bridge.moc"
