#include "platform/file_access.h"
#include "platform/wide_text_win.h"

#include <string>
#include <windows.h>

namespace kelv::platform {

bool folderDeniesWriting(const std::string &folder)
{
    // A probe file that is gone again as soon as its handle closes.
    std::wstring probe = wideFromUtf8(folder);
    if (!probe.empty() && probe.back() != L'\\' && probe.back() != L'/')
        probe += L'\\';
    probe += L"kelv-write-probe-" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    return GetLastError() == ERROR_ACCESS_DENIED;
}

} // namespace kelv::platform
