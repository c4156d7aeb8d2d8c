#include "libdc/sim/simulator.h"
#include "libdc/sim/simulator_lock.h"

#include <cstdio>
#include <ctime>

namespace kelv::sim {

using namespace files;

namespace {

constexpr int64_t kQueueRotateSize = 256 * 1024;
constexpr int64_t kLogRotateSize = 1024 * 1024;

} // namespace

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

} // namespace kelv::sim
