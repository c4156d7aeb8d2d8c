// The platform seam against the real system: Xvfb and X11 on Linux, Win32
// under Wine for the Windows half. Keys are typed through XTest or SendInput.

#include "platform/file_access.h"
#include "platform/global_hotkey.h"
#include "platform/key_recorder.h"
#include "platform/process_state.h"
#include "platform/recorded_events.h"
#include "platform/running_programs.h"
#include "platform/scancode.h"
#include "platform/system_mouse.h"
#include "platform/termination_signals.h"
#include "tests/doctest_support.h"
#include "tests/platform/key_injection.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <doctest.h>
#include <mutex>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

using namespace kelv;
using namespace std::chrono_literals;

namespace {

const platform::ScanCode kLeftCtrl{0x1D, false};
const platform::ScanCode kRightCtrl{0x1D, true};
const platform::ScanCode kLeftAlt{0x38, false};
const platform::ScanCode kKeyA{0x1E, false};
const platform::ScanCode kKeyK{0x25, false};
const platform::ScanCode kLeftArrow{0x4B, true};

void tap(const platform::ScanCode &key)
{
    REQUIRE(testing::injectKey(key, true));
    REQUIRE(testing::injectKey(key, false));
}

struct SeenKey
{
    bool pressed;
    platform::ScanCode scan;
};

// Key events as the recorder delivers them, turned into scan codes.
class KeyLog
{
public:
    platform::KeyRecorder::Callback callback()
    {
        return [this](const platform::RecordedKey &key) {
            platform::ScanCode scan;
            if (!platform::scanCodeForXKeycode(key.keycode, &scan))
                return;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_keys.push_back({key.pressed, scan});
        };
    }
    std::vector<SeenKey> keys()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_keys;
    }
    size_t size() { return keys().size(); }

private:
    std::mutex m_mutex;
    std::vector<SeenKey> m_keys;
};

std::string nativePath(std::string path)
{
#ifdef _WIN32
    std::replace(path.begin(), path.end(), '/', '\\');
#endif
    return path;
}

bool listed(const std::string &path)
{
    std::vector<std::string> paths;
    if (!platform::runningProgramPaths(&paths))
        return false;
    return std::find(paths.begin(), paths.end(), path) != paths.end();
}

} // namespace

TEST_CASE("the key recorder reports scan codes and extended flags of typed keys")
{
    KeyLog log;
    platform::KeyRecorder recorder;
    std::string error;
    REQUIRE_MESSAGE(recorder.start(log.callback(), &error), error);
    CHECK(recorder.isRecording());

    tap(kKeyA);
    tap(kLeftCtrl);
    tap(kRightCtrl);
    tap(kLeftArrow);
    REQUIRE(testing::waitFor([&] { return log.size() >= 8; }, 5s));
    recorder.stop();
    CHECK_FALSE(recorder.isRecording());

    const std::vector<SeenKey> keys = log.keys();
    REQUIRE(keys.size() == 8);
    const platform::ScanCode expected[] = {kKeyA, kLeftCtrl, kRightCtrl, kLeftArrow};
    for (size_t i = 0; i < 8; ++i) {
        CAPTURE(i);
        CHECK(keys[i].pressed == (i % 2 == 0));
        CHECK(keys[i].scan.code == expected[i / 2].code);
        CHECK(keys[i].scan.extended == expected[i / 2].extended);
    }

    // Nothing arrives after stop().
    tap(kKeyA);
    std::this_thread::sleep_for(200ms);
    CHECK(log.size() == 8);
}

TEST_CASE("recorded key events are read from whole events only, whatever a length field says")
{
    // Events as the RECORD extension hands them over: 32-byte core events and
    // generic events (type 35) longer by four bytes per unit of their length.
    auto event = [](std::uint8_t type, std::uint8_t detail, std::uint32_t card32, bool swapped) {
        std::vector<std::uint8_t> bytes(32, 0);
        bytes[0] = type;
        bytes[1] = detail;
        for (int i = 0; i < 4; ++i)
            bytes[size_t(4 + i)] = std::uint8_t(card32 >> (swapped ? 8 * (3 - i) : 8 * i));
        return bytes;
    };
    for (const bool swapped : {false, true}) {
        CAPTURE(swapped);
        std::vector<std::uint8_t> block;
        auto append = [&](const std::vector<std::uint8_t> &bytes) {
            block.insert(block.end(), bytes.begin(), bytes.end());
        };
        append(event(2, 38, 1000, swapped));        // KeyPress
        append(event(35, 0, 2, swapped));           // generic, 8 more bytes ...
        block.insert(block.end(), 8, 0xEE);         // ... which are not events
        append(event(3 | 0x80, 38, 1010, swapped)); // KeyRelease (sent flag)
        // A generic event whose length, times four, is 2^32: read as a 32-bit
        // int it wrapped to 0 and the walk went on into what follows.
        append(event(35, 0, 0x40000000u, swapped));
        append(event(2, 40, 1020, swapped));
        std::vector<platform::RecordedKeyEvent> keys;
        platform::forEachRecordedKeyEvent(
            block.data(), block.size(), swapped,
            [&](const platform::RecordedKeyEvent &key) { keys.push_back(key); });
        REQUIRE(keys.size() == 2);
        CHECK((keys[0].pressed && keys[0].keycode == 38 && keys[0].time == 1000));
        CHECK((!keys[1].pressed && keys[1].keycode == 38 && keys[1].time == 1010));

        // A block that ends inside an event, or in a generic event's tail.
        keys.clear();
        platform::forEachRecordedKeyEvent(
            block.data(), 32 + 20, swapped,
            [&](const platform::RecordedKeyEvent &key) { keys.push_back(key); });
        CHECK(keys.size() == 1);
        keys.clear();
        platform::forEachRecordedKeyEvent(
            block.data(), 64 + 4, swapped,
            [&](const platform::RecordedKeyEvent &key) { keys.push_back(key); });
        CHECK(keys.size() == 1);
    }
}

TEST_CASE("a registered hot key fires when its combination is typed, once it is free again")
{
    std::atomic<int> fired{0};
    platform::HotKeyChord chord;
    chord.keysym = 'k';
    chord.control = true;
    chord.alt = true;
    auto hotKey = platform::GlobalHotKey::registerChord(chord, [&] { ++fired; });
    REQUIRE(hotKey != nullptr);

    SUBCASE("the same chord cannot be taken twice")
    {
        CHECK(platform::GlobalHotKey::registerChord(chord, [] {}) == nullptr);
    }

    REQUIRE(testing::injectKey(kLeftCtrl, true));
    REQUIRE(testing::injectKey(kLeftAlt, true));
    tap(kKeyK);
    REQUIRE(testing::injectKey(kLeftAlt, false));
    REQUIRE(testing::injectKey(kLeftCtrl, false));
    CHECK(testing::waitFor([&] { return fired.load() == 1; }, 5s));

    // The key alone is no hot key.
    tap(kKeyK);
    std::this_thread::sleep_for(200ms);
    CHECK(fired.load() == 1);

    hotKey.reset();
    auto again = platform::GlobalHotKey::registerChord(chord, [] {});
    CHECK(again != nullptr);
}

TEST_CASE("a started program is found by the full path of its executable and runs until it ends")
{
    const std::string helper =
        testing::testProgramFolder() + "/seam_helper" + testing::executableSuffix();
    const std::string path = nativePath(helper);
    REQUIRE_FALSE(listed(path));

    testing::ChildProcess child(helper, {});
    REQUIRE(child.started());
    CHECK(testing::waitFor([&] { return listed(path); }, 10s));
    CHECK(platform::processIsRunning(child.pid()));

    child.kill();
    CHECK(testing::waitFor([&] { return !listed(path); }, 10s));
    CHECK_FALSE(platform::processIsRunning(child.pid()));
    CHECK_FALSE(platform::processIsRunning(0));
}

TEST_CASE("the system mouse settings take the new values")
{
    testing::TempFolder settings;
#ifndef _WIN32
    // Plasma's store is files in the configuration folder: a temporary one,
    // so the desktop of whoever runs the tests stays untouched, and no bus
    // to tell a running session. (Every desktop, with its real store on a
    // private session bus, is tested by test_system_mouse.)
    testing::setEnvironment("XDG_CONFIG_HOME", settings.path());
    testing::setEnvironment("XDG_CURRENT_DESKTOP", "KDE");
    testing::setEnvironment("XDG_SESSION_TYPE", "x11");
    testing::setEnvironment("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kelv-bus");
#endif

    CHECK_FALSE(platform::setPointerSpeed(0));
    CHECK_FALSE(platform::setPointerSpeed(21));
    CHECK_FALSE(platform::setDoubleClickTime(0));
    CHECK_FALSE(platform::setDoubleClickTime(5001));

#ifdef _WIN32
    const char *pointerCall = "SystemParametersInfoW(SPI_SETMOUSESPEED)";
    const char *wheelCall = "SystemParametersInfoW(SPI_SETWHEELSCROLLLINES)";
    const char *doubleClickCall = "SetDoubleClickTime";
#else
    const char *pointerCall = "kcminputrc XLbInptPointerAcceleration";
    const char *wheelCall = "kdeglobals WheelScrollLines";
    const char *doubleClickCall = "kdeglobals DoubleClickInterval";
#endif
    int taken = 0;
    auto roundTrip = [&](const char *call, bool (*set)(long long), long long first,
                         long long second) {
        if (!set(first)) {
            const std::string note = "skipped: this system does not implement " + std::string(call);
            MESSAGE(note);
            return;
        }
        CHECK(set(second));
        CHECK(set(first));
        ++taken;
    };
    roundTrip(pointerCall, platform::setPointerSpeed, 7, 15);
    roundTrip(wheelCall, platform::setWheelScrollLines, 5, 3);
    roundTrip(doubleClickCall, platform::setDoubleClickTime, 420, 600);
    CHECK(taken >= 1);
}

TEST_CASE("a request from the system to end the program arrives on the watched descriptor")
{
    const int fd = platform::watchTerminationRequests();
    REQUIRE(fd >= 0);
    CHECK(platform::watchTerminationRequests() == fd);
    CHECK(platform::takeTerminationRequest() == 0);
#ifdef _WIN32
    // The end of the session, as Windows tells every top-level window.
    HWND window = nullptr;
    REQUIRE(testing::waitFor(
        [&] { return (window = FindWindowW(L"kelv.termination", nullptr)) != nullptr; }, 5s));
    CHECK(SendMessageW(window, WM_QUERYENDSESSION, 0, 0) == TRUE);
    CHECK(testing::waitFor([] { return platform::takeTerminationRequest() == 0; }, 100ms));
    PostMessageW(window, WM_ENDSESSION, TRUE, 0);
#else
    std::raise(SIGTERM);
#endif
    int request = 0;
    CHECK(
        testing::waitFor([&] { return (request = platform::takeTerminationRequest()) != 0; }, 5s));
    CHECK(request == SIGTERM);
}

TEST_CASE("a writable folder does not deny writing, nor does a missing one")
{
    testing::TempFolder folder;
    CHECK_FALSE(platform::folderDeniesWriting(folder.path()));
    CHECK(testing::filesIn(folder.path()).empty()); // the probe leaves nothing behind
    CHECK_FALSE(platform::folderDeniesWriting(folder.path() + "/missing"));
}
