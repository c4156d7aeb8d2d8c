#include "bridge/profile_xpath.h"

#include "bridge/members.h"
#include "bridge/profile_store.h"

#include <QLoggingCategory>
#include <unordered_set>

namespace kelv {

namespace {

QByteArray utf8(const QString &text)
{
    return text.toUtf8();
}

} // namespace

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

} // namespace kelv
