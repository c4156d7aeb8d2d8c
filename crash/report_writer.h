#pragma once

#include <csignal>

// The text crash report ("<id>.dmp"), written from inside the signal handler.
//
//   kelv crash report
//   Version: 1.0.0
//   Time: 2024-05-01T09:12:44Z
//   Process: 4242
//   Thread: 4247
//   Executable: /opt/kelv/kelv
//   Signal: SIGSEGV (11)
//   Code: SEGV_MAPERR (1)
//   Address: 0x0000000000000000
//   Instruction: 0x000055d0c0ffee42
//
//   Registers:
//   rax 0x...  rbx 0x...  rcx 0x...
//
//   Backtrace:
//   /opt/kelv/kelv(+0x1a2b)[0x55d0c0ffee42]
//
//   Modules:
//   <a copy of /proc/self/maps>
//
// Header lines are "Key: value"; each section starts with its name and a colon
// on a line of its own and runs up to the next blank line (the modules to the end).
namespace kelv::crash {

// Loads what the report needs later (the unwinder, the executable's path) so
// that nothing has to be loaded inside the signal handler. Called at set-up.
void prepareReportWriter();

// Writes the whole report to fd. ucontext may be null (no registers then).
// Async-signal-safe apart from backtrace(), which prepareReportWriter() made safe
// enough by loading the unwinder in advance. Returns false when a write failed.
bool writeCrashReport(int fd, int signal, const siginfo_t *info, const void *ucontext);

// "SIGSEGV" etc.; "signal" for others.
const char *signalName(int signal);
// The symbolic name of a signal's si_code ("SEGV_MAPERR", "SI_USER"...), or "".
const char *signalCodeName(int signal, int code);

} // namespace kelv::crash
