// The worst page requests found against the bounds on XML, fragments and
// request sizes: how long each keeps the GUI thread busy (the goal is at
// most 100 ms on the development machine).
//
// Part one hands each request text to the router on the GUI thread (JSON
// parsing, the command, the answer) and prints the longest and the median of
// several runs. Part two sends the requests with the largest texts from a
// real page in Qt WebEngine and prints the longest stall of the GUI thread's
// event loop during each round trip (a 1 ms timer that should fire every
// millisecond), so the web channel's own work on a large request or answer
// counts too.
//
//   QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1 build/bin/bench_limits [runs]

#include "bench/profile_fixture.h"
#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "bridge/profile_export.h"
#include "bridge/profile_store.h"
#include "bridge/request_router.h"
#include "common/xml_text.h"
#include "tests/browser/browser_fixture.h"
#include "tests/testsupport/fake_app_host.h"
#include "tests/testsupport/recording_callback.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeySequence>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

using namespace kelv;
using namespace kelv::test;

namespace {

constexpr double kBudgetMs = 100.0;

QByteArray nested(int levels, const QByteArray &inside = QByteArray())
{
    return QByteArray("<a>").repeated(levels) + inside + QByteArray("</a>").repeated(levels);
}

QString json(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QJsonObject fragmentEdit(const QString &file, const QString &xpath, const QByteArray &fragment)
{
    return {{"funcname", "modifyProfileEx"},
            {"filePath", file},
            {"xpath", xpath},
            {"subTreeString", QString::fromUtf8(fragment)}};
}

QString answerOf(const RecordingCallback &cb)
{
    if (!cb.answered())
        return QStringLiteral("no reply");
    const QString text = cb.text().left(40).replace(QLatin1Char('\n'), QLatin1Char(' '));
    return (cb.ok() ? QStringLiteral("ok %1 B").arg(cb.text().size())
                    : QStringLiteral("failed: ") + text);
}

// The program folder of the benchmark: profiles of the page's layout, one
// at the size bound, one nested to the depth bound with its weight at the
// bottom, and export files.
struct Folder
{
    BrowserFixture fixture;
    QByteArray big, small, deep, deep200, deepWide, tooWide;
    QString bigExport;

    Folder()
    {
        int modes = 0;
        // The largest profile of the page's layout within the node bound
        // (16 elements and 45 attributes per mode).
        big = bench::makeProfile(1150, &modes);
        small = bench::makeProfile(64, &modes);
        deep = "<conf>" + nested(kMaxXmlDepth - 1, "<t>" + QByteArray(3 << 20, 'z') + "</t>") +
               "</conf>";
        deep200 = "<conf>" + nested(199) + "</conf>";
        // As many elements as the node bound allows, 255 levels down, and as
        // many as the size bound holds (a million).
        deepWide = "<conf>" +
                   nested(kMaxXmlDepth - 2, QByteArray("<l/>").repeated(kMaxXmlNodes - 300)) +
                   "</conf>";
        tooWide = "<conf>" + QByteArray("<l/>").repeated(1000000) + "</conf>";
        reset();
        bigExport = fixture.root() + QStringLiteral("/big.pfd");
        QFile file(bigExport);
        if (file.open(QIODevice::WriteOnly))
            file.write(ProfileExport::encode(big));
    }
    void reset() const
    {
        fixture.writePage(QStringLiteral("big.xml"), big);
        fixture.writePage(QStringLiteral("small.xml"), small);
        fixture.writePage(QStringLiteral("tiny.xml"), "<conf/>");
        fixture.writePage(QStringLiteral("conf.xml"),
                          "<?xml version=\"1.0\"?>\n<root>\n\t<client version=\"1.0\" "
                          "language=\"en\" showConf=\"Ctrl+Alt+M\" />\n</root>\n");
        fixture.writePage(QStringLiteral("deep.xml"), deep);
        fixture.writePage(QStringLiteral("deep200.xml"), deep200);
        fixture.writePage(QStringLiteral("wide.xml"), deepWide);
        fixture.writePage(QStringLiteral("wider.xml"), tooWide);
    }
};

struct Case
{
    const char *what;
    QString request;
    QString before = QString(); // sent first, not timed
};

std::vector<Case> cases(const Folder &folder)
{
    const QString mega(1 << 20, QLatin1Char('v'));
    QString names;
    for (int i = 0; names.size() < (1 << 20); ++i)
        names += QStringLiteral("n%1;").arg(i);
    const QString bottom = QStringLiteral("/conf") + QStringLiteral("/a").repeated(199);
    const QByteArray wide = QByteArray("<l/>").repeated(kMaxXmlNodes - 1000);
    // pugixml compiles at most 1024 nested steps: the longest union it takes.
    QString unionPath = QStringLiteral("//mode");
    for (int i = 0; i < 1000; ++i)
        unionPath += QStringLiteral(" | //mode");
    QString stepsPath;
    while (stepsPath.size() < (1 << 20))
        stepsPath += QStringLiteral("/*");
    return {
        {"modifyProfileEx: 200,000 open elements (refused)",
         json(fragmentEdit("small.xml", "/conf", QByteArray("<a>").repeated(200000)))},
        {"modifyProfileEx: 200,000 nested elements (refused)",
         json(fragmentEdit("small.xml", "/conf", nested(200000)))},
        {"modifyProfileEx: 255 levels, the deepest allowed",
         json(fragmentEdit("small.xml", "/conf", nested(kMaxXmlDepth - 1)))},
        {"modifyProfileEx: 99,000 empty elements", json(fragmentEdit("tiny.xml", "/conf", wide))},
        {"modifyProfileEx: 1 MiB of 262,144 empty elements (refused)",
         json(fragmentEdit("tiny.xml", "/conf", QByteArray("<l/>").repeated(1 << 18)))},
        {"modifyProfileEx: 99,000 at level 200 (refused: 20 MB of text)",
         json(fragmentEdit("deep200.xml", bottom, wide))},
        {"modifyProfileEx: 1 MiB of text",
         json(fragmentEdit("small.xml", "/conf",
                           "<t>" + QByteArray(kMaxFragmentBytes - 7, 't') + "</t>"))},
        {"modifyProfileEx: 1 MiB + 1 byte (refused)",
         json(fragmentEdit("small.xml", "/conf",
                           "<t>" + QByteArray(kMaxFragmentBytes - 6, 't') + "</t>"))},
        {"queryProfile '/' of the largest profile",
         json({{"funcname", "queryProfile"}, {"filePath", "big.xml"}, {"xpath", "/"}})},
        {"queryProfile '//*' of the largest profile (refused)",
         json({{"funcname", "queryProfile"}, {"filePath", "big.xml"}, {"xpath", "//*"}})},
        {"queryProfile '//*' of 256 levels over 3 MiB (refused)",
         json({{"funcname", "queryProfile"}, {"filePath", "deep.xml"}, {"xpath", "//*"}})},
        {"queryProfile '/' of 1,000,000 elements (refused)",
         json({{"funcname", "queryProfile"}, {"filePath", "wider.xml"}, {"xpath", "/"}})},
        {"queryProfile '//l' of 99,700 elements at level 256",
         json({{"funcname", "queryProfile"}, {"filePath", "wide.xml"}, {"xpath", "//l"}})},
        {"nodeCounterProfile '//l[last()]' of the same", json({{"funcname", "nodeCounterProfile"},
                                                               {"filePath", "wide.xml"},
                                                               {"xpath", "//l[last()]"}})},
        {"modifyRemoveProfile '//l' of the same",
         json({{"funcname", "modifyRemoveProfile"}, {"filePath", "wide.xml"}, {"xpath", "//l"}})},
        {"nodeCounterProfile: '//mode' 1001 times in a union",
         json({{"funcname", "nodeCounterProfile"}, {"filePath", "big.xml"}, {"xpath", unionPath}})},
        {"nodeCounterProfile: 1 MiB of '/*' steps",
         json({{"funcname", "nodeCounterProfile"}, {"filePath", "big.xml"}, {"xpath", stepsPath}})},
        {"modifyProfile: 1 MiB value on one key", json({{"funcname", "modifyProfile"},
                                                        {"filePath", "small.xml"},
                                                        {"xpath", "//mode[1]/key[1]"},
                                                        {"attribute", "code"},
                                                        {"attributeValue", mega}})},
        {"modifyProfile: 1 MiB value on every key (refused)", json({{"funcname", "modifyProfile"},
                                                                    {"filePath", "big.xml"},
                                                                    {"xpath", "//key"},
                                                                    {"attribute", "code"},
                                                                    {"attributeValue", mega}})},
        {"modifyProfile: 1 MiB of names against '//*'", json({{"funcname", "modifyProfile"},
                                                              {"filePath", "big.xml"},
                                                              {"xpath", "//*"},
                                                              {"attribute", names},
                                                              {"attributeValue", names}})},
        {"modifyProfile: 1 MiB of names, no match", json({{"funcname", "modifyProfile"},
                                                          {"filePath", "big.xml"},
                                                          {"xpath", "/none"},
                                                          {"attribute", names},
                                                          {"attributeValue", names}})},
        {"modifyProfile: one name against '//*'", json({{"funcname", "modifyProfile"},
                                                        {"filePath", "big.xml"},
                                                        {"xpath", "//*"},
                                                        {"attribute", "zz"},
                                                        {"attributeValue", "1"}})},
        {"modifyAddProfile: 1 MiB of names on every mode (refused)",
         json({{"funcname", "modifyAddProfile"},
               {"filePath", "big.xml"},
               {"xpath", "//mode"},
               {"attribute", names},
               {"attributeValue", names},
               {"addNodeName", "n"}})},
        {"queryHexByte: 1 MiB of args",
         json({{"funcname", "queryHexByte"},
               {"filePath", "small.xml"},
               {"xpath", "//key"},
               {"args", QStringLiteral("0x10,").repeated(1 << 18)}})},
        {"modifyReplaceProfileEx: import of the largest profile's export",
         json({{"funcname", "modifyReplaceProfileEx"},
               {"srcFilePath", folder.bigExport},
               {"desFilePath", "small.xml"},
               {"srcXpath", "/"},
               {"desXpath", "/conf"}})},
        {"saveXmlAs: export of the largest profile",
         json({{"funcname", "saveXmlAs"},
               {"srcFilePath", "big.xml"},
               {"desFilePath", folder.fixture.root() + QStringLiteral("/out.pfd")},
               {"xpath", "/conf"}})},
        {"resetProfile: 1.1 MiB", json({{"funcname", "resetProfile"},
                                        {"srcFilePath", "big.xml"},
                                        {"desFilePath", "small.xml"}})},
        {"savexml: the largest profile after an edit", json({{"funcname", "savexml"}}),
         json({{"funcname", "modifyProfile"},
               {"filePath", "big.xml"},
               {"xpath", "//mode[1]/key[1]"},
               {"attribute", "type"},
               {"attributeValue", "2"}})},
        {"writeByAddr: 1 MiB of PARAMDATA (no device)",
         json({{"funcname", "writeByAddr"},
               {"HardwareID", "x"},
               {"DevicePath", "x"},
               {"PARAMSIZE", 2048},
               {"PARAMADDRESS", "0x1000"},
               {"PARAMDATA", QStringLiteral("0x41,").repeated(1 << 18)}})},
        {"setConf: 1 MiB value",
         json({{"funcname", "setConf"}, {"confKey", "language"}, {"confValue", mega}})},
        {"getConf with an unused 1 MiB member", json({{"funcname", "getConf"}, {"junk", mega}})},
        {"a request at the length bound (2 Mi characters)",
         json({{"funcname", "getConf"},
               {"junk", QString(kMaxRequestLength - 34, QLatin1Char('j'))}})},
        {"setConf: a value at the length bound",
         json({{"funcname", "setConf"},
               {"confKey", "language"},
               {"confValue", QString(kMaxRequestLength - 60, QLatin1Char('l'))}})},
        {"a request of 8 Mi characters (dropped)",
         json({{"funcname", "getConf"}, {"junk", QString(8 << 20, QLatin1Char('j'))}})},
        {"a request nested 100,000 arrays deep",
         QStringLiteral("{\"funcname\":\"getConf\",\"x\":") + QString(100000, QLatin1Char('[')) +
             QString(100000, QLatin1Char(']')) + QLatin1Char('}')},
    };
}

void partOne(const Folder &folder, int runs)
{
    const QString conf = folder.fixture.root() + QStringLiteral("/conf.xml");
    std::printf("%-62s %9s %9s  %s\n", "request (router on the GUI thread)", "max ms", "median",
                "answer");
    for (const Case &c : cases(folder)) {
        std::vector<double> times;
        QString answer;
        for (int run = 0; run < runs; ++run) {
            // Every run meets the profiles as a fresh start would: not yet
            // read, then read from disk by the request itself.
            folder.reset();
            FakeAppHost host(folder.fixture.root());
            host.settings.load(conf);
            RequestRouter router(host);
            router.addProgramCommands(nullptr);
            if (!c.before.isEmpty())
                router.onJsMessage(c.before, RecordingCallback::create());
            auto cb = RecordingCallback::create();
            QElapsedTimer timer;
            timer.start();
            router.onJsMessage(c.request, cb);
            times.push_back(double(timer.nsecsElapsed()) / 1e6);
            answer = answerOf(*cb);
        }
        std::sort(times.begin(), times.end());
        std::printf("%-62s %9.1f %9.1f  %s%s\n", c.what, times.back(), times[times.size() / 2],
                    qPrintable(answer), times.back() > kBudgetMs ? "  OVER 100 ms" : "");
    }

    // The hot-key sequence a setConf of showConf hands to the main window.
    QElapsedTimer timer;
    timer.start();
    const QKeySequence keys(QString(1 << 20, QLatin1Char('M')), QKeySequence::NativeText);
    std::printf("%-62s %9.1f\n", "QKeySequence of a 1 MiB text (setConf showConf)",
                double(timer.nsecsElapsed()) / 1e6);
    Q_UNUSED(keys)
}

const QByteArray kPage = R"(<!DOCTYPE html><html><head><meta charset="utf-8"><script>
window.send = function (request) {
  window.result = null;
  cefQuery({request: request,
            onSuccess: function (t) { window.result = 'ok ' + t.length + ' B'; },
            onFailure: function (c, t) { window.result = 'failed: ' + t; }});
};
</script></head><body></body></html>)";

void partTwo(const Folder &folder, int runs)
{
    RoutedView rig;
    rig.router.addProgramCommands(nullptr);
    for (const char *file : {"big.xml", "small.xml", "deep.xml", "tiny.xml"}) {
        QFile::remove(rig.fixture.root() + QLatin1Char('/') + QLatin1String(file));
        QFile::copy(folder.fixture.root() + QLatin1Char('/') + QLatin1String(file),
                    rig.fixture.root() + QLatin1Char('/') + QLatin1String(file));
    }
    if (!loadAndWait(rig.view, rig.fixture.writePage(QStringLiteral("view/bench.html"), kPage))) {
        std::printf("the page did not load\n");
        return;
    }
    // Requests built by the page itself, so that no large script passes
    // through the GUI thread on its way in.
    const std::pair<const char *, const char *> requests[] = {
        {"modifyProfileEx: 200,000 open elements (refused)",
         "JSON.stringify({funcname: 'modifyProfileEx', filePath: 'small.xml', xpath: '/conf', "
         "subTreeString: '<a>'.repeat(200000)})"},
        {"modifyProfileEx: 99,000 empty elements",
         "JSON.stringify({funcname: 'modifyProfileEx', filePath: 'tiny.xml', xpath: '/conf', "
         "subTreeString: '<l/>'.repeat(99000)})"},
        {"queryProfile '/' of the largest profile",
         "JSON.stringify({funcname: 'queryProfile', filePath: 'big.xml', xpath: '/'})"},
        {"queryProfile '//*' of 256 levels over 3 MiB (refused)",
         "JSON.stringify({funcname: 'queryProfile', filePath: 'deep.xml', xpath: '//*'})"},
        {"modifyProfile: 1 MiB value on one key",
         "JSON.stringify({funcname: 'modifyProfile', filePath: 'small.xml', xpath: "
         "'//mode[1]/key[1]', attribute: 'code', attributeValue: 'v'.repeat(1 << 20)})"},
        {"a request at the length bound (2 Mi characters)",
         "JSON.stringify({funcname: 'goback', junk: 'j'.repeat(2 * 1024 * 1024 - 33)})"},
    };
    std::printf("\n%-62s %9s %9s  %s\n", "request from the page (Qt WebEngine)", "stall ms",
                "trip ms", "answer");
    for (const auto &[what, script] : requests) {
        double worstStall = 0, worstTrip = 0;
        QString answer;
        for (int run = 0; run < runs; ++run) {
            QElapsedTimer sinceTick, trip;
            double stall = 0;
            QTimer heartbeat;
            heartbeat.setTimerType(Qt::PreciseTimer);
            QObject::connect(&heartbeat, &QTimer::timeout, [&] {
                stall = std::max(stall, double(sinceTick.nsecsElapsed()) / 1e6);
                sinceTick.restart();
            });
            runJs(rig.view.page(),
                  QStringLiteral("window.request = %1; true").arg(QLatin1String(script)));
            sinceTick.start();
            trip.start();
            heartbeat.start(1);
            rig.view.page()->runJavaScript(QStringLiteral("send(window.request)"));
            const bool done = waitUntil(
                [&] { return !runJs(rig.view.page(), QStringLiteral("window.result")).isNull(); },
                60000);
            const double tripMs = double(trip.nsecsElapsed()) / 1e6;
            heartbeat.stop();
            answer =
                done ? runJs(rig.view.page(), QStringLiteral("window.result")).toString().left(48)
                     : QStringLiteral("no answer");
            worstStall = std::max(worstStall, stall);
            worstTrip = std::max(worstTrip, tripMs);
        }
        std::printf("%-62s %9.1f %9.1f  %s%s\n", what, worstStall, worstTrip, qPrintable(answer),
                    worstStall > kBudgetMs ? "  OVER 100 ms" : "");
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    // modifyProfile's double-click call meets a desktop without mouse
    // settings: the benchmark never changes the desktop of whoever runs it.
    qputenv("XDG_CURRENT_DESKTOP", "kelv-bench");
    qunsetenv("XDG_SESSION_DESKTOP");
    Folder folder;
    std::printf("bounds: %d levels, %lld nodes, profile %lld bytes, fragment %lld bytes\n",
                kMaxXmlDepth, kMaxXmlNodes, qint64(kMaxProfileBytes), qint64(kMaxFragmentBytes));
    const XmlShape largest = xmlShape(folder.big.constData(), folder.big.size());
    std::printf("largest profile of the page's layout: %lld bytes, %lld nodes; %d runs each\n\n",
                qint64(folder.big.size()), largest.nodes, runs);
    partOne(folder, runs);
    partTwo(folder, std::max(1, runs / 2));
    return 0;
}
