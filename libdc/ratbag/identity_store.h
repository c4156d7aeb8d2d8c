#pragma once

// Which instance of its model each mouse is (doc/device-map.md, "Identity"): two mice of the
// same model get the hardware IDs <model> and <model>&Inst_2, and each must keep its own
// settings and macros whatever the order they are plugged in. The instance a mouse got is
// kept for its key (usb_identity_linux.h: its serial number, else its USB port) in the file
// <folder>/instances, one line per instance: "<base hardware ID> <n> <key>".
//
//   - A known key gets its instance back, unless another mouse holds it now.
//   - A new serial number gets the smallest instance that no other serial number has.
//   - A new port (a mouse without a serial number plugged in elsewhere) gets the smallest
//     instance that is free now and not another serial number's: a lone mouse moved to
//     another port keeps its settings.
//   - No key (test devices, mice sysfs does not know): the smallest free instance, by plug
//     order, as for every mouse before kelv kept keys; nothing is written.

#include <functional>
#include <string>
#include <vector>

namespace kelv::ratbag {

class IdentityStore
{
public:
    // The instance (1, 2, ...) for a mouse of baseId with key; taken(n): instance n is held
    // by a mouse listed now. Keeps what it decided in folder's file (folder "": only in
    // memory). A file that cannot be written is no failure: the mouse is listed all the same.
    int pick(const std::string &folder, const std::string &baseId, const std::string &key,
             const std::function<bool(int)> &taken);

private:
    struct Entry
    {
        std::string baseId;
        int n = 0;
        std::string key;
    };
    void load(const std::string &folder);
    void save() const;

    std::string m_file; // the file loaded ("" before the first pick)
    std::vector<Entry> m_entries;
};

} // namespace kelv::ratbag
