#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

namespace kelv {

// The profile text cache (file path -> whole text, read from disk once per
// run) and the list of paths modified since the last save. Owned by the main
// window; used by the profile commands and by every path that saves profiles
// (hide, minimise, quit, confChanged). Main thread only.
class ProfileStore
{
public:
    // The application folder that relative profile paths resolve against.
    explicit ProfileStore(const QString &applicationFolder);

    QString applicationFolder() const { return m_applicationFolder; }

    bool isEmpty() const { return m_texts.isEmpty(); }
    QStringList modified() const { return m_modified; }

    // Writes every modified profile (atomically), in order. Stops at the first
    // file that cannot be written and keeps the whole list; returns false then,
    // and also when the cache is empty (nothing was ever loaded).
    bool saveModified();

    // The rest of the interface (cache load, store, path resolution) belongs
    // to the profile commands.
    QString resolve(const QString &relative, bool *insideFolder) const;
    bool load(const QString &path);          // cache load: false when unreadable
    QString text(const QString &path) const; // cached text
    void store(const QString &path, const QString &text); // set + mark modified

private:
    QString m_applicationFolder;
    QHash<QString, QString> m_texts;
    QStringList m_modified;
};

} // namespace kelv
