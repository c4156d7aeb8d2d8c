#pragma once

// The library behind the eighteen entry points (libdc.cpp): its backends (backend.h), the
// routing of every request to the one backend that answers for its hardware ID, the device
// list all backends fill together, the list of their services, and the library's own
// thread, which delivers device events and data reports to the registered callbacks.

#include "libdc/backend.h"
#include "libdc/libdc.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelv::sim::files {
class FolderWatch;
}

namespace kelv::dc {

// The hardware ID that answers the list of services (property 65, doc/device-map.md).
extern const char kServicesId[];

// The backends of libdc, in listing order (backends.cpp).
std::vector<BackendFactory> libraryBackends();

class Library final : public Outbox
{
public:
    // backends: made in this order, which is the order of the device list. stateFolder:
    // the library's state folder as it is now (every entry point asks again).
    Library(const std::vector<BackendFactory> &backends, std::function<std::string()> stateFolder);
    ~Library();
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    // The entry points of libdc.h, one for one (the unused sub and reserved arguments left
    // out).
    int32_t deviceExist(const char16_t *id);
    int32_t devices(const uint32_t filter[20], uint8_t *block, uint32_t size);
    int32_t onDeviceEvent(const DcEventCallback *holder);
    int32_t onDeviceData(const char16_t *hardwareId, uint32_t code, const DcDataCallback *holder);
    int32_t ask(const char16_t *id, uint32_t code, uint32_t question, char *answer, uint32_t size);
    int32_t reset(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out);
    int32_t notify(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out);
    int32_t read(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size, uint32_t address);
    int32_t write(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                  uint32_t address);
    int32_t readProp(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size,
                     uint32_t propId);
    int32_t writeProp(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                      uint32_t propId);
    int32_t scriptOut(const char16_t *id, uint32_t code, char *script, uint32_t size);
    int32_t idWrite(const char16_t *id, uint32_t code, const char *serial);
    int32_t rebootRom(const char16_t *id, uint32_t code);
    int32_t finishUpdateRom(const char16_t *id, uint32_t code);
    int32_t checkRom(const char16_t *id, uint32_t code, uint32_t length, uint32_t check);
    int32_t bornRom(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t length,
                    uint32_t offset);
    int32_t eraseRom(const char16_t *id, uint32_t code);

    // Outbox: what the backends send, from any thread.
    void postEvents(const std::vector<uint32_t> &events) override;
    void postData(const std::array<uint8_t, 8> &report) override;
    void wake() override;

private:
    // Every entry point starts here: follows the state folder, starts the backends and the
    // library's thread once, and names the backend that answers for id (null: none).
    Backend *route(const char16_t *id);
    // A firmware call: the backend's, or the answer of a device without a boot loader.
    template <typename Call>
    int32_t firmwareCall(const char16_t *id, uint32_t code, int32_t refused, Call call);
    int32_t readServices(uint32_t code, uint8_t *buf, uint32_t size);
    void run();
    std::vector<Item> takeOutbox();
    void deliver(const std::vector<Item> &items);

    std::function<std::string()> m_stateFolder;
    std::vector<std::unique_ptr<Backend>> m_backends;

    std::mutex m_outboxMutex;
    std::deque<Item> m_outbox;

    std::mutex m_threadMutex; // guards the members up to m_thread
    std::condition_variable m_wake;
    std::string m_folder;
    bool m_stop = false;
    bool m_posted = false;                            // woken since the thread last looked
    sim::files::FolderWatch *m_folderWatch = nullptr; // while the thread waits on it
    std::thread m_thread;

    std::atomic<DcEventCallback> m_event{nullptr};
    std::mutex m_dataMutex;
    DcDataCallback m_data = nullptr;
    std::string m_dataKey; // idKey() of the device the data callback was registered for
};

} // namespace kelv::dc
