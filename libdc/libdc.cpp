// The exported entry points of libdc and the library's own thread, which delivers device
// events and data reports to the registered callbacks.

#include "libdc/libdc.h"

#include "libdc/simulator.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
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

// The state folder: $DC_SIM_DIR, else "simulator" beside the library file itself.
std::string stateFolder()
{
    const char *env = std::getenv("DC_SIM_DIR");
    if (env && *env)
        return env;
    const std::string folder = files::moduleFolder(reinterpret_cast<const void *>(&stateFolder));
    return folder.empty() ? std::string("simulator") : folder + "/simulator";
}

class Library
{
public:
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

    // Every entry point starts here: follows DC_SIM_DIR and starts the thread once.
    Simulator &session()
    {
        m_sim.setFolder(stateFolder());
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

    void setDataCallback(DcDataCallback callback, const char16_t *id)
    {
        std::lock_guard<std::mutex> guard(m_dataMutex);
        m_data = callback;
        m_dataId.clear();
        for (size_t i = 0; id && id[i] != 0 && i < 255; ++i)
            m_dataId += id[i];
    }

private:
    // Delivers what the simulated mouse queued. A process idle in the tray is
    // not woken 50 times a second: unless a timed change is due, the thread
    // waits for the state folder to change (another process queued an event,
    // or this one did).
    void run()
    {
        std::unique_ptr<files::FolderWatch> watch;
        std::unique_lock<std::mutex> lock(m_threadMutex);
        while (!m_stop) {
            lock.unlock();
            bool soon = true;
            deliver(m_sim.poll(&soon));
            const std::string folder = m_sim.folder();
            if (!watch || watch->folder() != folder)
                watch = std::make_unique<files::FolderWatch>(folder);
            lock.lock();
            if (m_stop)
                break;
            if (soon || !watch->watching()) {
                m_wake.wait_for(lock, kPollInterval, [this] { return m_stop; });
                continue;
            }
            m_folderWatch = watch.get();
            lock.unlock();
            watch->wait(kIdleWaitMs);
            lock.lock();
            m_folderWatch = nullptr;
        }
    }

    void deliver(const std::vector<QueueItem> &items)
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
                if (m_data && sameId(m_dataId.c_str(), kMouseHardwareId))
                    callback = m_data;
            }
            if (callback) {
                const DcDataRecord record{item.data.data(), uint32_t(item.data.size())};
                callback(&record, 0);
            }
        }
    }

    Simulator m_sim;
    std::mutex m_threadMutex;
    std::condition_variable m_wake;
    std::thread m_thread;
    bool m_stop = false;
    files::FolderWatch *m_folderWatch = nullptr; // while the thread waits on it
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

} // namespace
} // namespace kelv::sim

using kelv::sim::session;

extern "C" {

int32_t DC_CALL dcDeviceExist(const char16_t *id)
{
    return session().deviceExist(id);
}

int32_t DC_CALL dcDevices(DcFilter filter, uint8_t *block, uint32_t size)
{
    return session().devices(filter.words, block, size);
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
    if (const int32_t r = session().subscribeCheck(hardwareId, code))
        return r;
    kelv::sim::library().setDataCallback(*holder, hardwareId);
    return DC_OK;
}

int32_t DC_CALL dcAsk(const char16_t *id, const char16_t *, uint32_t code, uint32_t question,
                      char *answer, uint32_t size)
{
    return session().ask(id, code, question, answer, size);
}

int32_t DC_CALL dcReset(const char16_t *id, const char16_t *, uint32_t code, uint16_t value,
                        uint8_t *out, uint32_t)
{
    return session().reset(id, code, value, out);
}

int32_t DC_CALL dcNotify(const char16_t *id, const char16_t *, uint32_t code, uint16_t value,
                         uint8_t *out, uint32_t)
{
    return session().notify(id, code, value, out);
}

int32_t DC_CALL dcRead(const char16_t *id, const char16_t *, uint32_t code, uint8_t *buf,
                       uint32_t size, uint32_t address)
{
    return session().read(id, code, buf, size, address);
}

int32_t DC_CALL dcWrite(const char16_t *id, const char16_t *, uint32_t code, const uint8_t *buf,
                        uint32_t size, uint32_t address)
{
    return session().write(id, code, buf, size, address);
}

int32_t DC_CALL dcReadProp(const char16_t *id, const char16_t *, uint32_t code, uint8_t *buf,
                           uint32_t size, uint32_t propId)
{
    return session().readProp(id, code, buf, size, propId);
}

int32_t DC_CALL dcWriteProp(const char16_t *id, const char16_t *, uint32_t code, const uint8_t *buf,
                            uint32_t size, uint32_t propId)
{
    return session().writeProp(id, code, buf, size, propId);
}

int32_t DC_CALL dcScriptOut(const char16_t *id, const char16_t *, uint32_t code, char *script,
                            uint32_t size)
{
    return session().scriptOut(id, code, script, size);
}

int32_t DC_CALL dcIDWrite(const char16_t *id, const char16_t *, uint32_t code, const char *serial)
{
    return session().idWrite(id, code, serial);
}

int32_t DC_CALL dcRebootRom(const char16_t *id, const char16_t *, uint32_t code)
{
    return session().rebootRom(id, code);
}

int32_t DC_CALL dcFinishUpdateRom(const char16_t *id, const char16_t *, uint32_t code)
{
    return session().finishUpdateRom(id, code);
}

int32_t DC_CALL dcCheckRom(const char16_t *id, const char16_t *, uint32_t code, uint32_t length,
                           uint32_t check)
{
    return session().checkRom(id, code, length, check);
}

int32_t DC_CALL dcBornRom(const char16_t *id, const char16_t *, uint32_t code, const uint8_t *buf,
                          uint32_t length, uint32_t offset)
{
    return session().bornRom(id, code, buf, length, offset);
}

int32_t DC_CALL dcEraseRom(const char16_t *id, const char16_t *, uint32_t code)
{
    return session().eraseRom(id, code);
}

} // extern "C"
