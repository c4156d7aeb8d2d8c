// Running programs on Windows: a Toolhelp32 snapshot of the processes; each
// process's image in the native form (an NT device path such as
// \Device\HarddiskVolume3\Games\run.exe) converted to the drive-letter path
// that bindings name. Paths are returned as UTF-8.

#include "platform/device_path.h"
#include "platform/running_programs.h"
#include "platform/wide_text_win.h"

#include <windows.h>
// clang-format off
#include <tlhelp32.h>
// clang-format on

namespace kelv::platform {
namespace {

std::u16string toU16(const wchar_t *text)
{
    std::u16string result;
    for (; *text; ++text)
        result.push_back(char16_t(*text));
    return result;
}

// The logical drives in the order the system lists them, each with the
// device name behind it.
std::vector<DriveDevice> logicalDrives()
{
    std::vector<DriveDevice> drives;
    wchar_t roots[512];
    const DWORD length = GetLogicalDriveStringsW(DWORD(std::size(roots) - 1), roots);
    if (length == 0 || length >= std::size(roots))
        return drives;
    for (const wchar_t *root = roots; *root; root += wcslen(root) + 1) {
        const wchar_t drive[3] = {root[0], root[1], L'\0'};
        wchar_t device[kMaxDrivePath];
        if (QueryDosDeviceW(drive, device, DWORD(std::size(device))) == 0)
            continue;
        drives.push_back({toU16(drive), toU16(device)});
    }
    return drives;
}

} // namespace

bool runningProgramPaths(std::vector<std::string> *paths)
{
    paths->clear();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snapshot, &entry)) {
        CloseHandle(snapshot);
        return false;
    }
    const std::vector<DriveDevice> drives = logicalDrives();
    do {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process)
            continue; // gone, or another user's protected process
        wchar_t image[kMaxDrivePath];
        DWORD size = DWORD(std::size(image));
        const bool named = QueryFullProcessImageNameW(process, PROCESS_NAME_NATIVE, image, &size);
        CloseHandle(process);
        if (!named)
            continue;
        std::u16string drivePath;
        if (!devicePathToDrivePath(std::u16string(image, image + size), drives, &drivePath))
            continue;
        paths->push_back(
            utf8FromWide(reinterpret_cast<const wchar_t *>(drivePath.data()), drivePath.size()));
    } while (Process32NextW(snapshot, &entry));
    CloseHandle(snapshot);
    return true;
}

} // namespace kelv::platform
