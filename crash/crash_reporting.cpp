#include "crash/crash_reporting.h"

#include "common/app_paths.h"
#include "crash/crash_handler.h"

#include <QDir>
#include <QFileInfo>

namespace kelv::crash {

Q_LOGGING_CATEGORY(lcCrash, "kelv.crash")

bool setDumpFolder(const QString &folder)
{
    const QByteArray encoded = nativePathBytes(folder);
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
    const QByteArray encoded = nativePathBytes(path);
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
    return pathFromNativeBytes(dumpFolderBuffer());
}

QString reporterPath()
{
    return pathFromNativeBytes(reporterPathBuffer());
}

} // namespace kelv::crash
