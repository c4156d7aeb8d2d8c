#include "crash/crash_reporting.h"

#include "common/app_paths.h"
#include "crash/crash_handler.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace kelv::crash {

Q_LOGGING_CATEGORY(lcCrash, "kelv.crash")

namespace {

// The handler keeps its paths as UTF-8: on Linux that is the file name's encoding; on
// Windows the local 8-bit encoding is the ANSI code page, which cannot name every folder.
QByteArray handlerPath(const QString &path)
{
#ifdef Q_OS_WIN
    return path.toUtf8();
#else
    return QFile::encodeName(path);
#endif
}

QString fromHandlerPath(const char *path)
{
#ifdef Q_OS_WIN
    return QString::fromUtf8(path);
#else
    return QFile::decodeName(path);
#endif
}

} // namespace

bool setDumpFolder(const QString &folder)
{
    const QByteArray encoded = handlerPath(folder);
    if (static_cast<std::size_t>(encoded.size()) >= kDumpFolderSize) {
        qCWarning(lcCrash, "dump folder longer than %zu bytes, crash handler not installed: %s",
                  kDumpFolderSize - 1, encoded.constData());
        return false;
    }
    if (!installCrashHandler(encoded.constData())) {
        qCWarning(lcCrash, "could not install the crash handler for %s", encoded.constData());
        return false;
    }
    return true;
}

QString resolveReporterPath(const QString &name, const QString &applicationFolder)
{
    if (QDir::isAbsolutePath(name))
        return name;
    if (QDir().exists(name))
        return name;
    return QDir::cleanPath(applicationFolder + QLatin1Char('/') + name + executableSuffix());
}

void setReporter(const QString &name)
{
    setReporter(name, applicationFolder());
}

void setReporter(const QString &name, const QString &applicationFolder)
{
    const QString path = resolveReporterPath(name, applicationFolder);
    if (!QDir::isAbsolutePath(name))
        qCDebug(lcCrash, "BreakpadQt: setReporter: %s -> %s", qUtf8Printable(name),
                qUtf8Printable(path));
    const QByteArray encoded = handlerPath(path);
    if (!setReporterPath(encoded.constData()))
        qCWarning(lcCrash, "reporter path longer than %zu bytes, no reporter will be started: %s",
                  kReporterPathSize - 1, encoded.constData());
}

void setupCrashReporting(const QString &applicationFolder, const QString &reporterName)
{
    if (!crashHandlerInstalled())
        setDumpFolder(applicationFolder);
    setReporter(reporterName, applicationFolder);
}

bool isCrashHandlerInstalled()
{
    return crashHandlerInstalled();
}

QString dumpFolder()
{
    return fromHandlerPath(dumpFolderBuffer());
}

QString reporterPath()
{
    return fromHandlerPath(reporterPathBuffer());
}

} // namespace kelv::crash
