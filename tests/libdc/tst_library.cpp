// The library behind the entry points with stand-in backends: every request reaches the
// backend that answers for its hardware ID and no other, an ID no backend answers for fails
// as it always did, the device list and the list of services are every backend's, a backend
// without a boot loader refuses the firmware calls, and what backends send reaches the
// callbacks from the library's thread.

#include "libdc/library.h"
#include "tests/doctest_support.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <doctest.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

using namespace kelv;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kCode = DC_PRODUCT_CODE;
const uint32_t kAll[20] = {};

// What the stand-ins were asked, as "<backend> <call> <id key>".
class CallLog
{
public:
    void add(const std::string &line)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(line);
    }
    std::vector<std::string> take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_lines, {});
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

class Stub final : public dc::Backend
{
public:
    Stub(dc::Outbox &outbox, std::string name, CallLog &log)
        : outbox(outbox), m_name(std::move(name)), m_log(log)
    {
    }

    dc::Outbox &outbox;
    std::vector<std::string> ids; // listed hardware IDs
    std::string service;          // its service's hardware ID ("" none)
    int32_t listResult = DC_OK;
    uint8_t flags = 0;
    // Handed to the library's thread at its next turn.
    void collectOnce(std::vector<dc::Item> items)
    {
        std::lock_guard<std::mutex> lock(m_collectMutex);
        m_collected = std::move(items);
    }

    void begin(const std::string &) override {}
    bool owns(const char16_t *id) const override
    {
        const std::string key = dc::idKey(id);
        return !key.empty() && (listed(key) || key == dc::lowerAscii(service));
    }
    int32_t list(const uint32_t *, std::vector<dc::Record> *out) override
    {
        for (const std::string &id : ids) {
            dc::Record r;
            r.deviceId = m_name + "-" + id;
            r.hardwareId = id;
            r.flags = flags;
            out->push_back(r);
        }
        return listResult;
    }
    std::string serviceId() const override { return service; }
    std::string serviceState() const override
    {
        std::string id;
        for (const char c : service)
            id += c == '\\' ? std::string("\\\\") : std::string(1, c);
        return "{\"id\":\"" + id + "\",\"state\":\"running\"}";
    }
    int32_t exists(const char16_t *id) override
    {
        return call("exists", id) == DC_OK && listed(dc::idKey(id)) ? DC_OK : DC_NOT_PRESENT;
    }
    int32_t ask(const char16_t *id, uint32_t, uint32_t, char *, uint32_t) override
    {
        return call("ask", id);
    }
    int32_t notify(const char16_t *id, uint32_t, uint16_t, uint8_t *) override
    {
        return call("notify", id);
    }
    int32_t read(const char16_t *id, uint32_t, uint8_t *, uint32_t, uint32_t) override
    {
        return call("read", id);
    }
    int32_t write(const char16_t *id, uint32_t, const uint8_t *, uint32_t, uint32_t) override
    {
        return call("write", id);
    }
    int32_t readProp(const char16_t *id, uint32_t, uint8_t *, uint32_t, uint32_t) override
    {
        return call("readProp", id);
    }
    int32_t writeProp(const char16_t *id, uint32_t, const uint8_t *, uint32_t, uint32_t) override
    {
        return call("writeProp", id);
    }
    int32_t scriptOut(const char16_t *id, uint32_t, char *, uint32_t) override
    {
        return call("scriptOut", id);
    }
    std::vector<dc::Item> collect(bool *) override
    {
        ++turns;
        std::lock_guard<std::mutex> lock(m_collectMutex);
        return std::exchange(m_collected, {});
    }
    std::atomic<int> turns{0}; // turns of the library's thread

private:
    bool listed(const std::string &key) const
    {
        for (const std::string &id : ids) {
            if (dc::lowerAscii(id) == key)
                return true;
        }
        return false;
    }
    int32_t call(const char *what, const char16_t *id)
    {
        m_log.add(m_name + " " + what + " " + dc::idKey(id));
        return DC_OK;
    }

    std::string m_name;
    CallLog &m_log;
    std::mutex m_collectMutex;
    std::vector<dc::Item> m_collected;
};

// The callbacks: plain functions, as the program's are.
std::mutex g_mutex;
std::vector<uint32_t> g_events;
std::vector<uint8_t> g_reports; // byte 0 of each report
std::set<std::thread::id> g_threads;

bool DC_CALL onEvent(uint32_t event)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.push_back(event);
    g_threads.insert(std::this_thread::get_id());
    return true;
}

bool DC_CALL onData(const DcDataRecord *record, uint32_t)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_reports.push_back(record->data[0]);
    g_threads.insert(std::this_thread::get_id());
    return true;
}

// A library with two stand-ins: "a" listing A\one and A\two, "b" listing B\one.
struct Fixture
{
    testing::TempFolder folder;
    CallLog log;
    Stub *a = nullptr;
    Stub *b = nullptr;
    dc::Library library{{[this](dc::Outbox &o) { return make(o, "a", &a); },
                         [this](dc::Outbox &o) { return make(o, "b", &b); }},
                        [this] { return folder.path(); }};

    Fixture()
    {
        a->ids = {"A\\one", "A\\two"};
        b->ids = {"B\\one"};
    }

    std::unique_ptr<dc::Backend> make(dc::Outbox &outbox, const char *name, Stub **out)
    {
        auto stub = std::make_unique<Stub>(outbox, name, log);
        *out = stub.get();
        return stub;
    }

    // Every routed entry point once for id; the results in call order.
    std::vector<int32_t> callEverything(const char16_t *id, uint32_t code = kCode)
    {
        uint8_t buf[16] = {};
        char text[16] = {};
        const DcDataCallback data = &onData;
        return {library.deviceExist(id),
                library.ask(id, code, 1, text, sizeof text),
                library.notify(id, code, 1, nullptr),
                library.read(id, code, buf, 4, 0),
                library.write(id, code, buf, 4, 0),
                library.readProp(id, code, buf, 4, 1),
                library.writeProp(id, code, buf, 1, 1),
                library.scriptOut(id, code, text, sizeof text),
                library.onDeviceData(id, code, &data)};
    }
};

std::string text(const uint8_t *bytes)
{
    return std::string(reinterpret_cast<const char *>(bytes));
}

} // namespace

TEST_CASE("a request reaches the backend that lists its device, and no other")
{
    Fixture f;
    for (const int32_t r : f.callEverything(u"a\\TWO"))
        CHECK(r == DC_OK);
    const std::vector<std::string> calls = f.log.take();
    REQUIRE(calls.size() == 9);
    for (const std::string &line : calls)
        CHECK(line.rfind("a ", 0) == 0);
    CHECK(calls[3] == "a read a\\two");

    f.callEverything(u"B\\one");
    for (const std::string &line : f.log.take())
        CHECK(line.rfind("b ", 0) == 0);
}

TEST_CASE("an ID no backend lists fails as before, and no backend sees it")
{
    Fixture f;
    for (const int32_t r : f.callEverything(u"C\\one"))
        CHECK(r == DC_NOT_PRESENT);
    for (const int32_t r : f.callEverything(nullptr))
        CHECK(r == DC_NOT_PRESENT);
    // The product code is checked first, as every backend does (dcDeviceExist has none).
    const std::vector<int32_t> wrong = f.callEverything(u"C\\one", kCode + 1);
    for (size_t i = 1; i < wrong.size(); ++i)
        CHECK(wrong[i] == DC_WRONG_PRODUCT);
    // A device its backend no longer lists is nobody's.
    f.a->ids = {"A\\one"};
    CHECK(f.library.read(u"A\\two", kCode, nullptr, 0, 0) == DC_NOT_PRESENT);
    CHECK(f.log.take().empty());
}

TEST_CASE("the device list holds every backend's devices in backend order")
{
    Fixture f;
    f.b->flags = DC_FLAG_CALLS_WAIT;
    std::vector<uint8_t> block(DC_LIST_BLOCK_SIZE, 0xee);
    REQUIRE(f.library.devices(kAll, block.data(), DC_LIST_BLOCK_SIZE) == DC_OK);
    CHECK(block[0] == 3);
    CHECK(block[1] == 0);
    const uint8_t *third = block.data() + 2 + 2 * DC_RECORD_SIZE;
    CHECK(text(block.data() + 2 + DC_RECORD_DEVICE_ID) == "a-A\\one");
    CHECK(text(third + DC_RECORD_DEVICE_ID) == "b-B\\one");
    CHECK(block[2 + DC_RECORD_FLAGS] == 0);
    CHECK(third[DC_RECORD_FLAGS] == DC_FLAG_CALLS_WAIT);
    CHECK(third[DC_RECORD_HARDWARE_ID] == 'B');
    CHECK(third[DC_RECORD_HARDWARE_ID + 1] == 0);
    CHECK(text(third + DC_RECORD_MASK).substr(0, 2) == "01");

    SUBCASE("one backend that cannot list leaves the others' devices listed")
    {
        f.a->listResult = DC_BUSY;
        f.a->ids.clear();
        CHECK(f.library.devices(kAll, block.data(), DC_LIST_BLOCK_SIZE) == DC_BUSY);
        CHECK(block[0] == 1);
        CHECK(text(block.data() + 2) == "b-B\\one");
    }
    SUBCASE("at most 20 records, and no more than the block holds")
    {
        for (int i = 0; i < 30; ++i)
            f.b->ids.push_back("B\\" + std::to_string(i));
        CHECK(f.library.devices(kAll, block.data(), DC_LIST_BLOCK_SIZE) == DC_OK);
        CHECK(block[0] == 20);
        std::vector<uint8_t> small(2 + DC_RECORD_SIZE + 100, 0);
        CHECK(f.library.devices(kAll, small.data(), uint32_t(small.size())) == DC_OK);
        CHECK(small[0] == 1);
        CHECK(f.library.devices(kAll, nullptr, DC_LIST_BLOCK_SIZE) == DC_BAD_ARGUMENT);
    }
}

TEST_CASE("the services of every backend are listed, and each answers for its own ID")
{
    Fixture f;
    f.b->service = "B\\";
    uint8_t buf[DC_TRANSFER_SIZE];
    std::memset(buf, 0xee, sizeof buf);
    REQUIRE(f.library.readProp(u"services\\", kCode, buf, 512, DC_PROP_SERVICE_STATE) == DC_OK);
    CHECK(text(buf) == R"({"services":[{"id":"B\\","state":"running"}]})");
    CHECK(buf[511] == 0);
    // The service's own ID is its backend's, listed or not.
    CHECK(f.library.readProp(u"B\\", kCode, buf, 512, DC_PROP_SERVICE_STATE) == DC_OK);
    CHECK(f.log.take() == std::vector<std::string>{"b readProp b\\"});

    CHECK(f.library.readProp(u"SERVICES\\", kCode, buf, 512, DC_PROP_DESCRIPTION) ==
          DC_NOT_PRESENT);
    CHECK(f.library.readProp(u"SERVICES\\", kCode + 1, buf, 512, DC_PROP_SERVICE_STATE) ==
          DC_WRONG_PRODUCT);
    CHECK(f.library.readProp(u"SERVICES\\", kCode, nullptr, 512, DC_PROP_SERVICE_STATE) ==
          DC_BAD_ARGUMENT);
    CHECK(f.library.deviceExist(u"SERVICES\\") == DC_NOT_PRESENT);
    f.b->service.clear();
    CHECK(f.library.readProp(u"SERVICES\\", kCode, buf, 512, DC_PROP_SERVICE_STATE) == DC_OK);
    CHECK(text(buf) == R"({"services":[]})");
}

TEST_CASE("a backend without a boot loader refuses the firmware calls")
{
    Fixture f;
    uint8_t out = 0;
    const uint8_t chunk[4] = {};
    CHECK(f.library.reset(u"A\\one", kCode, 1, &out) == DC_WRONG_MODE);
    CHECK(f.library.eraseRom(u"A\\one", kCode) == DC_WRONG_MODE);
    CHECK(f.library.bornRom(u"A\\one", kCode, chunk, 4, 0) == DC_WRONG_MODE);
    CHECK(f.library.checkRom(u"A\\one", kCode, 4, 0) == DC_WRONG_MODE);
    CHECK(f.library.finishUpdateRom(u"A\\one", kCode) == DC_WRONG_MODE);
    CHECK(f.library.rebootRom(u"A\\one", kCode) == DC_WRONG_MODE);
    CHECK(f.library.idWrite(u"A\\one", kCode, "SN1") == DC_BAD_ARGUMENT);
    CHECK(f.library.eraseRom(u"A\\one", kCode + 1) == DC_WRONG_PRODUCT);
    CHECK(f.library.eraseRom(u"A\\gone", kCode) == DC_NOT_PRESENT);
    // Its service's own ID is no device.
    f.a->service = "A\\";
    CHECK(f.library.eraseRom(u"A\\", kCode) == DC_NOT_PRESENT);
}

TEST_CASE("what backends send reaches the callbacks from the library's thread")
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_events.clear();
        g_reports.clear();
        g_threads.clear();
    }
    Fixture f;
    const DcEventCallback event = &onEvent;
    const DcDataCallback data = &onData;
    REQUIRE(f.library.onDeviceEvent(&event) == DC_OK);
    REQUIRE(f.library.onDeviceData(u"B\\one", kCode, &data) == DC_OK);
    // A report for the subscriber of A\one alone does not reach the one of B\one; a report
    // posted for every subscriber does.
    dc::Item own;
    own.kind = dc::Item::Data;
    own.data[0] = 0xa1;
    own.onlyFor = "A\\one";
    f.a->collectOnce({own});
    f.b->outbox.postEvents({2, 2});
    f.b->outbox.postData({0xb1, 0, 0, 0, 0, 0, 0, 7});
    auto delivered = [] {
        std::lock_guard<std::mutex> lock(g_mutex);
        return g_events.size() == 2 && !g_reports.empty();
    };
    REQUIRE(testing::waitFor(delivered, 5s));
    std::this_thread::sleep_for(100ms);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        CHECK(g_events == std::vector<uint32_t>{2, 2});
        CHECK(g_reports == std::vector<uint8_t>{0xb1});
        CHECK(g_threads.size() == 1);
        CHECK(g_threads.count(std::this_thread::get_id()) == 0);
    }
    REQUIRE(f.library.onDeviceData(u"a\\ONE", kCode, &data) == DC_OK);
    f.a->collectOnce({own});
    f.a->outbox.wake();
    REQUIRE(testing::waitFor(
        [] {
            std::lock_guard<std::mutex> lock(g_mutex);
            return g_reports.size() == 2;
        },
        5s));
    std::lock_guard<std::mutex> lock(g_mutex);
    CHECK(g_reports.back() == 0xa1);
}

#ifdef __linux__
// The state folder cannot be watched: no inotify instance is left (the limit of a user
// namespace of the test's own set to 0, so nothing else on the machine runs short). The
// library's thread then looks once a second, not 50 times a second for ever.
TEST_CASE("without inotify the library's thread looks once a second")
{
    if (!std::getenv("KELV_TEST_NO_INOTIFY")) {
        const std::string command = "KELV_TEST_NO_INOTIFY=1 unshare --user --map-root-user sh -c "
                                    "'echo 0 > /proc/sys/user/max_inotify_instances && exec \"$0\" "
                                    "--test-case=\"without inotify*\"' '" +
                                    std::filesystem::read_symlink("/proc/self/exe").string() +
                                    "' >/dev/null 2>&1";
        if (std::system("unshare --user --map-root-user true >/dev/null 2>&1") != 0) {
            MESSAGE("no user namespaces here: skipped");
            return;
        }
        CHECK(std::system(command.c_str()) == 0);
        return;
    }
    Fixture f;
    REQUIRE(f.library.deviceExist(u"A\\one") == DC_OK); // starts the thread
    std::this_thread::sleep_for(2500ms);
    CHECK(f.a->turns.load() <= 5);
    CHECK(f.a->turns.load() >= 2);
}

// A state folder removed and made again: its watch ended with it, and the new folder is
// watched again (a file written there wakes the thread at once), not waited on for 30 s.
TEST_CASE("a state folder removed and made again is watched again")
{
    Fixture f;
    REQUIRE(f.library.deviceExist(u"A\\one") == DC_OK);
    std::this_thread::sleep_for(200ms);
    const std::filesystem::path folder = f.folder.path();
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::this_thread::sleep_for(1500ms); // the thread looks again and watches the new folder
    const int before = f.a->turns.load();
    std::ofstream(folder / "queue") << "x";
    CHECK(testing::waitFor([&] { return f.a->turns.load() > before; }, 500ms));
}
#endif
