#include "tests/fuzz/fuzz_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLoggingCategory>
#include <QTemporaryDir>

namespace kelv::fuzz {
namespace {

// The files every input starts from, read once from the source tree.
const char *const kDefaultFiles[][2] = {
    {"resources/profiles/conf.xml", "Resources/profiles/conf.xml"},
    {"resources/profiles/configuration.xml", "Resources/profiles/configuration.xml"},
    {"view/xml/configuration.xml", "view/xml/configuration.xml"},
};

QHash<QString, QByteArray> &defaults()
{
    static QHash<QString, QByteArray> files;
    return files;
}

QTemporaryDir *g_sandbox = nullptr;

void quietMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

void init(int *argc, char ***argv)
{
    static QCoreApplication *app = nullptr;
    if (app)
        return;
    qInstallMessageHandler(quietMessages);
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    app = new QCoreApplication(*argc, *argv);
    // The system mouse commands change the running desktop's settings; a
    // desktop the program does not know has none, so they fail at once and
    // never touch the settings of whoever runs the fuzzer.
    qputenv("XDG_CURRENT_DESKTOP", "kelv-fuzz");
    qunsetenv("XDG_SESSION_DESKTOP");
    for (const auto &file : kDefaultFiles) {
        QFile source(QStringLiteral(KELV_SOURCE_DIR "/") + QLatin1String(file[0]));
        if (!source.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(source.fileName()));
            std::abort();
        }
        defaults().insert(QLatin1String(file[1]), source.readAll());
    }
    resetProgramFolder();
}

QString sandbox()
{
    if (!g_sandbox) {
        g_sandbox = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/kelv-fuzz-XXXXXX"));
        if (!g_sandbox->isValid())
            std::abort();
        // Removed when libFuzzer ends the process normally.
        std::atexit([] { delete g_sandbox; });
    }
    return g_sandbox->path();
}

QString sandboxFile(const QString &relative)
{
    return sandbox() + QLatin1Char('/') + relative;
}

QString writeSandboxFile(const QString &relative, const QByteArray &bytes)
{
    const QString path = sandboxFile(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
    return path;
}

void resetProgramFolder()
{
    const QString root = sandbox();
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString name = info.fileName();
        if (name == QLatin1String("Resources") || name == QLatin1String("view"))
            continue;
        if (name.startsWith(QLatin1String("sim-")))
            continue; // the simulator's folders are switched by their target
        if (info.isDir() && !info.isSymLink())
            QDir(info.absoluteFilePath()).removeRecursively();
        else
            QFile::remove(info.absoluteFilePath());
    }
    for (auto it = defaults().constBegin(); it != defaults().constEnd(); ++it) {
        const QString path = sandboxFile(it.key());
        QFile current(path);
        if (current.open(QIODevice::ReadOnly) && current.readAll() == it.value())
            continue;
        current.close();
        // Something else may stand there now (a folder made by an input).
        if (QFileInfo(path).isDir())
            QDir(path).removeRecursively();
        writeSandboxFile(it.key(), it.value());
    }
    // Files an input created below the profile folders go as well.
    for (const char *folder : {"Resources/profiles", "view/xml", "Resources", "view"}) {
        QDir dir(sandboxFile(QLatin1String(folder)));
        const QFileInfoList entries =
            dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        for (const QFileInfo &entry : entries) {
            const QString relative = QDir(root).relativeFilePath(entry.absoluteFilePath());
            if (defaults().contains(relative) || relative == QLatin1String("Resources/profiles") ||
                relative == QLatin1String("view/xml"))
                continue;
            if (entry.isDir())
                QDir(entry.absoluteFilePath()).removeRecursively();
            else
                QFile::remove(entry.absoluteFilePath());
        }
    }
}

void drainEvents()
{
    QCoreApplication::sendPostedEvents(nullptr, 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace kelv::fuzz
