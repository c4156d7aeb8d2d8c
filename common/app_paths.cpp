#include "common/app_paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

namespace kelv {
namespace {
QString &workingFolderStorage()
{
    static QString folder;
    return folder;
}
QString &executableFolderStorage()
{
    static QString folder;
    return folder;
}
QString withSlash(const QString &folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}
} // namespace

QString applicationFolder()
{
    return QDir::fromNativeSeparators(QCoreApplication::applicationDirPath());
}

QString workingFolder()
{
    const QString &f = workingFolderStorage();
    return f.isEmpty() ? withSlash(applicationFolder()) : f;
}

QString executableFolder()
{
    const QString &f = executableFolderStorage();
    return f.isEmpty() ? withSlash(applicationFolder()) : f;
}

void setWorkingFolder(const QString &folder)
{
    workingFolderStorage() = folder;
}

void setExecutableFolder(const QString &folder)
{
    executableFolderStorage() = folder;
}

QUrl programFolderUrl(const QString &folder, const QString &relativeUrl)
{
    return QUrl(QUrl::fromLocalFile(folder).toString(QUrl::FullyEncoded) + relativeUrl);
}

QByteArray nativePathBytes(const QString &path)
{
#ifdef Q_OS_WIN
    return path.toUtf8();
#else
    return QFile::encodeName(path);
#endif
}

QString pathFromNativeBytes(const char *path)
{
#ifdef Q_OS_WIN
    return QString::fromUtf8(path);
#else
    return QFile::decodeName(path);
#endif
}

QString executableSuffix()
{
#ifdef Q_OS_WIN
    return QStringLiteral(".exe");
#else
    return QString();
#endif
}

} // namespace kelv
