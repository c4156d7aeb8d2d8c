#pragma once

// Shared set-up of the libFuzzer targets: one Qt application object, a quiet
// log, and a throw-away program folder (profiles, settings, page profile)
// that each input starts from again. Nothing a target does may touch files
// outside that folder.

#include <QByteArray>
#include <QString>
#include <cstdio>
#include <cstdlib>

namespace kelv::fuzz {

// Creates the QCoreApplication, silences logging and points the system mouse
// settings at a tool that does not exist (the desktop stays untouched).
void init(int *argc, char ***argv);

// The throw-away program folder of this process (created on first use).
QString sandbox();
QString sandboxFile(const QString &relative);

// Puts the default profiles and conf.xml back as the source tree has them and
// removes everything else the last input left in the folder.
void resetProgramFolder();

// Writes bytes to a file below the sandbox (creating folders); returns its path.
QString writeSandboxFile(const QString &relative, const QByteArray &bytes);

// Delivers queued events and deferred deletions of the last input.
void drainEvents();

} // namespace kelv::fuzz

// An invariant of the code under test does not hold: report and stop, so
// libFuzzer keeps the input as a crash.
#define FUZZ_CHECK(condition, what)                                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "fuzz invariant failed: %s (%s:%d)\n", what, __FILE__, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
