#include "platform/running_programs.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace kelv::platform {

namespace {

bool isPid(const char *name)
{
    if (!*name || std::strlen(name) > 20)
        return false;
    for (const char *p = name; *p; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return false;
    }
    return true;
}

std::string readLink(const std::string &path)
{
    char target[PATH_MAX + 1];
    const ssize_t length = readlink(path.c_str(), target, PATH_MAX);
    if (length <= 0 || length >= PATH_MAX)
        return std::string(); // gone, a kernel thread, another user's process, or truncated
    return std::string(target, size_t(length));
}

// A NUL-separated /proc file (cmdline, environ) as its words.
std::vector<std::string> readWords(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
    std::vector<std::string> words;
    size_t start = 0;
    while (start < content.size()) {
        const size_t end = std::min(content.find('\0', start), content.size());
        words.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

std::string environmentValue(const std::vector<std::string> &environment, const char *name)
{
    const std::string prefix = std::string(name) + '=';
    for (const std::string &entry : environment) {
        if (entry.compare(0, prefix.size(), prefix) == 0)
            return entry.substr(prefix.size());
    }
    return std::string();
}

std::string baseName(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path of an existing regular file with every symlink resolved; relative
// paths are taken from the process's working folder. Empty when there is no
// such file.
std::string canonicalFile(const std::string &path, const std::string &workingFolder)
{
    if (path.empty())
        return std::string();
    const std::string full =
        path.front() == '/' || workingFolder.empty() ? path : workingFolder + '/' + path;
    char resolved[PATH_MAX];
    if (!realpath(full.c_str(), resolved))
        return std::string();
    struct stat info;
    if (stat(resolved, &info) != 0 || !S_ISREG(info.st_mode))
        return std::string();
    return resolved;
}

// Interpreters that run a script named on their command line: shells,
// Python, Perl, Ruby, Node, Lua, PHP, Tcl (with or without a version suffix,
// "python3.11").
bool isInterpreter(const std::string &executable)
{
    static const char *const shells[] = {"sh",   "bash", "dash", "zsh",  "ksh",    "mksh",
                                         "fish", "csh",  "tcsh", "node", "nodejs", "luajit"};
    static const char *const versioned[] = {"python", "pypy", "perl",  "ruby",
                                            "lua",    "php",  "tclsh", "wish"};
    const std::string name = baseName(executable);
    for (const char *shell : shells) {
        if (name == shell)
            return true;
    }
    for (const char *family : versioned) {
        const size_t length = std::strlen(family);
        if (name.compare(0, length, family) == 0 &&
            name.find_first_not_of("0123456789.", length) == std::string::npos)
            return true;
    }
    return false;
}

// The options with which an interpreter runs code given on its command line
// instead of a script: "sh -c", "python3 -c" or "-m", "perl -e", "php -r".
bool runsCodeInstead(const std::string &interpreter, const std::string &option)
{
    const std::string name = baseName(interpreter);
    if (name.compare(0, 6, "python") == 0 || name.compare(0, 4, "pypy") == 0)
        return option == "-c" || option == "-m";
    if (name.compare(0, 4, "perl") == 0 || name.compare(0, 4, "ruby") == 0 ||
        name.compare(0, 4, "node") == 0 || name.compare(0, 3, "lua") == 0)
        return option == "-e" || option == "-E";
    if (name.compare(0, 3, "php") == 0)
        return option == "-r";
    return option == "-c"; // shells
}

// The options whose value is the next word: "python3 -X utf8 game.py",
// "bash -o pipefail run.sh", "node -r ./setup.js app.js".
bool takesValue(const std::string &interpreter, const std::string &option)
{
    const std::string name = baseName(interpreter);
    if (name.compare(0, 6, "python") == 0 || name.compare(0, 4, "pypy") == 0)
        return option == "-W" || option == "-X" || option == "--check-hash-based-pycs";
    if (name.compare(0, 4, "node") == 0)
        return option == "-r" || option == "--require" || option == "--import" ||
               option == "--loader";
    if (name.compare(0, 4, "ruby") == 0)
        return option == "-I" || option == "-r";
    if (name.compare(0, 3, "lua") == 0)
        return option == "-l";
    if (name.compare(0, 3, "php") == 0)
        return option == "-c" || option == "-d" || option == "-z";
    if (name.compare(0, 4, "perl") == 0 || name.compare(0, 5, "tclsh") == 0 ||
        name.compare(0, 4, "wish") == 0)
        return false;
    return option == "-o" || option == "-O" || option == "--rcfile" ||
           option == "--init-file"; // shells
}

// The script an interpreter runs: its first argument that is neither an
// option nor an option's value.
std::string scriptArgument(const std::string &interpreter,
                           const std::vector<std::string> &arguments)
{
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string &word = arguments[i];
        if (word == "--")
            return i + 1 < arguments.size() ? arguments[i + 1] : std::string();
        if (runsCodeInstead(interpreter, word))
            return std::string();
        if (takesValue(interpreter, word)) {
            ++i;
            continue;
        }
        if (word.empty() || word.front() == '-')
            continue;
        return word;
    }
    return std::string();
}

// "C:\Games\run.exe" (Wine shows the Windows command line of the program it
// runs as the process's own) to the Linux path of that file: drive Z: is the
// root folder unless the prefix says otherwise; every other drive is the
// link the Wine prefix keeps in dosdevices/ (Proton's prefix is the pfx
// folder of STEAM_COMPAT_DATA_PATH).
std::string linuxPathOfWindowsProgram(const std::string &windowsPath,
                                      const std::vector<std::string> &environment)
{
    if (windowsPath.size() < 4 || !std::isalpha(static_cast<unsigned char>(windowsPath[0])) ||
        windowsPath[1] != ':' || (windowsPath[2] != '\\' && windowsPath[2] != '/'))
        return std::string();
    std::string prefix = environmentValue(environment, "WINEPREFIX");
    if (prefix.empty()) {
        const std::string compat = environmentValue(environment, "STEAM_COMPAT_DATA_PATH");
        prefix =
            compat.empty() ? environmentValue(environment, "HOME") + "/.wine" : compat + "/pfx";
    }
    const char drive = char(std::tolower(static_cast<unsigned char>(windowsPath[0])));
    std::string root = prefix + "/dosdevices/" + drive + ':';
    if (access(root.c_str(), F_OK) != 0) {
        if (drive != 'z')
            return std::string();
        root = "/";
    }
    std::string rest = windowsPath.substr(3);
    std::replace(rest.begin(), rest.end(), '\\', '/');
    return canonicalFile(root + '/' + rest, std::string());
}

bool endsWithExe(const std::string &word)
{
    if (word.size() < 5)
        return false;
    std::string suffix = word.substr(word.size() - 4);
    std::transform(suffix.begin(), suffix.end(), suffix.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return suffix == ".exe";
}

void addOnce(std::vector<std::string> *paths, size_t first, const std::string &path)
{
    if (!path.empty() &&
        std::find(paths->begin() + long(first), paths->end(), path) == paths->end())
        paths->push_back(path);
}

// Every program one process stands for.
void addProgramsOf(const std::string &pid, std::vector<std::string> *paths)
{
    const std::string folder = "/proc/" + pid;
    std::string executable = readLink(folder + "/exe");
    if (executable.empty())
        return;
    // The kernel marks an executable that was deleted or replaced since the
    // process started; the program is still the one started from that path.
    static const std::string kDeleted = " (deleted)";
    if (executable.size() > kDeleted.size() &&
        executable.compare(executable.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
        executable.resize(executable.size() - kDeleted.size());

    const size_t first = paths->size();
    paths->push_back(executable);

    // Only a few kinds of process stand for another program; the others cost
    // no more than their executable's link.
    const bool interpreter = isInterpreter(executable);
    // Wine runs Windows programs in its preloader ("wine64-preloader"), which
    // takes the Windows program's command line as its own.
    const bool wine = baseName(executable).compare(0, 4, "wine") == 0;
    // A program of an AppImage runs from the image's mount (or the folder it
    // was extracted to); the runtime names the image file in APPIMAGE.
    const bool fromAppImage = executable.find("/.mount_") != std::string::npos ||
                              executable.find("/appimage_extracted_") != std::string::npos;
    if (!interpreter && !wine && !fromAppImage)
        return;

    const std::vector<std::string> arguments = readWords(folder + "/cmdline");
    const std::string workingFolder = readLink(folder + "/cwd");
    if (interpreter && !arguments.empty())
        addOnce(paths, first, canonicalFile(scriptArgument(executable, arguments), workingFolder));
    if (!wine && !fromAppImage)
        return;

    const std::vector<std::string> environment = readWords(folder + "/environ");
    addOnce(paths, first, canonicalFile(environmentValue(environment, "APPIMAGE"), std::string()));
    if (!wine || arguments.empty())
        return;
    if (endsWithExe(arguments.front())) {
        const std::string &program = arguments.front();
        addOnce(paths, first,
                program.front() == '/' ? canonicalFile(program, workingFolder)
                                       : linuxPathOfWindowsProgram(program, environment));
        return;
    }
    // "wine game.exe" before Wine has taken the program's name.
    for (size_t i = 1; i < arguments.size(); ++i) {
        if (!endsWithExe(arguments[i]))
            continue;
        const std::string windows = linuxPathOfWindowsProgram(arguments[i], environment);
        addOnce(paths, first,
                windows.empty() ? canonicalFile(arguments[i], workingFolder) : windows);
        break;
    }
}

} // namespace

bool runningProgramPaths(std::vector<std::string> *paths)
{
    paths->clear();
    DIR *proc = opendir("/proc");
    if (!proc)
        return false;
    while (dirent *entry = readdir(proc)) {
        if (isPid(entry->d_name))
            addProgramsOf(entry->d_name, paths);
    }
    closedir(proc);
    return true;
}

} // namespace kelv::platform
