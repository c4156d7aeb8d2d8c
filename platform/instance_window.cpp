#include "platform/instance_window.h"

namespace kelv::platform {
namespace {

bool isWhiteSpace(char16_t c)
{
    // What \s matches in a Unicode-aware regular expression.
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool isDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

} // namespace

bool isInstanceWindowTitle(const std::u16string &title)
{
    // ^kelv(\s*\(\d+\))?$
    if (title.size() > 1023 || title.compare(0, 4, u"kelv") != 0 || title.size() < 4)
        return false;
    size_t pos = 4;
    if (pos == title.size())
        return true;
    while (pos < title.size() && isWhiteSpace(title[pos]))
        ++pos;
    if (pos == title.size() || title[pos] != u'(')
        return false;
    const size_t digits = ++pos;
    while (pos < title.size() && isDigit(title[pos]))
        ++pos;
    return pos > digits && pos + 1 == title.size() && title[pos] == u')';
}

} // namespace kelv::platform
