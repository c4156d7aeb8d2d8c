// The profile document commands: the page reads and edits the XML profiles
// under the program folder by XPath, on the in-memory profile text cache, and
// exports one node into a profile file and imports it again.

#include "bridge/app_host.h"
#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "bridge/members.h"
#include "bridge/profile_export.h"
#include "bridge/profile_store.h"
#include "platform/system_mouse.h"

#include <QLoggingCategory>
#include <pugixml.hpp>
#include <unordered_set>
#include <vector>

namespace kelv {
namespace {

Q_LOGGING_CATEGORY(lcProfiles, "kelv.profiles")

// The double-click time every modifyProfile request sets (entry 0 of the
// double-click table of the settings commands).
constexpr int kModifyProfileDoubleClickMs = 970;

struct ByteArrayWriter final : pugi::xml_writer
{
    QByteArray bytes;
    void write(const void *data, size_t size) override
    {
        bytes.append(static_cast<const char *>(data), qsizetype(size));
    }
};

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
        qCInfo(lcProfiles) << "xpath" << xpath << "refused:" << error.what();
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
        qCInfo(lcProfiles) << "xpath" << xpath << "refused:" << error.what();
        return false;
    }
}

// Whether pugixml reads the name back as the same name: a start character
// (letter, '_', ':' or any non-ASCII UTF-8 byte), then also digits, '-' and
// '.'. An element or attribute with another name would make the whole file
// unreadable once written.
bool isXmlName(const QByteArray &name)
{
    if (name.isEmpty())
        return false;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name.at(i));
        const bool start =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
        const bool other = (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!start && !(i > 0 && other))
            return false;
    }
    return true;
}

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
    // command then stops without reply) when the file cannot be read or the
    // path would leave the program folder.
    bool loadMember(const Members &m, const char *member, QString *path);

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

    SettingsHost &m_host;
};

bool ProfileCommands::loadMember(const Members &m, const char *member, QString *path)
{
    bool inside = false;
    *path = store().resolve(memberText(m, QString::fromLatin1(member)), &inside);
    if (!inside) {
        qCInfo(lcProfiles) << member << "leaves the program folder:" << *path;
        return false;
    }
    return store().load(*path);
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

void ProfileCommands::queryProfile(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("queryProfile load xml file failed!");
    Target t;
    if (!openProfile(m, {"filePath", "xpath"}, "filePath", Match::All, cb, failed, &t))
        return;
    ByteArrayWriter writer;
    for (const pugi::xpath_node &match : t.nodes) {
        if (match.node())
            match.node().print(writer, "\t", pugi::format_default, pugi::encoding_utf8);
    }
    answerSuccess(cb, QString::fromUtf8(writer.bytes));
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
    const QStringList names =
        memberText(m, QStringLiteral("attribute")).split(QLatin1Char(';'), Qt::SkipEmptyParts);
    const QStringList values =
        memberText(m, QStringLiteral("attributeValue")).split(QLatin1Char(';'), Qt::KeepEmptyParts);
    // A name without a value (fewer values than names) is left alone.
    const qsizetype pairs = std::min(names.size(), values.size());
    QList<QByteArray> names8, values8;
    for (qsizetype i = 0; i < pairs; ++i) {
        names8 << utf8(names.at(i));
        values8 << utf8(values.at(i));
    }
    for (const pugi::xpath_node &match : t.nodes) {
        pugi::xml_node node = match.node();
        if (!node)
            continue;
        for (qsizetype i = 0; i < pairs; ++i) {
            pugi::xml_attribute attribute = node.attribute(names8.at(i).constData());
            if (attribute)
                attribute.set_value(values8.at(i).constData());
        }
    }
    store().storeDocument(t.path, *t.doc);
    answerSuccess(cb, QStringLiteral("modifyProfile success!"));
}

void ProfileCommands::modifyProfileEx(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("modifyProfileEx load xml file failed!");
    Target t;
    if (!openProfile(m, {"filePath", "xpath", "subTreeString"}, "filePath", Match::All, cb, failed,
                     &t))
        return;
    // The fragment's parse result is deliberately not examined: whatever the
    // parser kept of a broken fragment is what gets inserted.
    pugi::xml_document fragment;
    const QByteArray fragment8 = utf8(memberText(m, QStringLiteral("subTreeString")));
    fragment.load_buffer(fragment8.constData(), size_t(fragment8.size()), pugi::parse_default,
                         pugi::encoding_utf8);

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
    store().storeDocument(t.path, *t.doc);
    answerSuccess(cb, QStringLiteral("modifyProfileEx success"));
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
    store().storeDocument(t.path, *t.doc);
    answerSuccess(cb, QStringLiteral("modifyRemoveProfile success"));
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
    const QStringList names =
        memberText(m, QStringLiteral("attribute")).split(QLatin1Char(';'), Qt::SkipEmptyParts);
    const QStringList values =
        memberText(m, QStringLiteral("attributeValue")).split(QLatin1Char(';'), Qt::SkipEmptyParts);
    const qsizetype pairs = std::min(names.size(), values.size());
    QList<QByteArray> names8, values8;
    for (qsizetype i = 0; i < pairs; ++i) {
        names8 << utf8(names.at(i));
        values8 << utf8(values.at(i));
    }
    // A name that is not an XML name would be written as it stands and leave
    // a file nothing can read any more: refuse the edit instead.
    bool namesOk = element.isEmpty() || isXmlName(element);
    for (const QByteArray &name : std::as_const(names8))
        namesOk = namesOk && isXmlName(name);
    if (!namesOk) {
        qCInfo(lcProfiles) << "modifyAddProfile: not an XML name in" << element << names;
        answerFailure(cb, failed);
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
            added.append_attribute(names8.at(i).constData()).set_value(values8.at(i).constData());
    }
    store().storeDocument(t.path, *t.doc);
    answerSuccess(cb, QStringLiteral("modifyAddProfile success"));
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
        const QByteArray text = utf8(store().text(srcPath));
        if (ownSource.load_buffer(text.constData(), size_t(text.size()), pugi::parse_default,
                                  pugi::encoding_utf8))
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
    store().storeDocument(desPath, *des);
    answerSuccess(cb, QStringLiteral("modifyReplaceProfile success"));
}

// The document of the export file named by srcFilePath (the file the user
// chose: a full path, used as is). False when it cannot be read, is no export
// file or its XML does not parse.
bool readExportDocument(const Members &m, pugi::xml_document *doc)
{
    QByteArray exported;
    return ProfileExport::readFile(memberText(m, QStringLiteral("srcFilePath")), &exported) &&
           doc->load_buffer(exported.constData(), size_t(exported.size()), pugi::parse_default,
                            pugi::encoding_utf8);
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
    store().storeDocument(desPath, *des);
    answerSuccess(cb, QStringLiteral("modifyReplaceProfile success"));
}

void ProfileCommands::resetProfile(const Members &m, const QueryCallbackPtr &cb)
{
    if (!hasMembers(m, {"srcFilePath", "desFilePath"}))
        return;
    QString srcPath, desPath;
    if (!loadMember(m, "srcFilePath", &srcPath) || !loadMember(m, "desFilePath", &desPath))
        return;
    store().store(desPath, store().text(srcPath));
    answerSuccess(cb, QStringLiteral("resetProfile success"));
}

void ProfileCommands::queryHexByte(const Members &m, const QueryCallbackPtr &cb)
{
    static const QString failed = QStringLiteral("modifyProfile load xml file failed!");
    Target t;
    if (!openProfile(m, {"filePath", "xpath", "args"}, "filePath", Match::First, cb, failed, &t))
        return;
    QString code = QString::fromUtf8(t.first.node().attribute("code").value());
    if (code.contains(QLatin1Char('%'))) {
        const QStringList args =
            memberText(m, QStringLiteral("args")).split(QLatin1Char(','), Qt::SkipEmptyParts);
        QStringList items = code.split(QLatin1Char(','), Qt::KeepEmptyParts);
        // Only the first four items take parameters; a "%" without an argument
        // left stays as it is.
        qsizetype next = 0;
        for (qsizetype i = 0; i < 4 && i < items.size(); ++i) {
            if (items.at(i) == QLatin1String("%") && next < args.size())
                items[i] = args.at(next++);
        }
        code = items.join(QLatin1Char(','));
    }
    answerSuccess(cb, code);
}

void ProfileCommands::savexml(const Members &, const QueryCallbackPtr &cb)
{
    // Nothing loaded yet, or a file that cannot be written: no reply.
    if (store().saveModified())
        answerSuccess(cb, QStringLiteral("save xml success"));
    else if (!store().isEmpty())
        qCWarning(lcProfiles) << "saving the modified profiles failed; kept" << store().modified();
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
    ByteArrayWriter writer;
    exported.save(writer, "\t", pugi::format_default, pugi::encoding_utf8);

    // desFilePath is the file the user chose: a full path, used as is.
    const QString desPath = memberText(m, QStringLiteral("desFilePath"));
    if (!ProfileExport::writeFile(desPath, writer.bytes)) {
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
    ByteArrayWriter writer;
    if (pugi::xml_node exported = imported.first_child())
        exported.print(writer, "\t", pugi::format_default, pugi::encoding_utf8);
    answerSuccess(cb, QString::fromUtf8(writer.bytes));
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
