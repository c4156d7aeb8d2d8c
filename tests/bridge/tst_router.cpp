// Request routing without a page: the window texts of the query intake, the
// JSON envelope of onJsMessage, and the JSON reply format.
#include "bridge/dispatcher.h"
#include "bridge/json_reply.h"
#include "bridge/request_router.h"
#include "tests/testsupport/fake_app_host.h"
#include "tests/testsupport/recording_callback.h"

#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace kelv;
using namespace kelv::test;

class TestRouter : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<FakeAppHost> m_host;
    std::unique_ptr<RequestRouter> m_router;
    QStringList m_dispatched;

    QSharedPointer<RecordingCallback> jsMessage(const QString &request)
    {
        auto callback = RecordingCallback::create();
        m_router->onJsMessage(request, callback);
        return callback;
    }

private slots:
    void init()
    {
        m_host = std::make_unique<FakeAppHost>(m_dir.path());
        m_router = std::make_unique<RequestRouter>(*m_host);
        m_dispatched.clear();
        for (const char *name : {"echo", "maxsizeWindow", "12", "minisizeWindow"}) {
            const QString n = QString::fromLatin1(name);
            m_router->dispatcher().add(n, [this, n](const Members &m, const QueryCallbackPtr &cb) {
                m_dispatched << n;
                answerSuccess(cb, memberText(m, QStringLiteral("value")));
            });
        }
    }

    void moveWindowNumbers_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QList<int>>("numbers");
        QTest::newRow("plain") << "moveWindow:1,2,3,4" << QList<int>{1, 2, 3, 4};
        QTest::newRow("blanks after commas")
            << "moveWindow: 1, -2,\t3,\n4" << QList<int>{1, -2, 3, 4};
        QTest::newRow("any separator") << "moveWindowx5,6,7,8" << QList<int>{5, 6, 7, 8};
        QTest::newRow("separator digit lost") << "moveWindow12,6,7,8" << QList<int>{2, 6, 7, 8};
        QTest::newRow("no separator, one digit") << "moveWindow1,2,3,4" << QList<int>{};
        QTest::newRow("signs") << "moveWindow:+1,-0,3,4" << QList<int>{1, 0, 3, 4};
        QTest::newRow("blank before comma stops") << "moveWindow:1 ,2,3,4" << QList<int>{1};
        QTest::newRow("two commas stop") << "moveWindow:1,,2,3" << QList<int>{1};
        QTest::newRow("fraction stops") << "moveWindow:1.5,2,3,4" << QList<int>{1};
        QTest::newRow("five") << "moveWindow:1,2,3,4,5" << QList<int>{1, 2, 3, 4, 5};
        QTest::newRow("trailing text") << "moveWindow:1,2,3,4px" << QList<int>{1, 2, 3, 4};
        QTest::newRow("int limits")
            << "moveWindow:2147483647,-2147483648,0,0" << QList<int>{2147483647, -2147483648, 0, 0};
        QTest::newRow("overflow stops") << "moveWindow:1,2147483648,3,4" << QList<int>{1};
        QTest::newRow("huge overflow stops")
            << "moveWindow:99999999999999999999999,1,2,3" << QList<int>{};
        QTest::newRow("non-ASCII digits")
            << QString::fromUtf8("moveWindow:１,2,3,4") << QList<int>{};
        QTest::newRow("nothing after") << "moveWindow" << QList<int>{};
        QTest::newRow("only separator") << "moveWindow:" << QList<int>{};
    }

    void moveWindowNumbers()
    {
        QFETCH(QString, request);
        QFETCH(QList<int>, numbers);
        QCOMPARE(parseMoveWindowNumbers(request), numbers);
    }

    void moveWindowIsTakenWithOrWithoutEffect()
    {
        auto four = RecordingCallback::create();
        QVERIFY(m_router->takeWindowRequest(QStringLiteral("moveWindow:1,2,3,4"), four));
        QCOMPARE(four->answerCount(), 1);
        QVERIFY(four->ok());
        QCOMPARE(four->text(), QString());
        QCOMPARE(m_host->calls, QStringList({"move 1,2,3,4"}));

        for (const char *request : {"moveWindow:1,2,3", "moveWindow:1,2,3,4,5", "moveWindow"}) {
            auto callback = RecordingCallback::create();
            QVERIFY(m_router->takeWindowRequest(QString::fromLatin1(request), callback));
            QVERIFY(!callback->answered());
        }
        QCOMPARE(m_host->calls.size(), 1);
        // Case matters; a later position does not count.
        auto other = RecordingCallback::create();
        QVERIFY(!m_router->takeWindowRequest(QStringLiteral("movewindow:1,2,3,4"), other));
        QVERIFY(!m_router->takeWindowRequest(QStringLiteral(" moveWindow:1,2,3,4"), other));
        QVERIFY(!other->answered());
        QCOMPARE(m_host->calls.size(), 1);
    }

    void minimiseExactTextOnly()
    {
        const QString file = m_dir.filePath(QStringLiteral("p.xml"));
        m_host->profiles().store(file, QStringLiteral("<a/>"));
        auto callback = RecordingCallback::create();
        QVERIFY(m_router->takeWindowRequest(QStringLiteral(R"({"funcname":"minisizeWindow"})"),
                                            callback));
        QVERIFY(callback->ok());
        QCOMPARE(callback->text(), QString());
        QCOMPARE(m_host->calls, QStringList({"minimise"}));
        QVERIFY(QFile::exists(file));
        QVERIFY(m_host->profiles().modified().isEmpty());
        // Any other spelling is an ordinary JSON request for onJsMessage.
        auto spaced = RecordingCallback::create();
        QVERIFY(!m_router->takeWindowRequest(QStringLiteral(R"({"funcname": "minisizeWindow"})"),
                                             spaced));
        QVERIFY(!m_router->takeWindowRequest(QStringLiteral(R"({"funcname":"echo"})"), spaced));
        QVERIFY(!spaced->answered());
        QCOMPARE(m_host->calls.size(), 1);
    }

    void maximiseAndRestore()
    {
        auto max = jsMessage(QStringLiteral(R"({"funcname":"maxsizeWindow"})"));
        auto restore = jsMessage(QStringLiteral(R"({"funcname":"restoreWindow"})"));
        QVERIFY(!max->answered());
        QVERIFY(!restore->answered());
        QCOMPARE(m_host->calls, QStringList({"maximise", "restore"}));
        QVERIFY(m_dispatched.isEmpty());
        // A blank after the colon makes it a JSON request: the dispatcher
        // gets it (this test table happens to have a command of that name).
        auto spaced = jsMessage(QStringLiteral(R"({"funcname": "maxsizeWindow"})"));
        QCOMPARE(m_dispatched, QStringList({"maxsizeWindow"}));
        QCOMPARE(m_host->calls.size(), 2);
        QVERIFY(spaced->answered());
    }

    void jsonEnvelope()
    {
        QCOMPARE(jsMessage(QStringLiteral(R"({"funcname":"echo","value":"v"})"))->text(),
                 QStringLiteral("v"));
        QCOMPARE(jsMessage(QStringLiteral(R"(  {"value":3, "funcname" : "echo"} )"))->text(),
                 QStringLiteral("3"));
        // A number as the command name is read as its text.
        QCOMPARE(jsMessage(QStringLiteral(R"({"funcname":12})"))->answered(), true);
        QCOMPARE(m_dispatched, QStringList({"echo", "echo", "12"}));
        for (const char *request : {R"(["funcname","echo"])", "not json", "", R"({"value":"x"})",
                                    R"({"funcname":"Echo"})", R"({"funcname":null})",
                                    R"({"funcname":"echo")", R"("echo")", "null"}) {
            auto callback = jsMessage(QString::fromUtf8(request));
            QVERIFY2(!callback->answered(), request);
        }
        QCOMPARE(m_dispatched.size(), 3);
        QVERIFY(m_host->calls.isEmpty());
    }

    void deeplyNestedRequestsParseWithoutRecursionTrouble()
    {
        // Qt's JSON parser refuses nesting beyond its own limit (no reply);
        // a member nested 500 levels deep is read like any other.
        const QString deep = QStringLiteral(R"({"funcname":"echo","value":"v","x":)") +
                             QString(100000, QLatin1Char('[')) + QString(100000, QLatin1Char(']')) +
                             QLatin1Char('}');
        QVERIFY(!jsMessage(deep)->answered());
        const QString nested = QStringLiteral(R"({"funcname":"echo","value":"v","x":)") +
                               QStringLiteral(R"({"a":)").repeated(500) + QStringLiteral("1") +
                               QString(500, QLatin1Char('}')) + QLatin1Char('}');
        QCOMPARE(jsMessage(nested)->text(), QStringLiteral("v"));
        QCOMPARE(m_dispatched, QStringList({"echo"}));
    }

    void requestsBeyondTheLengthBoundAreDropped()
    {
        // The longest request taken, and one character more: the longer one
        // is dropped by the intake (taken, no reply) and by onJsMessage.
        const QString head = QStringLiteral(R"({"funcname":"echo","value":")");
        const QString fits = head + QString(kMaxRequestLength - head.size() - 2, QLatin1Char('v')) +
                             QStringLiteral(R"("})");
        QCOMPARE(fits.size(), kMaxRequestLength);
        const QString longer = QString(fits).insert(head.size(), QLatin1Char('v'));
        auto dropped = RecordingCallback::create();
        QVERIFY(m_router->takeWindowRequest(longer, dropped));
        QVERIFY(!jsMessage(longer)->answered());
        const QString move =
            QStringLiteral("moveWindow:1,2,3,4") + QString(kMaxRequestLength, QLatin1Char(' '));
        QVERIFY(m_router->takeWindowRequest(move, dropped));
        QVERIFY(!dropped->answered());
        QVERIFY(m_dispatched.isEmpty());
        QVERIFY(m_host->calls.isEmpty());
        auto callback = RecordingCallback::create();
        QVERIFY(!m_router->takeWindowRequest(fits, callback));
        QCOMPARE(jsMessage(fits)->text().size(), fits.size() - head.size() - 2);
    }

    void jsonReplyIsCompactAndSorted()
    {
        QJsonObject object;
        object.insert(QStringLiteral("b"), 1);
        object.insert(QStringLiteral("a"), QStringLiteral("x y"));
        object.insert(QStringLiteral("Z"), true);
        object.insert(QStringLiteral("_"), QJsonValue::Null);
        object.insert(QStringLiteral("HardwareID"), QStringLiteral("HID\\Vid"));
        QCOMPARE(
            jsonReply(QJsonArray{object}),
            QStringLiteral(R"([{"HardwareID":"HID\\Vid","Z":true,"_":null,"a":"x y","b":1}])"));
        QVariantMap map;
        map.insert(QStringLiteral("version"), QStringLiteral("1.0"));
        map.insert(QStringLiteral("Language"), QStringLiteral("en"));
        map.insert(QStringLiteral("count"), 2);
        QCOMPARE(jsonReply(QList<QVariantMap>{map, {}}),
                 QStringLiteral(R"([{"Language":"en","count":2,"version":"1.0"},{}])"));
        QCOMPARE(jsonReply(QJsonArray{}), QStringLiteral("[]"));
    }
};

QTEST_GUILESS_MAIN(TestRouter)
#include "tst_router.moc"
