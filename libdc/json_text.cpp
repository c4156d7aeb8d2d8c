#include "libdc/json_text.h"

#include <cstdio>

namespace kelv::dc {

void JsonText::separate()
{
    if (!m_first)
        m_text += ',';
    m_first = false;
}

JsonText &JsonText::beginObject()
{
    separate();
    m_text += '{';
    m_first = true;
    return *this;
}

JsonText &JsonText::endObject()
{
    m_text += '}';
    m_first = false;
    return *this;
}

JsonText &JsonText::beginArray()
{
    separate();
    m_text += '[';
    m_first = true;
    return *this;
}

JsonText &JsonText::endArray()
{
    m_text += ']';
    m_first = false;
    return *this;
}

JsonText &JsonText::key(const char *name)
{
    separate();
    m_text += '"';
    m_text += name;
    m_text += "\":";
    m_first = true; // the value that follows needs no comma
    return *this;
}

JsonText &JsonText::value(int64_t number)
{
    separate();
    m_text += std::to_string(number);
    return *this;
}

JsonText &JsonText::value(bool flag)
{
    separate();
    m_text += flag ? "true" : "false";
    return *this;
}

JsonText &JsonText::value(const std::string &text)
{
    separate();
    m_text += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            m_text += '\\';
            m_text += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(byte));
            m_text += escaped;
        } else {
            m_text += c;
        }
    }
    m_text += '"';
    return *this;
}

JsonText &JsonText::null()
{
    separate();
    m_text += "null";
    return *this;
}

JsonText &JsonText::numbers(const std::vector<uint32_t> &list)
{
    beginArray();
    for (const uint32_t n : list)
        value(int64_t(n));
    return endArray();
}

} // namespace kelv::dc
