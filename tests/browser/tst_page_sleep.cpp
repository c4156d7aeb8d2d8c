// A hidden page that sleeps: a real page in Qt WebEngine, discarded once it
// is quiet, woken for every one of the six events (which its document then
// takes, once, in order) and asleep again afterwards; kept awake while a
// query is in flight or the page is shown. A page whose view goes for good
// is reported once it is quiet instead.
#include "bridge/dispatcher.h"
#include "bridge/request_router.h"
#include "browser/page_sleep.h"
#include "tests/browser/browser_fixture.h"

#include <QApplication>
#include <QJsonDocument>
#include <QScopeGuard>
#include <QWebEngineScriptCollection>
#include <csignal>

using namespace kelv;
using namespace kelv::test;

namespace {

using State = QWebEnginePage::LifecycleState;

// The page registers its callbacks at the end of a chain of modules, as the
// program's page does: its scripts run well after the contract's channel is
// up, and a woken page must still get the event that woke it. Every event is
// reported back with a "got" request.
const QByteArray SleepyPage = R"(<!DOCTYPE html><html><head><meta charset="utf-8">
<script type="module" src="chain/0.js"></script></head><body>sleepy</body></html>)";
constexpr int ChainLength = 40;
const QByteArray ChainEnd = R"(
for (const name of ['devicesChanged', 'macroItem', 'currentPropChanged', 'navStateChanged',
                    'onDeviceData', 'onProcessChanged'])
  setMessageCallback(name, (args) => cefQuery({
    request: JSON.stringify({funcname: 'got', name, args: JSON.stringify(args)}),
    onSuccess() {}, onFailure() {}}));
window.hold = () => cefQuery({request: '{"funcname":"hold"}', onSuccess() {}, onFailure() {}});
)";

} // namespace

class TestPageSleep : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<RoutedView> m_rig;
    KelvWebView *m_view = nullptr;
    ClientHandler *m_client = nullptr;
    QStringList m_got; // "name args-json"
    QList<QueryCallbackPtr> m_held;
    QUrl m_page;

    KelvPage *kpage() const { return m_view->kelvPage(); }
    PageSleep *sleep() const { return kpage()->sleep(); }
    bool asleep() const { return kpage()->lifecycleState() == State::Discarded; }

    // What the document reported of one event, besides its own navigation.
    QStringList got(const QString &name) const
    {
        QStringList result;
        for (const QString &entry : m_got) {
            if (entry.startsWith(name + QLatin1Char(' ')))
                result << entry;
        }
        return result;
    }

private slots:
    void initTestCase()
    {
        m_rig = std::make_unique<RoutedView>();
        m_view = &m_rig->view;
        m_client = &m_rig->client;
        Dispatcher &dispatcher = m_rig->router.dispatcher();
        dispatcher.add(QStringLiteral("got"), [this](const Members &m, const QueryCallbackPtr &cb) {
            m_got << memberText(m, QStringLiteral("name")) + QLatin1Char(' ') +
                         memberText(m, QStringLiteral("args"));
            answerSuccess(cb, QString());
        });
        dispatcher.add(QStringLiteral("hold"),
                       [this](const Members &, const QueryCallbackPtr &cb) { m_held.append(cb); });
        m_page = m_rig->fixture.writePage(QStringLiteral("view/sleepy.html"), SleepyPage);
        for (int i = 0; i < ChainLength; ++i) {
            m_rig->fixture.writePage(QStringLiteral("view/chain/%1.js").arg(i),
                                     i + 1 < ChainLength ? QByteArrayLiteral("import './") +
                                                               QByteArray::number(i + 1) + ".js';\n"
                                                         : ChainEnd);
        }
        sleep()->setQuietTime(200);
    }

    void init()
    {
        sleep()->setEnabled(false);
        if (asleep())
            kpage()->setLifecycleState(State::Active);
        m_view->hide();
        QVERIFY(loadAndWait(*m_view, m_page));
        m_got.clear();
        m_held.clear();
    }

    void aHiddenQuietPageSleepsAndKeepsItsAddress()
    {
        QVERIFY(!asleep());
        QTest::qWait(sleep()->quietTime() * 3);
        QVERIFY2(!asleep(), "sleeping is off unless switched on");
        QSignalSpy changed(sleep(), &PageSleep::asleepChanged);
        sleep()->setEnabled(true);
        QVERIFY(waitUntil([&] { return asleep(); }));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toBool(), true);
        QCOMPARE(kpage()->url(), m_page);
        QVERIFY(kpage()->showsProgramPage());
    }

    void everyEventWakesThePageWhichTakesItOnceAndSleepsAgain_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("args");
        QTest::newRow("devicesChanged") << "devicesChanged"
                                        << "[7]";
        QTest::newRow("macroItem") << "macroItem"
                                   << R"(["1","30","0","down"])";
        QTest::newRow("currentPropChanged") << "currentPropChanged"
                                            << "[3,1]";
        QTest::newRow("navStateChanged") << "navStateChanged"
                                         << "[true,true]";
        QTest::newRow("onDeviceData") << "onDeviceData"
                                      << R"(["0103200300000000"])";
        QTest::newRow("onProcessChanged") << "onProcessChanged"
                                          << R"(["2",true])";
    }

    void everyEventWakesThePageWhichTakesItOnceAndSleepsAgain()
    {
        QFETCH(QString, name);
        QFETCH(QString, args);
        sleep()->setEnabled(true);
        QVERIFY(waitUntil([&] { return asleep(); }));

        const QVariantList values = QJsonDocument::fromJson(args.toUtf8()).toVariant().toList();
        if (name == QLatin1String("devicesChanged"))
            m_client->sendDevicesChanged(values.at(0).toInt());
        else if (name == QLatin1String("macroItem"))
            m_client->sendMacroItem(values.at(0).toString(), values.at(1).toString(),
                                    values.at(2).toString(), values.at(3).toString());
        else if (name == QLatin1String("currentPropChanged"))
            m_client->sendCurrentPropChanged(values.at(0).toInt(), values.at(1).toInt());
        else if (name == QLatin1String("navStateChanged"))
            m_client->sendNavStateChanged(values.at(0).toBool(), values.at(1).toBool());
        else if (name == QLatin1String("onDeviceData"))
            m_client->sendOnDeviceData(values.at(0).toString());
        else
            m_client->sendOnProcessChanged(values.at(0).toString(), values.at(1).toBool());
        QVERIFY2(!asleep(), "the event woke the page");

        const QString expected = name + QLatin1Char(' ') + args;
        QVERIFY2(waitUntil([&] { return got(name).contains(expected); }),
                 qPrintable(m_got.join(QLatin1Char('\n'))));
        QVERIFY2(waitUntil([&] { return asleep(); }), "the page sleeps again once it is quiet");
        QCOMPARE(got(name).count(expected), 1);
    }

    void eventsWhileThePageWakesKeepTheirOrder()
    {
        sleep()->setEnabled(true);
        QVERIFY(waitUntil([&] { return asleep(); }));
        for (int i = 1; i <= 3; ++i)
            m_client->sendOnProcessChanged(QString::number(i), i % 2 == 1);
        QVERIFY(sleep()->isWaking());
        // One more once the new document is loading.
        QVERIFY(waitUntil([&] { return kpage()->isLoading(); }));
        m_client->sendOnProcessChanged(QStringLiteral("4"), false);
        QVERIFY(waitUntil([&] { return got(QStringLiteral("onProcessChanged")).size() >= 4; }));
        QTest::qWait(100);
        QCOMPARE(
            got(QStringLiteral("onProcessChanged")),
            QStringList({R"(onProcessChanged ["1",true])", R"(onProcessChanged ["2",false])",
                         R"(onProcessChanged ["3",true])", R"(onProcessChanged ["4",false])"}));
        QVERIFY(waitUntil([&] { return asleep(); }));
    }

    // The renderer of a page woken for an event ends while the document loads:
    // the page is loaded again and takes the event, and no error page takes
    // its place.
    void aRendererThatEndsWhileThePageWakesLeavesNoEventBehind()
    {
        const QString startup = m_client->startupAddress();
        m_client->setStartupAddress(m_page.toString());
        const auto restore = qScopeGuard([&] { m_client->setStartupAddress(startup); });
        QSignalSpy errorPage(kpage(), &KelvPage::errorPageShown);
        QSignalSpy ended(kpage(), &QWebEnginePage::renderProcessTerminated);
        sleep()->setEnabled(true);
        QVERIFY(waitUntil([&] { return asleep(); }));
        m_client->sendOnProcessChanged(QStringLiteral("6"), true);
        QVERIFY(waitUntil([&] { return kpage()->renderProcessPid() > 0; }));
        QVERIFY2(sleep()->isWaking(), "the renderer ends before the document took the event");
        QCOMPARE(::kill(pid_t(kpage()->renderProcessPid()), SIGKILL), 0);
        QVERIFY(ended.wait(20000));
        const QString expected = QStringLiteral(R"(onProcessChanged ["6",true])");
        QVERIFY2(
            waitUntil([&] { return got(QStringLiteral("onProcessChanged")).contains(expected); }),
            qPrintable(m_got.join(QLatin1Char('\n'))));
        QCOMPARE(errorPage.count(), 0);
        QCOMPARE(kpage()->url(), m_page);
        QVERIFY2(waitUntil([&] { return asleep(); }), "the page sleeps again once it is quiet");
    }

    // The renderer ends again right after the page was loaded again: the page
    // is left without one and goes to sleep, so the next event loads it
    // afresh and the events held meanwhile arrive with that one, in order.
    void aPageLeftWithoutRendererSleepsAndKeepsItsEvents()
    {
        const QString startup = m_client->startupAddress();
        m_client->setStartupAddress(m_page.toString());
        const auto restore = qScopeGuard([&] { m_client->setStartupAddress(startup); });
        sleep()->setEnabled(true);
        QVERIFY(waitUntil([&] { return asleep(); }));
        m_client->sendOnProcessChanged(QStringLiteral("7"), true);
        QSignalSpy ended(kpage(), &QWebEnginePage::renderProcessTerminated);
        for (int i = 0; i < 2 && !asleep(); ++i) {
            QVERIFY(waitUntil([&] { return asleep() || kpage()->renderProcessPid() > 0; }));
            if (asleep())
                break;
            QVERIFY2(sleep()->isWaking(), "the renderer ends before the document took the event");
            QCOMPARE(::kill(pid_t(kpage()->renderProcessPid()), SIGKILL), 0);
            QVERIFY(ended.wait(20000));
        }
        QVERIFY2(waitUntil([&] { return asleep(); }), "the page without a renderer sleeps");
        // Not loaded again at once (its renderer could end at every load): the
        // end of the load cut short does not wake it.
        QTest::qWait(sleep()->quietTime() * 3);
        QVERIFY2(asleep(), "the page sleeps until an event comes");
        QVERIFY(got(QStringLiteral("onProcessChanged")).isEmpty());
        m_client->sendOnProcessChanged(QStringLiteral("8"), false);
        QVERIFY(waitUntil([&] { return got(QStringLiteral("onProcessChanged")).size() >= 2; }));
        QTest::qWait(100);
        QCOMPARE(
            got(QStringLiteral("onProcessChanged")),
            QStringList({R"(onProcessChanged ["7",true])", R"(onProcessChanged ["8",false])"}));
        QVERIFY(waitUntil([&] { return asleep(); }));
    }

    void aQueryInFlightKeepsThePageAwake()
    {
        QVERIFY(waitUntil([&] { return !kpage()->isLoading(); }));
        runJs(kpage(), QStringLiteral("hold()"));
        QVERIFY(waitUntil([&] { return m_held.size() == 1; }));
        sleep()->setEnabled(true);
        QTest::qWait(sleep()->quietTime() * 4);
        QVERIFY2(!asleep(), "a page whose query is not answered yet stays awake");
        answerSuccess(m_held.takeFirst(), QStringLiteral("done"));
        QVERIFY(waitUntil([&] { return asleep(); }));
    }

    // The document still sends what it held back as it was hidden (its query not arrived yet):
    // asked before it is discarded, it says so and the page stays awake until it says no more.
    void aDocumentThatSaysItIsBusyKeepsThePageAwake()
    {
        QVERIFY(waitUntil([&] { return !kpage()->isLoading(); }));
        runJs(kpage(), QStringLiteral("window.busy = true; window.asked = 0; "
                                      "window.kelvReadyToRest = () => (++window.asked, !window.busy)"));
        sleep()->setEnabled(true);
        QVERIFY(waitUntil([&] { return runJs(kpage(), QStringLiteral("window.asked")).toInt() >= 2; }));
        QVERIFY2(!asleep(), "a document that is still sending stays awake");
        runJs(kpage(), QStringLiteral("window.busy = false"));
        QVERIFY(waitUntil([&] { return asleep(); }));
    }

    void aShownPageWakesAndStaysAwake()
    {
        sleep()->setEnabled(true);
        QVERIFY(waitUntil([&] { return asleep(); }));
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view));
        QVERIFY(waitUntil([&] { return kpage()->lifecycleState() == State::Active; }));
        QVERIFY(waitUntil([&] { return !sleep()->isWaking(); }));
        QTest::qWait(sleep()->quietTime() * 3);
        QVERIFY(!asleep());
        QCOMPARE(kpage()->url(), m_page);
        m_view->hide();
        QVERIFY2(waitUntil([&] { return asleep(); }), "hidden again, the page sleeps again");
    }

    // A woken page whose document comes without its contract for good (the
    // engine left it out after a renderer was killed) sleeps again, still
    // holding its events, at most HeldLimit of them (the newest); the next
    // wake that connects delivers them, and the page sleeps again.
    void aPageWithoutItsContractSleepsAgainHoldingItsNewestEvents()
    {
        QWebEngineScriptCollection &scripts = kpage()->scripts();
        const QList<QWebEngineScript> found = scripts.find(QStringLiteral("kelv-contract"));
        QCOMPARE(found.size(), 1);
        const QWebEngineScript contract = found.first();
        const auto restore = qScopeGuard([&] {
            if (!scripts.contains(contract))
                scripts.insert(contract);
        });
        sleep()->setEnabled(true);
        QVERIFY(waitUntil([&] { return asleep(); }));
        QVERIFY(scripts.remove(contract));
        constexpr int Sent = PageSleep::HeldLimit + 10;
        for (int i = 0; i < Sent; ++i)
            m_client->sendOnProcessChanged(QString::number(i), true);
        QVERIFY(!asleep());
        QVERIFY2(waitUntil([&] { return asleep(); }), "asleep again once the contract is lost");
        QVERIFY(got(QStringLiteral("onProcessChanged")).isEmpty());

        scripts.insert(contract);
        m_client->sendDevicesChanged(9);
        QVERIFY(waitUntil([&] { return got(QStringLiteral("devicesChanged")).size() == 1; }));
        // The newest ones, in order, without a gap; the oldest went (the
        // loads without the contract held their navigation states too).
        QTest::qWait(1000);
        const QStringList processes = got(QStringLiteral("onProcessChanged"));
        QVERIFY2(processes.size() < PageSleep::HeldLimit &&
                     processes.size() > PageSleep::HeldLimit - 20,
                 qPrintable(QString::number(processes.size())));
        for (int i = 0; i < processes.size(); ++i)
            QCOMPARE(
                processes.at(i),
                QStringLiteral(R"(onProcessChanged ["%1",true])").arg(Sent - processes.size() + i));
        QVERIFY(waitUntil([&] { return asleep(); }));
    }

    // A woken page whose document never connects (its load hangs) sleeps
    // again after the wake limit, still holding its event; the next wake
    // delivers it.
    void aWokenPageWhoseDocumentNeverConnectsSleepsAgain()
    {
        const QString hang = QStringLiteral("view/hang.js");
        const QUrl hanging = m_rig->fixture.writePage(
            QStringLiteral("view/hanging.html"),
            R"(<script src="hang.js"></script><script type="module" src="chain/0.js"></script>)");
        m_rig->fixture.writePage(hang, "");
        QVERIFY(loadAndWait(*m_view, hanging));
        const auto restore = qScopeGuard([&] {
            m_rig->fixture.writePage(hang, "");
            sleep()->setWakeLimit(PageSleep::DefaultWakeLimitMs);
        });
        sleep()->setWakeLimit(2000);
        sleep()->setEnabled(true);
        QVERIFY(waitUntil([&] { return asleep(); }));
        m_rig->fixture.writePage(hang, "for (;;) {}");
        m_client->sendOnProcessChanged(QStringLiteral("1"), true);
        QVERIFY(!asleep());
        QVERIFY2(waitUntil([&] { return asleep(); }, 30000), "asleep again after the wake limit");
        QVERIFY(got(QStringLiteral("onProcessChanged")).isEmpty());

        m_rig->fixture.writePage(hang, "");
        m_client->sendOnProcessChanged(QStringLiteral("2"), true);
        const QStringList both{QStringLiteral(R"(onProcessChanged ["1",true])"),
                               QStringLiteral(R"(onProcessChanged ["2",true])")};
        QVERIFY(waitUntil([&] { return got(QStringLiteral("onProcessChanged")) == both; }));
        QVERIFY(waitUntil([&] { return asleep(); }));
    }

    // A page whose view is to go (a closed popup) is reported once its last
    // query is answered and it is quiet, and is not put to sleep meanwhile.
    void aPageThatEndsIsReportedOnceItIsQuiet()
    {
        QVERIFY(waitUntil([&] { return !kpage()->isLoading(); }));
        sleep()->setEnabled(true);
        runJs(kpage(), QStringLiteral("hold()"));
        QVERIFY(waitUntil([&] { return m_held.size() == 1; }));
        QSignalSpy ready(sleep(), &PageSleep::readyToEnd);
        sleep()->endWhenQuiet();
        QTest::qWait(sleep()->quietTime() * 4);
        QCOMPARE(ready.count(), 0);
        answerSuccess(m_held.takeFirst(), QStringLiteral("done"));
        QVERIFY(ready.wait(sleep()->quietTime() * 5));
        QTest::qWait(sleep()->quietTime() * 3);
        QCOMPARE(ready.count(), 1);
        QVERIFY2(!asleep(), "an ending page is not discarded");
    }
};

int main(int argc, char **argv)
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestPageSleep test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_page_sleep.moc"
