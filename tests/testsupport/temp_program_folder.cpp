#include "tests/testsupport/temp_program_folder.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace kelv::test {

TempProgramFolder::TempProgramFolder(int content)
{
    const QString built = builtProgramFolder();
    if (content & ProfilesAndPage) {
        copyTree(built + QStringLiteral("/view"), path() + QStringLiteral("/view"));
        copyTree(sourceFolder() + QStringLiteral("/resources/profiles"),
                 path() + QStringLiteral("/Resources/profiles"));
        copyTree(sourceFolder() + QStringLiteral("/view/xml"), path() + QStringLiteral("/view/xml"));
    }
    if (content & Binaries) {
        const QFileInfoList files = QDir(built).entryInfoList(QDir::Files);
        for (const QFileInfo &file : files) {
            // QFile::copy keeps the bits, so the programs stay runnable.
            QFile::copy(file.absoluteFilePath(), path() + QLatin1Char('/') + file.fileName());
        }
    }
}

QString TempProgramFolder::write(const QString &relative, const QByteArray &content) const
{
    const QString full = filePath(relative);
    QDir().mkpath(QFileInfo(full).absolutePath());
    QFile file(full);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
    return full;
}

QByteArray TempProgramFolder::read(const QString &relative) const
{
    QFile file(filePath(relative));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString TempProgramFolder::builtProgramFolder()
{
    return qEnvironmentVariable("KELV_PROGRAM_DIR");
}

QString TempProgramFolder::sourceFolder()
{
    return qEnvironmentVariable("KELV_SOURCE_DIR");
}

bool copyTree(const QString &from, const QString &to)
{
    QDir source(from);
    if (!source.exists())
        return false;
    QDir().mkpath(to);
    QDirIterator it(from, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString rel = source.relativeFilePath(it.filePath());
        const QString target = to + QLatin1Char('/') + rel;
        if (it.fileInfo().isDir()) {
            if (!QDir().mkpath(target))
                return false;
        } else {
            QDir().mkpath(QFileInfo(target).absolutePath());
            QFile::remove(target);
            if (!QFile::copy(it.filePath(), target))
                return false;
        }
    }
    return true;
}

} // namespace kelv::test
