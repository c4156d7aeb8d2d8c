#pragma once

#include <QByteArray>
#include <QString>
#include <pugixml.hpp>

namespace kelv {

// The bounds every XML text the program reads or edits is held to. They lie
// far above any real profile (a few levels deep, a few hundred KiB at most)
// and keep each request's work small: pugixml frees a subtree recursively,
// one call per level, and its output indents every line by its depth.
//
// Deepest element nesting of a document (the document element is level 1).
constexpr int kMaxXmlDepth = 256;
// Elements and attributes of a document together. The time every command
// takes grows with them (a profile of the page has a few thousand); four
// megabytes of empty elements would be a million.
constexpr qint64 kMaxXmlNodes = 100000;
// A profile's text, a profile file on disk, a document built by an edit and
// the text one query answers with (UTF-8 bytes).
constexpr qsizetype kMaxProfileBytes = 4 * 1024 * 1024;
// An XML fragment a request hands in (UTF-8 bytes).
constexpr qsizetype kMaxFragmentBytes = 1024 * 1024;

// What pugixml would build from a UTF-8 text with its default parse options:
// the deepest element nesting (0 for a text without elements) and the number
// of elements and attributes, found in one pass over the text without
// building anything. Neither count is ever lower than what pugixml builds;
// counting ends once one passes its limit.
struct XmlShape
{
    int depth = 0;
    qint64 nodes = 0;
};
XmlShape xmlShape(const char *data, qsizetype size, int maxDepth = kMaxXmlDepth,
                  qint64 maxNodes = kMaxXmlNodes);

enum class XmlLoad {
    Parsed,
    Malformed,    // pugixml's error: doc keeps what was read up to it
    TooDeep,      // nests deeper than the limit: doc stays empty
    TooManyNodes, // more elements and attributes than the limit: doc stays empty
};

// Parses a UTF-8 text with pugixml's default options, after the shape check:
// a text nesting deeper than maxDepth, or with more than maxNodes elements
// and attributes, never reaches pugixml.
XmlLoad loadXml(const QByteArray &utf8, pugi::xml_document *doc, int maxDepth = kMaxXmlDepth,
                qint64 maxNodes = kMaxXmlNodes);

// A file's bytes as the UTF-8 text pugixml would have converted them to:
// UTF-16 and UTF-32 texts (by byte order mark or by a leading '<') are
// converted, anything else is taken as it is.
QByteArray xmlBytesAsUtf8(const QByteArray &bytes);

// Parses a text (converted to UTF-8) with pugixml's default options: comments,
// declarations and whitespace-only text nodes are dropped. Returns false when
// the text does not parse (a text without any element does not parse) or
// nests deeper than kMaxXmlDepth.
bool parseXmlText(const QString &text, pugi::xml_document *doc);

// How many element levels a node's subtree spans, the node included when it
// is an element (a document: its deepest nesting). Walks without recursion.
int xmlSubtreeDepth(const pugi::xml_node &node);

// The elements and attributes of a node's subtree, the node's own included.
qint64 xmlNodeCount(const pugi::xml_node &node);

// pugixml's default save format: `<?xml version="1.0"?>`, one element per
// line, tab indentation, empty-element tags, LF line ends.
QString serializeXmlDocument(const pugi::xml_document &doc);

// One node with its subtree in the same format, without a declaration.
QString serializeXmlNode(const pugi::xml_node &node);

// The same formats as UTF-8 bytes appended to *out, as long as *out stays
// within maxBytes: output that would pass it is abandoned at once (false;
// *out then holds an unspecified prefix). A deep tree's indentation makes
// its text far larger than the text it was read from; this bounds both the
// time and the memory spent on it.
bool saveXmlDocument(const pugi::xml_document &doc, qsizetype maxBytes, QByteArray *out);
bool printXmlNode(const pugi::xml_node &node, qsizetype maxBytes, QByteArray *out);

} // namespace kelv
