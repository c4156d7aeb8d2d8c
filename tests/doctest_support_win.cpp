#include "platform/command_line_win.h"
#include "tests/doctest_support.h"

#include <algorithm>
#include <filesystem>
#include <windows.h>

namespace kelv::testing {
namespace {

std::wstring wide(const std::string &text)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring result(size_t(size > 0 ? size - 1 : 0), L'\0');
    if (size > 1)
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, result.data(), size);
    return result;
}

std::string utf8(const std::wstring &text)
{
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(size_t(size > 0 ? size - 1 : 0), '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, result.data(), size, nullptr, nullptr);
    return result;
}

} // namespace

const char *executableSuffix()
{
    return ".exe";
}

std::string testProgramFolder()
{
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, DWORD(std::size(path)));
    std::string folder =
        utf8(std::filesystem::path(std::wstring(path, length)).parent_path().wstring());
    for (char &c : folder) {
        if (c == '\\')
            c = '/';
    }
    return folder;
}

SharedLibrary::SharedLibrary(const std::string &path)
{
    std::wstring native = wide(path);
    std::replace(native.begin(), native.end(), L'/', L'\\');
    m_handle = LoadLibraryW(native.c_str());
}

void *SharedLibrary::find(const char *name) const
{
    return m_handle ? reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(m_handle), name))
                    : nullptr;
}

TempFolder::TempFolder()
{
    wchar_t base[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, base);
    for (unsigned attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
        const std::wstring candidate = std::wstring(base) + L"kelv-doctest-" +
                                       std::to_wstring(GetCurrentProcessId()) + L"-" +
                                       std::to_wstring(GetTickCount() + attempt);
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            m_path = utf8(candidate);
            for (char &c : m_path) {
                if (c == '\\')
                    c = '/';
            }
        }
    }
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    if (!m_path.empty())
        std::filesystem::remove_all(std::filesystem::path(wide(m_path)), ignored);
}

struct ChildProcess::Impl
{
    PROCESS_INFORMATION process = {};
    bool ended = false;
};

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &arguments,
                           const std::vector<std::string> &environment)
    : m_impl(std::make_unique<Impl>())
{
    std::wstring commandLine = platform::quotedArgument(wide(program));
    for (const std::string &argument : arguments)
        commandLine += L" " + platform::quotedArgument(wide(argument));
    // The environment block: this process's, then the extra entries (a later
    // entry of the same name wins when the child reads it with getenv).
    std::wstring block;
    if (!environment.empty()) {
        wchar_t *own = GetEnvironmentStringsW();
        for (const wchar_t *entry = own; *entry; entry += wcslen(entry) + 1) {
            const std::wstring text(entry);
            bool replaced = false;
            for (const std::string &extra : environment) {
                const std::string name = extra.substr(0, extra.find('=') + 1);
                if (_wcsnicmp(text.c_str(), wide(name).c_str(), name.size()) == 0)
                    replaced = true;
            }
            if (!replaced)
                block += text + L'\0';
        }
        FreeEnvironmentStringsW(own);
        for (const std::string &extra : environment)
            block += wide(extra) + L'\0';
        block += L'\0';
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, block.empty() ? nullptr : block.data(), nullptr,
                        &startup, &m_impl->process))
        m_impl->process = {};
}

ChildProcess::~ChildProcess()
{
    kill();
    if (m_impl->process.hProcess) {
        CloseHandle(m_impl->process.hProcess);
        CloseHandle(m_impl->process.hThread);
    }
}

bool ChildProcess::started() const
{
    return m_impl->process.hProcess != nullptr;
}

std::uint64_t ChildProcess::pid() const
{
    return m_impl->process.dwProcessId;
}

bool ChildProcess::wait(std::chrono::milliseconds timeout, long *exitCode)
{
    if (!started())
        return false;
    if (WaitForSingleObject(m_impl->process.hProcess, DWORD(timeout.count())) != WAIT_OBJECT_0)
        return false;
    m_impl->ended = true;
    DWORD code = 0;
    GetExitCodeProcess(m_impl->process.hProcess, &code);
    if (exitCode)
        *exitCode = long(code);
    return true;
}

void ChildProcess::kill()
{
    if (started() && !m_impl->ended) {
        TerminateProcess(m_impl->process.hProcess, 1);
        WaitForSingleObject(m_impl->process.hProcess, 5000);
        m_impl->ended = true;
    }
}

std::vector<std::string> filesIn(const std::string &folder)
{
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto &entry :
         std::filesystem::directory_iterator(std::filesystem::path(wide(folder)), ignored))
        names.push_back(utf8(entry.path().filename().wstring()));
    return names;
}

bool runsUnderWine()
{
    // Wine's ntdll exports its version; Windows' does not.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void setEnvironment(const std::string &name, const std::string &value)
{
    SetEnvironmentVariableW(wide(name).c_str(), wide(value).c_str());
    _putenv_s(name.c_str(), value.c_str());
}

} // namespace kelv::testing
