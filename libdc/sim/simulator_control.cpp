#include "libdc/sim/simulator.h"
#include "libdc/sim/simulator_lock.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace kelv::sim {

namespace {

const char *buttonName(int button)
{
    static const char *const names[8] = {"left",    "right",  "middle",   "back",
                                         "forward", "DPI up", "DPI down", "profile"};
    return button >= 0 && button < 8 ? names[button] : "?";
}

bool busy(std::string *message)
{
    *message = kBusyMessage;
    return false;
}

} // namespace

// --- control ---------------------------------------------------------------------------

bool Simulator::plug(bool plugged, std::string *message)
{
    Lock lock(*this);
    if (!lock.held())
        return busy(message);
    if (m_state.plugged == plugged) {
        *message = plugged ? "already plugged in" : "already unplugged";
        return true;
    }
    const Visible before = visibleDevice(m_state);
    m_state.plugged = plugged;
    saveStateLocked();
    emitVisibilityChangeLocked(before);
    logLocked(plugged ? "plug" : "unplug");
    *message = plugged ? "plugged in" : "unplugged";
    return true;
}

bool Simulator::sendData(const std::array<uint8_t, 8> &report, std::string *message)
{
    Lock lock(*this);
    if (!lock.held())
        return busy(message);
    if (visibleDevice(m_state) != Visible::Mouse) {
        *message = "no mouse is plugged in";
        return false;
    }
    QueueItem item;
    item.kind = QueueItem::Data;
    item.data = report;
    emitLocked(item);
    logLocked("data " + hexBytes(report.data(), report.size()));
    *message = "sent " + hexBytes(report.data(), report.size());
    return true;
}

bool Simulator::press(int button, std::string *message)
{
    Lock lock(*this);
    if (!lock.held())
        return busy(message);
    if (button < 0 || button > 7) {
        *message = "button must be 0 to 7 or a button name";
        return false;
    }
    if (visibleDevice(m_state) != Visible::Mouse) {
        *message = "no mouse is plugged in";
        return false;
    }
    const uint8_t *assignment = &m_state.props[7][4 * button];
    const int count = m_state.props[1][0];
    const int active = m_state.props[2][0];
    QueueItem item;
    item.kind = QueueItem::Data;
    if (assignment[0] == 3) {
        int stage = active;
        switch (assignment[1]) {
        case 1:
            stage = (active + 1) % count;
            break;
        case 2:
            stage = (active + count - 1) % count;
            break;
        case 3:
            stage = std::min(active + 1, count - 1);
            break;
        case 4:
            stage = std::max(active - 1, 0);
            break;
        default: // sniper: stage 0 while held, back on release
            sendStageReportLocked(0);
            break;
        }
        if (stage != active) {
            m_state.props[2][0] = uint8_t(stage);
            saveStateLocked();
        }
        sendStageReportLocked(stage);
        *message = std::string(buttonName(button)) + ": stage " + std::to_string(stage) + ", " +
                   std::to_string(stageDpi(m_state, stage)) + " DPI";
    } else if (assignment[0] == 4) {
        item.data = {0x02, assignment[1], 0, 0, 0, 0, 0, 0};
        emitLocked(item);
        *message = std::string(buttonName(button)) + ": mode " +
                   (assignment[1] == 1 ? "next" : "previous");
    } else {
        item.data = {0x03, uint8_t(button), 0, 0, 0, 0, 0, 0};
        emitLocked(item);
        *message = std::string(buttonName(button)) + " pressed";
    }
    logLocked("press " + std::to_string(button));
    return true;
}

bool Simulator::setFaults(unsigned faults)
{
    Lock lock(*this);
    if (!lock.held())
        return false;
    m_state.faults = faults;
    saveStateLocked();
    logLocked("faults=" + std::to_string(faults));
    return true;
}

bool Simulator::setBootDelay(int ms)
{
    Lock lock(*this);
    if (!lock.held())
        return false;
    m_state.bootDelayMs = ms;
    saveStateLocked();
    logLocked("bootDelay=" + std::to_string(ms));
    return true;
}

bool Simulator::setUnplugAfter(int count, const std::string &op)
{
    Lock lock(*this);
    if (!lock.held())
        return false;
    m_state.unplugAfter = count;
    m_state.unplugOp = op;
    saveStateLocked();
    logLocked("unplugAfter=" + std::to_string(count) + " " + op);
    return true;
}

bool Simulator::factoryReset()
{
    Lock lock(*this);
    if (!lock.held())
        return false;
    const Visible before = visibleDevice(m_state);
    m_state = factoryState(m_state.serial.empty() ? newSerial() : m_state.serial);
    m_state.modeSince = nowMs();
    m_memory.assign(kMemorySize, 0);
    m_rom.assign(kRomSize, 0xff);
    saveStateLocked();
    saveMemoryLocked();
    saveRomLocked();
    emitVisibilityChangeLocked(before);
    logLocked("factory reset");
    return true;
}

bool Simulator::holdLock(int ms, const std::function<void()> &whileHeld)
{
    Lock lock(*this);
    if (!lock.held())
        return false;
    if (whileHeld)
        whileHeld();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return true;
}

MouseState Simulator::snapshot(bool *current)
{
    Lock lock(*this);
    if (current)
        *current = lock.held();
    return m_state;
}

std::vector<uint8_t> Simulator::memory(uint32_t address, uint32_t size)
{
    Lock lock(*this);
    if (!lock.held() || uint64_t(address) + size > kMemorySize)
        return {};
    return std::vector<uint8_t>(m_memory.begin() + address, m_memory.begin() + address + size);
}

std::vector<uint8_t> Simulator::rom()
{
    Lock lock(*this);
    if (!lock.held())
        return {};
    return std::vector<uint8_t>(m_rom.begin(), m_rom.begin() + m_state.romWritten);
}

} // namespace kelv::sim
