#include "update/file_modes.h"

#include <QFile>
#include <QFileInfo>

namespace kelv::install {

bool startsLikeProgram(const QByteArray &head)
{
    return head.startsWith("\x7f"
                           "ELF") ||
           head.startsWith("#!");
}

QFileDevice::Permissions withExecute(QFileDevice::Permissions permissions)
{
    QFileDevice::Permissions result = permissions | QFileDevice::ExeOwner;
    if (permissions & QFileDevice::ReadGroup)
        result |= QFileDevice::ExeGroup;
    if (permissions & QFileDevice::ReadOther)
        result |= QFileDevice::ExeOther;
    return result;
}

std::optional<QFileDevice::Permissions> existingPermissions(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return std::nullopt;
    return info.permissions();
}

bool settleInstalledPermissions(const QString &path,
                                std::optional<QFileDevice::Permissions> replaced)
{
    QFile file(path);
    if (replaced)
        return file.setPermissions(*replaced);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(4);
    file.close();
    if (!startsLikeProgram(head))
        return true;
    return file.setPermissions(withExecute(file.permissions()));
}

} // namespace kelv::install
