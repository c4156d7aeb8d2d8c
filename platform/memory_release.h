#pragma once

namespace kelv::platform {

// Gives back to the system what the process no longer needs for now: the
// memory it freed that the allocator keeps for reuse, and the pages of its
// files (code, read-only data) that are resident but unused, whoever owns the
// files (the system's libraries belong to root), never pages a write changed
// (the working set on Windows). Called after large parts of the program were torn down, so a
// program that rests in the tray does not hold on to them; pages still needed
// come back when they are next used.
void releaseFreeMemory();

} // namespace kelv::platform
