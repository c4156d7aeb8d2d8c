#include "bridge/attribute_lists.h"
#include "bridge/profile_commands.h"
#include "bridge/profile_xpath.h"
#include "common/xml_text.h"
#include "platform/system_mouse.h"

#include <QLoggingCategory>
#include <optional>
#include <string_view>
#include <unordered_map>
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

} // namespace


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

} // namespace kelv
