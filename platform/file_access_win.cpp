#include "platform/file_access.h"
#include "platform/wide_text_win.h"

#include <fcntl.h>
#include <io.h>
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

bool replaceFile(const std::string &from, const std::string &to)
{
    return MoveFileExW(wideFromUtf8(from).c_str(), wideFromUtf8(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

RegularFile openRegularFile(const std::string &path)
{
    RegularFile file;
    // Shared for reading, writing and deleting: an atomic save by another
    // program may replace the file while it is read.
    HANDLE handle = CreateFileW(wideFromUtf8(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        file.result = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                          ? RegularOpen::Missing
                          : RegularOpen::Failed;
        return file;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle);
        file.result = RegularOpen::NotRegular;
        return file;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return file;
    }
    file.result = RegularOpen::Opened;
    file.fd = fd;
    return file;
}

} // namespace kelv::platform
