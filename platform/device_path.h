#pragma once

// Windows reports a process's image as an NT device path
// (\Device\HarddiskVolume3\Games\run.exe); bindings name drive-letter paths
// (C:\Games\run.exe). The conversion is kept apart from the system calls that
// list the drives so that it can be tested anywhere.

#include <string>
#include <vector>

namespace kelv::platform {

struct DriveDevice
{
    std::u16string drive;  // "C:" (the first two characters of the drive root)
    std::u16string device; // the device name behind it, e.g. \Device\HarddiskVolume3
};

// The longest path the conversion produces, terminator included (MAX_PATH).
constexpr std::size_t kMaxDrivePath = 260;

// Converts imagePath with the drives in the order the system lists them. The
// first drive whose device name is followed by a backslash at the start of
// the image path gives drive + "\" + the rest of the image path after that
// backslash. Returns false with *out = "Unknown" when no drive matches or the
// result would not fit in kMaxDrivePath units.
bool devicePathToDrivePath(const std::u16string &imagePath, const std::vector<DriveDevice> &drives,
                           std::u16string *out);

} // namespace kelv::platform
