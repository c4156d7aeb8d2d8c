#include "libdc/sim/simulator.h"
#include "libdc/sim/simulator_lock.h"

#include <algorithm>

namespace kelv::sim {

using namespace files;

// --- state files -------------------------------------------------------------------

void Simulator::refreshLocked()
{
    loadStateLocked();
    loadMemoryLocked();
    loadRomLocked();
    applyTimersLocked();
}

void Simulator::loadStateLocked()
{
    const std::string file = path("mouse.state");
    const FileId id = fileId(file);
    if (m_stateLoaded && id == m_stateId)
        return;
    std::string text;
    FileId readId;
    MouseState state;
    if (id.size >= 0 && readFile(file, &text, &readId) && decodeState(text, &state)) {
        m_state = state;
        m_stateId = readId;
        m_stateLoaded = true;
        return;
    }
    // Missing or damaged: the factory-default mouse, plugged in. A damaged file is
    // replaced so every process agrees on the new state.
    const bool damaged = id.size >= 0;
    m_state = factoryState(newSerial());
    m_state.modeSince = nowMs();
    m_stateLoaded = true;
    if (damaged)
        logLocked("state damaged or unreadable: factory-default mouse");
    if (!saveStateLocked())
        m_stateId = fileId(file);
}

void Simulator::loadMemoryLocked()
{
    const std::string file = path("memory.bin");
    const FileId id = fileId(file);
    if (id == m_memoryId)
        return;
    m_memoryId = id;
    std::string content;
    FileId readId;
    if (id.size == int64_t(kMemorySize) && readFile(file, &content, &readId) &&
        content.size() == kMemorySize) {
        m_memory.assign(content.begin(), content.end());
        m_memoryId = readId;
    } else {
        m_memory.assign(kMemorySize, 0);
    }
}

void Simulator::loadRomLocked()
{
    const std::string file = path("rom.bin");
    const FileId id = fileId(file);
    if (id == m_romId)
        return;
    m_romId = id;
    m_rom.assign(kRomSize, 0xff);
    std::string content;
    FileId readId;
    if (id.size >= 0 && readFile(file, &content, &readId)) {
        std::copy_n(content.begin(), std::min<size_t>(content.size(), kRomSize), m_rom.begin());
        m_romId = readId;
    }
}

bool Simulator::saveFileLocked(const char *name, const void *data, size_t size, FileId *id)
{
    if (!m_folderReady)
        return false;
    const std::string file = path(name);
    if (!writeAtomically(file, data, size))
        return false;
    *id = fileId(file);
    return true;
}

bool Simulator::saveStateLocked()
{
    const std::string text = encodeState(m_state);
    return saveFileLocked("mouse.state", text.data(), text.size(), &m_stateId);
}

bool Simulator::saveMemoryLocked()
{
    return saveFileLocked("memory.bin", m_memory.data(), m_memory.size(), &m_memoryId);
}

bool Simulator::saveRomLocked()
{
    return saveFileLocked("rom.bin", m_rom.data(), m_state.romWritten, &m_romId);
}

void Simulator::setModeLocked(Mode mode)
{
    m_state.mode = mode;
    m_state.modeSince = nowMs();
}

void Simulator::applyTimersLocked()
{
    if (m_state.mode == Mode::ToBoot && m_state.bootDelayMs >= 0 &&
        delayPassed(m_state.modeSince, m_state.bootDelayMs)) {
        const Visible before = visibleDevice(m_state);
        setModeLocked(Mode::Boot);
        saveStateLocked();
        logLocked("boot loader up");
        emitVisibilityChangeLocked(before);
    } else if (m_state.mode == Mode::ToMouse && delayPassed(m_state.modeSince, kRestartDelayMs)) {
        const Visible before = visibleDevice(m_state);
        setModeLocked(Mode::Mouse);
        saveStateLocked();
        logLocked("mouse up version=" + m_state.version);
        emitVisibilityChangeLocked(before);
    }
}

} // namespace kelv::sim
