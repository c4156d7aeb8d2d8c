#pragma once

namespace kelv::platform {

// Whether a process with this id is running (a process that has ended but
// whose parent has not collected it yet counts as ended).
bool processRunning(long long pid);

// Asks a process to end (force: ends it at once, without a chance to clean
// up). False when the request could not be delivered.
bool endProcess(long long pid, bool force);

} // namespace kelv::platform
