// The device library through its host process: this (64-bit) test program starts dchost,
// which loads the library and serves the eighteen entry points over its channels. Under
// Wine the host and its libdc.dll are the 32-bit (i686) builds, loaded by bare name from
// the host's folder; on Linux both are this build's. Every entry must answer exactly as
// the library loaded into the process does, and callbacks must arrive in order.

#include "libdc/dc_entries.h"
#include "libdc/host/dc_host_client.h"
#include "libdc/host/library_machine.h"
#include "platform/process_control.h"
#include "platform/process_state.h"
#include "tests/doctest_support.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <doctest.h>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

using namespace kelv;
using namespace std::chrono_literals;

namespace {

const char16_t kMouse[] = u"HID\\Vid_0aa0&Pid_5e30";
const char16_t kBoot[] = u"HID\\Vid_0aa0&Pid_5e31";

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : std::string();
}

// The host program, and the library it is told to load (empty: its own default, which
// under Wine is libdc.dll by bare name, found in the host's folder).
std::string hostProgram()
{
    return environment("KELV_DCHOST");
}

std::string hostLibrary()
{
    return environment("KELV_DCHOST_LIBRARY");
}

std::string dcsim()
{
    return testing::programFolder() + "/dcsim" + testing::executableSuffix();
}

void runDcsim(const std::string &stateFolder, const std::vector<std::string> &arguments)
{
    REQUIRE(testing::runProgram(dcsim(), arguments, {"DC_SIM_DIR=" + stateFolder}) == 0);
}

// The library of this build loaded into the test program, its entries looked up by name.
DcEntries loadInProcess()
{
    DcEntries entries;
    const testing::SharedLibrary library(testing::libdcFile());
    REQUIRE(library.loaded());
    forEachDcEntry(entries, [&](const char *name, auto &entry) {
        entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(library.find(name));
    });
    return entries;
}

std::string hex(const void *data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<const unsigned char *>(data)[i];
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

DcFilter mouseFilter()
{
    DcFilter filter{};
    filter.words[0] = 0xFFA00001u;
    filter.words[1] = 0xFFAA0001u;
    return filter;
}

// Calls every entry the way the program and dcsim use them, failures included, and writes
// down each result with the bytes the entry gave back. The firmware steps wait for the
// simulated restarts, so the transcript does not depend on timing.
std::string transcript(const DcEntries &e)
{
    std::ostringstream out;
    const DcFilter filter = mouseFilter();
    auto note = [&](const char *what, int32_t result, const void *data = nullptr, size_t size = 0) {
        out << what << ' ' << result << ' ' << hex(data, size) << '\n';
    };
    auto waitForDevice = [&](const char16_t *id) {
        return testing::waitFor([&] { return e.dcDeviceExist(id) == DC_OK; }, 10s);
    };

    note("idwrite", e.dcIDWrite(kMouse, u"", DC_PRODUCT_CODE, "KM1SAME"));
    note("idwrite-empty", e.dcIDWrite(kMouse, u"", DC_PRODUCT_CODE, ""));
    std::vector<uint8_t> block(DC_LIST_BLOCK_SIZE, 0xee);
    note("devices", e.dcDevices(filter, block.data(), DC_LIST_BLOCK_SIZE), block.data(),
         block.size());
    note("devices-short", e.dcDevices(filter, block.data(), 100), block.data(), 100);
    note("exist", e.dcDeviceExist(kMouse));
    note("exist-boot", e.dcDeviceExist(kBoot));
    note("exist-null", e.dcDeviceExist(nullptr));
    for (uint32_t question : {1u, 2u, 3u, 9u}) {
        char answer[64];
        std::memset(answer, 'x', sizeof answer);
        note("ask", e.dcAsk(kMouse, u"", DC_PRODUCT_CODE, question, answer, sizeof answer), answer,
             sizeof answer);
    }
    std::vector<uint8_t> buffer(DC_TRANSFER_SIZE, 0x55);
    for (uint32_t prop : {1u, 5u, 99u}) {
        note("readprop", e.dcReadProp(kMouse, u"", DC_PRODUCT_CODE, buffer.data(), 4, prop),
             buffer.data(), 8);
    }
    // Written data travels in whole transfer blocks, as the device manager sends it.
    std::vector<uint8_t> data(DC_TRANSFER_SIZE, 0);
    data[0] = 2;
    note("writeprop", e.dcWriteProp(kMouse, u"", DC_PRODUCT_CODE, data.data(), 1, 5));
    data[0] = 9;
    note("writeprop-range", e.dcWriteProp(kMouse, u"", DC_PRODUCT_CODE, data.data(), 1, 5));
    note("readprop-wrong-product", e.dcReadProp(kMouse, u"", 1234, buffer.data(), 1, 5));
    const uint8_t macro[] = {0x4d, 0x01, 0x02, 0x03};
    std::memcpy(data.data(), macro, sizeof macro);
    note("write", e.dcWrite(kMouse, u"", DC_PRODUCT_CODE, data.data(), sizeof macro, 0x1000));
    note("write-past-end",
         e.dcWrite(kMouse, u"", DC_PRODUCT_CODE, data.data(), sizeof macro, 0xffff));
    note("read", e.dcRead(kMouse, u"", DC_PRODUCT_CODE, buffer.data(), 6, 0x1000), buffer.data(),
         8);
    std::vector<uint8_t> large(4096, 0x55);
    note("read-too-big", e.dcRead(kMouse, u"", DC_PRODUCT_CODE, large.data(), 4096, 0),
         large.data(), large.size());
    note("read-unknown",
         e.dcRead(u"HID\\Vid_1234&Pid_0001", u"", DC_PRODUCT_CODE, buffer.data(), 4, 0));
    uint8_t acknowledged = 7;
    note("notify", e.dcNotify(kMouse, u"", DC_PRODUCT_CODE, 0x0303, &acknowledged, 0),
         &acknowledged, 1);
    note("notify-refused", e.dcNotify(kMouse, u"", DC_PRODUCT_CODE, 0x0302, &acknowledged, 0),
         &acknowledged, 1);
    note("notify-no-out", e.dcNotify(kMouse, u"", DC_PRODUCT_CODE, 0x0004, nullptr, 0));
    std::vector<char> script(4096, 'x');
    note("scriptout", e.dcScriptOut(kMouse, u"", DC_PRODUCT_CODE, script.data(), 4096),
         script.data(), script.size());
    note("scriptout-small", e.dcScriptOut(kMouse, u"", DC_PRODUCT_CODE, script.data(), 8),
         script.data(), 16);
    const DcEventCallback noEvent = nullptr;
    note("onevent-missing", e.dcOnDeviceEvent(nullptr));
    note("onevent-none", e.dcOnDeviceEvent(&noEvent));
    const DcDataCallback noData = nullptr;
    note("ondata-unknown",
         e.dconDeviceData(u"HID\\Vid_1234&Pid_0001", u"", DC_PRODUCT_CODE, &noData));
    note("ondata-wrong-product", e.dconDeviceData(kMouse, u"", 1, &noData));

    // The firmware path: into the boot loader and back out; in again, erase, a chunk, a
    // wrong check (an erased mouse stays in its boot loader).
    note("erase-mouse", e.dcEraseRom(kMouse, u"", DC_PRODUCT_CODE));
    uint8_t resetOut = 0;
    note("reset", e.dcReset(kMouse, u"", DC_PRODUCT_CODE, 1, &resetOut, 0), &resetOut, 1);
    note("boot-appears", waitForDevice(kBoot) ? 0 : -1);
    note("reboot", e.dcRebootRom(kBoot, u"", DC_PRODUCT_CODE));
    note("mouse-returns", waitForDevice(kMouse) ? 0 : -1);
    note("reset-again", e.dcReset(kMouse, u"", DC_PRODUCT_CODE, 1, nullptr, 0));
    note("boot-appears-again", waitForDevice(kBoot) ? 0 : -1);
    note("erase", e.dcEraseRom(kBoot, u"", DC_PRODUCT_CODE));
    std::vector<uint8_t> chunk(DC_TRANSFER_SIZE);
    for (size_t i = 0; i < 2000; ++i)
        chunk[i] = uint8_t(i * 7);
    note("born", e.dcBornRom(kBoot, u"", DC_PRODUCT_CODE, chunk.data(), 2000, 0));
    note("born-too-big", e.dcBornRom(kBoot, u"", DC_PRODUCT_CODE, chunk.data(), 2001, 0));
    note("check-wrong", e.dcCheckRom(kBoot, u"", DC_PRODUCT_CODE, 2000, 0x12345678));
    note("finish-unchecked", e.dcFinishUpdateRom(kBoot, u"", DC_PRODUCT_CODE));
    note("reboot-erased", e.dcRebootRom(kBoot, u"", DC_PRODUCT_CODE));
    note("devices-after", e.dcDevices(filter, block.data(), DC_LIST_BLOCK_SIZE), block.data(),
         block.size());
    return out.str();
}

// Callbacks as they arrive through the host.
struct Received
{
    std::mutex mutex;
    std::vector<uint32_t> events;
    std::vector<std::string> data;
};
Received g_received;

bool DC_CALL onEvent(uint32_t event)
{
    std::lock_guard<std::mutex> lock(g_received.mutex);
    g_received.events.push_back(event);
    return true;
}

std::atomic<int> g_refusedCalls{0};

bool DC_CALL onRefusedData(const DcDataRecord *, uint32_t)
{
    ++g_refusedCalls;
    return true;
}

bool DC_CALL onData(const DcDataRecord *record, uint32_t)
{
    std::lock_guard<std::mutex> lock(g_received.mutex);
    g_received.data.push_back(hex(record->data, record->size));
    return true;
}

template <typename T> size_t countOf(const std::vector<T> &list)
{
    std::lock_guard<std::mutex> lock(g_received.mutex);
    return list.size();
}

// A state folder of its own, named by DC_SIM_DIR for the host and every dcsim started
// while it lives.
struct HostFixture
{
    HostFixture()
    {
        testing::setEnvironment("DC_SIM_DIR", state.path());
        std::string error;
        connection = dchost::HostConnection::start(hostProgram(), hostLibrary(), &error);
        INFO(error);
        REQUIRE(connection != nullptr);
    }

    void runDcsim(const std::vector<std::string> &arguments)
    {
        ::runDcsim(state.path(), arguments);
    }

    testing::TempFolder state;
    std::unique_ptr<dchost::HostConnection> connection;
};

} // namespace

TEST_CASE("a library's processor is read from its header; only a 32-bit one needs the host")
{
    using dchost::LibraryMachine;
    std::string pe(0x200, '\0');
    pe[0] = 'M';
    pe[1] = 'Z';
    pe[0x3c] = char(0x80);
    pe.replace(0x80, 4, std::string("PE\0\0", 4));
    pe[0x84] = char(0x4c);
    pe[0x85] = char(0x01);
    CHECK(dchost::machineOfHeader(pe) == LibraryMachine::X86);
    pe[0x84] = char(0x64);
    pe[0x85] = char(0x86);
    CHECK(dchost::machineOfHeader(pe) == LibraryMachine::X86_64);
    pe[0x3c] = char(0xff);
    pe[0x3d] = char(0x7f);
    CHECK(dchost::machineOfHeader(pe) == LibraryMachine::Unknown); // header past the end

    std::string elf = std::string("\x7f"
                                  "ELF\x01\x01",
                                  6) +
                      std::string(58, '\0');
    elf[18] = 3;
    CHECK(dchost::machineOfHeader(elf) == LibraryMachine::X86);
    elf[4] = 2;
    elf[18] = 62;
    CHECK(dchost::machineOfHeader(elf) == LibraryMachine::X86_64);
    elf[18] = char(183);
    CHECK(dchost::machineOfHeader(elf) == LibraryMachine::Other);
    CHECK(dchost::machineOfHeader("MZ") == LibraryMachine::Unknown);
    CHECK(dchost::machineOfHeader("#!/bin/sh\n") == LibraryMachine::Unknown);

    CHECK(dchost::libraryNeedsHost(LibraryMachine::X86) == (sizeof(void *) == 8));
    CHECK_FALSE(dchost::libraryNeedsHost(LibraryMachine::X86_64));
    CHECK_FALSE(dchost::libraryNeedsHost(LibraryMachine::Unknown));

    // This build's own library loads in-process; the host's does not (under Wine it is the
    // 32-bit libdc.dll beside the 32-bit dchost.exe).
    const std::string own = testing::libdcFile();
#ifdef _WIN32
    const std::string hostFolder = hostProgram().substr(0, hostProgram().find_last_of("/\\"));
    CHECK(dchost::libraryMachine(hostFolder + "/libdc.dll") == LibraryMachine::X86);
    CHECK(dchost::libraryMachine(hostProgram()) == LibraryMachine::X86);
    CHECK(dchost::libraryNeedsHost(dchost::libraryMachine(hostFolder + "/libdc.dll")));
#endif
    CHECK(dchost::libraryMachine(own) == LibraryMachine::X86_64);
    CHECK_FALSE(dchost::libraryNeedsHost(dchost::libraryMachine(own)));
    CHECK(dchost::libraryMachine(testing::programFolder() + "/no-such-library") ==
          LibraryMachine::Unknown);
}

TEST_CASE("through the host every entry point answers as the library loaded in-process does")
{
    HostFixture host;
    host.runDcsim({"bootloader", "delay", "0"});
    const DcEntries &remote = host.connection->entries();
    forEachDcEntry(remote, [](const char *name, auto entry) {
        CAPTURE(name);
        const bool present = entry != nullptr;
        CHECK(present);
    });
    const std::string throughHost = transcript(remote);

    // The same calls on a fresh mouse of its own, in this process.
    testing::TempFolder ownState;
    testing::setEnvironment("DC_SIM_DIR", ownState.path());
    runDcsim(ownState.path(), {"bootloader", "delay", "0"});
    const std::string inProcess = transcript(loadInProcess());
    CHECK(throughHost == inProcess);
    // And what they say is the mouse of the device map, not two equal failures.
    CHECK(throughHost.find("devices 0 0100" + hex("KELV-M1", 7)) != std::string::npos);
    CHECK(throughHost.find("boot-appears 0") != std::string::npos);
    CHECK(throughHost.find("mouse-returns 0") != std::string::npos);
    CHECK(throughHost.find("boot-appears-again 0") != std::string::npos);
    CHECK(throughHost.find("readprop 0 05000000") != std::string::npos);
}

TEST_CASE("the library's callbacks reach the program through the host, in order")
{
    HostFixture host;
    const DcEntries &e = host.connection->entries();
    const DcEventCallback eventHolder = onEvent;
    const DcDataCallback dataHolder = onData;
    REQUIRE(e.dcOnDeviceEvent(&eventHolder) == DC_OK);
    REQUIRE(e.dconDeviceData(kMouse, u"", DC_PRODUCT_CODE, &dataHolder) == DC_OK);
    // A subscription the library refuses changes nothing: the data keeps its callback.
    const DcDataCallback refusedHolder = onRefusedData;
    CHECK(e.dconDeviceData(u"HID\\Vid_1234&Pid_0001", u"", DC_PRODUCT_CODE, &refusedHolder) ==
          DC_NOT_PRESENT);

    host.runDcsim({"unplug"});
    host.runDcsim({"plug"});
    REQUIRE(testing::waitFor([] { return countOf(g_received.events) >= 10; }, 10s));
    {
        std::lock_guard<std::mutex> lock(g_received.mutex);
        const uint32_t removed = 2u | 0x5e30u << 16;
        const uint32_t arrived = 1u | 0x5e30u << 16;
        CHECK(g_received.events == std::vector<uint32_t>{removed, removed, removed, removed,
                                                         removed, arrived, arrived, arrived,
                                                         arrived, arrived});
    }

    constexpr int kReports = 10;
    for (int i = 0; i < kReports; ++i)
        host.runDcsim({"data", "01020AFF0000000" + std::to_string(i)});
    REQUIRE(testing::waitFor([] { return countOf(g_received.data) >= size_t(kReports); }, 10s));
    {
        std::lock_guard<std::mutex> lock(g_received.mutex);
        CHECK(g_received.data.front() == "01020aff00000000");
        CHECK(g_received.data.back() == "01020aff00000009");
    }
    CHECK(g_refusedCalls.load() == 0);
    const dchost::CallbackDelays delays = host.connection->callbackDelays();
    CHECK(delays.count == 10 + kReports);
    std::ostringstream figure;
    figure << "callback from the host to the program: " << delays.count << " callbacks, mean "
           << delays.totalMs / double(delays.count) << " ms, min " << delays.minMs << " ms, max "
           << delays.maxMs << " ms";
    MESSAGE(figure.str());

    // Unregistered: nothing more arrives.
    const DcEventCallback none = nullptr;
    REQUIRE(e.dcOnDeviceEvent(&none) == DC_OK);
    host.runDcsim({"unplug"});
    std::this_thread::sleep_for(300ms);
    CHECK(countOf(g_received.events) == 10);
}

TEST_CASE("the host and its library run from a folder named in other scripts")
{
    // A program installed under the home of a user whose name the system's code page
    // cannot hold: the host starts from there and loads the library beside it, whether
    // by its default name or by the full path the program gives it.
    testing::TempFolder temp;
    const std::string folder = temp.path() + "/Программа-日本";
    REQUIRE(std::filesystem::create_directory(std::filesystem::u8path(folder)));
#ifdef _WIN32
    const std::string library =
        hostProgram().substr(0, hostProgram().find_last_of("/\\")) + "/libdc.dll";
#else
    const std::string library = hostLibrary();
#endif
    const std::string host = folder + "/dchost" + testing::executableSuffix();
    const std::string copiedLibrary =
        folder + "/" + std::filesystem::u8path(library).filename().u8string();
    for (const auto &[from, to] : {std::pair{hostProgram(), host}, {library, copiedLibrary}}) {
        std::filesystem::copy_file(std::filesystem::u8path(from), std::filesystem::u8path(to));
        std::filesystem::permissions(std::filesystem::u8path(to),
                                     std::filesystem::perms::owner_all);
    }
    testing::TempFolder state;
    testing::setEnvironment("DC_SIM_DIR", state.path());
    for (const std::string &file : {std::string(), copiedLibrary}) {
        CAPTURE(file);
        std::string error;
        auto connection = dchost::HostConnection::start(host, file, &error);
        INFO(error);
        REQUIRE(connection != nullptr);
        CHECK(connection->entries().dcDeviceExist(kMouse) == DC_OK);
    }
}

TEST_CASE("a host without its library, or gone, answers like a device that is not there")
{
    SUBCASE("the library cannot be loaded")
    {
        std::string error;
        testing::TempFolder empty;
        auto connection = dchost::HostConnection::start(
            hostProgram(), empty.path() + "/libdc-missing" + testing::executableSuffix(), &error);
        CAPTURE(error);
        CHECK(connection == nullptr);
        CHECK(error.find("libdc-missing") != std::string::npos);
    }
    SUBCASE("the host program is missing")
    {
        std::string error;
        CHECK(dchost::HostConnection::start(testing::programFolder() + "/no-such-host", "",
                                            &error) == nullptr);
        CHECK_FALSE(error.empty());
    }
    SUBCASE("the host ends while the program runs")
    {
        HostFixture host;
        const DcEntries entries = host.connection->entries();
        const uint64_t pid = host.connection->hostPid();
        REQUIRE(entries.dcDeviceExist(kMouse) == DC_OK);
        REQUIRE(platform::endProcess((long long)pid, true));
        CHECK(testing::waitFor([&] { return !platform::processIsRunning(pid); }, 5s));
        std::vector<uint8_t> block(DC_LIST_BLOCK_SIZE, 0xee);
        CHECK(entries.dcDevices(mouseFilter(), block.data(), DC_LIST_BLOCK_SIZE) ==
              DC_DEVICE_FAULT);
        CHECK(block == std::vector<uint8_t>(DC_LIST_BLOCK_SIZE, 0xee));
        CHECK(entries.dcDeviceExist(kMouse) == DC_DEVICE_FAULT);
    }
    SUBCASE("the connection ends: the host ends with it, the entries answer no more")
    {
        auto host = std::make_unique<HostFixture>();
        const DcEntries entries = host->connection->entries();
        const uint64_t pid = host->connection->hostPid();
        REQUIRE(platform::processIsRunning(pid));
        host->connection.reset();
        CHECK(testing::waitFor([&] { return !platform::processIsRunning(pid); }, 5s));
        CHECK(entries.dcDeviceExist(kMouse) == DC_DEVICE_FAULT);
    }
}
