#pragma once

// The command-line arguments of a helper program as UTF-8. On Windows main's argv is in
// the ANSI code page, which cannot hold every file name: the arguments are read from the
// wide command line instead.

#include <string>
#include <vector>

#ifdef _WIN32
#include "platform/wide_text_win.h"

#include <windows.h>
// clang-format off
#include <shellapi.h>
// clang-format on
#endif

inline std::vector<std::string> utf8Arguments(int argc, char **argv)
{
#ifdef _WIN32
    (void)argc;
    (void)argv;
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; wide && i < count; ++i)
        arguments.push_back(kelv::platform::utf8FromWide(wide[i], wcslen(wide[i])));
    LocalFree(wide);
    return arguments;
#else
    return std::vector<std::string>(argv, argv + argc);
#endif
}
