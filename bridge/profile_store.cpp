#include "bridge/profile_store.h"

#include "common/text_file.h"

#include <QDir>
#include <QFileInfo>

namespace kelv {

ProfileStore::ProfileStore(const QString &applicationFolder)
    : m_applicationFolder(applicationFolder)
{
}

QString ProfileStore::resolve(const QString &relative, bool *insideFolder) const
{
    const QString path = m_applicationFolder + QLatin1Char('/') + relative;
    // A relative member must not climb out of the program folder: the page
    // names profile files below it, never elsewhere.
    const QString clean = QDir::cleanPath(path);
    const QString root = QDir::cleanPath(m_applicationFolder);
    if (insideFolder)
        *insideFolder = clean.startsWith(root + QLatin1Char('/')) && !relative.startsWith(QLatin1Char('/'));
    return path;
}

bool ProfileStore::load(const QString &path)
{
    if (m_texts.contains(path))
        return true;
    QString text;
    if (!readTextFile(path, &text))
        return false;
    m_texts.insert(path, text);
    return true;
}

QString ProfileStore::text(const QString &path) const
{
    return m_texts.value(path);
}

void ProfileStore::store(const QString &path, const QString &text)
{
    m_texts.insert(path, text);
    if (!m_modified.contains(path))
        m_modified.append(path);
}

bool ProfileStore::saveModified()
{
    if (m_texts.isEmpty())
        return false;
    for (const QString &path : std::as_const(m_modified)) {
        if (!writeTextFile(path, m_texts.value(path)))
            return false;
    }
    m_modified.clear();
    return true;
}

} // namespace kelv
