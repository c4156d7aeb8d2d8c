// The exported entry points of libdc and the library's own thread, which delivers device
// events and data reports to the registered callbacks.

#include "libdc/libdc.h"

#include "libdc/simulator.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <dlfcn.h>
#include <mutex>
#include <string>
#include <thread>

namespace kelv::sim {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(20);

// The state folder: $DC_SIM_DIR, else "simulator" beside the library file itself.
std::string stateFolder()
{
    const char *env = std::getenv("DC_SIM_DIR");
    if (env && *env)
        return env;
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void *>(&stateFolder), &info) && info.dli_fname) {
        std::string file = info.dli_fname;
        const size_t slash = file.rfind('/');
        return (slash == std::string::npos ? std::string(".") : file.substr(0, slash)) +
               "/simulator";
    }
    return "simulator";
}

class Library
{
public:
    ~Library()
    {
        {
            std::lock_guard<std::mutex> guard(m_threadMutex);
            m_stop = true;
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
        if (!m_thread.joinable() && !m_stop)
            m_thread = std::thread([this] { run(); });
        return m_sim;
    }

    void setEventCallback(DcEventCallback callback) { m_event.store(callback); }

    void setDataCallback(DcDataCallback callback, const char16_t *id)
    {
        std::lock_guard<std::mutex> guard(m_dataMutex);
        m_data = callback;
        m_dataId.clear();
        for (size_t i = 0; id && id[i] != 0 && i < 255; ++i)
            m_dataId += id[i];
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(m_threadMutex);
        while (!m_stop) {
            lock.unlock();
            deliver(m_sim.poll());
            lock.lock();
            m_wake.wait_for(lock, kPollInterval, [this] { return m_stop; });
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
    std::atomic<DcEventCallback> m_event{nullptr};
    std::mutex m_dataMutex;
    DcDataCallback m_data = nullptr;
    std::u16string m_dataId;
};

Library &library()
{
    static Library instance;
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

int32_t dcDeviceExist(const char16_t *id)
{
    return session().deviceExist(id);
}

int32_t dcDevices(DcFilter filter, uint8_t *block, uint32_t size)
{
    return session().devices(filter.words, block, size);
}

int32_t dcOnDeviceEvent(const DcEventCallback *holder)
{
    if (!holder)
        return DC_BAD_ARGUMENT;
    session();
    kelv::sim::library().setEventCallback(*holder);
    return DC_OK;
}

int32_t dconDeviceData(const char16_t *hardwareId, const char16_t *devicePath, uint32_t code,
                       const DcDataCallback *holder)
{
    (void)devicePath;
    if (!holder)
        return DC_BAD_ARGUMENT;
    if (const int32_t r = session().subscribeCheck(hardwareId, code))
        return r;
    kelv::sim::library().setDataCallback(*holder, hardwareId);
    return DC_OK;
}

int32_t dcAsk(const char16_t *id, const char16_t *, uint32_t code, uint32_t question, char *answer,
              uint32_t size)
{
    return session().ask(id, code, question, answer, size);
}

int32_t dcReset(const char16_t *id, const char16_t *, uint32_t code, uint16_t value, uint8_t *out,
                uint32_t)
{
    return session().reset(id, code, value, out);
}

int32_t dcNotify(const char16_t *id, const char16_t *, uint32_t code, uint16_t value, uint8_t *out,
                 uint32_t)
{
    return session().notify(id, code, value, out);
}

int32_t dcRead(const char16_t *id, const char16_t *, uint32_t code, uint8_t *buf, uint32_t size,
               uint32_t address)
{
    return session().read(id, code, buf, size, address);
}

int32_t dcWrite(const char16_t *id, const char16_t *, uint32_t code, const uint8_t *buf,
                uint32_t size, uint32_t address)
{
    return session().write(id, code, buf, size, address);
}

int32_t dcReadProp(const char16_t *id, const char16_t *, uint32_t code, uint8_t *buf, uint32_t size,
                   uint32_t propId)
{
    return session().readProp(id, code, buf, size, propId);
}

int32_t dcWriteProp(const char16_t *id, const char16_t *, uint32_t code, const uint8_t *buf,
                    uint32_t size, uint32_t propId)
{
    return session().writeProp(id, code, buf, size, propId);
}

int32_t dcScriptOut(const char16_t *id, const char16_t *, uint32_t code, char *script,
                    uint32_t size)
{
    return session().scriptOut(id, code, script, size);
}

int32_t dcIDWrite(const char16_t *id, const char16_t *, uint32_t code, const char *serial)
{
    return session().idWrite(id, code, serial);
}

int32_t dcRebootRom(const char16_t *id, const char16_t *, uint32_t code)
{
    return session().rebootRom(id, code);
}

int32_t dcFinishUpdateRom(const char16_t *id, const char16_t *, uint32_t code)
{
    return session().finishUpdateRom(id, code);
}

int32_t dcCheckRom(const char16_t *id, const char16_t *, uint32_t code, uint32_t length,
                   uint32_t check)
{
    return session().checkRom(id, code, length, check);
}

int32_t dcBornRom(const char16_t *id, const char16_t *, uint32_t code, const uint8_t *buf,
                  uint32_t length, uint32_t offset)
{
    return session().bornRom(id, code, buf, length, offset);
}

int32_t dcEraseRom(const char16_t *id, const char16_t *, uint32_t code)
{
    return session().eraseRom(id, code);
}

} // extern "C"
