#include "platform/command_line_win.h"
#include "platform/shell_operations.h"
#include "platform/wide_text_win.h"

#include <windows.h>
// clang-format off
#include <shellapi.h>
// clang-format on

namespace kelv::platform {
namespace {

// The shell's path buffer, in bytes.
constexpr size_t kShellPathBytes = 8191;

std::wstring nativeSeparators(std::wstring path)
{
    for (wchar_t &c : path) {
        if (c == L'/')
            c = L'\\';
    }
    return path;
}

bool exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

bool deleteFolderTree(const std::string &folder)
{
    std::wstring path = nativeSeparators(wideFromUtf8(folder));
    while (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    if (path.empty())
        return false;
    // pFrom is a list ended by an empty entry: two terminators.
    if ((path.size() + 2) * sizeof(wchar_t) > kShellPathBytes)
        return false;
    if (!exists(path))
        return true;
    std::wstring from = path;
    from.push_back(L'\0');
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str(); // c_str() adds the second terminator
    operation.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    const int result = SHFileOperationW(&operation);
    return result == 0 && !operation.fAnyOperationsAborted && !exists(path);
}

ShellStartResult shellStart(const std::string &program, const std::vector<std::string> &arguments,
                            const std::string &workingFolder, bool elevated)
{
    const std::wstring file = nativeSeparators(wideFromUtf8(program));
    std::wstring parameters;
    for (const std::string &argument : arguments) {
        if (!parameters.empty())
            parameters.push_back(L' ');
        parameters += quotedArgument(wideFromUtf8(argument));
    }
    const std::wstring folder = nativeSeparators(wideFromUtf8(workingFolder));
    HINSTANCE instance =
        ShellExecuteW(nullptr, elevated ? L"runas" : nullptr, file.c_str(), parameters.c_str(),
                      folder.empty() ? nullptr : folder.c_str(), SW_SHOWNORMAL);
    ShellStartResult result;
    result.code = long(reinterpret_cast<INT_PTR>(instance));
    result.started = result.code > 32;
    return result;
}

} // namespace kelv::platform
