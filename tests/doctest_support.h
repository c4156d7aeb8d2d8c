#pragma once

// Small helpers shared by the doctest suites, one implementation per system
// (doctest_support_linux.cpp, doctest_support_win.cpp): child processes,
// temporary folders, waiting on a condition.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelv::testing {

// ".exe" on Windows, "" on Linux.
const char *executableSuffix();

// The folder of the running test program (UTF-8, '/' separators).
std::string testProgramFolder();

// The built program folder (KELV_PROGRAM_DIR from the test environment; empty without it).
std::string programFolder();
// The device library in it: libdc.so, or libdc.dll on Windows.
std::string libdcFile();

// A shared library (DLL) loaded by its path (UTF-8) at run time, as the program loads the
// device library: dlopen on Linux, LoadLibraryW on Windows. It stays loaded for the rest of
// the run (threads it started and callbacks registered with it may still run).
class SharedLibrary
{
public:
    explicit SharedLibrary(const std::string &path);
    bool loaded() const { return m_handle != nullptr; }
    // The exported symbol, or null.
    void *find(const char *name) const;

private:
    void *m_handle = nullptr;
};

// A new empty folder that is removed with its contents when the object goes.
class TempFolder
{
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    const std::string &path() const { return m_path; }

private:
    std::string m_path;
};

// A started child process; killed (if still running) when the object goes.
class ChildProcess
{
public:
    // Starts program with the arguments and the extra environment entries
    // ("NAME=value"). Check started().
    ChildProcess(const std::string &program, const std::vector<std::string> &arguments,
                 const std::vector<std::string> &environment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool started() const;
    std::uint64_t pid() const;
    // Waits for the end; false when it is still running after the timeout.
    bool wait(std::chrono::milliseconds timeout, long *exitCode = nullptr);
    void kill();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Runs a program to its end; returns its exit code, or -1 when it could not
// start or did not end within the timeout.
long runProgram(const std::string &program, const std::vector<std::string> &arguments,
                const std::vector<std::string> &environment = {},
                std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Polls the condition every 20 ms until it holds or the timeout passes.
bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds timeout);

std::string readWholeFile(const std::string &path);
std::vector<std::string> filesIn(const std::string &folder);

// True when this Windows program runs under Wine (false on Linux and on Windows itself).
bool runsUnderWine();

// Sets an environment variable of this process.
void setEnvironment(const std::string &name, const std::string &value);

} // namespace kelv::testing
