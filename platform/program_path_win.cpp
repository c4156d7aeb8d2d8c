#include "platform/program_path.h"
#include "platform/wide_text_win.h"

#include <windows.h>

namespace kelv::platform {

std::string programPathKey(const std::string &path)
{
    std::wstring wide = wideFromUtf8(path);
    for (wchar_t &c : wide) {
        if (c == L'/')
            c = L'\\';
    }
    // The invariant locale's upper case, without linguistic rules: per character, as the
    // file system folds names.
    if (!wide.empty()) {
        std::wstring upper(wide.size(), L'\0');
        const int n =
            LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), int(wide.size()),
                          upper.data(), int(upper.size()), nullptr, nullptr, 0);
        if (n == int(wide.size()))
            wide = upper;
    }
    return utf8FromWide(wide.data(), wide.size());
}

} // namespace kelv::platform
