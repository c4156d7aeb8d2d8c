#pragma once

namespace kelv::platform {

// Asks a process to end (force: ends it at once, without a chance to clean
// up). False when the request could not be delivered. Linux: SIGTERM or
// SIGKILL. Windows: TerminateProcess (a program has no polite request there
// that works for every kind of process, so both ways end it at once).
bool endProcess(long long pid, bool force);

} // namespace kelv::platform
