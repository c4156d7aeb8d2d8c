#include "libdc/ratbag/identity_store.h"

#include "libdc/sim_files.h"

#include <sstream>

namespace kelv::ratbag {

namespace {

constexpr size_t kMaxEntries = 256;

bool isSerial(const std::string &key)
{
    return key.compare(0, 3, "sn:") == 0;
}

} // namespace

void IdentityStore::load(const std::string &folder)
{
    const std::string file = folder.empty() ? std::string() : folder + "/instances";
    if (!m_file.empty() && file == m_file)
        return;
    m_file = file;
    m_entries.clear();
    std::string content;
    sim::FileId id;
    if (file.empty() || !sim::files::readFile(file, &content, &id))
        return;
    std::istringstream in(content);
    for (std::string line; std::getline(in, line) && m_entries.size() < kMaxEntries;) {
        std::istringstream fields(line);
        Entry e;
        if (fields >> e.baseId >> e.n >> e.key && e.n >= 1 && e.n <= 255)
            m_entries.push_back(e);
    }
}

void IdentityStore::save() const
{
    if (m_file.empty())
        return;
    std::string text;
    for (const Entry &e : m_entries)
        text += e.baseId + " " + std::to_string(e.n) + " " + e.key + "\n";
    if (sim::files::makePath(m_file.substr(0, m_file.rfind('/'))))
        sim::files::writeAtomically(m_file, text.data(), text.size());
}

int IdentityStore::pick(const std::string &folder, const std::string &baseId,
                        const std::string &key, const std::function<bool(int)> &taken)
{
    load(folder);
    auto recorded = [&](int n) -> const Entry * {
        for (const Entry &e : m_entries) {
            if (e.baseId == baseId && e.n == n)
                return &e;
        }
        return nullptr;
    };
    if (key.empty() || key.find_first_of(" \n") != std::string::npos) {
        int n = 1;
        while (taken(n))
            ++n;
        return n;
    }
    bool known = false;
    for (const Entry &e : m_entries) {
        if (e.baseId == baseId && e.key == key) {
            if (!taken(e.n))
                return e.n;
            known = true;
        }
    }
    int n = 1;
    for (;; ++n) {
        const Entry *e = recorded(n);
        if (!taken(n) && (!e || (!isSerial(key) && !isSerial(e->key))))
            break;
    }
    // Its own instance is held by another mouse (one without a key came first): this time it
    // gets another, and keeps its own for later.
    if (known)
        return n;
    // This key now owns n: an entry of n (a port the mouse left) goes.
    std::vector<Entry> kept;
    for (const Entry &e : m_entries) {
        if (!(e.baseId == baseId && (e.n == n || e.key == key)))
            kept.push_back(e);
    }
    kept.push_back(Entry{baseId, n, key});
    if (kept.size() > kMaxEntries)
        kept.erase(kept.begin());
    m_entries = kept;
    save();
    return n;
}

} // namespace kelv::ratbag
