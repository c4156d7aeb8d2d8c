#include "libdc/library.h"

#include "libdc/sim_files.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#ifdef _WIN32
#include <windows.h>
#endif

namespace kelv::dc {

const char kServicesId[] = "SERVICES\\";
constexpr uint32_t kBatteryProperty = 67;

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(20);
// Where the system watches folders but this one cannot be watched (no inotify instance
// left, the folder not there yet) or its watch ended (the folder was removed): the thread
// looks once a second, and sets up a new watch each time, instead of 50 times a second for
// ever.
constexpr auto kUnwatchedPoll = std::chrono::milliseconds(1000);
// While nothing is due, the thread sleeps until the state folder changes; it
// still looks once in this while (a change the watch could not see).
constexpr int kIdleWaitMs = 30000;

// The answer to a call for a hardware ID that no backend answers for.
int32_t nobody(uint32_t code)
{
    return code != DC_PRODUCT_CODE ? DC_WRONG_PRODUCT : DC_NOT_PRESENT;
}

// Writes one record into the device-list block (zeroed first). Text fields keep a NUL.
void writeRecord(uint8_t *record, const Record &r)
{
    std::memset(record, 0, DC_RECORD_SIZE);
    auto text = [&](uint32_t offset, uint32_t fieldSize, const std::string &value) {
        std::memcpy(record + offset, value.data(), std::min<size_t>(value.size(), fieldSize - 1));
    };
    auto wide = [&](uint32_t offset, const std::string &value) {
        for (uint32_t i = 0; i < value.size() && i < DC_RECORD_UTF16_FIELD_SIZE / 2 - 1; ++i)
            record[offset + 2 * i] = uint8_t(value[i]);
    };
    text(DC_RECORD_DEVICE_ID, DC_RECORD_DEVICE_ID_SIZE, r.deviceId);
    text(DC_RECORD_VERSION, DC_RECORD_VERSION_SIZE, r.version);
    text(DC_RECORD_SN, DC_RECORD_SN_SIZE, r.sn);
    // MASK is two characters without a NUL ("01", "00").
    std::memcpy(record + DC_RECORD_MASK, r.mask.data(),
                std::min<size_t>(r.mask.size(), DC_RECORD_MASK_SIZE));
    text(DC_RECORD_NAME, DC_RECORD_NAME_SIZE, r.name);
    text(DC_RECORD_MODEL, DC_RECORD_MODEL_SIZE, r.model);
    record[DC_RECORD_FLAGS] = r.flags;
    wide(DC_RECORD_DEVICE_PATH, r.devicePath);
    wide(DC_RECORD_HARDWARE_ID, r.hardwareId);
}

} // namespace

Library::Library(const std::vector<BackendFactory> &backends,
                 std::function<std::string()> stateFolder, const BatteryFactory &batteries)
    : m_stateFolder(std::move(stateFolder))
{
    for (const BackendFactory &make : backends)
        m_backends.push_back(make(*this));
    if (batteries)
        m_batteries = batteries(*this);
}

Library::~Library()
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
    // The backends' threads post into the outbox and wake the library's thread: they end
    // before either does.
    m_backends.clear();
    m_batteries.reset();
}

Backend *Library::route(const char16_t *id)
{
    const std::string folder = m_stateFolder();
    for (const auto &backend : m_backends)
        backend->begin(folder);
    if (m_batteries)
        m_batteries->begin();
    bool moved = false;
    {
        std::lock_guard<std::mutex> guard(m_threadMutex);
        moved = folder != m_folder;
        m_folder = folder;
        if (!m_thread.joinable() && !m_stop) {
#ifdef _WIN32
            // The library stays loaded once its thread runs: unloading it
            // would have to end the thread from inside DllMain, under the
            // loader lock that the ending thread needs too.
            HMODULE self = nullptr;
            GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                   GET_MODULE_HANDLE_EX_FLAG_PIN,
                               reinterpret_cast<LPCWSTR>(&nobody), &self);
#endif
            m_thread = std::thread([this] { run(); });
        }
    }
    // The thread may be idle on the earlier folder, where nothing changes any more: it is
    // woken to watch this one.
    if (moved)
        wake();
    for (const auto &backend : m_backends) {
        if (backend->owns(id))
            return backend.get();
    }
    return nullptr;
}

// --- the entry points -------------------------------------------------------------------

int32_t Library::deviceExist(const char16_t *id)
{
    Backend *b = route(id);
    return b ? b->exists(id) : DC_NOT_PRESENT;
}

// Every backend lists its devices, in the order of the backends, up to 20 records and as
// many as the block holds. A backend that cannot list (the simulated mouse held by another
// process: DC_BUSY) leaves the others listed, and its result is the call's.
int32_t Library::devices(const uint32_t filter[20], uint8_t *block, uint32_t size)
{
    route(nullptr);
    if (!block || size < 2)
        return DC_BAD_ARGUMENT;
    int32_t result = DC_OK;
    std::vector<Record> records;
    for (const auto &backend : m_backends) {
        const int32_t r = backend->list(filter, &records);
        if (r != DC_OK && result == DC_OK)
            result = r;
    }
    uint32_t count = 0;
    for (const Record &record : records) {
        if (count >= DC_LIST_MAX_RECORDS || size < 2 + (count + 1) * DC_RECORD_SIZE)
            break;
        writeRecord(block + 2 + count * DC_RECORD_SIZE, record);
        ++count;
    }
    block[0] = uint8_t(count & 0xff);
    block[1] = uint8_t(count >> 8);
    return result;
}

int32_t Library::onDeviceEvent(const DcEventCallback *holder)
{
    if (!holder)
        return DC_BAD_ARGUMENT;
    route(nullptr);
    m_event.store(*holder);
    return DC_OK;
}

int32_t Library::onDeviceData(const char16_t *hardwareId, uint32_t code,
                              const DcDataCallback *holder)
{
    if (!holder)
        return DC_BAD_ARGUMENT;
    Backend *b = route(hardwareId);
    if (const int32_t r = b ? b->subscribe(hardwareId, code) : nobody(code))
        return r;
    std::lock_guard<std::mutex> guard(m_dataMutex);
    m_data = *holder;
    m_dataKey = idKey(hardwareId);
    return DC_OK;
}

int32_t Library::ask(const char16_t *id, uint32_t code, uint32_t question, char *answer,
                     uint32_t size)
{
    Backend *b = route(id);
    return b ? b->ask(id, code, question, answer, size) : nobody(code);
}

int32_t Library::notify(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out)
{
    Backend *b = route(id);
    return b ? b->notify(id, code, value, out) : nobody(code);
}

int32_t Library::read(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size,
                      uint32_t address)
{
    Backend *b = route(id);
    return b ? b->read(id, code, buf, size, address) : nobody(code);
}

int32_t Library::write(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                       uint32_t address)
{
    Backend *b = route(id);
    return b ? b->write(id, code, buf, size, address) : nobody(code);
}

int32_t Library::readProp(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size,
                          uint32_t propId)
{
    Backend *b = route(id);
    if (b) {
        const int32_t r = b->readProp(id, code, buf, size, propId);
        return r == DC_BAD_ARGUMENT && propId == kBatteryProperty ? readBattery(b, id, buf, size)
                                                                  : r;
    }
    if (propId == DC_PROP_SERVICE_STATE && idKey(id) == lowerAscii(kServicesId))
        return readServices(code, buf, size);
    return nobody(code);
}

int32_t Library::writeProp(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                           uint32_t propId)
{
    Backend *b = route(id);
    return b ? b->writeProp(id, code, buf, size, propId) : nobody(code);
}

int32_t Library::scriptOut(const char16_t *id, uint32_t code, char *script, uint32_t size)
{
    Backend *b = route(id);
    return b ? b->scriptOut(id, code, script, size) : nobody(code);
}

// The services as one JSON object, {"services":[<state>, ...]}, in the order of the
// backends; never waits (each backend keeps its state).
int32_t Library::readBattery(Backend *b, const char16_t *id, uint8_t *buf, uint32_t size)
{
    if (!m_batteries || !buf || size > DC_TRANSFER_SIZE)
        return DC_BAD_ARGUMENT;
    const uint32_t all[20] = {};
    std::vector<Record> records;
    b->list(all, &records);
    for (const Record &record : records) {
        uint8_t battery[2] = {};
        if (lowerAscii(record.hardwareId) == idKey(id) && m_batteries->battery(record, battery)) {
            std::memset(buf, 0, size);
            std::memcpy(buf, battery, std::min<uint32_t>(size, 2));
            return DC_OK;
        }
    }
    return DC_BAD_ARGUMENT;
}

int32_t Library::readServices(uint32_t code, uint8_t *buf, uint32_t size)
{
    if (code != DC_PRODUCT_CODE)
        return DC_WRONG_PRODUCT;
    if (!buf || size > DC_TRANSFER_SIZE)
        return DC_BAD_ARGUMENT;
    std::string text = "{\"services\":[";
    bool first = true;
    for (const auto &backend : m_backends) {
        if (backend->serviceId().empty())
            continue;
        text += first ? "" : ",";
        text += backend->serviceState();
        first = false;
    }
    text += "]}";
    // A list that does not fit is not cut into text that is no JSON.
    if (text.size() >= DC_TRANSFER_SIZE)
        return DC_BAD_ARGUMENT;
    const uint32_t n = std::min<uint32_t>(size, uint32_t(text.size()));
    std::memcpy(buf, text.data(), n);
    std::memset(buf + n, 0, size - n);
    return DC_OK;
}

template <typename Call>
int32_t Library::firmwareCall(const char16_t *id, uint32_t code, int32_t refused, Call call)
{
    Backend *b = route(id);
    if (!b)
        return nobody(code);
    if (Firmware *firmware = b->firmware())
        return call(*firmware);
    if (code != DC_PRODUCT_CODE)
        return DC_WRONG_PRODUCT;
    return b->exists(id) == DC_OK ? refused : DC_NOT_PRESENT;
}

int32_t Library::reset(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out)
{
    return firmwareCall(id, code, DC_WRONG_MODE,
                        [&](Firmware &f) { return f.reset(id, code, value, out); });
}

// A device without a boot loader keeps no serial number of kelv's either.
int32_t Library::idWrite(const char16_t *id, uint32_t code, const char *serial)
{
    return firmwareCall(id, code, DC_BAD_ARGUMENT,
                        [&](Firmware &f) { return f.idWrite(id, code, serial); });
}

int32_t Library::rebootRom(const char16_t *id, uint32_t code)
{
    return firmwareCall(id, code, DC_WRONG_MODE,
                        [&](Firmware &f) { return f.rebootRom(id, code); });
}

int32_t Library::finishUpdateRom(const char16_t *id, uint32_t code)
{
    return firmwareCall(id, code, DC_WRONG_MODE,
                        [&](Firmware &f) { return f.finishUpdateRom(id, code); });
}

int32_t Library::checkRom(const char16_t *id, uint32_t code, uint32_t length, uint32_t check)
{
    return firmwareCall(id, code, DC_WRONG_MODE,
                        [&](Firmware &f) { return f.checkRom(id, code, length, check); });
}

int32_t Library::bornRom(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t length,
                         uint32_t offset)
{
    return firmwareCall(id, code, DC_WRONG_MODE,
                        [&](Firmware &f) { return f.bornRom(id, code, buf, length, offset); });
}

int32_t Library::eraseRom(const char16_t *id, uint32_t code)
{
    return firmwareCall(id, code, DC_WRONG_MODE, [&](Firmware &f) { return f.eraseRom(id, code); });
}

// --- the library's thread -----------------------------------------------------------------

// A burst goes into the outbox in one piece, after what the backends collected before.
void Library::postEvents(const std::vector<uint32_t> &events)
{
    {
        std::lock_guard<std::mutex> guard(m_outboxMutex);
        for (const uint32_t event : events) {
            Item item;
            item.event = event;
            m_outbox.push_back(item);
        }
    }
    wake();
}

void Library::postData(const std::array<uint8_t, 8> &report)
{
    Item item;
    item.kind = Item::Data;
    item.data = report;
    {
        std::lock_guard<std::mutex> guard(m_outboxMutex);
        m_outbox.push_back(item);
    }
    wake();
}

// The thread delivers now, whether it waits on the condition or on the state folder.
void Library::wake()
{
    std::lock_guard<std::mutex> guard(m_threadMutex);
    m_posted = true;
    if (m_folderWatch)
        m_folderWatch->wake();
    m_wake.notify_all();
}

std::vector<Item> Library::takeOutbox()
{
    std::lock_guard<std::mutex> guard(m_outboxMutex);
    std::vector<Item> items(m_outbox.begin(), m_outbox.end());
    m_outbox.clear();
    return items;
}

// Delivers what the backends collected and what they posted. A process idle in the tray
// is not woken 50 times a second: unless a backend has a timed change due or something
// was posted meanwhile, the thread waits for the state folder to change (another process
// queued an event, or this one did) or for a post.
void Library::run()
{
    std::unique_ptr<sim::files::FolderWatch> watch;
    std::chrono::steady_clock::time_point nextWatch;
    std::unique_lock<std::mutex> lock(m_threadMutex);
    while (!m_stop) {
        m_posted = false;
        const std::string folder = m_folder;
        lock.unlock();
        bool soon = false;
        for (const auto &backend : m_backends) {
            bool backendSoon = false;
            deliver(backend->collect(&backendSoon));
            soon = soon || backendSoon;
        }
        deliver(takeOutbox());
        const auto now = std::chrono::steady_clock::now();
        const bool lost = watch && !watch->watching() && sim::files::FolderWatch::available();
        if (!watch || watch->folder() != folder || (lost && now >= nextWatch)) {
            watch = std::make_unique<sim::files::FolderWatch>(folder);
            nextWatch = now + kUnwatchedPoll;
        }
        lock.lock();
        if (m_stop)
            break;
        if (m_posted)
            continue;
        if (soon || !watch->watching()) {
            const bool polled = !soon && sim::files::FolderWatch::available();
            m_wake.wait_for(lock, polled ? kUnwatchedPoll : kPollInterval,
                            [this] { return m_stop || m_posted; });
            continue;
        }
        m_folderWatch = watch.get();
        lock.unlock();
        watch->wait(kIdleWaitMs);
        lock.lock();
        m_folderWatch = nullptr;
    }
}

void Library::deliver(const std::vector<Item> &items)
{
    for (const Item &item : items) {
        if (item.kind == Item::Event) {
            if (const DcEventCallback callback = m_event.load())
                callback(item.event);
            continue;
        }
        DcDataCallback callback = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_dataMutex);
            if (m_data && (item.onlyFor.empty() || m_dataKey == lowerAscii(item.onlyFor)))
                callback = m_data;
        }
        if (callback) {
            const DcDataRecord record{item.data.data(), uint32_t(item.data.size())};
            callback(&record, 0);
        }
    }
}

} // namespace kelv::dc
