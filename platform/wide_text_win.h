#pragma once

// UTF-8 <-> UTF-16 for the Windows half of the seam: the interfaces carry
// UTF-8 text, the W calls of Win32 take UTF-16.

#include <string>
#include <windows.h>

namespace kelv::platform {

inline std::wstring wideFromUtf8(const std::string &text)
{
    if (text.empty())
        return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), size);
    return wide;
}

inline std::string utf8FromWide(const wchar_t *text, size_t length)
{
    if (length == 0)
        return std::string();
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text, int(length), nullptr, 0, nullptr, nullptr);
    std::string utf8(size_t(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, int(length), utf8.data(), size, nullptr, nullptr);
    return utf8;
}

inline std::string utf8FromWide(const std::wstring &text)
{
    return utf8FromWide(text.data(), text.size());
}

} // namespace kelv::platform
