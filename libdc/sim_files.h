#pragma once

// The few file and process calls the simulated mouse makes, one implementation
// per system (sim_files_posix.cpp, sim_files_win.cpp). Paths are UTF-8; file
// handles are C runtime descriptors on both systems.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#ifdef _WIN32
// flock() as the simulator uses it, on LockFileEx (sim_files_win.cpp): an
// exclusive lock of the whole lock file, shared by the processes that use the
// state folder.
#define LOCK_SH 1
#define LOCK_EX 2
#define LOCK_NB 4
#define LOCK_UN 8
int flock(int fd, int operation);
#endif

namespace kelv::sim {

// What tells one version of a file from the next: a file replaced by an
// atomic save is a new file (new inode or file index), an append grows it.
struct FileId
{
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    std::int64_t size = -1; // -1: the file does not exist
    std::int64_t mtimeNs = 0;
    bool operator==(const FileId &o) const
    {
        return dev == o.dev && ino == o.ino && size == o.size && mtimeNs == o.mtimeNs;
    }
    bool operator!=(const FileId &o) const { return !(*this == o); }
};

namespace files {

FileId fileId(const std::string &path);
FileId fileIdOf(int fd);

// Reads a whole file (at most 16 MiB); id receives the identity of the file read.
bool readFile(const std::string &path, std::string *content, FileId *id);
// Replaces a file atomically, the one rule for temporary files (doc/files.md):
// a new temporary file with a random name beside the target, created
// exclusively (never opened through a link or an existing file planted at
// that name), written, flushed to disk and moved over the target. A failure
// leaves the target as it was and removes the temporary file.
bool writeAtomically(const std::string &path, const void *data, std::size_t size);
// path + ".tmp." + random letters: a new temporary name beside path.
std::string temporaryNameFor(const std::string &path);
// The step writeAtomically() takes with each fresh name: creates temp only
// when nothing (no file, no link) is at that name (NameTaken otherwise),
// writes data, flushes it to disk and moves it over path.
enum class TempWrite { Replaced, NameTaken, Failed };
TempWrite replaceVia(const std::string &temp, const std::string &path, const void *data,
                     std::size_t size);
// Appends to a file, creating it (never through a link at its name).
bool appendLine(const std::string &path, const std::string &line);
// Creates the folder and its parents; true when it exists afterwards.
bool makePath(const std::string &folder);
// Moves a file over another, replacing it.
bool replaceFile(const std::string &from, const std::string &to);

enum class Open { Read, ReadCreate, Lock };
// A descriptor, or -1.
int openFile(const std::string &path, Open mode);
// Bytes read, 0 at the end, -1 on an error.
long readSome(int fd, char *buffer, std::size_t size);
void seekToEnd(int fd);
void closeFile(int fd);

int processId();
std::tm localTime(std::time_t time);

// The folder of the module (library or executable) that holds address, or "".
std::string moduleFolder(const void *address);
// The folder of the running executable, or "".
std::string executableFolder();

// The user's own data folder of kelv: $XDG_DATA_HOME/kelv, else ~/.local/share/kelv
// (Windows: %LOCALAPPDATA%\kelv); "" when there is no home folder.
std::string userDataFolder();

// The simulated mouse's state folder for the program folder that holds the
// library (or dcsim): "simulator" in it where it is the user's to write (a
// build folder, a per-user install), else, for a program folder of the
// package manager's (it holds Resources/packaged) or one the user cannot
// write, the user's own: $XDG_DATA_HOME/kelv/simulator (~/.local/share).
std::string stateFolderFor(const std::string &programFolder);

// Waits for changes in a folder, so the library's thread sleeps while nothing
// happens there (Linux: inotify). Where a folder cannot be watched (no inotify
// instance left, the folder not there), or the watch ended (the folder was
// removed or moved), watching() is false and the caller polls, then sets up a
// new watch.
class FolderWatch
{
public:
    explicit FolderWatch(const std::string &folder);
    ~FolderWatch();
    FolderWatch(const FolderWatch &) = delete;
    FolderWatch &operator=(const FolderWatch &) = delete;

    // Whether this system watches folders at all (Windows: no, the folder is polled).
    static bool available();
    bool watching() const { return m_watch >= 0; }
    const std::string &folder() const { return m_folder; }
    // Returns once a file in the folder was created, written, replaced or
    // removed, wake() was called (from any thread; a wake before the wait
    // counts), or timeoutMs passed.
    void wait(int timeoutMs);
    void wake();

private:
    std::string m_folder;
    int m_notify = -1;
    int m_watch = -1;
    int m_wake = -1;
};

} // namespace files
} // namespace kelv::sim
