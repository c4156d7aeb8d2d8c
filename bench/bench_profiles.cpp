// Profile commands on a large profile: commands per second through the
// dispatcher, and the share of the system call every modifyProfile makes.
//
//   build/bin/bench_profiles [kilobytes]     (default 1024)

#include "bench/profile_fixture.h"
#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "bridge/profile_store.h"
#include "platform/system_mouse.h"
#include "tests/testsupport/fake_app_host.h"
#include "tests/testsupport/recording_callback.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTextStream>
#include <cstdio>

using namespace kelv;

namespace {

using kelv::bench::makeProfile;

Members members(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object().toVariantMap();
}

struct Result
{
    double perSecond = 0;
    double msEach = 0;
};

Result measure(const Dispatcher &dispatcher, const QList<QByteArray> &requests, int minimumMs)
{
    const QList<Members> parsed = [&] {
        QList<Members> list;
        for (const QByteArray &r : requests)
            list << members(r);
        return list;
    }();
    QElapsedTimer timer;
    timer.start();
    qint64 count = 0;
    do {
        for (const Members &m : parsed) {
            auto cb = test::RecordingCallback::create();
            dispatcher.dispatch(m.value(QStringLiteral("funcname")).toString(), m, cb);
            if (!cb->ok()) {
                std::fprintf(stderr, "request failed: %s\n", qPrintable(cb->text()));
                std::exit(1);
            }
            ++count;
        }
    } while (timer.elapsed() < minimumMs);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    return {double(count) / seconds, seconds * 1000.0 / double(count)};
}

void print(const char *what, const Result &r)
{
    std::printf("%-58s %9.1f /s  %8.3f ms each\n", what, r.perSecond, r.msEach);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int kilobytes = argc > 1 ? std::atoi(argv[1]) : 1024;

    // modifyProfile sets the system double-click time on every request. The
    // benchmark never touches the desktop of whoever runs it: the settings
    // desktop is one without mouse settings (the call fails at once), and the
    // cost of running the tools is measured on its own below with "true".
    qputenv("XDG_CURRENT_DESKTOP", "kelv-bench");
    qunsetenv("XDG_SESSION_DESKTOP");

    QTemporaryDir dir;
    int modes = 0;
    const QByteArray xml = makeProfile(kilobytes, &modes);
    {
        QFile file(dir.filePath(QStringLiteral("profile.xml")));
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        file.write(xml);
    }
    test::FakeAppHost host(dir.path());
    Dispatcher dispatcher;
    registerProfileCommands(dispatcher, host);
    std::printf("profile: %.0f KiB, %d modes, about %d elements\n", xml.size() / 1024.0, modes,
                modes * 16 + 4);

    const int ms = 2000;
    auto mode = [&](int i) { return QByteArray::number((i * 7919) % modes); };

    QList<QByteArray> query, counter, hex, modify, modifyQuery, add;
    for (int i = 0; i < 16; ++i) {
        query << R"({"funcname":"queryProfile","filePath":"profile.xml","xpath":"//mode[@index=')" +
                     mode(i) + R"(']"})";
        counter
            << R"({"funcname":"nodeCounterProfile","filePath":"profile.xml","xpath":"//mode[@index=')" +
                   mode(i) + R"(']/macro"})";
        hex << R"({"funcname":"queryHexByte","filePath":"profile.xml","xpath":"//mode[@index=')" +
                   mode(i) + R"(']/key[@id='3']","args":"0x10,0x20"})";
        modify
            << R"({"funcname":"modifyProfile","filePath":"profile.xml","xpath":"//mode[@index=')" +
                   mode(i) +
                   R"(']/key[@id='2']","attribute":"code;type","attributeValue":"0x42,%,0x00,%;)" +
                   QByteArray::number(i) + R"("})";
    }
    for (int i = 0; i < 16; ++i) {
        modifyQuery << modify.at(i) << query.at(i);
    }
    print("queryProfile (one mode by XPath)", measure(dispatcher, query, ms));
    print("nodeCounterProfile", measure(dispatcher, counter, ms));
    print("queryHexByte", measure(dispatcher, hex, ms));
    print("modifyProfile (two attributes of one key)", measure(dispatcher, modify, ms));
    // A query right after an edit parses the edited text again.
    print("modifyProfile then queryProfile (pairs)", [&] {
        Result r = measure(dispatcher, modifyQuery, ms);
        return Result{r.perSecond / 2, r.msEach * 2};
    }());

    QElapsedTimer save;
    save.start();
    const bool saved = host.profiles().saveModified();
    std::printf("%-58s %9s     %8.3f ms (%s)\n", "save modified profiles (atomic write)", "",
                double(save.nsecsElapsed()) / 1e6, saved ? "ok" : "failed");

    // The system call alone, as modifyProfile makes it: with the missing tool
    // used above (included in the modifyProfile figures), and with a tool
    // that does nothing ("true": set and read back, two runs); gsettings
    // itself adds its own start-up on top of that.
    auto timeCall = [&](const char *what) {
        QElapsedTimer tool;
        tool.start();
        int calls = 0;
        while (tool.elapsed() < ms) {
            platform::setDoubleClickTime(970);
            ++calls;
        }
        std::printf("%-58s %9.1f /s  %8.3f ms each\n", what,
                    calls / (double(tool.nsecsElapsed()) / 1e9),
                    double(tool.nsecsElapsed()) / 1e6 / calls);
    };
    timeCall("double-click time call, desktop without the setting");
    // GNOME's two tools (gsettings to write, dconf to read back) as "true".
    QTemporaryDir tools;
    for (const char *tool : {"gsettings", "dconf"})
        QFile::link(QStringLiteral("/bin/true"), tools.filePath(QLatin1String(tool)));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(tools.path()) + ':' + path);
    qputenv("XDG_CURRENT_DESKTOP", "GNOME");
    timeCall("double-click time call, tools \"true\" (set + read back)");
    qputenv("PATH", path);
    return saved ? 0 : 1;
}
