#include "libdc/ratbag/slot_store.h"

#include "libdc/backend.h"
#include "libdc/ratbag/ratbag_device.h"
#include "libdc/ratbag/ratbag_macro.h"
#include "libdc/sim_files.h"

#include <cstring>
#include <filesystem>

namespace kelv::ratbag {

namespace {

constexpr char kSuffix[] = ".mem";

// A file name for a hardware ID: letters and digits, the rest as '-'.
std::string fileSlug(const std::string &hardwareId)
{
    std::string slug;
    for (const char c : dc::lowerAscii(hardwareId).substr(std::strlen(kServiceId)))
        slug += (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ? c : '-';
    return slug;
}

bool readWhole(const std::string &path, std::string *content)
{
    sim::FileId id;
    return sim::files::readFile(path, content, &id) && content->size() == kMemorySize;
}

} // namespace

void SlotStore::setStateFolder(const std::string &folder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stateFolder = folder;
}

std::string SlotStore::folder() const
{
    const std::string data = sim::files::userDataFolder();
    if (!data.empty())
        return data + "/ratbag";
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stateFolder.empty() ? std::string() : m_stateFolder + "/ratbag";
}

std::string SlotStore::file(const std::string &hardwareId) const
{
    const std::string where = folder();
    return where.empty() ? std::string() : where + "/" + fileSlug(hardwareId) + kSuffix;
}

std::vector<uint8_t> SlotStore::load(const std::string &hardwareId)
{
    migrate();
    std::string content;
    const std::string path = file(hardwareId);
    if (!path.empty() && readWhole(path, &content))
        return std::vector<uint8_t>(content.begin(), content.end());
    return std::vector<uint8_t>(kMemorySize, 0);
}

bool SlotStore::save(const std::string &hardwareId, const std::vector<uint8_t> &memory)
{
    migrate();
    const std::string path = file(hardwareId);
    return !path.empty() && sim::files::makePath(path.substr(0, path.rfind('/'))) &&
           sim::files::writeAtomically(path, memory.data(), memory.size());
}

void SlotStore::migrate()
{
    std::string old;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stateFolder.empty())
            return;
        old = m_stateFolder + "/ratbag";
    }
    const std::string now = folder();
    if (now.empty() || now == old || !m_migrated.insert(old + '\n' + now).second)
        return;
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(old, error))
        return;
    for (fs::directory_iterator it(old, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= std::strlen(kSuffix) ||
            name.compare(name.size() - std::strlen(kSuffix), std::string::npos, kSuffix) != 0)
            continue;
        std::string content, there;
        const std::string target = now + "/" + name;
        if (!readWhole(it->path().string(), &content))
            continue;
        // A file the new folder has already is the newer one: the old one is left as it is.
        if (!fs::exists(target, error) &&
            !(sim::files::makePath(now) &&
              sim::files::writeAtomically(target, content.data(), content.size())))
            continue;
        // Removed once the new folder holds it (a read-only folder keeps its copy).
        if (readWhole(target, &there) && there == content) {
            std::error_code ignored;
            fs::remove(it->path(), ignored);
        }
    }
}

} // namespace kelv::ratbag
