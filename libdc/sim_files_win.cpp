// The simulator's file calls on Windows. Files are opened through CreateFileW
// with every sharing mode (delete included), so a file another process keeps
// open (the queue) can still be replaced, and then handed to the C runtime as
// binary descriptors. A file's identity is its volume serial number, file
// index and last-write time (100 ns steps), which tells every atomic save
// apart, unlike the C runtime's stat (no inode, whole seconds).

#include "libdc/sim_files.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <random>
#include <string>
#include <windows.h>

namespace kelv::sim::files {
namespace {

std::wstring wide(const std::string &text)
{
    if (text.empty())
        return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring result(size_t(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), result.data(), size);
    return result;
}

std::string utf8(const wchar_t *text, size_t length)
{
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text, int(length), nullptr, 0, nullptr, nullptr);
    std::string result(size_t(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, int(length), result.data(), size, nullptr, nullptr);
    return result;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE openHandle(const std::string &path, DWORD access, DWORD disposition)
{
    return CreateFileW(wide(path).c_str(), access, kShareAll, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

int toDescriptor(HANDLE handle, int flags)
{
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0)
        CloseHandle(handle);
    return fd;
}

FileId idOfHandle(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return FileId();
    FileId id;
    id.dev = info.dwVolumeSerialNumber;
    id.ino = std::uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    id.size = std::int64_t(std::uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow);
    const std::uint64_t ticks = std::uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32 |
                                info.ftLastWriteTime.dwLowDateTime;
    id.mtimeNs = std::int64_t(ticks * 100);
    return id;
}

bool writeAll(HANDLE handle, const void *data, size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = DWORD(size > 0x40000000 ? 0x40000000 : size);
        if (!WriteFile(handle, p, chunk, &written, nullptr) || written == 0)
            return false;
        p += written;
        size -= written;
    }
    return true;
}

std::string folderOfModule(HMODULE module)
{
    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(module, path, DWORD(std::size(path)));
    if (length == 0 || length >= std::size(path))
        return std::string();
    std::wstring file(path, length);
    const size_t separator = file.find_last_of(L"\\/");
    if (separator == std::wstring::npos)
        return ".";
    return utf8(file.data(), separator);
}

} // namespace

FileId fileId(const std::string &path)
{
    HANDLE handle = openHandle(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE)
        return FileId();
    const FileId id = idOfHandle(handle);
    CloseHandle(handle);
    return id;
}

FileId fileIdOf(int fd)
{
    const intptr_t handle = _get_osfhandle(fd);
    if (handle == -1)
        return FileId();
    return idOfHandle(reinterpret_cast<HANDLE>(handle));
}

bool readFile(const std::string &path, std::string *content, FileId *id)
{
    HANDLE handle = openHandle(path, GENERIC_READ, OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const FileId read = idOfHandle(handle);
    if (read.size < 0 || read.size > 16 * 1024 * 1024) {
        CloseHandle(handle);
        return false;
    }
    *id = read;
    content->clear();
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(handle, buffer, sizeof buffer, &n, nullptr) && n > 0)
        content->append(buffer, n);
    CloseHandle(handle);
    return true;
}

std::string temporaryNameFor(const std::string &path)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::string name = path + ".tmp.";
    for (int i = 0; i < 12; ++i)
        name += kLetters[random() % (sizeof kLetters - 1)];
    return name;
}

TempWrite replaceVia(const std::string &temp, const std::string &path, const void *data,
                     size_t size)
{
    // CREATE_NEW refuses any file or link already at the name: whatever
    // another user planted there is never written through.
    HANDLE handle = openHandle(temp, GENERIC_WRITE, CREATE_NEW);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? TempWrite::NameTaken
                                                                           : TempWrite::Failed;
    }
    const bool written = writeAll(handle, data, size) && FlushFileBuffers(handle) != FALSE;
    const bool closed = CloseHandle(handle) != FALSE;
    if (!written || !closed || !replaceFile(temp, path)) {
        DeleteFileW(wide(temp).c_str());
        return TempWrite::Failed;
    }
    return TempWrite::Replaced;
}

bool writeAtomically(const std::string &path, const void *data, size_t size)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        const TempWrite result = replaceVia(temporaryNameFor(path), path, data, size);
        if (result != TempWrite::NameTaken)
            return result == TempWrite::Replaced;
    }
    return false;
}

bool appendLine(const std::string &path, const std::string &line)
{
    HANDLE handle = CreateFileW(wide(path).c_str(), FILE_APPEND_DATA, kShareAll, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = writeAll(handle, line.data(), line.size());
    CloseHandle(handle);
    return ok;
}

bool makePath(const std::string &folder)
{
    if (folder.empty())
        return false;
    const std::wstring path = wide(folder);
    // Every prefix that ends before a separator, then the whole path; a drive
    // ("C:") or a share root simply refuses to be created and is skipped.
    for (size_t pos = path.find_first_of(L"\\/", 1);; pos = path.find_first_of(L"\\/", pos + 1)) {
        const std::wstring partial = path.substr(0, pos);
        if (!partial.empty() && partial.back() != L':')
            CreateDirectoryW(partial.c_str(), nullptr);
        if (pos == std::wstring::npos)
            break;
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool replaceFile(const std::string &from, const std::string &to)
{
    return MoveFileExW(wide(from).c_str(), wide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

int openFile(const std::string &path, Open mode)
{
    switch (mode) {
    case Open::Read:
        return toDescriptor(openHandle(path, GENERIC_READ, OPEN_EXISTING), _O_RDONLY);
    case Open::ReadCreate:
        return toDescriptor(openHandle(path, GENERIC_READ, OPEN_ALWAYS), _O_RDONLY);
    case Open::Lock:
        return toDescriptor(openHandle(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS), _O_RDWR);
    }
    return -1;
}

long readSome(int fd, char *buffer, size_t size)
{
    // ReadFile itself: the C runtime remembers an end of file once reached
    // and would not see what other processes append afterwards.
    const intptr_t handle = _get_osfhandle(fd);
    DWORD n = 0;
    if (handle == -1 || !ReadFile(reinterpret_cast<HANDLE>(handle), buffer,
                                  DWORD(size > 0x7fffffff ? 0x7fffffff : size), &n, nullptr))
        return -1;
    return long(n);
}

void seekToEnd(int fd)
{
    _lseeki64(fd, 0, SEEK_END);
}

void closeFile(int fd)
{
    _close(fd);
}

int processId()
{
    return int(GetCurrentProcessId());
}

std::tm localTime(std::time_t time)
{
    std::tm local{};
    localtime_s(&local, &time);
    return local;
}

std::string moduleFolder(const void *address)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module))
        return std::string();
    return folderOfModule(module);
}

std::string executableFolder()
{
    return folderOfModule(nullptr);
}

std::string userDataFolder()
{
    wchar_t local[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::string() : utf8(local, length) + "/kelv";
}

std::string stateFolderFor(const std::string &programFolder)
{
    if (programFolder.empty())
        return "simulator";
    // Only a packaged program folder sends the state to the user's own
    // folder; an installer's folder under Program Files keeps it beside the
    // library as the mouse maker's library does.
    const DWORD marker = GetFileAttributesW(wide(programFolder + "/Resources/packaged").c_str());
    const bool packaged = marker != INVALID_FILE_ATTRIBUTES && !(marker & FILE_ATTRIBUTE_DIRECTORY);
    wchar_t local[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH);
    if (!packaged || length == 0 || length >= MAX_PATH)
        return programFolder + "/simulator";
    return utf8(local, length) + "/kelv/simulator";
}

// Not watched on Windows: the library's thread polls the folder.
FolderWatch::FolderWatch(const std::string &folder) : m_folder(folder) {}
FolderWatch::~FolderWatch() = default;
bool FolderWatch::available()
{
    return false;
}
void FolderWatch::wait(int) {}
void FolderWatch::wake() {}

} // namespace kelv::sim::files

// The whole lock file, exclusively; LOCK_NB gives up at once when another
// process holds it.
int flock(int fd, int operation)
{
    const intptr_t osHandle = _get_osfhandle(fd);
    if (osHandle == -1)
        return -1;
    HANDLE handle = reinterpret_cast<HANDLE>(osHandle);
    OVERLAPPED whole = {};
    if (operation & LOCK_UN)
        return UnlockFileEx(handle, 0, MAXDWORD, MAXDWORD, &whole) ? 0 : -1;
    DWORD flags = (operation & LOCK_EX) ? LOCKFILE_EXCLUSIVE_LOCK : 0;
    if (operation & LOCK_NB)
        flags |= LOCKFILE_FAIL_IMMEDIATELY;
    if (LockFileEx(handle, flags, 0, MAXDWORD, MAXDWORD, &whole))
        return 0;
    errno = GetLastError() == ERROR_LOCK_VIOLATION ? EWOULDBLOCK : EIO;
    return -1;
}
