#include "tests/doctest_support.h"

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace kelv::testing {

const char *executableSuffix()
{
    return "";
}

std::string testProgramFolder()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

SharedLibrary::SharedLibrary(const std::string &path)
    : m_handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
{
}

void *SharedLibrary::find(const char *name) const
{
    return m_handle ? dlsym(m_handle, name) : nullptr;
}

TempFolder::TempFolder()
{
    char pattern[] = "/tmp/kelv-doctest-XXXXXX";
    if (const char *made = mkdtemp(pattern))
        m_path = made;
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ignored);
}

struct ChildProcess::Impl
{
    pid_t pid = -1;
    bool ended = false;
};

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &arguments,
                           const std::vector<std::string> &environment)
    : m_impl(std::make_unique<Impl>())
{
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        env.emplace_back(*e);
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char *> envp;
    for (std::string &entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    if (posix_spawn(&m_impl->pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0)
        m_impl->pid = -1;
}

ChildProcess::~ChildProcess()
{
    kill();
}

bool ChildProcess::started() const
{
    return m_impl->pid > 0;
}

std::uint64_t ChildProcess::pid() const
{
    return started() ? std::uint64_t(m_impl->pid) : 0;
}

bool ChildProcess::wait(std::chrono::milliseconds timeout, long *exitCode)
{
    if (!started())
        return false;
    int status = 0;
    const bool ended = waitFor(
        [&] { return m_impl->ended || waitpid(m_impl->pid, &status, WNOHANG) == m_impl->pid; },
        timeout);
    if (!ended)
        return false;
    if (!m_impl->ended && exitCode)
        *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    m_impl->ended = true;
    return true;
}

void ChildProcess::kill()
{
    if (started() && !m_impl->ended) {
        ::kill(m_impl->pid, SIGKILL);
        waitpid(m_impl->pid, nullptr, 0);
        m_impl->ended = true;
    }
}

std::vector<std::string> filesIn(const std::string &folder)
{
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto &entry : std::filesystem::directory_iterator(folder, ignored))
        names.push_back(entry.path().filename().string());
    return names;
}

bool runsUnderWine()
{
    return false;
}

void setEnvironment(const std::string &name, const std::string &value)
{
    ::setenv(name.c_str(), value.c_str(), 1);
}

} // namespace kelv::testing
