// The profile document commands: the page reads and edits the XML profiles
// under the program folder by XPath, on the in-memory profile text cache, and
// exports one node into a profile file and imports it again.

#include "bridge/app_host.h"
#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "bridge/members.h"
#include "bridge/profile_export.h"
#include "bridge/profile_store.h"
#include "common/client_settings.h"
#include "common/xml_text.h"
#include "platform/system_mouse.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kelv {
namespace {

// The double-click time every modifyProfile request sets (entry 0 of the
// double-click table of the settings commands).
constexpr int kModifyProfileDoubleClickMs = 970;

QByteArray utf8(const QString &text)
{
    return text.toUtf8();
}

// XPath evaluation that never throws: an expression that does not compile
// (or does not give a node set) returns false.
bool selectAll(const pugi::xml_node &root, const QString &xpath, pugi::xpath_node_set *result)
{
    try {
        const pugi::xpath_query query(utf8(xpath).constData());
        if (!query.result())
            return false;
        *result = query.evaluate_node_set(root);
        result->sort();
        return true;
    } catch (const pugi::xpath_exception &error) {
        qCInfo(lcProfiles) << "xpath" << loggedText(xpath) << "refused:" << error.what();
        return false;
    }
}

bool selectFirst(const pugi::xml_node &root, const QString &xpath, pugi::xpath_node *result)
{
    try {
        const pugi::xpath_query query(utf8(xpath).constData());
        if (!query.result())
            return false;
        *result = query.evaluate_node(root);
        return true;
    } catch (const pugi::xpath_exception &error) {
        qCInfo(lcProfiles) << "xpath" << loggedText(xpath) << "refused:" << error.what();
        return false;
    }
}

// Whether pugixml reads the name back as the same name: a start character
// (letter, '_', ':' or any non-ASCII UTF-8 byte), then also digits, '-' and
// '.'. An element or attribute with another name would make the whole file
// unreadable once written.
bool isXmlName(const char *name, qsizetype size)
{
    if (size == 0)
        return false;
    for (qsizetype i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        const bool start =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
        const bool other = (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!start && !(i > 0 && other))
            return false;
    }
    return true;
}

// The most attribute names (and values) one modifyProfile or modifyAddProfile
// request may list. The page names a few at a time; a list of a megabyte
// would make every attribute of the profile a lookup in a table of 100,000.
constexpr qsizetype kMaxAttributeItems = 1024;

// A ';'-separated list member (attribute names or values), split in place:
// every separator of its UTF-8 text becomes a NUL, so each item is a C string
// of its own without an allocation per item (a list of a megabyte splits in
// a few milliseconds). As a C string an item ends at a NUL it holds itself,
// as pugixml reads it; size counts up to the separator.
class ItemList
{
public:
    struct Item
    {
        const char *text;
        qsizetype size;
    };

    ItemList(const QString &list, Qt::SplitBehavior behavior) : m_bytes(list.toUtf8())
    {
        char *data = m_bytes.data();
        qsizetype start = 0;
        for (qsizetype i = 0; i <= m_bytes.size(); ++i) {
            if (i < m_bytes.size() && data[i] != ';')
                continue;
            // The last item ends at the array's own terminator, which is
            // not written: an empty array's data is Qt's shared read-only "".
            if (i < m_bytes.size())
                data[i] = '\0';
            if (i > start || behavior == Qt::KeepEmptyParts)
                m_items.push_back({data + start, i - start});
            start = i + 1;
        }
    }

    // Whether the list has more items than the bound (counted before any
    // split, empty ones included).
    static bool isLonger(const QString &list, qsizetype bound)
    {
        return list.count(QLatin1Char(';')) >= bound;
    }

    qsizetype size() const { return qsizetype(m_items.size()); }
    const Item &at(qsizetype i) const { return m_items[size_t(i)]; }

private:
    Q_DISABLE_COPY_MOVE(ItemList) // the items point into m_bytes

    QByteArray m_bytes;
    std::vector<Item> m_items;
};

// The "attribute" and "attributeValue" lists of a request: the names without
// empty items, the values as the command keeps them; pairs is how many names
// have a value (a name without one is left alone).
struct AttributeLists
{
    AttributeLists(const QString &nameList, const QString &valueList, Qt::SplitBehavior valueItems)
        : names(nameList, Qt::SkipEmptyParts), values(valueList, valueItems),
          pairs(std::min(names.size(), values.size()))
    {
    }

    // Reads them into *lists; false, with nothing read, when either list has
    // more items than kMaxAttributeItems.
    static bool read(const Members &m, Qt::SplitBehavior valueItems,
                     std::optional<AttributeLists> *lists)
    {
        const QString nameList = memberText(m, QStringLiteral("attribute"));
        const QString valueList = memberText(m, QStringLiteral("attributeValue"));
        if (ItemList::isLonger(nameList, kMaxAttributeItems) ||
            ItemList::isLonger(valueList, kMaxAttributeItems))
            return false;
        lists->emplace(nameList, valueList, valueItems);
        return true;
    }

    // Whether a value that would be set holds a NUL character: no XML
    // attribute can hold one, and pugixml would keep only what precedes it.
    bool valueHoldsNul() const
    {
        for (qsizetype i = 0; i < pairs; ++i) {
            const ItemList::Item &value = values.at(i);
            if (qsizetype(std::char_traits<char>::length(value.text)) != value.size)
                return true;
        }
        return false;
    }

    ItemList names;
    ItemList values;
    qsizetype pairs;
};

// The element matches of a node set that do not lie inside another match of
// the set, in document order (the set is sorted). Reads the tree only.
std::vector<pugi::xml_node> outermostNodes(const pugi::xpath_node_set &nodes)
{
    std::unordered_set<pugi::xml_node_struct *> matched;
    for (const pugi::xpath_node &match : nodes) {
        if (match.node())
            matched.insert(match.node().internal_object());
    }
    std::vector<pugi::xml_node> outermost;
    for (const pugi::xpath_node &match : nodes) {
        const pugi::xml_node node = match.node();
        if (!node)
            continue;
        bool inside = false;
        for (pugi::xml_node up = node.parent(); up && !inside; up = up.parent())
            inside = matched.count(up.internal_object()) > 0;
        if (!inside)
            outermost.push_back(node);
    }
    return outermost;
}

class ProfileCommands
{
public:
    explicit ProfileCommands(SettingsHost &host) : m_host(host) {}

    void queryProfile(const Members &m, const QueryCallbackPtr &cb);
    void nodeCounterProfile(const Members &m, const QueryCallbackPtr &cb);
    void modifyProfile(const Members &m, const QueryCallbackPtr &cb);
    void modifyProfileEx(const Members &m, const QueryCallbackPtr &cb);
    void modifyRemoveProfile(const Members &m, const QueryCallbackPtr &cb);
    void modifyAddProfile(const Members &m, const QueryCallbackPtr &cb);
    void modifyReplaceProfile(const Members &m, const QueryCallbackPtr &cb);
    void modifyReplaceProfileEx(const Members &m, const QueryCallbackPtr &cb);
    void resetProfile(const Members &m, const QueryCallbackPtr &cb);
    void queryHexByte(const Members &m, const QueryCallbackPtr &cb);
    void savexml(const Members &m, const QueryCallbackPtr &cb);
    void saveXmlAs(const Members &m, const QueryCallbackPtr &cb);
    void queryExportFile(const Members &m, const QueryCallbackPtr &cb);

private:
    ProfileStore &store() { return m_host.profiles(); }

    // Resolves a relative path member and loads it into the cache. False (the
    // command then stops without reply) when the file cannot be read, the
    // path would leave the program folder, names no ".xml" file or names the
    // settings file (conf.xml).
    bool loadMember(const Members &m, const char *member, QString *path);
    bool isSettingsFile(const QString &path) const;

    // What a command on one profile works on: the profile's path and parsed
    // document, and what the request's xpath selects in it (every match, or
    // the first one).
    enum class Match { All, First };
    struct Target
    {
        QString path;
        pugi::xml_document *doc = nullptr;
        pugi::xpath_node_set nodes; // Match::All, in document order
        pugi::xpath_node first;     // Match::First
    };

    // The start every command on one profile shares: the required members
    // are present, the profile named by pathMember is loaded, and "xpath"
    // selects in it. False ends the command: without reply for a missing
    // member or an unreadable or escaping path, answered failed when the
    // profile does not parse or the XPath does not compile.
    bool openProfile(const Members &m, std::initializer_list<const char *> required,
                     const char *pathMember, Match match, const QueryCallbackPtr &cb,
                     const QString &failed, Target *target);

    // The end of an edit: the edited document becomes the profile's text and
    // the command answers done; a document beyond the bounds (depth, nodes,
    // text) is refused, the profile keeps its text and the command answers
    // failed.
    void storeEdit(const QString &path, const pugi::xml_document &doc, const QueryCallbackPtr &cb,
                   const QString &done, const QString &failed);

    // Ends an edit that would pass a bound (why says which): the profile
    // keeps its text, what was already changed in its document is dropped,
    // and the command answers failed.
    void refuseEdit(const QString &path, const QueryCallbackPtr &cb, const QString &failed,
                    const char *why);

    SettingsHost &m_host;
};

bool ProfileCommands::loadMember(const Members &m, const char *member, QString *path)
{
    bool inside = false;
    *path = store().resolve(memberText(m, QString::fromLatin1(member)), &inside);
    if (!inside) {
        qCInfo(lcProfiles) << member << "leaves the program folder:" << loggedText(*path);
        return false;
    }
    // Profiles are XML files: any other file of the folder (the page, the
    // program, its libraries) is none, and resetProfile followed by a save
    // would otherwise put a profile's text in its place.
    if (!path->endsWith(QLatin1String(".xml"), Qt::CaseInsensitive)) {
        qCInfo(lcProfiles) << member << "names no XML file:" << loggedText(*path);
        return false;
    }
    if (!store().contains(*path) && isSettingsFile(*path)) {
        qCInfo(lcProfiles) << member << "names the settings file, not a profile:" << *path;
        return false;
    }
    return store().load(*path);
}

bool ProfileCommands::isSettingsFile(const QString &path) const
{
    // conf.xml belongs to the client settings, which rewrite it from their own
    // text: a cached copy saved later would undo setConf's changes, and a
    // profile copied over it would take every setting with it.
    const QString settings = m_host.clientSettings().path();
    if (settings.isEmpty())
        return false;
    // Compared as file system entries: links followed, letter case as the
    // file system takes it.
    const QFileInfo file(path);
    return file.exists() && file == QFileInfo(settings);
}

bool ProfileCommands::openProfile(const Members &m, std::initializer_list<const char *> required,
                                  const char *pathMember, Match match, const QueryCallbackPtr &cb,
                                  const QString &failed, Target *target)
{
    if (!hasMembers(m, required) || !loadMember(m, pathMember, &target->path))
        return false;
    target->doc = store().document(target->path);
    const QString xpath = memberText(m, QStringLiteral("xpath"));
    const bool selected =
        target->doc && (match == Match::All ? selectAll(*target->doc, xpath, &target->nodes)
                                            : selectFirst(*target->doc, xpath, &target->first));
    if (!selected) {
        answerFailure(cb, failed);
        return false;
    }
    return true;
}

void ProfileCommands::storeEdit(const QString &path, const pugi::xml_document &doc,
                                const QueryCallbackPtr &cb, const QString &done,
                                const QString &failed)
{
    if (!store().storeDocument(path, doc)) {
        qCInfo(lcProfiles) << path
                           << "would hold no element or pass the bounds on depth, nodes or size;"
                              " edit refused";
        answerFailure(cb, failed);
        return;
    }
    answerSuccess(cb, done);
}

void ProfileCommands::refuseEdit(const QString &path, const QueryCallbackPtr &cb,
                                 const QString &failed, const char *why)
{
    qCInfo(lcProfiles) << path << "edit refused:" << why;
    store().discardDocument(path);
    answerFailure(cb, failed);
}

void ProfileCommands::queryProfile(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("queryProfile load xml file failed!");
    Target t;
    if (!openProfile(m, {"filePath", "xpath"}, "filePath", Match::All, cb, failed, &t))
        return;
    // Matches inside other matches are written once more with each of them:
    // on a deep profile "//*" would answer with the whole profile once per
    // level. An answer beyond the profile bound is refused instead.
    QByteArray answer;
    for (const pugi::xpath_node &match : t.nodes) {
        if (match.node() && !printXmlNode(match.node(), kMaxProfileBytes, &answer)) {
            qCInfo(lcProfiles) << "queryProfile: answer larger than" << kMaxProfileBytes << "bytes";
            answerFailure(cb, failed);
            return;
        }
    }
    answerSuccess(cb, QString::fromUtf8(answer));
}

void ProfileCommands::nodeCounterProfile(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("nodeCounterProfile load xml file failed!");
    Target t;
    if (!openProfile(m, {"filePath", "xpath"}, "filePath", Match::First, cb, failed, &t))
        return;
    qint64 count = 0;
    for (pugi::xml_node child = t.first.node().first_child(); child; child = child.next_sibling())
        ++count;
    answerSuccess(cb, QString::number(count));
}

void ProfileCommands::modifyProfile(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("modifyProfile load xml file failed!");
    // Every modifyProfile request resets the system double-click time, before
    // anything else and whatever the request holds; its result is not used.
    platform::setDoubleClickTime(kModifyProfileDoubleClickMs);

    Target t;
    if (!openProfile(m, {"filePath", "xpath", "attribute", "attributeValue"}, "filePath",
                     Match::All, cb, failed, &t))
        return;
    std::optional<AttributeLists> lists;
    if (!AttributeLists::read(m, Qt::KeepEmptyParts, &lists)) {
        refuseEdit(t.path, cb, failed, "more attributes than the bound");
        return;
    }
    if (lists->valueHoldsNul()) {
        refuseEdit(t.path, cb, failed, "a value holds a NUL character");
        return;
    }
    // A name given twice ends with its last value, as setting them in order
    // would. A name is looked up whole: one holding a NUL names no attribute
    // (it must not set the attribute named by the part before the NUL).
    std::unordered_map<std::string_view, std::string_view> assignments;
    for (qsizetype i = 0; i < lists->pairs; ++i) {
        const ItemList::Item &name = lists->names.at(i);
        const ItemList::Item &value = lists->values.at(i);
        assignments[std::string_view(name.text, size_t(name.size))] =
            std::string_view(value.text, size_t(value.size));
    }
    // Each node's own attributes are looked up, so the work grows with the
    // document and the list, not with their product; the bytes written are
    // counted, so a long value set on many nodes stops at the profile bound.
    qsizetype written = 0;
    for (const pugi::xpath_node &match : t.nodes) {
        for (pugi::xml_attribute attribute : match.node().attributes()) {
            const auto value = assignments.find(attribute.name());
            if (value == assignments.end())
                continue;
            written += qsizetype(value->second.size());
            if (written > kMaxProfileBytes) {
                refuseEdit(t.path, cb, failed, "the values would exceed the profile bound");
                return;
            }
            attribute.set_value(value->second.data(), value->second.size());
        }
    }
    storeEdit(t.path, *t.doc, cb, QStringLiteral("modifyProfile success!"), failed);
}

void ProfileCommands::modifyProfileEx(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("modifyProfileEx load xml file failed!");
    Target t;
    if (!openProfile(m, {"filePath", "xpath", "subTreeString"}, "filePath", Match::All, cb, failed,
                     &t))
        return;
    // The fragment's parse result is deliberately not examined: whatever the
    // parser kept of a broken fragment is what gets inserted. Its size and
    // shape are: pugixml frees a tree one call per level, and a fragment
    // nested deep enough overflows the stack.
    const QByteArray fragment8 = utf8(memberText(m, QStringLiteral("subTreeString")));
    if (fragment8.size() > kMaxFragmentBytes) {
        refuseEdit(t.path, cb, failed, "the fragment is larger than the bound");
        return;
    }
    pugi::xml_document fragment;
    const XmlLoad load = loadXml(fragment8, &fragment);
    if (load == XmlLoad::TooDeep || load == XmlLoad::TooManyNodes) {
        refuseEdit(t.path, cb, failed, "the fragment nests too deep or holds too many nodes");
        return;
    }

    // Emptying a match frees everything below it, so a match inside an
    // earlier match is gone by the time its turn comes. Which matches to skip
    // is therefore decided before the first edit: afterwards their nodes (and
    // their parent links) may already be freed memory.
    const std::vector<pugi::xml_node> targets = outermostNodes(t.nodes);
    for (pugi::xml_node node : targets) {
        while (pugi::xml_node child = node.first_child())
            node.remove_child(child);
        // The fragment moves into the first match; later matches stay empty.
        while (pugi::xml_node top = fragment.first_child()) {
            node.append_copy(top);
            fragment.remove_child(top);
        }
    }
    storeEdit(t.path, *t.doc, cb, QStringLiteral("modifyProfileEx success"), failed);
}

void ProfileCommands::modifyRemoveProfile(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("modifyProfile load xml file failed!");
    Target t;
    if (!openProfile(m, {"filePath", "xpath"}, "filePath", Match::All, cb, failed, &t))
        return;
    // Last to first: removing a node frees its subtree, which only holds
    // nodes that come after it and are therefore already dealt with.
    for (size_t i = t.nodes.size(); i-- > 0;) {
        pugi::xml_node node = t.nodes[i].node();
        if (node && node.parent())
            node.parent().remove_child(node);
    }
    storeEdit(t.path, *t.doc, cb, QStringLiteral("modifyRemoveProfile success"), failed);
}

void ProfileCommands::modifyAddProfile(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("modifyProfile load xml file failed!");
    Target t;
    if (!openProfile(m, {"filePath", "xpath", "attribute", "attributeValue"}, "filePath",
                     Match::All, cb, failed, &t))
        return;
    // Without addNodeName the element has no name; pugixml writes it as
    // ":anonymous", which reads back as a valid name.
    const QByteArray element = utf8(memberText(m, QStringLiteral("addNodeName")));
    std::optional<AttributeLists> lists;
    if (!AttributeLists::read(m, Qt::SkipEmptyParts, &lists)) {
        refuseEdit(t.path, cb, failed, "more attributes than the bound");
        return;
    }
    const ItemList &names = lists->names;
    const ItemList &values = lists->values;
    const qsizetype pairs = lists->pairs;
    // A name that is not an XML name would be written as it stands and leave
    // a file nothing can read any more, and a value holding a NUL would be
    // cut short there: refuse the edit instead.
    bool namesOk = element.isEmpty() || isXmlName(element.constData(), element.size());
    for (qsizetype i = 0; i < pairs && namesOk; ++i)
        namesOk = isXmlName(names.at(i).text, names.at(i).size);
    if (!namesOk || lists->valueHoldsNul()) {
        qCInfo(lcProfiles) << "modifyAddProfile: not an XML name or a NUL in a value in"
                           << loggedText(QString::fromUtf8(element))
                           << loggedText(memberText(m, QStringLiteral("attribute")));
        answerFailure(cb, failed);
        return;
    }
    // Every match gets the element: all the copies together must stay within
    // the bounds on nodes and text, decided before the first is added (the
    // profile's own shape is checked when it is stored).
    qsizetype elementBytes = element.size() + 8; // "<", " />", indentation, line end
    for (qsizetype i = 0; i < pairs; ++i)
        elementBytes += names.at(i).size + values.at(i).size + 4; // ' ="" '
    qint64 matches = 0;
    for (const pugi::xpath_node &match : t.nodes)
        matches += match.node() ? 1 : 0;
    if (matches * (1 + pairs) > kMaxXmlNodes || matches * elementBytes > kMaxProfileBytes) {
        refuseEdit(t.path, cb, failed, "the new elements would exceed the bounds");
        return;
    }
    for (const pugi::xpath_node &match : t.nodes) {
        if (!match.node())
            continue;
        pugi::xml_node added = match.node().append_child(pugi::node_element);
        if (!added)
            continue; // a text node cannot hold elements
        if (!element.isEmpty())
            added.set_name(element.constData());
        for (qsizetype i = 0; i < pairs; ++i)
            added.append_attribute(names.at(i).text).set_value(values.at(i).text);
    }
    storeEdit(t.path, *t.doc, cb, QStringLiteral("modifyAddProfile success"), failed);
}

void ProfileCommands::modifyReplaceProfile(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("modifyReplaceProfile load xml file failed!");
    if (!hasMembers(m, {"srcFilePath", "desFilePath", "srcXpath", "desXpath"}))
        return;
    QString srcPath, desPath;
    if (!loadMember(m, "srcFilePath", &srcPath) || !loadMember(m, "desFilePath", &desPath))
        return;
    pugi::xml_document *des = store().document(desPath);
    if (!des) {
        answerFailure(cb, failed);
        return;
    }
    // The source is a document of its own even when both members name the
    // same file, so the node copied is the one the file held before the edit.
    pugi::xml_document ownSource;
    pugi::xml_document *src = nullptr;
    if (srcPath == desPath) {
        if (loadXml(utf8(store().text(srcPath)), &ownSource) == XmlLoad::Parsed)
            src = &ownSource;
    } else {
        src = store().document(srcPath);
    }
    if (!src) {
        answerFailure(cb, failed);
        return;
    }
    pugi::xpath_node source, target;
    if (!selectFirst(*src, memberText(m, QStringLiteral("srcXpath")), &source) ||
        !selectFirst(*des, memberText(m, QStringLiteral("desXpath")), &target)) {
        answerFailure(cb, failed);
        return;
    }
    pugi::xml_node d = target.node();
    pugi::xml_node parent = d.parent();
    if (d && parent) {
        // The copy goes in first, in D's place, and only then D goes: a source
        // node that cannot be copied there (none matched, an attribute, the
        // document itself) leaves the destination as it was.
        const pugi::xml_node copy =
            source.node() ? parent.insert_copy_before(source.node(), d) : pugi::xml_node();
        if (!copy) {
            qCInfo(lcProfiles) << "modifyReplaceProfile: no source node to copy";
            answerFailure(cb, failed);
            return;
        }
        parent.remove_child(d);
    }
    storeEdit(desPath, *des, cb, QStringLiteral("modifyReplaceProfile success"), failed);
}

// The document of the export file named by srcFilePath (the file the user
// chose: a full path, used as is). False when it cannot be read, is no export
// file or its XML does not parse.
bool readExportDocument(const Members &m, pugi::xml_document *doc)
{
    // An export file may come from anywhere: its size (readFile) and depth are checked
    // before pugixml builds its tree.
    QByteArray exported;
    return ProfileExport::readFile(memberText(m, QStringLiteral("srcFilePath")), &exported) &&
           loadXml(exported, doc) == XmlLoad::Parsed;
}

void ProfileCommands::modifyReplaceProfileEx(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("modifyReplaceProfile load xml file failed!");
    if (!hasMembers(m, {"srcFilePath", "desFilePath", "srcXpath", "desXpath"}))
        return;
    QString desPath;
    if (!loadMember(m, "desFilePath", &desPath))
        return;
    pugi::xml_document *des = store().document(desPath);
    if (!des) {
        answerFailure(cb, failed);
        return;
    }
    pugi::xml_document imported;
    if (!readExportDocument(m, &imported)) {
        answerFailure(cb, failed);
        return;
    }
    const pugi::xml_node source = imported.first_child();
    pugi::xpath_node target;
    if (!selectFirst(*des, memberText(m, QStringLiteral("desXpath")), &target)) {
        answerFailure(cb, failed);
        return;
    }
    if (pugi::xml_node d = target.node()) {
        while (pugi::xml_node child = d.first_child())
            d.remove_child(child);
        for (pugi::xml_node child = source.first_child(); child; child = child.next_sibling())
            d.append_copy(child);
    }
    storeEdit(desPath, *des, cb, QStringLiteral("modifyReplaceProfile success"), failed);
}

void ProfileCommands::resetProfile(const Members &m, const QueryCallbackPtr &cb)
{
    if (!hasMembers(m, {"srcFilePath", "desFilePath"}))
        return;
    QString srcPath, desPath;
    if (!loadMember(m, "srcFilePath", &srcPath) || !loadMember(m, "desFilePath", &desPath))
        return;
    // A source too large to read has no text to copy: the destination keeps
    // its own (no reply, like a source that cannot be read).
    if (store().isTooLarge(srcPath)) {
        qCInfo(lcProfiles) << "resetProfile: source larger than" << kMaxProfileBytes << "bytes";
        return;
    }
    store().store(desPath, store().text(srcPath));
    answerSuccess(cb, QStringLiteral("resetProfile success"));
}

void ProfileCommands::queryHexByte(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("modifyProfile load xml file failed!");
    Target t;
    if (!openProfile(m, {"filePath", "xpath", "args"}, "filePath", Match::First, cb, failed, &t))
        return;
    const QString code = QString::fromUtf8(t.first.node().attribute("code").value());
    if (!code.contains(QLatin1Char('%'))) {
        answerSuccess(cb, code);
        return;
    }
    // Only the first four items take parameters, so no more than four
    // arguments are ever used: neither list is split further than that. A
    // "%" without an argument left stays as it is.
    const QString argsText = memberText(m, QStringLiteral("args"));
    QList<QStringView> args;
    for (const QStringView arg : QStringView(argsText).tokenize(u',', Qt::SkipEmptyParts)) {
        args << arg;
        if (args.size() == 4)
            break;
    }
    QString filled;
    qsizetype start = 0;
    qsizetype next = 0;
    for (int i = 0; i < 4 && start >= 0; ++i) {
        const qsizetype comma = code.indexOf(QLatin1Char(','), start);
        const QStringView item = QStringView(code).mid(start, comma < 0 ? -1 : comma - start);
        filled += item == u"%" && next < args.size() ? args.at(next++) : item;
        if (comma >= 0)
            filled += QLatin1Char(',');
        start = comma < 0 ? comma : comma + 1;
    }
    if (start >= 0)
        filled += QStringView(code).mid(start);
    answerSuccess(cb, filled);
}

void ProfileCommands::savexml(const Members &, const QueryCallbackPtr &cb)
{
    // Nothing loaded yet: no reply. A file that cannot be written answers
    // why, so the page can tell the user at once what to do (a folder that
    // may not be written keeps every edit from being saved, at quit too).
    if (store().saveModified()) {
        answerSuccess(cb, QStringLiteral("save xml success"));
    } else if (!store().isEmpty()) {
        qCWarning(lcProfiles) << "saving the modified profiles failed; kept" << store().modified();
        const QString folder = store().unwritableFolder();
        answerFailure(cb, folder.isEmpty() ? QStringLiteral("savexml failed")
                                           : QStringLiteral("savexml failed: read-only ") +
                                                 QDir::toNativeSeparators(folder));
    }
}

void ProfileCommands::saveXmlAs(const Members &m, const QueryCallbackPtr &cb)
{
    Target t;
    if (!openProfile(m, {"srcFilePath", "desFilePath", "xpath"}, "srcFilePath", Match::First, cb,
                     QStringLiteral("saveXmlAs load xml file failed!"), &t))
        return;
    // A match that is an attribute (or the document itself) copies nothing:
    // the export then holds only the declaration.
    pugi::xml_document exported;
    if (t.first.node())
        exported.append_copy(t.first.node());
    QByteArray text;
    if (!saveXmlDocument(exported, kMaxProfileBytes, &text)) {
        qCInfo(lcProfiles) << "saveXmlAs: export larger than" << kMaxProfileBytes << "bytes";
        answerFailure(cb, QStringLiteral("saveXmlAs load xml file failed!"));
        return;
    }

    // desFilePath is the file the user chose: a full path, used as is.
    const QString desPath = memberText(m, QStringLiteral("desFilePath"));
    if (!ProfileExport::writeFile(desPath, text)) {
        answerFailure(cb, QStringLiteral("saveXmlAs desFilePath is failed!"));
        return;
    }
    answerSuccess(cb, QStringLiteral("saveXmlAs success"));
}

// The exported node of an export file as XML text, attributes included
// (modifyReplaceProfileEx copies only its children): the page reads an
// exported mode's stored name and its macros from it.
void ProfileCommands::queryExportFile(const Members &m, const QueryCallbackPtr &cb)
{
    if (!hasMember(m, QStringLiteral("srcFilePath")))
        return;
    pugi::xml_document imported;
    if (!readExportDocument(m, &imported)) {
        answerFailure(cb, QStringLiteral("queryExportFile load file failed!"));
        return;
    }
    QByteArray answer;
    const pugi::xml_node exported = imported.first_child();
    if (exported && !printXmlNode(exported, kMaxProfileBytes, &answer)) {
        answerFailure(cb, QStringLiteral("queryExportFile load file failed!"));
        return;
    }
    answerSuccess(cb, QString::fromUtf8(answer));
}

} // namespace

void registerProfileCommands(Dispatcher &dispatcher, SettingsHost &host)
{
    auto commands = std::make_shared<ProfileCommands>(host);
    using Method = void (ProfileCommands::*)(const Members &, const QueryCallbackPtr &);
    const std::pair<const char *, Method> table[] = {
        {"queryProfile", &ProfileCommands::queryProfile},
        {"nodeCounterProfile", &ProfileCommands::nodeCounterProfile},
        {"modifyProfile", &ProfileCommands::modifyProfile},
        {"modifyProfileEx", &ProfileCommands::modifyProfileEx},
        {"modifyRemoveProfile", &ProfileCommands::modifyRemoveProfile},
        {"modifyAddProfile", &ProfileCommands::modifyAddProfile},
        {"modifyReplaceProfile", &ProfileCommands::modifyReplaceProfile},
        {"modifyReplaceProfileEx", &ProfileCommands::modifyReplaceProfileEx},
        {"resetProfile", &ProfileCommands::resetProfile},
        {"queryHexByte", &ProfileCommands::queryHexByte},
        {"savexml", &ProfileCommands::savexml},
        {"saveXmlAs", &ProfileCommands::saveXmlAs},
        {"queryExportFile", &ProfileCommands::queryExportFile},
    };
    for (const auto &[name, method] : table) {
        dispatcher.add(QString::fromLatin1(name),
                       [commands, method = method](const Members &m, const QueryCallbackPtr &cb) {
                           ((*commands).*method)(m, cb);
                       });
    }
}

} // namespace kelv
