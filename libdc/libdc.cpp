// The exported entry points of libdc and the library's own thread, which delivers device
// events and data reports to the registered callbacks.

#include "libdc/libdc.h"

#include "libdc/ratbag_service.h"
#include "libdc/simulator.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#ifdef _WIN32
#include <windows.h>
#endif
#include <mutex>
#include <string>
#include <thread>

namespace kelv::sim {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(20);
// While nothing is due, the thread sleeps until the state folder changes; it
// still looks once in this while (a change the watch could not see).
constexpr int kIdleWaitMs = 30000;

// The state folder: $DC_SIM_DIR, else the one for the library's program folder
// ("simulator" beside the library file itself, or the user's own).
std::string stateFolder()
{
    const char *env = std::getenv("DC_SIM_DIR");
    if (env && *env)
        return env;
    return files::stateFolderFor(files::moduleFolder(reinterpret_cast<const void *>(&stateFolder)));
}

class Library
{
public:
    // An item the state folder could not take reaches the thread without the
    // folder's notice: it is woken as for a post.
    Library()
    {
        m_sim.setLocalItemWake([this] { wakeThread(); });
    }

    ~Library()
    {
        {
            std::lock_guard<std::mutex> guard(m_threadMutex);
            m_stop = true;
            if (m_folderWatch)
                m_folderWatch->wake();
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    // Every entry point starts here: follows DC_SIM_DIR and starts the threads once.
    Simulator &session()
    {
        const std::string folder = stateFolder();
        const bool moved = m_sim.setFolder(folder);
        m_ratbag.start([this](const std::vector<uint32_t> &events) { post(events); },
                       [this](const std::array<uint8_t, 8> &report) { post(report); }, folder);
        // The thread may be idle on the earlier folder, where nothing changes any more:
        // it is woken to watch this one.
        if (moved)
            wakeThread();
        std::lock_guard<std::mutex> guard(m_threadMutex);
        if (!m_thread.joinable() && !m_stop) {
#ifdef _WIN32
            // The library stays loaded once its thread runs: unloading it
            // would have to end the thread from inside DllMain, under the
            // loader lock that the ending thread needs too.
            HMODULE self = nullptr;
            GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                   GET_MODULE_HANDLE_EX_FLAG_PIN,
                               reinterpret_cast<LPCWSTR>(&stateFolder), &self);
#endif
            m_thread = std::thread([this] { run(); });
        }
        return m_sim;
    }

    void setEventCallback(DcEventCallback callback)
    {
        m_event.store(callback);
    }

    ratbag::Service &ratbag()
    {
        session();
        return m_ratbag;
    }

    void setDataCallback(DcDataCallback callback, const char16_t *id)
    {
        std::lock_guard<std::mutex> guard(m_dataMutex);
        m_data = callback;
        m_dataId.clear();
        for (size_t i = 0; id && id[i] != 0 && i < 255; ++i)
            m_dataId += id[i];
    }

private:
    // What the ratbagd service sends, from its thread: delivered by this library's thread
    // after the simulated mouse's items, a burst in one piece.
    void post(const std::vector<uint32_t> &events)
    {
        {
            std::lock_guard<std::mutex> guard(m_outboxMutex);
            for (const uint32_t event : events) {
                QueueItem item;
                item.event = event;
                m_outbox.push_back(item);
            }
        }
        wakeThread();
    }

    void post(const std::array<uint8_t, 8> &report)
    {
        QueueItem item;
        item.kind = QueueItem::Data;
        item.data = report;
        {
            std::lock_guard<std::mutex> guard(m_outboxMutex);
            m_outbox.push_back(item);
        }
        wakeThread();
    }

    std::vector<QueueItem> takeOutbox()
    {
        std::lock_guard<std::mutex> guard(m_outboxMutex);
        std::vector<QueueItem> items(m_outbox.begin(), m_outbox.end());
        m_outbox.clear();
        return items;
    }

    // The outbox got items: the thread delivers them now, whether it waits on the
    // condition or on the state folder.
    void wakeThread()
    {
        std::lock_guard<std::mutex> guard(m_threadMutex);
        m_posted = true;
        if (m_folderWatch)
            m_folderWatch->wake();
        m_wake.notify_all();
    }

    // Delivers what the simulated mouse queued and what the ratbagd service posted. A
    // process idle in the tray is not woken 50 times a second: unless a timed change is
    // due or the outbox got items meanwhile, the thread waits for the state folder to
    // change (another process queued an event, or this one did) or for a post.
    void run()
    {
        std::unique_ptr<files::FolderWatch> watch;
        std::unique_lock<std::mutex> lock(m_threadMutex);
        while (!m_stop) {
            m_posted = false;
            lock.unlock();
            bool soon = true;
            deliver(m_sim.poll(&soon), false);
            deliver(takeOutbox(), true);
            const std::string folder = m_sim.folder();
            if (!watch || watch->folder() != folder)
                watch = std::make_unique<files::FolderWatch>(folder);
            lock.lock();
            if (m_stop)
                break;
            if (m_posted)
                continue;
            if (soon || !watch->watching()) {
                m_wake.wait_for(lock, kPollInterval, [this] { return m_stop || m_posted; });
                continue;
            }
            m_folderWatch = watch.get();
            lock.unlock();
            watch->wait(kIdleWaitMs);
            lock.lock();
            m_folderWatch = nullptr;
        }
    }

    // fromRatbag: reports of ratbagd mice reach the data callback whichever device it was
    // registered for (byte 7 names the mouse); the simulated mouse's only its subscriber.
    void deliver(const std::vector<QueueItem> &items, bool fromRatbag)
    {
        for (const QueueItem &item : items) {
            if (item.kind == QueueItem::Event) {
                if (const DcEventCallback callback = m_event.load())
                    callback(item.event);
                continue;
            }
            // Data reports come from the mouse; they reach a subscriber of the mouse.
            DcDataCallback callback = nullptr;
            {
                std::lock_guard<std::mutex> guard(m_dataMutex);
                if (m_data && (fromRatbag || sameId(m_dataId.c_str(), kMouseHardwareId)))
                    callback = m_data;
            }
            if (callback) {
                const DcDataRecord record{item.data.data(), uint32_t(item.data.size())};
                callback(&record, 0);
            }
        }
    }

    Simulator m_sim;
    std::mutex m_outboxMutex;
    std::deque<QueueItem> m_outbox;
    std::mutex m_threadMutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_posted = false;                       // the outbox got items since the last look
    files::FolderWatch *m_folderWatch = nullptr; // while the thread waits on it
    // Members go last to first: the service (and its thread, which posts into the outbox
    // and wakes the library's thread) ends before the outbox and the thread's wake do.
    ratbag::Service m_ratbag;
    std::thread m_thread;
    std::atomic<DcEventCallback> m_event{nullptr};
    std::mutex m_dataMutex;
    DcDataCallback m_data = nullptr;
    std::u16string m_dataId;
};

Library &library()
{
#ifdef _WIN32
    // Never destroyed: the library is pinned once its thread runs, and at the
    // process's end Windows has already stopped that thread, so a destructor
    // running inside DllMain could only wait for it forever.
    static Library &instance = *new Library;
#else
    static Library instance;
#endif
    return instance;
}

Simulator &session()
{
    return library().session();
}

ratbag::Service &ratbagService()
{
    return library().ratbag();
}

// A call that names a ratbagd mouse (or the daemon, "RATBAG\") goes to the ratbagd service.
bool forRatbag(const char16_t *id)
{
    return ratbag::Service::owns(id);
}

// The common checks of a ratbagd mouse call that the mouse cannot carry out: the product
// code, then presence; `otherwise` when both pass.
int32_t refusedByRatbag(const char16_t *id, uint32_t code, int32_t otherwise)
{
    if (code != kProductCode)
        return DC_WRONG_PRODUCT;
    return ratbagService().exists(id) == DC_OK ? otherwise : DC_NOT_PRESENT;
}

// Appends the ratbagd mice to a block the simulator filled, up to 20 records in all.
void appendRatbagRecords(const uint32_t filter[20], uint8_t *block, uint32_t size)
{
    bool allZero = true, match = false;
    for (int i = 0; i < 20; ++i) {
        allZero = allZero && filter[i] == 0;
        match = match || filter[i] == kMouseInterface;
    }
    if (!block || size < 2 || !(allZero || match))
        return;
    uint32_t count = block[0] | uint32_t(block[1]) << 8;
    for (const ratbag::Listed &mouse : ratbagService().listed()) {
        if (count >= DC_LIST_MAX_RECORDS || size < 2 + (count + 1) * DC_RECORD_SIZE)
            break;
        uint8_t *record = block + 2 + count * DC_RECORD_SIZE;
        std::memset(record, 0, DC_RECORD_SIZE);
        auto text = [&](uint32_t offset, uint32_t fieldSize, const std::string &value) {
            std::memcpy(record + offset, value.data(),
                        std::min<size_t>(value.size(), fieldSize - 1));
        };
        auto wide = [&](uint32_t offset, const std::string &value) {
            for (uint32_t i = 0; i < value.size() && i < DC_RECORD_UTF16_FIELD_SIZE / 2 - 1; ++i)
                record[offset + 2 * i] = uint8_t(value[i]);
        };
        text(DC_RECORD_DEVICE_ID, DC_RECORD_DEVICE_ID_SIZE, mouse.deviceId);
        text(DC_RECORD_VERSION, DC_RECORD_VERSION_SIZE, mouse.version);
        text(DC_RECORD_SN, DC_RECORD_SN_SIZE, mouse.sn);
        std::memcpy(record + DC_RECORD_MASK, "01", DC_RECORD_MASK_SIZE);
        text(DC_RECORD_NAME, DC_RECORD_NAME_SIZE, mouse.name);
        text(DC_RECORD_MODEL, DC_RECORD_MODEL_SIZE, mouse.model);
        wide(DC_RECORD_DEVICE_PATH, mouse.devicePath);
        wide(DC_RECORD_HARDWARE_ID, mouse.hardwareId);
        ++count;
    }
    block[0] = uint8_t(count & 0xff);
    block[1] = uint8_t(count >> 8);
}

} // namespace
} // namespace kelv::sim

using kelv::sim::forRatbag;
using kelv::sim::ratbagService;
using kelv::sim::refusedByRatbag;
using kelv::sim::session;

extern "C" {

int32_t DC_CALL dcDeviceExist(const char16_t *id)
{
    if (forRatbag(id))
        return ratbagService().exists(id);
    return session().deviceExist(id);
}

int32_t DC_CALL dcDevices(DcFilter filter, uint8_t *block, uint32_t size)
{
    const int32_t r = session().devices(filter.words, block, size);
    // Another process holding the simulated mouse makes only that mouse busy: the ratbagd
    // mice are listed all the same, without it.
    if (r == DC_BUSY && block && size >= 2)
        block[0] = block[1] = 0;
    if (r == DC_OK || r == DC_BUSY)
        kelv::sim::appendRatbagRecords(filter.words, block, size);
    return r;
}

int32_t DC_CALL dcOnDeviceEvent(const DcEventCallback *holder)
{
    if (!holder)
        return DC_BAD_ARGUMENT;
    session();
    kelv::sim::library().setEventCallback(*holder);
    return DC_OK;
}

int32_t DC_CALL dconDeviceData(const char16_t *hardwareId, const char16_t *devicePath,
                               uint32_t code, const DcDataCallback *holder)
{
    (void)devicePath;
    if (!holder)
        return DC_BAD_ARGUMENT;
    if (forRatbag(hardwareId)) {
        if (const int32_t r = refusedByRatbag(hardwareId, code, DC_OK))
            return r;
    } else if (const int32_t r = session().subscribeCheck(hardwareId, code)) {
        return r;
    }
    kelv::sim::library().setDataCallback(*holder, hardwareId);
    return DC_OK;
}

int32_t DC_CALL dcAsk(const char16_t *id, const char16_t *, uint32_t code, uint32_t question,
                      char *answer, uint32_t size)
{
    if (forRatbag(id))
        return code != DC_PRODUCT_CODE ? DC_WRONG_PRODUCT
                                       : ratbagService().ask(id, question, answer, size);
    return session().ask(id, code, question, answer, size);
}

int32_t DC_CALL dcReset(const char16_t *id, const char16_t *, uint32_t code, uint16_t value,
                        uint8_t *out, uint32_t)
{
    if (forRatbag(id))
        return refusedByRatbag(id, code, DC_WRONG_MODE); // no boot loader through ratbagd
    return session().reset(id, code, value, out);
}

int32_t DC_CALL dcNotify(const char16_t *id, const char16_t *, uint32_t code, uint16_t value,
                         uint8_t *out, uint32_t)
{
    if (forRatbag(id))
        return code != DC_PRODUCT_CODE ? DC_WRONG_PRODUCT : ratbagService().notify(id, value, out);
    return session().notify(id, code, value, out);
}

int32_t DC_CALL dcRead(const char16_t *id, const char16_t *, uint32_t code, uint8_t *buf,
                       uint32_t size, uint32_t address)
{
    if (forRatbag(id))
        return code != DC_PRODUCT_CODE ? DC_WRONG_PRODUCT
                                       : ratbagService().read(id, buf, size, address);
    return session().read(id, code, buf, size, address);
}

int32_t DC_CALL dcWrite(const char16_t *id, const char16_t *, uint32_t code, const uint8_t *buf,
                        uint32_t size, uint32_t address)
{
    if (forRatbag(id))
        return code != DC_PRODUCT_CODE ? DC_WRONG_PRODUCT
                                       : ratbagService().write(id, buf, size, address);
    return session().write(id, code, buf, size, address);
}

int32_t DC_CALL dcReadProp(const char16_t *id, const char16_t *, uint32_t code, uint8_t *buf,
                           uint32_t size, uint32_t propId)
{
    if (forRatbag(id))
        return code != DC_PRODUCT_CODE ? DC_WRONG_PRODUCT
                                       : ratbagService().readProp(id, buf, size, propId);
    return session().readProp(id, code, buf, size, propId);
}

int32_t DC_CALL dcWriteProp(const char16_t *id, const char16_t *, uint32_t code, const uint8_t *buf,
                            uint32_t size, uint32_t propId)
{
    if (forRatbag(id))
        return code != DC_PRODUCT_CODE ? DC_WRONG_PRODUCT
                                       : ratbagService().writeProp(id, buf, size, propId);
    return session().writeProp(id, code, buf, size, propId);
}

int32_t DC_CALL dcScriptOut(const char16_t *id, const char16_t *, uint32_t code, char *script,
                            uint32_t size)
{
    if (forRatbag(id))
        return code != DC_PRODUCT_CODE ? DC_WRONG_PRODUCT
                                       : ratbagService().scriptOut(id, script, size);
    return session().scriptOut(id, code, script, size);
}

int32_t DC_CALL dcIDWrite(const char16_t *id, const char16_t *, uint32_t code, const char *serial)
{
    if (forRatbag(id))
        return refusedByRatbag(id, code, DC_BAD_ARGUMENT); // ratbagd keeps no serial numbers
    return session().idWrite(id, code, serial);
}

int32_t DC_CALL dcRebootRom(const char16_t *id, const char16_t *, uint32_t code)
{
    if (forRatbag(id))
        return refusedByRatbag(id, code, DC_WRONG_MODE);
    return session().rebootRom(id, code);
}

int32_t DC_CALL dcFinishUpdateRom(const char16_t *id, const char16_t *, uint32_t code)
{
    if (forRatbag(id))
        return refusedByRatbag(id, code, DC_WRONG_MODE);
    return session().finishUpdateRom(id, code);
}

int32_t DC_CALL dcCheckRom(const char16_t *id, const char16_t *, uint32_t code, uint32_t length,
                           uint32_t check)
{
    if (forRatbag(id))
        return refusedByRatbag(id, code, DC_WRONG_MODE);
    return session().checkRom(id, code, length, check);
}

int32_t DC_CALL dcBornRom(const char16_t *id, const char16_t *, uint32_t code, const uint8_t *buf,
                          uint32_t length, uint32_t offset)
{
    if (forRatbag(id))
        return refusedByRatbag(id, code, DC_WRONG_MODE);
    return session().bornRom(id, code, buf, length, offset);
}

int32_t DC_CALL dcEraseRom(const char16_t *id, const char16_t *, uint32_t code)
{
    if (forRatbag(id))
        return refusedByRatbag(id, code, DC_WRONG_MODE);
    return session().eraseRom(id, code);
}

} // extern "C"
