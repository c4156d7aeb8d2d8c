// A page request text through the whole native path: the query intake (window
// requests), onJsMessage (JSON envelope) and the dispatcher with every command
// family registered: device commands over the real simulated mouse (libdc
// with DC_SIM_DIR in the sandbox), profile commands and settings commands on
// a throw-away program folder. Every member of the request is also read in
// all three ways (text, integer, hexadecimal).
//
// Input that starts with the bytes FE FF is raw UTF-16 (see below).
//
// The two members that name a file outside the program folder (saveXmlAs's
// desFilePath and modifyReplaceProfileEx's srcFilePath, full paths from the
// file dialogs) are redirected into the sandbox, keyed by their text, so an
// input can export and import again but never writes elsewhere.

#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "bridge/members.h"
#include "bridge/request_router.h"
#include "device/devices_handler.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/testsupport/fake_app_host.h"
#include "tests/testsupport/recording_callback.h"
#include "tests/testsupport/scripted_dialogs.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <limits>

using namespace kelv;
using kelv::test::ScriptedDialogs;

namespace {

struct Environment
{
    devices_handler *devices = nullptr;
    ScriptedDialogs dialogs;
    unsigned simSwitch = 0;
};

Environment *g_env = nullptr;

QString sandboxedPath(const QString &text)
{
    if (text.isEmpty())
        return text;
    const QByteArray key = QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1);
    return fuzz::sandboxFile(QStringLiteral("exports/") + QString::fromLatin1(key.toHex().left(8)) +
                             QStringLiteral(".pfd"));
}

Members sandboxed(const QString &name, Members members)
{
    const char *member = nullptr;
    if (name == QLatin1String("saveXmlAs"))
        member = "desFilePath";
    else if (name == QLatin1String("modifyReplaceProfileEx"))
        member = "srcFilePath";
    if (member && members.contains(QLatin1String(member))) {
        const QString key = QLatin1String(member);
        const QString text = memberText(members, key);
        if (!text.isEmpty())
            members.insert(key, sandboxedPath(text));
    }
    return members;
}

// A fresh simulated mouse for every input: the library reloads its state when
// DC_SIM_DIR names another folder, and an empty folder is a factory mouse.
void freshMouse()
{
    const QString folder = fuzz::sandboxFile(QStringLiteral("sim-%1").arg(g_env->simSwitch++ % 2));
    QDir(folder).removeRecursively();
    qputenv("DC_SIM_DIR", QFile::encodeName(folder));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::init(argc, argv);
    g_env = new Environment;
    freshMouse();
    g_env->devices = new devices_handler(QStringLiteral(KELV_LIBDC_FILE), nullptr);
    if (!g_env->devices->isLoaded()) {
        std::fprintf(stderr, "libdc not loaded from %s\n", KELV_LIBDC_FILE);
        std::abort();
    }
    Dialogs::install(&g_env->dialogs);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::resetProgramFolder();
    freshMouse();
    g_env->dialogs.fileAnswers = {fuzz::sandboxFile(QStringLiteral("exports/dialog.pfd"))};

    test::FakeAppHost host(fuzz::sandbox());
    host.settings.load(fuzz::sandboxFile(QStringLiteral("Resources/profiles/conf.xml")));

    Dispatcher commands;
    registerDeviceCommands(commands, g_env->devices);
    registerProfileCommands(commands, host);
    registerSettingsCommands(commands, host);
    Dispatcher dispatcher;
    const QStringList names = commands.names();
    for (const QString &name : names) {
        dispatcher.add(name, [&commands, name](const Members &m, const QueryCallbackPtr &cb) {
            commands.dispatch(name, sandboxed(name, m), cb);
        });
    }

    // The page hands over UTF-16. Input starting with FE FF is taken as raw
    // UTF-16 units (lone surrogates included, as JavaScript strings allow);
    // any other input as UTF-8 text.
    QString request;
    if (size >= 2 && data[0] == 0xFE && data[1] == 0xFF) {
        for (size_t i = 2; i + 1 < size; i += 2)
            request += QChar(char16_t(data[i] | (data[i + 1] << 8)));
    } else {
        request = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    }
    RequestRouter router(host);
    router.dispatcher() = dispatcher;
    const auto callback = test::RecordingCallback::create();
    if (!router.takeWindowRequest(request, callback))
        router.onJsMessage(request, callback);
    FUZZ_CHECK(callback->answerCount() <= 1, "a query is answered at most once");
    if (callback->answered() && !callback->ok())
        FUZZ_CHECK(callback->code() == 0, "failures carry code 0");

    // Member reading in all three modes, for every member of the request.
    const QJsonDocument document = QJsonDocument::fromJson(request.toUtf8());
    if (document.isObject()) {
        const Members members = document.object().toVariantMap();
        for (auto it = members.constBegin(); it != members.constEnd(); ++it) {
            const QString text = memberText(members, it.key());
            const qint64 number = memberInt(members, it.key());
            const qint64 hex = memberHex(members, it.key());
            FUZZ_CHECK(hex == parseHexLikeStrtol(text), "hex reading goes through the text form");
            if (it.value().typeId() == QMetaType::QString && !text.trimmed().isEmpty()) {
                bool ok = false;
                const qint64 decimal = text.trimmed().toLongLong(&ok, 10);
                // Digits beyond the 64-bit range read as the nearest 64-bit value.
                const bool tooLong = !ok && QRegularExpression(QStringLiteral("^[+-]?[0-9]+$"))
                                                .match(text.trimmed())
                                                .hasMatch();
                const qint64 expected = tooLong ? (text.trimmed().startsWith(QLatin1Char('-'))
                                                       ? std::numeric_limits<qint64>::min()
                                                       : std::numeric_limits<qint64>::max())
                                                : (ok ? decimal : 0);
                FUZZ_CHECK(number == expected, "integer reading of a string");
            }
        }
    }
    parseMoveWindowNumbers(request);
    fuzz::drainEvents();
    return 0;
}
