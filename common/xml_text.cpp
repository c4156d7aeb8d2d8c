#include "common/xml_text.h"

#include <QStringConverter>
#include <QStringDecoder>
#include <algorithm>
#include <cstring>
#include <optional>
#include <sstream>

namespace kelv {
namespace {

// pugixml's character classes: what may start a name, and what may follow.
bool isNameStart(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

bool isNameChar(unsigned char c)
{
    return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// The shape scan. It follows pugixml's parser through the markup (tags,
// quoted attribute values, comments, CDATA, processing instructions, the
// document type) without building anything. Where pugixml would stop with
// an error the scan stops too: pugixml builds nothing after its error, so
// what is counted up to there is all there is.
class ShapeScan
{
public:
    ShapeScan(const char *data, qsizetype size, int maxDepth, qint64 maxNodes)
        : m_p(data), m_end(data + size), m_maxDepth(maxDepth), m_maxNodes(maxNodes)
    {
        // pugixml ends every scan at a NUL character: nothing after it is read.
        if (const void *nul = std::memchr(data, 0, size_t(size)))
            m_end = static_cast<const char *>(nul);
    }

    XmlShape run()
    {
        while (m_shape.depth <= m_maxDepth && m_shape.nodes <= m_maxNodes && skipTo('<')) {
            ++m_p;
            if (!markup())
                break;
        }
        return m_shape;
    }

private:
    bool at(const char *literal) const
    {
        const size_t n = std::strlen(literal);
        return size_t(m_end - m_p) >= n && std::memcmp(m_p, literal, n) == 0;
    }
    unsigned char peek(qsizetype ahead = 0) const
    {
        return m_p + ahead < m_end ? static_cast<unsigned char>(m_p[ahead]) : 0;
    }
    // Moves to the next c; false (at the end) when there is none.
    bool skipTo(char c)
    {
        const void *found = std::memchr(m_p, c, size_t(m_end - m_p));
        m_p = found ? static_cast<const char *>(found) : m_end;
        return found != nullptr;
    }
    // Moves past the next occurrence of terminator; false when there is none.
    bool skipPast(const char *terminator)
    {
        const size_t n = std::strlen(terminator);
        while (skipTo(terminator[0])) {
            if (at(terminator)) {
                m_p += n;
                return true;
            }
            ++m_p;
        }
        return false;
    }

    // After a '<': one piece of markup. False where pugixml stops.
    bool markup()
    {
        const unsigned char c = peek();
        if (isNameStart(c))
            return startTag();
        if (c == '/') {
            // pugixml checks the name against the open element; a mismatch
            // ends its parse, so counting down here never undercounts.
            m_depth = std::max(0, m_depth - 1);
            return skipTo('>');
        }
        if (c == '?') {
            ++m_p;
            return isNameStart(peek()) && skipPast("?>");
        }
        if (at("!--")) {
            m_p += 3;
            return skipPast("-->");
        }
        if (at("![CDATA[")) {
            m_p += 8;
            return skipPast("]]>");
        }
        if (at("!DOCTYPE"))
            return m_depth == 0 && doctype();
        return false; // pugixml: unrecognised tag
    }

    bool startTag()
    {
        m_shape.depth = std::max(m_shape.depth, ++m_depth);
        ++m_shape.nodes;
        while (m_p < m_end && isNameChar(peek()))
            ++m_p;
        // Attributes up to the tag's end, one quoted value each; the values
        // may hold '>' and '/'.
        while (m_p < m_end) {
            const char c = *m_p;
            if (c == '"' || c == '\'') {
                ++m_shape.nodes;
                ++m_p;
                if (!skipTo(c))
                    return false;
                ++m_p;
            } else if (c == '>') {
                ++m_p;
                return true;
            } else if (c == '/') {
                if (peek(1) != '>')
                    return false;
                --m_depth; // an empty-element tag closes itself
                m_p += 2;
                return true;
            } else {
                ++m_p;
            }
        }
        return false;
    }

    // pugixml's document type group: nested "<!" groups each end at a '>',
    // quoted strings, processing instructions and comments are skipped whole,
    // "<![" sections nest up to their "]]>". Only at the document level.
    bool doctype()
    {
        ++m_p; // past '!'
        int groups = 0;
        while (m_p < m_end) {
            if (at("<![")) {
                if (!ignoreSection())
                    return false;
            } else if (at("<!") && !at("<!-")) {
                m_p += 2;
                ++groups;
            } else if (at("<?")) {
                m_p += 2;
                if (!skipPast("?>"))
                    return false;
            } else if (at("<!--")) {
                m_p += 4;
                if (!skipPast("-->"))
                    return false;
            } else if (peek() == '<') {
                return false;
            } else if (peek() == '"' || peek() == '\'') {
                const char quote = *m_p++;
                if (!skipTo(quote))
                    return false;
                ++m_p;
            } else if (peek() == '>') {
                ++m_p;
                if (groups-- == 0)
                    return true;
            } else {
                ++m_p;
            }
        }
        return false;
    }

    bool ignoreSection()
    {
        m_p += 3;
        int nested = 0;
        while (m_p < m_end) {
            if (at("<![")) {
                m_p += 3;
                ++nested;
            } else if (at("]]>")) {
                m_p += 3;
                if (nested-- == 0)
                    return true;
            } else {
                ++m_p;
            }
        }
        return false;
    }

    const char *m_p;
    const char *m_end;
    int m_maxDepth;
    qint64 m_maxNodes;
    int m_depth = 0;
    XmlShape m_shape;
};

// Output into a byte array that gives up once it would pass its bound.
// pugixml has no way to stop writing, so the writer ends the output by
// throwing through it; pugixml's output holds nothing that needs cleaning
// up, and the tree is only read.
struct BoundedWriter final : pugi::xml_writer
{
    struct Full
    {
    };

    BoundedWriter(QByteArray *out, qsizetype maxBytes) : out(out), maxBytes(maxBytes) {}

    void write(const void *data, size_t size) override
    {
        if (size > size_t(maxBytes - out->size()))
            throw Full();
        out->append(static_cast<const char *>(data), qsizetype(size));
    }

    QByteArray *out;
    qsizetype maxBytes;
};

template <typename Output> bool writeBounded(qsizetype maxBytes, QByteArray *out, Output output)
{
    if (out->size() > maxBytes)
        return false;
    BoundedWriter writer(out, maxBytes);
    try {
        output(writer);
        return true;
    } catch (const BoundedWriter::Full &) {
        return false;
    }
}

} // namespace

XmlShape xmlShape(const char *data, qsizetype size, int maxDepth, qint64 maxNodes)
{
    return ShapeScan(data, size, maxDepth, maxNodes).run();
}

XmlLoad loadXml(const QByteArray &utf8, pugi::xml_document *doc, int maxDepth, qint64 maxNodes)
{
    doc->reset();
    const XmlShape shape = xmlShape(utf8.constData(), utf8.size(), maxDepth, maxNodes);
    if (shape.depth > maxDepth)
        return XmlLoad::TooDeep;
    if (shape.nodes > maxNodes)
        return XmlLoad::TooManyNodes;
    const pugi::xml_parse_result result = doc->load_buffer(
        utf8.constData(), size_t(utf8.size()), pugi::parse_default, pugi::encoding_utf8);
    return result ? XmlLoad::Parsed : XmlLoad::Malformed;
}

QByteArray xmlBytesAsUtf8(const QByteArray &bytes)
{
    const std::optional<QStringConverter::Encoding> encoding =
        QStringConverter::encodingForData(bytes, u'<');
    switch (encoding.value_or(QStringConverter::Utf8)) {
    case QStringConverter::Utf16:
    case QStringConverter::Utf16LE:
    case QStringConverter::Utf16BE:
    case QStringConverter::Utf32:
    case QStringConverter::Utf32LE:
    case QStringConverter::Utf32BE: {
        QStringDecoder decoder(*encoding);
        const QString text = decoder.decode(bytes);
        return text.toUtf8();
    }
    default:
        return bytes;
    }
}

bool parseXmlText(const QString &text, pugi::xml_document *doc)
{
    return loadXml(text.toUtf8(), doc) == XmlLoad::Parsed;
}

int xmlSubtreeDepth(const pugi::xml_node &node)
{
    const int base = node.type() == pugi::node_element ? 1 : 0;
    int deepest = base;
    int depth = base; // element levels from node down to current's parent
    // Depth first through sibling and parent links: no recursion.
    for (pugi::xml_node current = node.first_child(); current;) {
        if (current.type() == pugi::node_element) {
            deepest = std::max(deepest, depth + 1);
            if (const pugi::xml_node child = current.first_child()) {
                ++depth;
                current = child;
                continue;
            }
        }
        while (!current.next_sibling()) {
            current = current.parent();
            if (current == node)
                return deepest;
            --depth;
        }
        current = current.next_sibling();
    }
    return deepest;
}

qint64 xmlNodeCount(const pugi::xml_node &node)
{
    // pugixml's walker goes through the subtree without recursion.
    struct Counter final : pugi::xml_tree_walker
    {
        qint64 nodes = 0;
        bool for_each(pugi::xml_node &node) override
        {
            if (node.type() == pugi::node_element)
                nodes += 1 + std::distance(node.attributes_begin(), node.attributes_end());
            return true;
        }
    } counter;
    pugi::xml_node start = node;
    start.traverse(counter);
    if (node.type() == pugi::node_element)
        counter.nodes += 1 + std::distance(node.attributes_begin(), node.attributes_end());
    return counter.nodes;
}

QString serializeXmlDocument(const pugi::xml_document &doc)
{
    std::ostringstream out;
    doc.save(out, "\t", pugi::format_default, pugi::encoding_utf8);
    return QString::fromStdString(out.str());
}

QString serializeXmlNode(const pugi::xml_node &node)
{
    std::ostringstream out;
    node.print(out, "\t", pugi::format_default, pugi::encoding_utf8);
    return QString::fromStdString(out.str());
}

bool saveXmlDocument(const pugi::xml_document &doc, qsizetype maxBytes, QByteArray *out)
{
    return writeBounded(maxBytes, out, [&](pugi::xml_writer &writer) {
        doc.save(writer, "\t", pugi::format_default, pugi::encoding_utf8);
    });
}

bool printXmlNode(const pugi::xml_node &node, qsizetype maxBytes, QByteArray *out)
{
    return writeBounded(maxBytes, out, [&](pugi::xml_writer &writer) {
        node.print(writer, "\t", pugi::format_default, pugi::encoding_utf8);
    });
}

} // namespace kelv
