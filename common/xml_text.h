#pragma once

#include <QString>

#include <pugixml.hpp>

namespace kelv {

// Parses a text (converted to UTF-8) with pugixml's default options: comments,
// declarations and whitespace-only text nodes are dropped. Returns false when
// the text does not parse (a text without any element does not parse).
bool parseXmlText(const QString &text, pugi::xml_document *doc);

// pugixml's default save format: `<?xml version="1.0"?>`, one element per
// line, tab indentation, empty-element tags, LF line ends.
QString serializeXmlDocument(const pugi::xml_document &doc);

// One node with its subtree in the same format, without a declaration.
QString serializeXmlNode(const pugi::xml_node &node);

} // namespace kelv
