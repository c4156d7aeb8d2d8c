// The device library as the program loads it: by file name at run time
// (LoadLibraryW on Windows, dlopen on Linux), its eighteen entry points looked
// up by name, the device list block filled, and a plug event from dcsim
// delivered to the registered callback.

#include "libdc/libdc.h"
#include "tests/doctest_support.h"

#include <atomic>
#include <cstring>
#include <doctest.h>
#include <string>

using namespace kelv;
using namespace std::chrono_literals;

namespace {

const char *const kEntryPoints[] = {
    "dcDeviceExist", "dcDevices",   "dcOnDeviceEvent", "dconDeviceData", "dcAsk",
    "dcReset",       "dcNotify",    "dcRead",          "dcWrite",        "dcReadProp",
    "dcWriteProp",   "dcScriptOut", "dcIDWrite",       "dcRebootRom",    "dcFinishUpdateRom",
    "dcCheckRom",    "dcBornRom",   "dcEraseRom",
};

std::atomic<uint32_t> g_lastEvent{0};

bool DC_CALL onEvent(uint32_t event)
{
    g_lastEvent = event;
    return true;
}

std::u16string utf16Field(const uint8_t *record, size_t offset)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < DC_RECORD_UTF16_FIELD_SIZE; i += 2) {
        const char16_t unit = char16_t(record[offset + i] | record[offset + i + 1] << 8);
        if (unit == 0)
            break;
        text += unit;
    }
    return text;
}

} // namespace

TEST_CASE("the library loaded by file name exports all eighteen entry points and lists the mouse")
{
    testing::TempFolder state;
    testing::setEnvironment("DC_SIM_DIR", state.path());
    const std::string dcsim = testing::programFolder() + "/dcsim" + testing::executableSuffix();
    const std::vector<std::string> simEnvironment = {"DC_SIM_DIR=" + state.path()};

    testing::SharedLibrary library(testing::libdcFile());
    REQUIRE(library.loaded());
    for (const char *name : kEntryPoints) {
        CAPTURE(name);
        CHECK(library.find(name) != nullptr);
    }
    CHECK(library.find("dcNoSuchEntry") == nullptr);

    const auto devices = reinterpret_cast<DcFnDevices>(library.find("dcDevices"));
    const auto readProp = reinterpret_cast<DcFnReadProp>(library.find("dcReadProp"));
    const auto onDeviceEvent = reinterpret_cast<DcFnOnDeviceEvent>(library.find("dcOnDeviceEvent"));
    const bool resolved = devices && readProp && onDeviceEvent;
    REQUIRE(resolved);

    DcFilter filter{};
    filter.words[0] = 0xFFA00001;
    filter.words[1] = 0xFFAA0001;
    std::vector<uint8_t> block(DC_LIST_BLOCK_SIZE, 0);
    REQUIRE(devices(filter, block.data(), DC_LIST_BLOCK_SIZE) == DC_OK);
    CHECK((block[0] | block[1] << 8) == 1);
    const uint8_t *record = block.data() + 2;
    CHECK(std::string(reinterpret_cast<const char *>(record + DC_RECORD_DEVICE_ID)) == "KELV-M1");
    CHECK(std::string(reinterpret_cast<const char *>(record + DC_RECORD_VERSION)) == "1.0.0");
    const std::u16string hardwareId = utf16Field(record, DC_RECORD_HARDWARE_ID);
    CHECK(hardwareId == u"HID\\Vid_0aa0&Pid_5e30");

    std::vector<uint8_t> property(DC_TRANSFER_SIZE, 0);
    CHECK(readProp(hardwareId.c_str(), u"", DC_PRODUCT_CODE, property.data(), 1, 1) == DC_OK);
    CHECK(property[0] == 5);
    CHECK(readProp(hardwareId.c_str(), u"", 1234, property.data(), 1, 1) == DC_WRONG_PRODUCT);

    // dcsim in another process unplugs the mouse: the library's thread tells us.
    const DcEventCallback holder = &onEvent;
    REQUIRE(onDeviceEvent(&holder) == DC_OK);
    REQUIRE(testing::runProgram(dcsim, {"unplug"}, simEnvironment) == 0);
    CHECK(testing::waitFor([] { return g_lastEvent.load() == (2u | 0x5e30u << 16); }, 5s));
    REQUIRE(devices(filter, block.data(), DC_LIST_BLOCK_SIZE) == DC_OK);
    CHECK((block[0] | block[1] << 8) == 0);
    REQUIRE(testing::runProgram(dcsim, {"plug"}, simEnvironment) == 0);
    CHECK(testing::waitFor([] { return g_lastEvent.load() == (1u | 0x5e30u << 16); }, 5s));
    const DcEventCallback none = nullptr;
    CHECK(onDeviceEvent(&none) == DC_OK);
}

TEST_CASE("a device held by another process (dcsim hold) is busy until that process lets go")
{
    // The state folder's lock file is locked across processes (flock on Linux, LockFileEx
    // on Windows): while dcsim holds it, a call waits its time limit and answers busy. A
    // call can wait up to twice the 2 s limit when the library's own thread is waiting for
    // the folder too, so dcsim holds it longer than that.
    testing::TempFolder state;
    testing::setEnvironment("DC_SIM_DIR", state.path());
    testing::SharedLibrary library(testing::libdcFile());
    REQUIRE(library.loaded());
    const auto deviceExist = reinterpret_cast<DcFnDeviceExist>(library.find("dcDeviceExist"));
    REQUIRE(library.find("dcDeviceExist") != nullptr);
    const char16_t *mouse = u"HID\\Vid_0aa0&Pid_5e30";
    REQUIRE(deviceExist(mouse) == DC_OK);

    testing::ChildProcess holder(testing::programFolder() + "/dcsim" + testing::executableSuffix(),
                                 {"hold", "5000"}, {"DC_SIM_DIR=" + state.path()});
    REQUIRE(holder.started());
    CHECK(testing::waitFor([&] { return deviceExist(mouse) == DC_BUSY; }, 15s));
    long code = -1;
    REQUIRE(holder.wait(15s, &code));
    CHECK(code == 0);
    CHECK(deviceExist(mouse) == DC_OK);
}

#ifdef _WIN32
TEST_CASE("on Windows the daemons' services list nothing and say they are off")
{
    testing::TempFolder state;
    testing::setEnvironment("DC_SIM_DIR", state.path());
    testing::SharedLibrary library(testing::libdcFile());
    REQUIRE(library.loaded());
    const auto readProp = reinterpret_cast<DcFnReadProp>(library.find("dcReadProp"));
    const auto writeProp = reinterpret_cast<DcFnWriteProp>(library.find("dcWriteProp"));
    const auto deviceExist = reinterpret_cast<DcFnDeviceExist>(library.find("dcDeviceExist"));
    REQUIRE((readProp && writeProp && deviceExist));
    for (const char16_t *service : {u"RATBAG\\", u"OPENRAZER\\"}) {
        std::vector<uint8_t> text(DC_TRANSFER_SIZE, 0xff);
        REQUIRE(readProp(service, u"", DC_PRODUCT_CODE, text.data(), DC_TRANSFER_SIZE,
                         DC_PROP_SERVICE_STATE) == DC_OK);
        const std::string state(reinterpret_cast<const char *>(text.data()));
        CAPTURE(state);
        CHECK(state.find("\"state\":\"off\"") != std::string::npos);
        CHECK(text.back() == 0); // the rest of the buffer cleared
        CHECK(readProp(service, u"", 1234, text.data(), 1, DC_PROP_SERVICE_STATE) ==
              DC_WRONG_PRODUCT);
        CHECK(readProp(service, u"", DC_PRODUCT_CODE, text.data(), 1, 1) == DC_NOT_PRESENT);
        const uint8_t start = 1;
        CHECK(writeProp(service, u"", DC_PRODUCT_CODE, &start, 1, DC_PROP_SERVICE_STATE) ==
              DC_NOT_PRESENT);
    }
}
#endif
