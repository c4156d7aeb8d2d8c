#include "common/xml_text.h"

#include <sstream>

namespace kelv {

bool parseXmlText(const QString &text, pugi::xml_document *doc)
{
    const QByteArray utf8 = text.toUtf8();
    const pugi::xml_parse_result result = doc->load_buffer(utf8.constData(), size_t(utf8.size()),
                                                           pugi::parse_default, pugi::encoding_utf8);
    return bool(result);
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

} // namespace kelv
