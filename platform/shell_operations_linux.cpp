#include "platform/shell_operations.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kelv::platform {

bool deleteFolderTree(const std::string &folder)
{
    if (folder.empty())
        return false;
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    return !std::filesystem::exists(std::filesystem::symlink_status(folder, error));
}

ShellStartResult shellStart(const std::string &program, const std::vector<std::string> &arguments,
                            const std::string &workingFolder, bool)
{
    ShellStartResult result;
    // Everything the child needs is made before fork(): another thread may
    // hold the allocator's lock at that moment.
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    // The program runs in a session of its own, as a grandchild that init
    // adopts, so it outlives this process and never becomes a zombie here.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        result.code = errno;
        return result;
    }
    const pid_t child = fork();
    if (child < 0) {
        result.code = errno;
        close(report[0]);
        close(report[1]);
        return result;
    }
    if (child == 0) {
        close(report[0]);
        setsid();
        if (!workingFolder.empty() && chdir(workingFolder.c_str()) != 0) {
            const int error = errno;
            (void)!write(report[1], &error, sizeof error);
            _exit(127);
        }
        pid_t grandchild = 0;
        const int error = posix_spawn(&grandchild, argv[0], nullptr, nullptr, argv.data(), environ);
        if (error != 0)
            (void)!write(report[1], &error, sizeof error);
        _exit(error == 0 ? 0 : 127);
    }
    close(report[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    const ssize_t got = read(report[0], &error, sizeof error);
    close(report[0]);
    result.started = got != ssize_t(sizeof error);
    result.code = result.started ? 0 : error;
    return result;
}

} // namespace kelv::platform
