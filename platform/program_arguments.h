#pragma once

// The program's command-line arguments, its own name first, as UTF-8. On Windows main's
// argv is in the ANSI code page, which cannot hold every file name (a folder named in
// another script): there they are read from the wide command line instead.

#include <string>
#include <vector>

#ifdef _WIN32
#include "platform/wide_text_win.h"

#include <windows.h>
// clang-format off
#include <shellapi.h>
// clang-format on
#endif

namespace kelv::platform {

inline std::vector<std::string> programArguments(int argc, char **argv)
{
#ifdef _WIN32
    (void)argc;
    (void)argv;
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; wide && i < count; ++i)
        arguments.push_back(utf8FromWide(wide[i], wcslen(wide[i])));
    LocalFree(wide);
    return arguments;
#else
    return std::vector<std::string>(argv, argv + argc);
#endif
}

} // namespace kelv::platform
