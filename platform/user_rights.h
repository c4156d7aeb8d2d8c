#pragma once

namespace kelv::platform {

// True when the program runs with the system's administrator rights: as root
// on Linux (effective user id 0), with an elevated token on Windows.
bool runsWithAdministratorRights();

} // namespace kelv::platform
