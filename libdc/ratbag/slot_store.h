#pragma once

// The slot storage of the ratbagd service: the onboard memory of each mouse (its eight macro
// slots, doc/device-map.md "Real mice: macros"), kept in the library's state folder, one
// file per hardware ID (<folder>/ratbag/<hardware ID as a file name>.mem), so it outlives
// the program: the daemon keeps only the events a button runs, not the slots.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kelv::ratbag {

class SlotStore
{
public:
    // Any thread: the state folder from now on.
    void setFolder(const std::string &folder);
    // The mouse's memory (kMemorySize bytes): the file's, or zeros when there is none or
    // it is not whole.
    std::vector<uint8_t> load(const std::string &hardwareId) const;
    // Replaces the mouse's file atomically; a folder that cannot be written keeps nothing.
    void save(const std::string &hardwareId, const std::vector<uint8_t> &memory) const;
    // The file of a hardware ID ("" without a state folder).
    std::string file(const std::string &hardwareId) const;

private:
    mutable std::mutex m_mutex;
    std::string m_folder;
};

} // namespace kelv::ratbag
