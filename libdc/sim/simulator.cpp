#include "libdc/sim/simulator.h"

#include "libdc/libdc.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#ifndef _WIN32
#include <sys/file.h>
#endif
#include <thread>

namespace kelv::sim {

using namespace files;

namespace {

constexpr int64_t kQueueRotateSize = 256 * 1024;
constexpr int64_t kLogRotateSize = 1024 * 1024;

// How long a call waits for the state folder's lock before it fails with DC_BUSY. After a
// call has timed out the next ones wait only briefly until the lock is free again, so a
// process stopped while holding the lock costs one long wait, not one per call.
constexpr auto kLockTimeout = std::chrono::milliseconds(2000);
constexpr auto kBusyLockTimeout = std::chrono::milliseconds(100);

// The one operating-system call of the lock: takes the lock file without waiting (flock;
// on Windows the LockFileEx form of sim_files_win.cpp, with LOCKFILE_FAIL_IMMEDIATELY).
bool tryLockFile(int fd)
{
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

void unlockFile(int fd)
{
    ::flock(fd, LOCK_UN);
}

// Takes the lock file before the deadline; polls with short sleeps, so a wait never spins.
// Retries tryLock with a growing pause until it succeeds or the deadline passes.
template <typename TryLock>
bool lockBefore(TryLock tryLock, std::chrono::steady_clock::time_point deadline)
{
    auto pause = std::chrono::microseconds(200);
    while (!tryLock()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(5));
    }
    return true;
}

bool lockFileBefore(int fd, std::chrono::steady_clock::time_point deadline)
{
    return lockBefore([fd] { return tryLockFile(fd); }, deadline);
}

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

// Holds the process mutex and the folder's lock, and brings the cached state up to date.
// Both are waited for until a deadline; a lock that was not taken is not held() and the
// call answers DC_BUSY.
class Simulator::Lock
{
public:
    explicit Lock(Simulator &sim) : m_sim(sim), m_guard(sim.m_mutex, std::defer_lock)
    {
        const auto deadline = std::chrono::steady_clock::now() +
                              (m_sim.m_lockBusy.load() ? kBusyLockTimeout : kLockTimeout);
        // Polled with try_lock: timed_mutex::try_lock_until waits in
        // pthread_mutex_clocklock, which this toolchain's ThreadSanitizer does not
        // see, so it would take every contended wait for a race.
        if (!lockBefore([this] { return m_guard.try_lock(); }, deadline)) {
            // Another thread of this process is still waiting for the folder.
            m_sim.m_lockBusy = true;
            return;
        }
        if (m_sim.m_lockFd >= 0 && !lockFileBefore(m_sim.m_lockFd, deadline)) {
            m_guard.unlock();
            m_sim.m_lockBusy = true;
            return;
        }
        m_sim.m_lockBusy = false;
        m_fileLocked = m_sim.m_lockFd >= 0;
        m_held = true;
        m_sim.refreshLocked();
    }
    ~Lock()
    {
        if (m_fileLocked)
            unlockFile(m_sim.m_lockFd);
    }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

    bool held() const { return m_held; }

private:
    Simulator &m_sim;
    std::unique_lock<std::timed_mutex> m_guard;
    bool m_fileLocked = false;
    bool m_held = false;
};

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

// --- queue and log -------------------------------------------------------------------

void Simulator::emitLocked(const QueueItem &item)
{
    char line[48];
    if (item.kind == QueueItem::Event)
        std::snprintf(line, sizeof line, "E %08x\n", unsigned(item.event));
    else
        std::snprintf(line, sizeof line, "D %s\n",
                      hexBytes(item.data.data(), item.data.size()).c_str());
    bool queued = false;
    if (m_folderReady) {
        const std::string file = path("queue");
        if (fileId(file).size > kQueueRotateSize)
            writeAtomically(file, "", 0);
        queued = appendLine(file, line);
    }
    // Without a working folder the item still reaches this process's callbacks.
    if (!queued) {
        m_local.push_back(item);
        if (m_localItemWake)
            m_localItemWake();
    }
}

void Simulator::emitVisibilityChangeLocked(Visible before)
{
    const Visible after = visibleDevice(m_state);
    if (before == after)
        return;
    // A composite device: the host reports every interface's arrival or removal, so each
    // change is a burst of kInterfaceCount equal events.
    auto burst = [this](uint32_t event) {
        QueueItem item;
        item.event = event;
        for (int i = 0; i < kInterfaceCount; ++i)
            emitLocked(item);
    };
    if (before != Visible::None)
        burst(2u | uint32_t(productId(before)) << 16);
    if (after != Visible::None)
        burst(1u | uint32_t(productId(after)) << 16);
}

void Simulator::logLocked(const std::string &line)
{
    if (!m_folderReady)
        return;
    const std::string file = path("dc.log");
    if (fileId(file).size > kLogRotateSize)
        replaceFile(file, file + ".1");
    char stamp[64];
    const std::time_t now = std::time(nullptr);
    const struct tm local = localTime(now);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    appendLine(file, std::string(stamp) + " [" + std::to_string(processId()) + "] " + line + "\n");
}

void Simulator::closeQueueLocked()
{
    if (m_queueFd >= 0)
        closeFile(m_queueFd);
    m_queueFd = -1;
    m_queueId = FileId();
    m_queuePartial.clear();
}

void Simulator::openQueueAtEndLocked()
{
    closeQueueLocked();
    if (!m_folderReady)
        return;
    m_queueFd = openFile(path("queue"), Open::ReadCreate);
    if (m_queueFd < 0)
        return;
    m_queueId = fileIdOf(m_queueFd);
    seekToEnd(m_queueFd);
}

void Simulator::readQueueLocked(std::vector<QueueItem> *items)
{
    auto drain = [&]() {
        char buffer[8192];
        for (long n; (n = readSome(m_queueFd, buffer, sizeof buffer)) > 0;)
            m_queuePartial.append(buffer, size_t(n));
        size_t start = 0;
        for (size_t nl; (nl = m_queuePartial.find('\n', start)) != std::string::npos;
             start = nl + 1) {
            const std::string line = m_queuePartial.substr(start, nl - start);
            QueueItem item;
            std::vector<uint8_t> bytes;
            if (line.size() == 10 && line.compare(0, 2, "E ") == 0 &&
                parseHexBytes(line.substr(2), &bytes) && bytes.size() == 4) {
                item.kind = QueueItem::Event;
                item.event = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 |
                             uint32_t(bytes[2]) << 8 | bytes[3];
                items->push_back(item);
            } else if (line.size() == 18 && line.compare(0, 2, "D ") == 0 &&
                       parseHexBytes(line.substr(2), &bytes) && bytes.size() == 8) {
                item.kind = QueueItem::Data;
                std::copy(bytes.begin(), bytes.end(), item.data.begin());
                items->push_back(item);
            }
        }
        m_queuePartial.erase(0, start);
    };

    if (!m_folderReady)
        return;
    const std::string file = path("queue");
    if (m_queueFd < 0) {
        // The queue appeared after we started: everything in it is new.
        m_queueFd = openFile(file, Open::Read);
        if (m_queueFd < 0)
            return;
        m_queueId = fileIdOf(m_queueFd);
    }
    drain();
    const FileId current = fileId(file);
    if (current.size >= 0 && (current.ino != m_queueId.ino || current.dev != m_queueId.dev)) {
        // Rotated: finish the old file, then read the new one from its start.
        drain();
        closeFile(m_queueFd);
        m_queuePartial.clear();
        m_queueFd = openFile(file, Open::Read);
        if (m_queueFd < 0)
            return;
        m_queueId = fileIdOf(m_queueFd);
        drain();
    }
}

std::vector<QueueItem> Simulator::poll(bool *soon)
{
    Lock lock(*this);
    if (soon)
        *soon = true;
    if (!lock.held())
        return {};
    std::vector<QueueItem> items(m_local.begin(), m_local.end());
    m_local.clear();
    readQueueLocked(&items);
    if (soon)
        *soon = !m_folderReady || m_state.mode == Mode::ToBoot || m_state.mode == Mode::ToMouse;
    return items;
}

// --- device calls --------------------------------------------------------------------

int32_t Simulator::admitLocked(const char16_t *id, uint32_t code, Visible needs, Visible *which)
{
    if (code != kProductCode)
        return DC_WRONG_PRODUCT;
    const Visible visible = visibleDevice(m_state);
    Visible named = Visible::None;
    if (visible == Visible::Mouse && sameId(id, kMouseHardwareId))
        named = Visible::Mouse;
    else if (visible == Visible::Boot && sameId(id, kBootHardwareId))
        named = Visible::Boot;
    if (named == Visible::None)
        return DC_NOT_PRESENT;
    if (needs != Visible::None && named != needs)
        return DC_WRONG_MODE;
    if (which)
        *which = named;
    return DC_OK;
}

int32_t Simulator::faultLocked(unsigned fault, OpKind kind)
{
    if (m_state.faults & fault)
        return DC_DEVICE_FAULT;
    if (m_state.unplugAfter < 0)
        return DC_OK;
    static const char *const kinds[] = {"read", "write", "notify", "rom"};
    if (m_state.unplugOp != "any" && m_state.unplugOp != kinds[int(kind)])
        return DC_OK;
    if (m_state.unplugAfter > 0) {
        --m_state.unplugAfter;
        saveStateLocked();
        return DC_OK;
    }
    // The device goes away in the middle of this call.
    const Visible before = visibleDevice(m_state);
    m_state.plugged = false;
    m_state.unplugAfter = -1;
    saveStateLocked();
    logLocked(std::string("unplugged during ") + kinds[int(kind)]);
    emitVisibilityChangeLocked(before);
    return DC_NOT_PRESENT;
}

int32_t Simulator::deviceExist(const char16_t *id)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    return admitLocked(id, kProductCode, Visible::None, nullptr);
}

int32_t Simulator::list(const uint32_t filter[20], std::vector<dc::Record> *out)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    const Visible visible = visibleDevice(m_state);
    const bool boot = visible == Visible::Boot;
    if (visible == Visible::None ||
        !dc::filterAdmits(filter, boot ? kBootInterface : kMouseInterface))
        return DC_OK;
    dc::Record r;
    r.deviceId = boot ? kBootDeviceId : kMouseDeviceId;
    r.version = boot ? "boot" : m_state.version;
    r.sn = m_state.serial;
    r.mask = boot ? "00" : "01";
    r.devicePath = boot ? kBootDevicePath : kMouseDevicePath;
    r.hardwareId = boot ? kBootHardwareId : kMouseHardwareId;
    out->push_back(std::move(r));
    return DC_OK;
}

int32_t Simulator::subscribeCheck(const char16_t *id, uint32_t code)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    return admitLocked(id, code, Visible::None, nullptr);
}

int32_t Simulator::ask(const char16_t *id, uint32_t code, uint32_t question, char *answer,
                       uint32_t size)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    Visible which = Visible::None;
    if (const int32_t r = admitLocked(id, code, Visible::None, &which))
        return r;
    std::string text;
    switch (question) {
    case 1:
        text = which == Visible::Boot ? "boot" : m_state.version;
        break;
    case 2:
        text = m_state.serial;
        break;
    case 3:
        text = which == Visible::Boot ? "boot" : "mouse";
        break;
    default:
        return DC_BAD_ARGUMENT;
    }
    return copyText(text, answer, size);
}

int32_t Simulator::reset(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    if (out)
        *out = 0;
    Visible which = Visible::None;
    int32_t r = admitLocked(id, code, Visible::None, &which);
    if (r == DC_OK && value != 1)
        r = DC_BAD_ARGUMENT;
    if (r == DC_OK)
        r = faultLocked(FaultNotify, OpKind::Notify);
    if (r == DC_OK && which == Visible::Mouse) {
        const Visible before = visibleDevice(m_state);
        setModeLocked(Mode::ToBoot);
        saveStateLocked();
        emitVisibilityChangeLocked(before);
    }
    logLocked("reset value=" + std::to_string(value) + " result=" + std::to_string(r));
    if (r == DC_OK && out)
        *out = 1;
    return r;
}

void Simulator::sendStageReportLocked(int stage)
{
    QueueItem item;
    item.kind = QueueItem::Data;
    const uint16_t dpi = stageDpi(m_state, stage);
    item.data = {0x01, uint8_t(stage), uint8_t(dpi & 0xff), uint8_t(dpi >> 8), 0, 0, 0, 0};
    emitLocked(item);
}

int32_t Simulator::notify(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out)
{
    Lock lock(*this);
    if (!lock.held())
        return m_lastResult = DC_BUSY;
    if (out)
        *out = 0;
    const unsigned type = value & 0xff, data = value >> 8;
    int32_t r = admitLocked(id, code, Visible::Mouse, nullptr);
    // Factory reset (2) and save (4) take no data: anything but 0 is refused.
    if (r == DC_OK && (type < 1 || type > 4 || (type == 1 && data >= m_state.props[1][0]) ||
                       ((type == 2 || type == 4) && data != 0)))
        r = DC_BAD_ARGUMENT;
    if (r == DC_OK)
        r = faultLocked(FaultNotify, OpKind::Notify);
    if (r == DC_OK) {
        switch (type) {
        case 1:
            m_state.props[2][0] = uint8_t(data);
            saveStateLocked();
            sendStageReportLocked(int(data));
            break;
        case 2:
            setFactoryProperties(m_state);
            m_memory.assign(kMemorySize, 0);
            saveStateLocked();
            saveMemoryLocked();
            break;
        case 3:
            logLocked("identify: blinking for " + std::to_string(data) + " s");
            break;
        default:
            break;
        }
    }
    logLocked("notify type=" + std::to_string(type) + " data=" + std::to_string(data) +
              " result=" + std::to_string(r));
    if (r == DC_OK && out)
        *out = 1;
    m_lastResult = r;
    return r;
}

int32_t Simulator::read(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size,
                        uint32_t address)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    if (const int32_t r = admitLocked(id, code, Visible::Mouse, nullptr))
        return r;
    if (!buf || size > DC_TRANSFER_SIZE || uint64_t(address) + size > kMemorySize)
        return DC_BAD_ARGUMENT;
    if (const int32_t r = faultLocked(FaultRead, OpKind::Read))
        return r;
    std::memcpy(buf, m_memory.data() + address, size);
    return DC_OK;
}

int32_t Simulator::write(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                         uint32_t address)
{
    Lock lock(*this);
    if (!lock.held())
        return m_lastResult = DC_BUSY;
    int32_t r = admitLocked(id, code, Visible::Mouse, nullptr);
    if (r == DC_OK && (!buf || size > DC_TRANSFER_SIZE || uint64_t(address) + size > kMemorySize))
        r = DC_BAD_ARGUMENT;
    if (r == DC_OK)
        r = faultLocked(FaultWrite, OpKind::Write);
    if (r == DC_OK && size > 0) {
        std::memcpy(m_memory.data() + address, buf, size);
        saveMemoryLocked();
    }
    char line[96];
    std::snprintf(line, sizeof line, "write address=0x%04x size=%u result=%d", unsigned(address),
                  unsigned(size), int(r));
    logLocked(line);
    m_lastResult = r;
    return r;
}

int32_t Simulator::readProp(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size,
                            uint32_t propId)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    if (const int32_t r = admitLocked(id, code, Visible::Mouse, nullptr))
        return r;
    const bool answered = propId == DC_PROP_DESCRIPTION || propId == DC_PROP_LAST_RESULT;
    if (!buf || size > DC_TRANSFER_SIZE || (propertySize(propId) == 0 && !answered))
        return DC_BAD_ARGUMENT;
    if (const int32_t r = faultLocked(FaultRead, OpKind::Read))
        return r;
    if (answered) {
        std::vector<uint8_t> bytes;
        if (propId == DC_PROP_LAST_RESULT) {
            bytes.push_back(uint8_t(m_lastResult));
        } else {
            const std::string text = mouseDescription();
            bytes.assign(text.begin(), text.end());
        }
        const uint32_t n = std::min<uint32_t>(size, uint32_t(bytes.size()));
        std::memcpy(buf, bytes.data(), n);
        std::memset(buf + n, 0, size - n);
        return DC_OK;
    }
    const std::vector<uint8_t> &value = m_state.props[propId];
    const uint32_t n = std::min<uint32_t>(size, uint32_t(value.size()));
    std::memcpy(buf, value.data(), n);
    std::memset(buf + n, 0, size - n);
    return DC_OK;
}

int32_t Simulator::writeProp(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                             uint32_t propId)
{
    Lock lock(*this);
    if (!lock.held())
        return m_lastResult = DC_BUSY;
    int32_t r = admitLocked(id, code, Visible::Mouse, nullptr);
    MouseState changed = m_state;
    if (r == DC_OK) {
        if (!buf || propertySize(propId) == 0 || size > propertySize(propId)) {
            r = DC_BAD_ARGUMENT;
        } else {
            std::copy_n(buf, size, changed.props[propId].begin());
            // Fewer stages than the active one: the last stage becomes active.
            if (propId == 1 && changed.props[2][0] >= changed.props[1][0] &&
                changed.props[1][0] >= 1)
                changed.props[2][0] = uint8_t(changed.props[1][0] - 1);
            if (!propertiesValid(changed))
                r = DC_BAD_ARGUMENT;
        }
    }
    if (r == DC_OK)
        r = faultLocked(FaultWrite, OpKind::Write);
    if (r == DC_OK && size > 0) {
        changed.unplugAfter = m_state.unplugAfter; // the countdown may have moved
        const uint8_t stageBefore = m_state.props[2][0];
        const uint8_t effectBefore = m_state.props[8][0];
        m_state = changed;
        saveStateLocked();
        // The mouse reports what changed on it, whichever way the change came.
        if (m_state.props[2][0] != stageBefore)
            sendStageReportLocked(m_state.props[2][0]);
        if (m_state.props[8][0] != effectBefore) {
            QueueItem item;
            item.kind = QueueItem::Data;
            item.data = {0x04, m_state.props[8][0], 0, 0, 0, 0, 0, 0};
            emitLocked(item);
        }
    }
    logLocked("writeProp id=" + std::to_string(propId) + " size=" + std::to_string(size) +
              " result=" + std::to_string(r));
    m_lastResult = r;
    return r;
}

int32_t Simulator::scriptOut(const char16_t *id, uint32_t code, char *script, uint32_t size)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    if (const int32_t r = admitLocked(id, code, Visible::Mouse, nullptr))
        return r;
    std::string text;
    for (int p = 1; p <= kPropertyCount; ++p)
        text += "prop " + std::to_string(p) + " " +
                hexBytes(m_state.props[p].data(), m_state.props[p].size()) + "\n";
    return copyText(text, script, size);
}

int32_t Simulator::idWrite(const char16_t *id, uint32_t code, const char *serial)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    int32_t r = admitLocked(id, code, Visible::Mouse, nullptr);
    std::string value;
    if (r == DC_OK) {
        value = serial ? std::string(serial, strnlen(serial, 14)) : std::string();
        bool ok = !value.empty() && value.size() <= 13;
        for (char c : value)
            ok = ok && c > 0x20 && c < 0x7f;
        if (!ok)
            r = DC_BAD_ARGUMENT;
    }
    if (r == DC_OK)
        r = faultLocked(FaultWrite, OpKind::Write);
    if (r == DC_OK) {
        m_state.serial = value;
        saveStateLocked();
    }
    logLocked("idWrite result=" + std::to_string(r));
    return r;
}

int32_t Simulator::rebootRom(const char16_t *id, uint32_t code)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    Visible which = Visible::None;
    int32_t r = admitLocked(id, code, Visible::None, &which);
    // An erased ROM holds no firmware to start: the boot loader stays.
    if (r == DC_OK && which == Visible::Boot && m_state.romErased)
        r = DC_WRONG_MODE;
    if (r == DC_OK) {
        const Visible before = visibleDevice(m_state);
        setModeLocked(Mode::ToMouse);
        saveStateLocked();
        emitVisibilityChangeLocked(before);
    }
    logLocked("reboot result=" + std::to_string(r));
    return r;
}

int32_t Simulator::eraseRom(const char16_t *id, uint32_t code)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    int32_t r = admitLocked(id, code, Visible::Boot, nullptr);
    if (r == DC_OK)
        r = faultLocked(FaultWrite, OpKind::Rom);
    if (r == DC_OK) {
        m_rom.assign(kRomSize, 0xff);
        m_state.romErased = true;
        m_state.romWritten = 0;
        m_state.romChecked = false;
        m_state.romCheckedLength = 0;
        saveRomLocked();
        saveStateLocked();
    }
    logLocked("erase result=" + std::to_string(r));
    return r;
}

int32_t Simulator::bornRom(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t length,
                           uint32_t offset)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    int32_t r = admitLocked(id, code, Visible::Boot, nullptr);
    // An empty chunk is a valid no-op: the flashing sequence ends with one
    // whenever the image length is a multiple of the chunk size.
    if (r == DC_OK && ((!buf && length != 0) || length > DC_ROM_CHUNK_MAX ||
                       uint64_t(offset) + length > kRomSize))
        r = DC_BAD_ARGUMENT;
    if (r == DC_OK && !m_state.romErased)
        r = DC_WRONG_MODE;
    if (r == DC_OK)
        r = faultLocked(FaultWrite, OpKind::Rom);
    if (r == DC_OK && length != 0) {
        std::memcpy(m_rom.data() + offset, buf, length);
        m_state.romWritten = std::max(m_state.romWritten, offset + length);
        m_state.romChecked = false;
        saveRomLocked();
        saveStateLocked();
    }
    logLocked("born offset=" + std::to_string(offset) + " length=" + std::to_string(length) +
              " result=" + std::to_string(r));
    return r;
}

int32_t Simulator::checkRom(const char16_t *id, uint32_t code, uint32_t length, uint32_t check)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    int32_t r = admitLocked(id, code, Visible::Boot, nullptr);
    if (r == DC_OK)
        r = faultLocked(0, OpKind::Rom);
    uint32_t crc = 0;
    if (r == DC_OK) {
        if (length == 0 || length > m_state.romWritten) {
            r = DC_CHECK_FAILED;
        } else {
            crc = crc32(m_rom.data(), length);
            if (crc != check)
                r = DC_CHECK_FAILED;
        }
        m_state.romChecked = r == DC_OK;
        m_state.romCheckedLength = r == DC_OK ? length : 0;
        saveStateLocked();
    }
    char line[128];
    std::snprintf(line, sizeof line, "check length=%u crc=%08x rom=%08x result=%d",
                  unsigned(length), unsigned(check), unsigned(crc), int(r));
    logLocked(line);
    return r;
}

int32_t Simulator::finishUpdateRom(const char16_t *id, uint32_t code)
{
    Lock lock(*this);
    if (!lock.held())
        return DC_BUSY;
    int32_t r = admitLocked(id, code, Visible::Boot, nullptr);
    if (r == DC_OK)
        r = faultLocked(0, OpKind::Rom);
    if (r == DC_OK && !m_state.romChecked)
        r = DC_CHECK_FAILED;
    if (r == DC_OK) {
        // The version travels in the firmware: "KFW1" and 16 bytes of text.
        const uint32_t length = m_state.romCheckedLength;
        std::string version;
        if (length >= 20 && std::memcmp(m_rom.data(), "KFW1", 4) == 0) {
            for (uint32_t i = 4; i < 20 && m_rom[i] != 0; ++i) {
                if (m_rom[i] > 0x20 && m_rom[i] < 0x7f)
                    version += char(m_rom[i]);
            }
        }
        if (version.empty())
            version = "1.0." + std::to_string(length);
        m_state.version = version;
        m_state.romErased = false;
        m_state.romChecked = false;
        const Visible before = visibleDevice(m_state);
        setModeLocked(Mode::ToMouse);
        saveStateLocked();
        emitVisibilityChangeLocked(before);
    }
    logLocked("finish version=" + m_state.version + " result=" + std::to_string(r));
    return r;
}

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
