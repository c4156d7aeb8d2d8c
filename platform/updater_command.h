#pragma once

// The Updater's command line, written by the program that starts it and read
// by the Updater: "-update", "-wait" and the process id to wait for,
// "-restart" when the program is to be started (and checked) after the
// install, and "-autostart" when the program it starts is to start as the
// user's own start did: in the tray, without the window (a login item). Everything travels on the
// command line: a program started with administrator rights on Windows ("runas") does not inherit
// the environment.

#include <cstdint>
#include <string>
#include <vector>

namespace kelv::platform {

struct UpdaterRequest
{
    std::uint64_t waitPid = 0;
    bool restart = false;
    bool autostart = false;
};

std::vector<std::string> updaterArguments(const UpdaterRequest &request);

// The arguments without the program's name. False, with *error, for a missing
// "-update", a missing or malformed process id, or anything else.
bool parseUpdaterArguments(const std::vector<std::string> &arguments, UpdaterRequest *request,
                           std::string *error);

} // namespace kelv::platform
