// A child process for the save fault-injection test: saves the profiles,
// conf.xml and an export file over and over through the real commands
// (savexml, setConf, saveXmlAs), each time with new content, until it is
// killed. Before every save it appends the SHA-1 of the exact bytes that save
// puts on disk to a log, so the test can tell an old or new file from a torn
// one.
//
//   save_kill_helper <program folder> <log file> [plain]
//
// "plain" is the test's control: the same loop with the profile written the
// non-atomic way (truncate, then write in pieces), which a kill must be able
// to tear.

#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "bridge/profile_export.h"
#include "common/client_settings.h"
#include "common/text_file.h"
#include "tests/testsupport/fake_app_host.h"
#include "tests/testsupport/recording_callback.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <fcntl.h>
#include <unistd.h>

using namespace kelv;

namespace {

int g_log = -1;

void logLine(const QByteArray &line)
{
    const QByteArray text = line + '\n';
    if (::write(g_log, text.constData(), size_t(text.size())) != text.size())
        ::_exit(3);
}

void logDigest(char kind, const QByteArray &bytes)
{
    logLine(QByteArray(1, kind) + ' ' +
            QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

bool run(Dispatcher &dispatcher, const QString &name, const Members &members)
{
    const auto callback = test::RecordingCallback::create();
    dispatcher.dispatch(name, members, callback);
    return callback->answered() && callback->ok();
}

// Large values, so each save takes long enough for kills to land inside it.
QString filler(qint64 generation, int size)
{
    QString text = QStringLiteral("gen-%1-").arg(generation);
    while (text.size() < size)
        text += QStringLiteral("%1,").arg(generation * 7919 + text.size());
    return text;
}

void plainLoop(const QString &path)
{
    // Two contents written alternately, truncating first, in 4 KB pieces.
    const QByteArray contents[2] = {encodeTextForDisk(filler(1, 400000)),
                                    encodeTextForDisk(filler(2, 400000))};
    logDigest('P', contents[0]);
    logDigest('P', contents[1]);
    logLine("ready");
    for (int i = 0;; i ^= 1) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            ::_exit(4);
        const QByteArray &bytes = contents[i];
        for (qsizetype at = 0; at < bytes.size(); at += 4096)
            file.write(bytes.constData() + at, qMin<qsizetype>(4096, bytes.size() - at));
        file.close();
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    const QString folder = QString::fromLocal8Bit(argv[1]);
    g_log = ::open(argv[2], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (g_log < 0)
        return 2;
    const QString profile = QStringLiteral("Resources/profiles/configuration.xml");
    const QString profilePath = folder + QLatin1Char('/') + profile;
    if (argc > 3 && qstrcmp(argv[3], "plain") == 0)
        plainLoop(profilePath);

    test::FakeAppHost host(folder);
    host.settings.load(folder + QStringLiteral("/Resources/profiles/conf.xml"));
    Dispatcher dispatcher;
    registerProfileCommands(dispatcher, host);
    registerSettingsCommands(dispatcher, host);
    const QString exportPath = folder + QStringLiteral("/exports/profile.pfd");
    const QString scratchPath = folder + QStringLiteral("/exports/scratch.pfd");

    logLine("ready");
    for (qint64 generation = 1;; ++generation) {
        // The profile: one edit in the cache, then savexml writes it.
        if (!run(dispatcher, QStringLiteral("modifyProfile"),
                 {{"filePath", profile},
                  {"xpath", "//mode"},
                  {"attribute", "bindingProcess"},
                  {"attributeValue", filler(generation, 200000)}}))
            return 5;
        logDigest('P', encodeTextForDisk(host.profiles().text(profilePath)));
        if (!run(dispatcher, QStringLiteral("savexml"), {}))
            return 6;

        // conf.xml: setConf rewrites the client attribute and saves the file.
        const QString value = filler(generation, 300000);
        QString confText;
        if (!ClientSettings::rewriteClientAttribute(host.settings.text(),
                                                    QStringLiteral("language"), value, &confText))
            return 7;
        logDigest('C', encodeTextForDisk(confText));
        if (!run(dispatcher, QStringLiteral("setConf"),
                 {{"confKey", "language"}, {"confValue", value}}))
            return 8;

        // The export file: the same export into a scratch file first gives
        // the bytes the real one will hold.
        const Members exportTo = {{"srcFilePath", profile}, {"xpath", "/conf"}};
        Members scratch = exportTo;
        scratch.insert(QStringLiteral("desFilePath"), scratchPath);
        if (!run(dispatcher, QStringLiteral("saveXmlAs"), scratch))
            return 9;
        QFile scratchFile(scratchPath);
        if (!scratchFile.open(QIODevice::ReadOnly))
            return 10;
        logDigest('E', scratchFile.readAll());
        Members real = exportTo;
        real.insert(QStringLiteral("desFilePath"), exportPath);
        if (!run(dispatcher, QStringLiteral("saveXmlAs"), real))
            return 11;
    }
}
