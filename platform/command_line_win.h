#pragma once

// One argument of a Windows command line, quoted so that CommandLineToArgvW and the C
// runtime read it back unchanged: quoted when it is empty or holds a blank or a quote,
// backslashes doubled only before a quote. Used for every program this side starts
// (CreateProcessW, ShellExecuteExW).

#include <string>

namespace kelv::platform {

inline std::wstring quotedArgument(const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring result = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        result.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        result += c;
    }
    result.append(backslashes * 2, L'\\');
    return result + L"\"";
}

} // namespace kelv::platform
