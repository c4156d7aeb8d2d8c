#include "bridge/dispatcher.h"
#include "bridge/members.h"
#include "tests/testsupport/recording_callback.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <limits>

using namespace kelv;

namespace {
Members parse(const char *json)
{
    return QJsonDocument::fromJson(json).object().toVariantMap();
}
} // namespace

class TestMembers : public QObject
{
    Q_OBJECT

private slots:
    void textReading()
    {
        const Members m = parse(
            R"({"s":"abc","n":12,"f":1.5,"tenth":0.1,"neg":-2.675,"small":1e-7,"t":true,"z":null})");
        QCOMPARE(memberText(m, "s"), QStringLiteral("abc"));
        QCOMPARE(memberText(m, "n"), QStringLiteral("12"));
        QCOMPARE(memberText(m, "f"), QStringLiteral("1.5"));
        // A fraction reads as the page wrote it, not with the double's error digits.
        QCOMPARE(memberText(m, "tenth"), QStringLiteral("0.1"));
        QCOMPARE(memberText(m, "neg"), QStringLiteral("-2.675"));
        QCOMPARE(memberText(m, "small"), QStringLiteral("1e-07"));
        QCOMPARE(memberText(m, "t"), QStringLiteral("true"));
        QCOMPARE(memberText(m, "z"), QString());
        QCOMPARE(memberText(m, "absent"), QString());
        QVERIFY(hasMember(m, "z"));
        QVERIFY(hasMembers(m, {"s", "z"}));
        QVERIFY(!hasMembers(m, {"s", "absent"}));
    }

    void integerReading()
    {
        const Members m =
            parse(R"({"n":2.6,"neg":-2.5,"s":"42","hex":"0x10","e":"","z":null,"b":true})");
        QCOMPARE(memberInt(m, "n"), 3);
        QCOMPARE(memberInt(m, "neg"), -3);
        QCOMPARE(memberInt(m, "s"), 42);
        QCOMPARE(memberInt(m, "hex"), 0);
        QCOMPARE(memberInt(m, "e"), 0);
        QCOMPARE(memberInt(m, "z"), 0);
        QCOMPARE(memberInt(m, "b"), 0);
        QCOMPARE(memberInt(m, "absent"), 0);
        // Beyond 64 bits: the nearest 64-bit value, not 0.
        const Members big = parse(R"({"n":1e19,"neg":-1e300,"s":"99999999999999999999",
            "t":" -99999999999999999999 ","u":"99999999999999999999x"})");
        QCOMPARE(memberInt(big, "n"), std::numeric_limits<qint64>::max());
        QCOMPARE(memberInt(big, "neg"), std::numeric_limits<qint64>::min());
        QCOMPARE(memberInt(big, "s"), std::numeric_limits<qint64>::max());
        QCOMPARE(memberInt(big, "t"), std::numeric_limits<qint64>::min());
        QCOMPARE(memberInt(big, "u"), 0);
    }

    void hexReadingFollowsStrtol()
    {
        const Members m = parse(R"({"num":256,"n16":16,"s":"0x10","t":"10","u":"1A00",
            "v":"  -ff","w":"12zz","x":"zz","y":"0x","z":null,"big":"ffffffffffffffffff"})");
        QCOMPARE(memberHex(m, "num"), 0x256);
        QCOMPARE(memberHex(m, "n16"), 0x16);
        QCOMPARE(memberHex(m, "s"), 0x10);
        QCOMPARE(memberHex(m, "t"), 0x10);
        QCOMPARE(memberHex(m, "u"), 0x1A00);
        QCOMPARE(memberHex(m, "v"), -0xff);
        QCOMPARE(memberHex(m, "w"), 0x12);
        QCOMPARE(memberHex(m, "x"), 0);
        QCOMPARE(memberHex(m, "y"), 0);
        QCOMPARE(memberHex(m, "z"), 0);
        QCOMPARE(memberHex(m, "big"), qint64(LONG_MAX));
        QCOMPARE(parseHexLikeStrtol(" 1F"), 0x1f);
    }

    void dispatcherMatchesWholeNamesCaseSensitively()
    {
        Dispatcher dispatcher;
        int calls = 0;
        dispatcher.add("getConf", [&](const Members &, const QueryCallbackPtr &cb) {
            ++calls;
            answerSuccess(cb, "ok");
            answerFailure(cb, "second answer is dropped");
        });
        auto cb = test::RecordingCallback::create();
        QVERIFY(!dispatcher.dispatch("getconf", {}, cb));
        QVERIFY(!dispatcher.dispatch("getConf ", {}, cb));
        QVERIFY(!cb->answered());
        QVERIFY(dispatcher.dispatch("getConf", {}, cb));
        QCOMPARE(calls, 1);
        QCOMPARE(cb->answerCount(), 1);
        QVERIFY(cb->ok());
        QCOMPARE(cb->text(), QStringLiteral("ok"));
    }
};

QTEST_GUILESS_MAIN(TestMembers)
#include "tst_members.moc"
