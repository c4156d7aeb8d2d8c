#pragma once

#include <QByteArray>
#include <QHash>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>
#include <memory>

namespace pugi {
class xml_document;
}

namespace kelv {

Q_DECLARE_LOGGING_CATEGORY(lcProfiles)

// The profile text cache (file path -> whole text, read from disk once per
// run) and the list of paths modified since the last save. Owned by the main
// window; used by the profile commands and by every path that saves profiles
// (hide, minimise, quit, confChanged). Main thread only.
class ProfileStore
{
public:
    // The application folder that relative profile paths resolve against
    // (the user's profile folder where the program folder is shared), and
    // where a profile that folder does not hold is read from instead (the
    // program folder then; empty: nowhere else).
    explicit ProfileStore(const QString &applicationFolder,
                          const QString &defaultsFolder = QString());
    ~ProfileStore();
    ProfileStore(const ProfileStore &) = delete;
    ProfileStore &operator=(const ProfileStore &) = delete;

    QString applicationFolder() const { return m_applicationFolder; }

    bool isEmpty() const { return m_entries.isEmpty(); }
    QStringList modified() const { return m_modified; }

    // Restores a profile file that does not exist from another one (the
    // factory profile): the text of fromPath is written to path atomically.
    // A file that exists, even one that does not parse, is never touched.
    // True when path exists afterwards.
    static bool restoreMissing(const QString &path, const QString &fromPath);

    // Writes every modified profile (atomically; in place where only the file,
    // not its folder, may be written), in order. A file that cannot be
    // written stays listed and the others are still written; returns false
    // then, and also when the cache is empty (nothing was ever loaded).
    bool saveModified();

    // Whether a profile may be saved at path: the file may be written (in
    // place, where its folder takes no new files), or its folder (the nearest
    // one that exists, for a folder still to be made) takes new files. False
    // for a folder of another user's or on a read-only mount: its edits would
    // be lost at quit, and the user must be told.
    static bool mayWrite(const QString &path);
    // The folder of the first modified profile that may not be written, empty
    // when every one may be (a save may still fail: a full disk).
    QString unwritableFolder() const;

    // The full path of a profile named relative to the application folder:
    // the folder, "/", and the member text as it stands (the cache key).
    // *insideFolder tells whether that path stays inside the folder once "."
    // and ".." are resolved; a path that climbs out must not be used.
    QString resolve(const QString &relative, bool *insideFolder) const;

    // Cache load: reads the file (UTF-8, BOM skipped, CR LF -> LF) the first
    // time the path is asked for, from the defaults folder when the path does
    // not exist; false when it cannot be read. Later calls
    // never touch the disk again. A file larger than kMaxProfileBytes is not
    // read: it is cached as too large, without text, and never parses.
    bool load(const QString &path);
    bool contains(const QString &path) const { return m_entries.contains(path); }
    bool isTooLarge(const QString &path) const;
    QString text(const QString &path) const;              // cached text
    void store(const QString &path, const QString &text); // set + mark modified

    // The cached text parsed with pugixml's default options, kept until the
    // text changes so a run of queries parses once. Null when the path is not
    // cached, its text does not parse or passes a bound (kMaxProfileBytes,
    // kMaxXmlDepth, kMaxXmlNodes). Callers that change the document must hand it back
    // through storeDocument() or discardDocument() before doing anything else.
    pugi::xml_document *document(const QString &path);

    // Serialises the document in pugixml's default format as the path's new
    // text and marks the path modified. The kept parsed form is dropped: the
    // next document() call parses the new text, so every later command sees
    // exactly what the text says. A document that the next read would refuse
    // (no element at all, deeper than kMaxXmlDepth, more than kMaxXmlNodes
    // elements and attributes, a text beyond kMaxProfileBytes) is not stored (false): the
    // path keeps its text, as after discardDocument().
    bool storeDocument(const QString &path, const pugi::xml_document &doc);

    // Drops the parsed form after an edit that is abandoned: the path keeps
    // its text and the next document() call parses it again.
    void discardDocument(const QString &path);

private:
    struct Entry;
    Entry &entry(const QString &path);
    void markModified(const QString &path);
    QString readPath(const QString &path) const;

    QString m_applicationFolder;
    QString m_defaultsFolder;
    QHash<QString, std::shared_ptr<Entry>> m_entries;
    QStringList m_modified;
};

} // namespace kelv
