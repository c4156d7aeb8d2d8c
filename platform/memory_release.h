#pragma once

namespace kelv::platform {

// Gives the memory the process has freed back to the system where the
// allocator keeps it for reuse (glibc's heap on Linux). Called after large
// parts of the program were torn down, so a program that rests in the tray
// does not hold on to what it no longer uses.
void releaseFreeMemory();

} // namespace kelv::platform
