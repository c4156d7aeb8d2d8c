#pragma once

#include <cstddef>

namespace kelv::crash {

// The reporter's command line is one unquoted text, "<reporter> <folder>/<id>.dmp".
// It is taken apart the way a command line without quotes is on the platform the
// program comes from:
// - the program is the shortest blank-delimited prefix of the text that names an
//   executable file, so a reporter inside a folder with spaces is still found;
//   when no prefix does, the program is the first word (and starting it fails);
// - everything after the program is split at runs of blanks (space, tab) into
//   arguments, so a dump folder with spaces arrives as several arguments.
// Runs inside the crash handler: no allocation, the result lives in the struct.
struct ParsedCommandLine
{
    static constexpr std::size_t kTextSize = 2600;
    static constexpr int kMaxArguments = 64;

    char text[kTextSize];
    char *argv[kMaxArguments + 1];
    int argc = 0;
};

// Returns false for an empty command line or one longer than the buffer.
// Arguments beyond kMaxArguments are dropped.
bool parseCommandLine(const char *commandLine, ParsedCommandLine &out);

// A regular file the process may execute.
bool isExecutableFile(const char *path);

} // namespace kelv::crash
