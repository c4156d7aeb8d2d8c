#include "libdc/sim/simulator.h"

#include "libdc/libdc.h"
#include "libdc/sim/simulator_lock.h"

namespace kelv::sim {

using namespace files;

const char kBusyMessage[] = "the device is busy: another process holds it (result 7)";

bool sameId(const char16_t *id, const char *ascii)
{
    if (!id)
        return false;
    size_t i = 0;
    for (; ascii[i] != '\0'; ++i) {
        char16_t a = id[i];
        char b = ascii[i];
        if (a == 0)
            return false;
        if (a >= u'A' && a <= u'Z')
            a = char16_t(a - u'A' + u'a');
        if (b >= 'A' && b <= 'Z')
            b = char(b - 'A' + 'a');
        if (a != char16_t(static_cast<unsigned char>(b)))
            return false;
    }
    return id[i] == 0;
}

Simulator::Simulator()
{
    m_memory.assign(kMemorySize, 0);
    m_rom.assign(kRomSize, 0xff);
}

Simulator::~Simulator()
{
    std::lock_guard<std::timed_mutex> guard(m_mutex);
    closeQueueLocked();
    if (m_lockFd >= 0)
        closeFile(m_lockFd);
}

std::string Simulator::path(const char *name) const
{
    return m_folder + "/" + name;
}

bool Simulator::setFolder(const std::string &folder)
{
    {
        std::lock_guard<std::timed_mutex> guard(m_mutex);
        if (folder == m_folder && m_stateLoaded)
            return false;
        closeQueueLocked();
        if (m_lockFd >= 0)
            closeFile(m_lockFd);
        m_lockFd = -1;
        m_folder = folder;
        m_lastResult = DC_OK; // another folder is another mouse
        m_stateLoaded = false;
        m_stateId = m_memoryId = m_romId = FileId();
        m_memory.assign(kMemorySize, 0);
        m_rom.assign(kRomSize, 0xff);
        m_local.clear();
        m_folderReady = makePath(m_folder);
        if (m_folderReady)
            m_lockFd = openFile(path("lock"), Open::Lock);
        m_folderReady = m_folderReady && m_lockFd >= 0;
    }
    Lock lock(*this);
    if (lock.held()) {
        openQueueAtEndLocked();
        return true;
    }
    // Another process holds the folder: start at the queue's end all the same.
    std::lock_guard<std::timed_mutex> guard(m_mutex);
    openQueueAtEndLocked();
    return true;
}

std::string Simulator::folder() const
{
    std::lock_guard<std::timed_mutex> guard(m_mutex);
    return m_folder;
}

bool Simulator::storageWorks()
{
    std::lock_guard<std::timed_mutex> guard(m_mutex);
    return m_folderReady;
}

} // namespace kelv::sim
