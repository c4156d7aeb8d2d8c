#pragma once

// The slot storage of the ratbagd service: the onboard memory of each mouse (its eight macro
// slots, doc/device-map.md "Real mice: macros"), one file per hardware ID in the user's own
// data folder (<$XDG_DATA_HOME/kelv>/ratbag/<hardware ID as a file name>.mem), so it outlives
// the program, a reinstall and a program folder the user cannot write: the daemon keeps only
// the events a button runs, not the slots. Files an older kelv kept in the library's state
// folder (<state folder>/ratbag/) move there the first time they are needed.

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace kelv::ratbag {

class SlotStore
{
public:
    // Any thread: the library's state folder, where older versions kept the slots.
    void setStateFolder(const std::string &folder);
    // The mouse's memory (kMemorySize bytes): the file's, or zeros when there is none or
    // it is not whole.
    std::vector<uint8_t> load(const std::string &hardwareId);
    // Replaces the mouse's file atomically. False when it could not be written (a folder that
    // cannot be made or written, a full disk): the file is then as it was.
    bool save(const std::string &hardwareId, const std::vector<uint8_t> &memory);
    // The folder of the files ("" without a home folder: the state folder's, as before).
    std::string folder() const;
    // The file of a hardware ID.
    std::string file(const std::string &hardwareId) const;

private:
    // Moves the files of the old folder that the new one lacks, once per pair of folders.
    void migrate();

    mutable std::mutex m_mutex;
    std::string m_stateFolder;
    std::set<std::string> m_migrated;
};

} // namespace kelv::ratbag
