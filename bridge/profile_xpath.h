#pragma once

// XPath selection over a profile document and the XML rules the profile commands keep.

#include <QString>
#include <QtGlobal>
#include <pugixml.hpp>
#include <vector>

namespace kelv {

// XPath evaluation that never throws: an expression that does not compile
// (or does not give a node set) returns false.
bool selectAll(const pugi::xml_node &root, const QString &xpath, pugi::xpath_node_set *result);
bool selectFirst(const pugi::xml_node &root, const QString &xpath, pugi::xpath_node *result);

// Whether pugixml reads the name back as the same name: a start character
// (letter, '_', ':' or any non-ASCII UTF-8 byte), then also digits, '-' and
// '.'. An element or attribute with another name would make the whole file
// unreadable once written.
bool isXmlName(const char *name, qsizetype size);

// The element matches of a node set that do not lie inside another match of
// the set, in document order (the set is sorted). Reads the tree only.
std::vector<pugi::xml_node> outermostNodes(const pugi::xpath_node_set &nodes);

} // namespace kelv
