#include "bridge/profile_store.h"

#include "common/text_file.h"
#include "common/xml_text.h"

#include <QDir>
#include <QFileInfo>
#include <pugixml.hpp>

namespace kelv {

Q_LOGGING_CATEGORY(lcProfiles, "kelv.profiles")

// One cached file. text is the truth; utf8 is its UTF-8 form when already at
// hand (empty otherwise), doc its parsed form once parsed. A file too large
// to read has no text and no document until a text is stored for it.
struct ProfileStore::Entry
{
    QString text;
    QByteArray utf8;
    std::unique_ptr<pugi::xml_document> doc;
    bool parsed = false; // doc reflects text (or text does not parse: doc null)
    bool tooLarge = false;
};

ProfileStore::ProfileStore(const QString &applicationFolder, const QString &defaultsFolder)
    : m_applicationFolder(applicationFolder), m_defaultsFolder(defaultsFolder)
{
}

QString ProfileStore::readPath(const QString &path) const
{
    // A profile the user's folder does not hold (yet) is read from the program
    // folder, where the defaults are: the factory profile stays the installed
    // program's. Whatever is stored goes to the user's folder (the cache key).
    if (m_defaultsFolder.isEmpty() || QFileInfo::exists(path))
        return path;
    const QString root = m_applicationFolder + QLatin1Char('/');
    if (!path.startsWith(root))
        return path;
    return m_defaultsFolder + QLatin1Char('/') + path.mid(root.size());
}

ProfileStore::~ProfileStore() = default;

QString ProfileStore::resolve(const QString &relative, bool *insideFolder) const
{
    const QString path = m_applicationFolder + QLatin1Char('/') + relative;
    // A relative member must not climb out of the program folder: the page
    // names profile files below it, never elsewhere. A leading "/" is
    // harmless (folder + "//" + name is still inside); ".." is what escapes.
    if (insideFolder) {
        // The system ends a file name at a NUL character: such a path would
        // name the same file as the part before it under another cache key,
        // and a save of one entry would overwrite the edits of the other.
        if (relative.contains(QChar(0))) {
            *insideFolder = false;
            return path;
        }
        const QString clean = QDir::cleanPath(path);
        const QString root = QDir::cleanPath(m_applicationFolder);
        const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
        *insideFolder = !m_applicationFolder.isEmpty() && clean.startsWith(prefix) &&
                        clean.size() > prefix.size();
    }
    return path;
}

ProfileStore::Entry &ProfileStore::entry(const QString &path)
{
    std::shared_ptr<Entry> &slot = m_entries[path];
    if (!slot)
        slot = std::make_shared<Entry>();
    return *slot;
}

void ProfileStore::markModified(const QString &path)
{
    if (!m_modified.contains(path))
        m_modified.append(path);
}

bool ProfileStore::load(const QString &path)
{
    if (m_entries.contains(path))
        return true;
    QString text;
    switch (readTextFile(readPath(path), &text, kMaxProfileBytes)) {
    case TextFileRead::NotOpened:
        return false;
    case TextFileRead::TooLarge:
        entry(path).tooLarge = true;
        return true;
    case TextFileRead::Read:
        entry(path).text = text;
        return true;
    }
    return false;
}

bool ProfileStore::isTooLarge(const QString &path) const
{
    const auto it = m_entries.constFind(path);
    return it != m_entries.constEnd() && it.value()->tooLarge;
}

QString ProfileStore::text(const QString &path) const
{
    const auto it = m_entries.constFind(path);
    return it == m_entries.constEnd() ? QString() : it.value()->text;
}

void ProfileStore::store(const QString &path, const QString &text)
{
    Entry &e = entry(path);
    e.text = text;
    e.utf8.clear();
    e.doc.reset();
    e.parsed = false;
    e.tooLarge = false;
    markModified(path);
}

pugi::xml_document *ProfileStore::document(const QString &path)
{
    const auto it = m_entries.constFind(path);
    if (it == m_entries.constEnd())
        return nullptr;
    Entry &e = *it.value();
    if (!e.parsed && !e.tooLarge) {
        if (e.utf8.isEmpty())
            e.utf8 = e.text.toUtf8();
        auto doc = std::make_unique<pugi::xml_document>();
        // A text stored by resetProfile may come from any file within the
        // size bound; the depth is checked before pugixml builds anything.
        const bool parsed =
            e.utf8.size() <= kMaxProfileBytes && loadXml(e.utf8, doc.get()) == XmlLoad::Parsed;
        e.doc = parsed ? std::move(doc) : nullptr;
        e.parsed = true;
        e.utf8.clear(); // only needed for parsing
    }
    return e.doc.get();
}

bool ProfileStore::storeDocument(const QString &path, const pugi::xml_document &doc)
{
    // A document the next read would refuse is not stored: the profile
    // could never be read again. That includes one left without any element
    // (its root removed, or replaced by text or by nothing): the file would
    // hold the declaration alone, and no command could read it again.
    QByteArray bytes;
    if (!doc.document_element() || xmlSubtreeDepth(doc) > kMaxXmlDepth ||
        xmlNodeCount(doc) > kMaxXmlNodes || !saveXmlDocument(doc, kMaxProfileBytes, &bytes)) {
        discardDocument(path);
        return false;
    }
    Entry &e = entry(path);
    e.text = QString::fromUtf8(bytes);
    e.utf8 = std::move(bytes);
    // The document does not always read back as itself (a nameless element
    // is written as ":anonymous" and read back with that name): the next
    // command parses the new text, exactly as after a restart.
    e.doc.reset();
    e.parsed = false;
    e.tooLarge = false;
    markModified(path);
    return true;
}

void ProfileStore::discardDocument(const QString &path)
{
    const auto it = m_entries.constFind(path);
    if (it == m_entries.constEnd())
        return;
    it.value()->doc.reset();
    it.value()->parsed = false;
}

bool ProfileStore::restoreMissing(const QString &path, const QString &fromPath)
{
    if (QFileInfo::exists(path))
        return true;
    QString text;
    if (!readTextFile(fromPath, &text))
        return false;
    QDir().mkpath(QFileInfo(path).absolutePath());
    return writeTextFile(path, text);
}

bool ProfileStore::mayWrite(const QString &path)
{
    const QFileInfo file(path);
    if (file.exists())
        return file.isFile() && (file.isWritable() || QFileInfo(file.absolutePath()).isWritable());
    QFileInfo folder(file.absolutePath());
    while (!folder.exists() && !folder.isRoot())
        folder = QFileInfo(folder.absolutePath());
    return folder.isDir() && folder.isWritable();
}

QString ProfileStore::unwritableFolder() const
{
    for (const QString &path : m_modified) {
        if (!mayWrite(path))
            return QFileInfo(path).absolutePath();
    }
    return QString();
}

bool ProfileStore::saveModified()
{
    if (m_entries.isEmpty())
        return false;
    // A profile the user may write keeps its edits also where its folder
    // takes no new files (an install whose folder only an administrator may
    // change): it is then written in place. A file that cannot be written
    // does not keep the others from being saved: at a quit their edits
    // would otherwise be lost. Only the files not written stay listed.
    QStringList unsaved;
    for (const QString &path : std::as_const(m_modified)) {
        // In the user's own profile folder a profile that came from the
        // program folder gets its folder made on its first save.
        if (!m_defaultsFolder.isEmpty())
            QDir().mkpath(QFileInfo(path).absolutePath());
        if (!writeTextFile(path, text(path), InPlace::WhenFolderIsClosed)) {
            // Said in the log too: a save at quit has nobody else to tell.
            qCWarning(lcProfiles) << "cannot save" << path << "- its edits stay unsaved";
            unsaved.append(path);
        }
    }
    m_modified = unsaved;
    return m_modified.isEmpty();
}

} // namespace kelv
