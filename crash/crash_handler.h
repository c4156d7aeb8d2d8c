#pragma once

#include <cstddef>

// The process's crash handler, plain C++ so that each platform implements it
// with its own calls (crash_handler_linux.cpp: POSIX signals; crash_handler_win.cpp:
// an unhandled-exception filter writing a minidump from a thread of its own).
//
// On a crash (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) the handler, on an
// alternate signal stack and with async-signal-safe calls only:
//  1. takes a process-wide flag, so a second crashing thread or a fault inside
//     the handler never writes a second dump or starts a second reporter;
//  2. makes a fresh dump identifier (a random UUID) and writes the text report
//     "<dump folder>/<id>.dmp";
//  3. calls onDumpWritten, which starts the reporter with the unquoted command
//     line "<reporter> <dump folder>/<id>.dmp", whether or not the dump was written;
//  4. restores the signal's default action and raises it again, so the process
//     ends with the original signal.
// A watchdog alarm (5 s) ends the process the same way, after starting the
// reporter, if the handler gets stuck: symbolising the backtrace takes the
// dynamic loader's lock, which another thread may hold forever (a crash while
// a library constructor blocks inside dlopen).
namespace kelv::crash {

constexpr std::size_t kReporterPathSize = 1024;
constexpr std::size_t kDumpFolderSize = 1024;
constexpr std::size_t kCommandLineSize = 2600;
constexpr std::size_t kDumpIdSize = 37; // 36 characters and the terminator

// Installs the handlers once per process (alternate stack, unwinder loaded,
// buffers filled). The folder is UTF-8 (Linux: the file name's bytes; Windows:
// turned into UTF-16 for the system's calls) without a trailing slash. A second
// call only changes the dump folder. Returns false when the folder does not fit
// its buffer or the handlers could not be installed.
bool installCrashHandler(const char *dumpFolder);
bool crashHandlerInstalled();
const char *dumpFolderBuffer();

// Stores the reporter path (UTF-8, as the dump folder). A path that does not fit
// the buffer is refused: the stored path becomes empty and false is returned.
bool setReporterPath(const char *path);
const char *reporterPathBuffer();

// Builds "<reporter> <dumpFolder>/<dumpId>.dmp" (nothing quoted) and starts it.
// The reporter is started whether or not the dump was written. Returns true:
// the crash counts as handled. Async-signal-safe.
bool onDumpWritten(const char *dumpFolder, const char *dumpId, bool succeeded);

// Builds the reporter command line into out (kCommandLineSize bytes).
bool buildReporterCommandLine(char *out, std::size_t size, const char *reporter,
                              const char *dumpFolder, const char *dumpId);

// Starts the program of the unquoted command line detached (own session, no
// inherited descriptors apart from standard output and error, standard input
// from /dev/null, the crashing process's environment and current folder).
// Writes "CreateProcess failed (<errno>).\n" to standard error when it cannot
// be started. Always returns false; the result carries no meaning.
// Async-signal-safe.
bool startReporterProcess(const char *commandLine);

// A new random (version 4) UUID in the form
// "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x". Async-signal-safe.
void newDumpId(char out[kDumpIdSize]);
// The same form for 16 given bytes (first four big-endian, then two, two, eight).
void formatDumpId(const unsigned char bytes[16], char out[kDumpIdSize]);

} // namespace kelv::crash
