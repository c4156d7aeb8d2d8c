#include "common/user_folders.h"

#include "common/app_paths.h"
#include "common/text_file.h"
#include "platform/file_access.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <optional>

namespace kelv {

Q_LOGGING_CATEGORY(lcUserFolders, "kelv.userfolders")

namespace {

constexpr char kProgramName[] = "kelv";

// An XDG base directory: the variable when it names an absolute path (the
// rules say to ignore a relative one), else the default below the home folder.
QString xdgFolder(const char *variable, const QString &defaultBelowHome)
{
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::cleanPath(QDir::homePath() + QLatin1Char('/') + defaultBelowHome);
}

QString configHome()
{
#ifdef Q_OS_WIN
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
#else
    return xdgFolder("XDG_CONFIG_HOME", QStringLiteral(".config"));
#endif
}

QString dataHome()
{
#ifdef Q_OS_WIN
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#else
    return xdgFolder("XDG_DATA_HOME", QStringLiteral(".local/share"));
#endif
}

QString stateHome()
{
#ifdef Q_OS_WIN
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#else
    return xdgFolder("XDG_STATE_HOME", QStringLiteral(".local/state"));
#endif
}

// Creates the folder and its missing parents; the folder itself is the
// user's alone (profiles, logs and crash reports are nobody else's business).
bool makePrivateFolder(const QString &folder, QString *error)
{
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("cannot create %1").arg(folder);
        return false;
    }
    QFile::setPermissions(folder,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return true;
}

std::optional<UserFolders> &overridden()
{
    static std::optional<UserFolders> folders;
    return folders;
}

} // namespace

QString UserFolders::packagedMarker()
{
    return QStringLiteral("Resources/packaged");
}

QStringList UserFolders::copiedAtFirstStart()
{
    return {QStringLiteral("Resources/profiles/conf.xml"),
            QStringLiteral("view/xml/configuration.xml")};
}

UserFolders UserFolders::forProgramFolder(const QString &programFolder)
{
    UserFolders folders;
    folders.m_program = QDir::cleanPath(QDir(programFolder).absolutePath());
    folders.m_packaged =
        QFileInfo(folders.m_program + QLatin1Char('/') + packagedMarker()).isFile();
    // A read-only file system refuses as surely as permissions do.
    const bool closed =
        platform::folderDeniesWriting(nativePathBytes(folders.m_program).toStdString());
    if (!folders.m_packaged && !closed) {
        folders.m_profiles = folders.m_program;
        folders.m_data = folders.m_program;
        return folders;
    }
    folders.m_layout = Layout::PerUser;
    const QString name = QLatin1String(kProgramName);
    folders.m_profiles = configHome() + QLatin1Char('/') + name;
    folders.m_data = dataHome() + QLatin1Char('/') + name;
    folders.m_state = stateHome() + QLatin1Char('/') + name;
    return folders;
}

QString UserFolders::profilePath(const QString &relative) const
{
    return m_profiles + QLatin1Char('/') + relative;
}

bool UserFolders::prepare(QString *error) const
{
    if (!perUser())
        return true;
    for (const QString &folder : {m_profiles, m_data, m_state}) {
        if (!makePrivateFolder(folder, error))
            return false;
    }
    for (const QString &relative : copiedAtFirstStart()) {
        const QString target = profilePath(relative);
        if (QFileInfo::exists(target))
            continue;
        QByteArray bytes;
        QFile source(m_program + QLatin1Char('/') + relative);
        if (!source.open(QIODevice::ReadOnly))
            continue; // nothing to copy: the program starts on its defaults
        bytes = source.readAll();
        const QString folder = QFileInfo(target).absolutePath();
        if (!makePrivateFolder(folder, error))
            return false;
        if (!writeFileAtomically(target, bytes)) {
            if (error)
                *error = QStringLiteral("cannot write %1").arg(target);
            return false;
        }
        qCInfo(lcUserFolders).noquote() << "first start: copied" << relative << "to" << target;
    }
    return true;
}

const UserFolders &userFolders()
{
    std::optional<UserFolders> &folders = overridden();
    if (!folders)
        folders = UserFolders::forProgramFolder(applicationFolder());
    return *folders;
}

void setUserFolders(const UserFolders &folders)
{
    overridden() = folders;
}

} // namespace kelv
