#pragma once

// Which processor a device library is built for, read from its file header, so the device
// manager can tell a library it can load itself from one that only the 32-bit host can.

#include <string>

namespace kelv::dchost {

enum class LibraryMachine { Unknown, X86, X86_64, Other };

// From the first bytes of a file: a Windows DLL's PE header or a Linux library's ELF header.
// Unknown when it is neither (or too short).
LibraryMachine machineOfHeader(const std::string &bytes);
// The same for a file (UTF-8 path); Unknown when it cannot be read.
LibraryMachine libraryMachine(const std::string &file);

// True when this process cannot load such a library but the 32-bit host can: a 32-bit x86
// library in a 64-bit process. Anything else (also Unknown) is loaded in-process, which
// reports its own failure.
bool libraryNeedsHost(LibraryMachine machine);

} // namespace kelv::dchost
