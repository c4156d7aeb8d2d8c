#include "libdc/ratbag/slot_store.h"

#include "libdc/backend.h"
#include "libdc/ratbag/ratbag_device.h"
#include "libdc/ratbag/ratbag_macro.h"
#include "libdc/sim_files.h"

#include <cstring>

namespace kelv::ratbag {

namespace {

// A file name for a hardware ID: letters and digits, the rest as '-'.
std::string fileSlug(const std::string &hardwareId)
{
    std::string slug;
    for (const char c : dc::lowerAscii(hardwareId).substr(std::strlen(kServiceId)))
        slug += (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ? c : '-';
    return slug;
}

} // namespace

void SlotStore::setFolder(const std::string &folder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_folder = folder;
}

std::string SlotStore::file(const std::string &hardwareId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_folder.empty() ? std::string() : m_folder + "/ratbag/" + fileSlug(hardwareId) + ".mem";
}

std::vector<uint8_t> SlotStore::load(const std::string &hardwareId) const
{
    std::string content;
    sim::FileId id;
    const std::string path = file(hardwareId);
    if (!path.empty() && sim::files::readFile(path, &content, &id) && content.size() == kMemorySize)
        return std::vector<uint8_t>(content.begin(), content.end());
    return std::vector<uint8_t>(kMemorySize, 0);
}

void SlotStore::save(const std::string &hardwareId, const std::vector<uint8_t> &memory) const
{
    const std::string path = file(hardwareId);
    if (path.empty() || !sim::files::makePath(path.substr(0, path.rfind('/'))))
        return;
    sim::files::writeAtomically(path, memory.data(), memory.size());
}

} // namespace kelv::ratbag
