#pragma once

namespace kelv::platform {

// Requests to end the program that come from the system rather than from the
// user interface (a session logging out, a service manager stopping it, Ctrl+C
// in a terminal). On Linux these are SIGTERM, SIGINT and SIGHUP.
//
// watchTerminationRequests() installs the handlers once and returns a file
// descriptor that becomes readable each time such a request arrives, so an
// event loop can watch it; -1 when that is not possible. The handlers do
// nothing but write one byte, which is safe inside a signal handler.
int watchTerminationRequests();

// Reads what the descriptor holds; returns the last signal number received,
// or 0 when nothing was pending.
int takeTerminationRequest();

// Windows: console control events and the end of the session
// (WM_QUERYENDSESSION / WM_ENDSESSION to a hidden window); the descriptor is a
// socket, as Windows event loops watch sockets, and the numbers are the C
// runtime's SIGINT, SIGBREAK and SIGTERM.

} // namespace kelv::platform
