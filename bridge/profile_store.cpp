#include "bridge/profile_store.h"

#include "common/text_file.h"

#include <QDir>
#include <QFileInfo>
#include <pugixml.hpp>

namespace kelv {
namespace {

struct ByteArrayWriter final : pugi::xml_writer
{
    QByteArray bytes;
    void write(const void *data, size_t size) override
    {
        bytes.append(static_cast<const char *>(data), qsizetype(size));
    }
};

} // namespace

// One cached file. text is the truth; utf8 is its UTF-8 form when already at
// hand (empty otherwise), doc its parsed form once parsed.
struct ProfileStore::Entry
{
    QString text;
    QByteArray utf8;
    std::unique_ptr<pugi::xml_document> doc;
    bool parsed = false; // doc reflects text (or text does not parse: doc null)
};

ProfileStore::ProfileStore(const QString &applicationFolder)
    : m_applicationFolder(applicationFolder)
{
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
    if (!readTextFile(path, &text))
        return false;
    entry(path).text = text;
    return true;
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
    markModified(path);
}

pugi::xml_document *ProfileStore::document(const QString &path)
{
    const auto it = m_entries.constFind(path);
    if (it == m_entries.constEnd())
        return nullptr;
    Entry &e = *it.value();
    if (!e.parsed) {
        if (e.utf8.isEmpty())
            e.utf8 = e.text.toUtf8();
        auto doc = std::make_unique<pugi::xml_document>();
        const pugi::xml_parse_result result = doc->load_buffer(
            e.utf8.constData(), size_t(e.utf8.size()), pugi::parse_default, pugi::encoding_utf8);
        e.doc = result ? std::move(doc) : nullptr;
        e.parsed = true;
        e.utf8.clear(); // only needed for parsing
    }
    return e.doc.get();
}

void ProfileStore::storeDocument(const QString &path, const pugi::xml_document &doc)
{
    ByteArrayWriter writer;
    doc.save(writer, "\t", pugi::format_default, pugi::encoding_utf8);
    Entry &e = entry(path);
    e.text = QString::fromUtf8(writer.bytes);
    e.utf8 = std::move(writer.bytes);
    // The document does not always read back as itself (a nameless element
    // is written as ":anonymous" and read back with that name): the next
    // command parses the new text, exactly as after a restart.
    e.doc.reset();
    e.parsed = false;
    markModified(path);
}

bool ProfileStore::restoreMissing(const QString &path, const QString &fromPath)
{
    if (QFileInfo::exists(path))
        return true;
    QString text;
    if (!readTextFile(fromPath, &text))
        return false;
    return writeTextFile(path, text);
}

bool ProfileStore::saveModified()
{
    if (m_entries.isEmpty())
        return false;
    for (const QString &path : std::as_const(m_modified)) {
        if (!writeTextFile(path, text(path)))
            return false;
    }
    m_modified.clear();
    return true;
}

} // namespace kelv
