// The platform seam against the real system: Xvfb and X11 on Linux, Win32
// under Wine for the Windows half. Keys are typed through XTest or SendInput.

#include "platform/file_access.h"
#include "platform/global_hotkey.h"
#include "platform/key_recorder.h"
#include "platform/memory_release.h"
#include "platform/process_control.h"
#include "platform/process_state.h"
#include "platform/program_path.h"
#include "platform/recorded_events.h"
#include "platform/running_programs.h"
#include "platform/scancode.h"
#include "platform/system_mouse.h"
#include "platform/termination_signals.h"
#include "platform/user_rights.h"
#include "tests/doctest_support.h"
#include "tests/platform/key_injection.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <doctest.h>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#ifdef _WIN32
// winsock2.h must come before windows.h.
#include <winsock2.h>
// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <io.h>
#include <sddl.h>
// clang-format on
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
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
            if (!platform::recordedScanCode(key, &scan))
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

TEST_CASE("keys typed with Alt, AltGr and F10 are recorded as pressed and released")
{
    // Windows reports these as system keys (WM_SYSKEYDOWN, WM_SYSKEYUP): a release
    // missed there leaves Alt held in the recorded macro, and every later key with it.
    const platform::ScanCode rightAlt{0x38, true}; // AltGr
    const platform::ScanCode f10{0x44, false};
    const platform::ScanCode keyQ{0x10, false};
    KeyLog log;
    platform::KeyRecorder recorder;
    std::string error;
    REQUIRE_MESSAGE(recorder.start(log.callback(), &error), error);
    const std::vector<std::pair<bool, platform::ScanCode>> typed = {
        {true, kLeftAlt}, {true, kKeyA}, {false, kKeyA},    {false, kLeftAlt}, {true, rightAlt},
        {true, keyQ},     {false, keyQ}, {false, rightAlt}, {true, f10},       {false, f10},
        {true, kLeftAlt}, {true, f10},   {false, f10},      {false, kLeftAlt}};
    for (const auto &[press, key] : typed)
        REQUIRE(testing::injectKey(key, press));
    REQUIRE(testing::waitFor([&] { return log.size() >= typed.size(); }, 5s));
    recorder.stop();

    const std::vector<SeenKey> keys = log.keys();
    REQUIRE(keys.size() == typed.size());
    for (size_t i = 0; i < typed.size(); ++i) {
        CAPTURE(i);
        CHECK(keys[i].pressed == typed[i].first);
        CHECK(keys[i].scan.code == typed[i].second.code);
        CHECK(keys[i].scan.extended == typed[i].second.extended);
    }
}

#ifdef _WIN32
TEST_CASE("keys no X key code stands for are recorded with the hook's own scan code")
{
    // Alt+Print Screen sends 0x54 and Ctrl+Pause 0x46 extended.
    const platform::ScanCode systemRequest{0x54, false};
    const platform::ScanCode ctrlBreak{0x46, true};
    unsigned keycode = 0;
    REQUIRE_FALSE(platform::xKeycodeForScanCode(systemRequest, &keycode));
    REQUIRE_FALSE(platform::xKeycodeForScanCode(ctrlBreak, &keycode));

    KeyLog log;
    platform::KeyRecorder recorder;
    std::string error;
    REQUIRE_MESSAGE(recorder.start(log.callback(), &error), error);
    tap(systemRequest);
    tap(ctrlBreak);
    REQUIRE(testing::waitFor([&] { return log.size() >= 4; }, 5s));
    recorder.stop();

    const std::vector<SeenKey> keys = log.keys();
    REQUIRE(keys.size() == 4);
    const platform::ScanCode expected[] = {systemRequest, ctrlBreak};
    for (size_t i = 0; i < 4; ++i) {
        CAPTURE(i);
        CHECK(keys[i].pressed == (i % 2 == 0));
        CHECK(keys[i].scan.code == expected[i / 2].code);
        CHECK(keys[i].scan.extended == expected[i / 2].extended);
    }
}
#endif

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

TEST_CASE("a bound program is matched by its path as the system compares file names")
{
    // A program of its own in a folder of its own, and the same program under the same
    // file name elsewhere: only the one running matches.
    testing::TempFolder folder;
    const std::string name = "/Bound_Helper" + std::string(testing::executableSuffix());
    const std::string helper =
        testing::testProgramFolder() + "/seam_helper" + testing::executableSuffix();
    const std::string bound = folder.path() + name;
    std::filesystem::copy_file(std::filesystem::u8path(helper), std::filesystem::u8path(bound));
    std::filesystem::permissions(std::filesystem::u8path(bound), std::filesystem::perms::owner_all);
    testing::TempFolder elsewhere;
    const std::string other = elsewhere.path() + name;

    std::string upper = bound;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    std::string backslashed = bound;
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    const std::vector<std::string> bindings = {bound, upper, backslashed, other};

    auto running = [&] {
        std::vector<std::string> paths;
        REQUIRE(platform::runningProgramPaths(&paths));
        return platform::boundProgramsRunning(bindings, paths);
    };
    CHECK(running() == std::vector<bool>(4, false));

    testing::ChildProcess child(bound, {});
    REQUIRE(child.started());
#ifdef _WIN32
    // Letter case and either separator name the same file.
    const std::vector<bool> expected = {true, true, true, false};
#else
    // Bytes: another case or a backslash is another file name.
    const std::vector<bool> expected = {true, false, false, false};
#endif
    CHECK(testing::waitFor([&] { return running() == expected; }, 10s));
    child.kill();
    CHECK(testing::waitFor([&] { return running() == std::vector<bool>(4, false); }, 10s));
}

namespace {

#ifdef _WIN32
// A value as Windows holds it (-1 when it cannot be read).
long long spiValue(UINT action)
{
    UINT value = 0;
    return SystemParametersInfoW(action, 0, &value, 0) ? (long long)value : -1LL;
}
#endif

} // namespace

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

    // Each value is set, read back from the system where the test can ask it directly,
    // set to another value and back.
    auto roundTrip = [](bool (*set)(long long), long long (*stored)(), long long first,
                        long long second) {
        REQUIRE(set(first));
        if (stored)
            CHECK(stored() == first);
        REQUIRE(set(second));
        if (stored)
            CHECK(stored() == second);
        CHECK(set(first));
    };
#ifdef _WIN32
    long long (*pointerSpeed)() = [] { return spiValue(SPI_GETMOUSESPEED); };
    long long (*wheelLines)() = [] { return spiValue(SPI_GETWHEELSCROLLLINES); };
    long long (*doubleClick)() = [] { return (long long)GetDoubleClickTime(); };
    // Wine 8 does not implement SPI_SETMOUSESPEED: only that one is left out there.
    const bool pointerSpeedStored = !testing::runsUnderWine();
#else
    long long (*pointerSpeed)() = nullptr;
    long long (*wheelLines)() = nullptr;
    long long (*doubleClick)() = nullptr;
    const bool pointerSpeedStored = true;
#endif
    if (pointerSpeedStored)
        roundTrip(platform::setPointerSpeed, pointerSpeed, 7, 15);
    else
        MESSAGE("not checked: Wine does not store the pointer speed "
                "(SystemParametersInfoW(SPI_SETMOUSESPEED))");
    roundTrip(platform::setWheelScrollLines, wheelLines, 5, 3);
    roundTrip(platform::setDoubleClickTime, doubleClick, 420, 600);
}

namespace {

// Whether the descriptor an event loop watches becomes readable (without reading it).
bool readableWithin(int fd, std::chrono::milliseconds timeout)
{
#ifdef _WIN32
    fd_set set;
    FD_ZERO(&set);
    FD_SET(SOCKET(fd), &set);
    timeval wait = {long(timeout.count() / 1000), long(timeout.count() % 1000 * 1000)};
    return select(0, &set, nullptr, nullptr, &wait) == 1;
#else
    pollfd watched = {fd, POLLIN, 0};
    return poll(&watched, 1, int(timeout.count())) == 1;
#endif
}

} // namespace

TEST_CASE("a request from the system to end the program arrives on the watched descriptor")
{
    const int fd = platform::watchTerminationRequests();
    REQUIRE(fd >= 0);
    CHECK(platform::watchTerminationRequests() == fd);
    CHECK_FALSE(readableWithin(fd, 0ms));
    CHECK(platform::takeTerminationRequest() == 0);

    // Each request arrives once, with its own number, and is taken away by reading it.
    auto expectRequest = [&](int number) {
        REQUIRE(readableWithin(fd, 5s));
        CHECK(platform::takeTerminationRequest() == number);
        CHECK_FALSE(readableWithin(fd, 0ms));
    };
#ifdef _WIN32
    // Ctrl+Break in the program's console.
    if (GetConsoleWindow() || AllocConsole()) {
        REQUIRE(GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0));
        expectRequest(SIGBREAK);
    } else {
        MESSAGE("not checked: no console to send Ctrl+Break to");
    }
    // The end of the session, as Windows tells every top-level window. Asked whether the
    // session may end, the program says yes and nothing more; a session that does not end
    // after all is no request either; only its end is.
    HWND window = nullptr;
    REQUIRE(testing::waitFor(
        [&] { return (window = FindWindowW(L"kelv.termination", nullptr)) != nullptr; }, 5s));
    CHECK(SendMessageW(window, WM_QUERYENDSESSION, 0, 0) == TRUE);
    CHECK_FALSE(readableWithin(fd, 300ms));
    SendMessageW(window, WM_ENDSESSION, FALSE, 0);
    CHECK_FALSE(readableWithin(fd, 300ms));
    PostMessageW(window, WM_ENDSESSION, TRUE, 0);
    expectRequest(SIGTERM);
#else
    std::raise(SIGINT);
    expectRequest(SIGINT);
    std::raise(SIGTERM);
    expectRequest(SIGTERM);
#endif
}

namespace {

#ifndef _WIN32
// Runs check in a child process of another user (nobody), as root cannot be refused
// anything: its result, or false when the child could not become that user.
bool asAnotherUser(const std::function<bool()> &check)
{
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}
#endif

} // namespace

TEST_CASE("the write-access check tells a folder that denies writing from one that does not")
{
    testing::TempFolder folder;
    CHECK_FALSE(platform::folderDeniesWriting(folder.path()));
    CHECK(testing::filesIn(folder.path()).empty()); // the probe leaves nothing behind
    CHECK_FALSE(platform::folderDeniesWriting(folder.path() + "/missing"));

#ifdef _WIN32
    // A folder whose access control list denies everyone the creation of files.
    const std::string locked = folder.path() + "/locked";
    std::wstring wideLocked;
    for (char c : locked)
        wideLocked += c == '/' ? L'\\' : wchar_t(static_cast<unsigned char>(c));
    REQUIRE(CreateDirectoryW(wideLocked.c_str(), nullptr));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    REQUIRE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(D;OICI;0x6;;;WD)(A;OICI;FA;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    REQUIRE(SetNamedSecurityInfoW(wideLocked.data(), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS);
    LocalFree(descriptor);
    if (!testing::runsUnderWine()) {
        CHECK(platform::folderDeniesWriting(locked));
    } else {
        // Wine keeps access control lists but does not enforce them; the Linux kernel's
        // refusal is what it reports as access denied: sysfs takes no new files, not even
        // from root.
        MESSAGE("not checked: Wine does not enforce the folder's access control list");
        CHECK(platform::folderDeniesWriting("Z:/sys"));
    }
#else
    // A folder without write permission, as seen by a user who is not its owner's root.
    REQUIRE(chmod(folder.path().c_str(), 0755) == 0);
    const std::string locked = folder.path() + "/locked";
    REQUIRE(mkdir(locked.c_str(), 0555) == 0);
    if (geteuid() == 0)
        CHECK(asAnotherUser([&] { return platform::folderDeniesWriting(locked); }));
    else
        CHECK(platform::folderDeniesWriting(locked));
#endif
}

namespace {

void writeText(const std::string &path, const std::string &text)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    REQUIRE(file);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

// The whole content behind a descriptor openRegularFile() gave, which it closes.
std::string readDescriptor(int fd)
{
    std::string text;
    char buffer[256];
    for (;;) {
#ifdef _WIN32
        const int n = _read(fd, buffer, sizeof buffer);
#else
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
#endif
        if (n <= 0)
            break;
        text.append(buffer, size_t(n));
    }
#ifdef _WIN32
    _close(fd);
#else
    ::close(fd);
#endif
    return text;
}

} // namespace

TEST_CASE("a file replaces another in one step, and a failed move leaves the old one")
{
    testing::TempFolder folder;
    const std::string kept = folder.path() + "/kept.pkg";
    const std::string incoming = folder.path() + "/incoming.pkg";
    writeText(kept, "old");
    writeText(incoming, "new");
    REQUIRE(platform::replaceFile(incoming, kept));
    CHECK(testing::readWholeFile(kept) == "new");
    CHECK(testing::filesIn(folder.path()) == std::vector<std::string>{"kept.pkg"});

    // A source that is gone: nothing changes.
    CHECK_FALSE(platform::replaceFile(incoming, kept));
    CHECK(testing::readWholeFile(kept) == "new");
#ifndef _WIN32
    // A source the user may not move (its folder is read-only): the target stays whole.
    REQUIRE(chmod(folder.path().c_str(), 0755) == 0);
    const std::string locked = folder.path() + "/locked";
    REQUIRE(mkdir(locked.c_str(), 0755) == 0);
    writeText(locked + "/incoming.pkg", "newer");
    REQUIRE(chmod(locked.c_str(), 0555) == 0);
    REQUIRE(chmod(kept.c_str(), 0666) == 0);
    REQUIRE(chmod(folder.path().c_str(), 0777) == 0);
    const auto moveAndKeep = [&] {
        return !platform::replaceFile(locked + "/incoming.pkg", kept) &&
               testing::readWholeFile(kept) == "new";
    };
    CHECK((geteuid() == 0 ? asAnotherUser(moveAndKeep) : moveAndKeep()));
    REQUIRE(chmod(folder.path().c_str(), 0755) == 0);
    REQUIRE(chmod(locked.c_str(), 0755) == 0);
#endif
}

TEST_CASE("only a regular file is opened for reading, and a named pipe never blocks")
{
    testing::TempFolder folder;
    const std::string file = folder.path() + "/conf.xml";
    writeText(file, "<conf/>");
    platform::RegularFile opened = platform::openRegularFile(file);
    REQUIRE(opened.result == platform::RegularOpen::Opened);
    CHECK(readDescriptor(opened.fd) == "<conf/>");

    CHECK(platform::openRegularFile(folder.path() + "/missing.xml").result ==
          platform::RegularOpen::Missing);
    CHECK(platform::openRegularFile(folder.path()).result == platform::RegularOpen::NotRegular);
#ifndef _WIN32
    // A FIFO planted in the file's place, with no writer: refused at once. The call runs on
    // a thread of its own so that a blocking open fails the test instead of hanging it.
    const std::string fifo = folder.path() + "/fifo.xml";
    REQUIRE(mkfifo(fifo.c_str(), 0600) == 0);
    std::atomic<int> result{-1};
    std::thread reader([&] { result = int(platform::openRegularFile(fifo).result); });
    const bool answered = testing::waitFor([&] { return result != -1; }, 5s);
    if (!answered) {
        // Give the blocked open its writer so the thread can end.
        const int unblock = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        reader.join();
        if (unblock >= 0)
            ::close(unblock);
    } else {
        reader.join();
    }
    CHECK(answered);
    CHECK(result == int(platform::RegularOpen::NotRegular));
    // A character device (a terminal or /dev/zero would never end a read).
    CHECK(platform::openRegularFile("/dev/zero").result == platform::RegularOpen::NotRegular);
#else
    CHECK(platform::openRegularFile("NUL").result == platform::RegularOpen::NotRegular);
#endif
}

TEST_CASE("the administrator check agrees with the system's own answer")
{
#ifdef _WIN32
    // Membership of the administrators' group that the token enables: true only when the
    // program runs elevated (or without the user account control).
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    REQUIRE(AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                     DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators));
    BOOL member = FALSE;
    REQUIRE(CheckTokenMembership(nullptr, administrators, &member));
    FreeSid(administrators);
    CHECK(platform::runsWithAdministratorRights() == (member != FALSE));
#else
    CHECK(platform::runsWithAdministratorRights() == (geteuid() == 0));
    if (geteuid() == 0)
        CHECK(asAnotherUser([] { return !platform::runsWithAdministratorRights(); }));
#endif
}

TEST_CASE("a program asked to end ends, asked or forced")
{
    const std::string helper =
        testing::testProgramFolder() + "/seam_helper" + testing::executableSuffix();
    for (const bool force : {false, true}) {
        CAPTURE(force);
        testing::ChildProcess child(helper, {});
        REQUIRE(child.started());
        REQUIRE(platform::processIsRunning(child.pid()));
        CHECK(platform::endProcess((long long)child.pid(), force));
        CHECK(child.wait(5s));
        CHECK_FALSE(platform::processIsRunning(child.pid()));
    }
    CHECK_FALSE(platform::endProcess(0, false));
    CHECK_FALSE(platform::endProcess(-5, true));
}

#ifndef _WIN32
namespace {

// The resident size of the mapping that starts at address, from /proc/self/smaps.
long residentKiB(const void *address)
{
    char start[32];
    std::snprintf(start, sizeof start, "%lx-", reinterpret_cast<unsigned long>(address));
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        if (line.find('-') != std::string::npos && line.find(' ') > line.find('-') &&
            std::isxdigit(static_cast<unsigned char>(line[0])))
            inside = line.rfind(start, 0) == 0;
        else if (inside && line.rfind("Rss:", 0) == 0)
            return std::strtol(line.c_str() + 4, nullptr, 10);
    }
    return -1;
}

// Maps the first size bytes of file read-only (a library's code and data are
// mapped so) and reads every page once; null when it cannot.
const char *mapAndRead(const std::string &file, size_t size)
{
    const int fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0)
        return nullptr;
    void *mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (mapped == MAP_FAILED)
        return nullptr;
    volatile long sum = 0;
    for (size_t i = 0; i < size; i += 4096)
        sum = sum + static_cast<const char *>(mapped)[i];
    return static_cast<const char *>(mapped);
}

// True when giving memory back takes the pages of size bytes of file, mapped
// and read, out of this process, and they read the same afterwards.
bool releasesPagesOf(const std::string &file, size_t size)
{
    const char *mapped = mapAndRead(file, size);
    if (!mapped)
        return false;
    const std::string head(mapped, 64);
    const long before = residentKiB(mapped);
    platform::releaseFreeMemory();
    const long after = residentKiB(mapped);
    const bool same = std::string(mapped, 64) == head;
    munmap(const_cast<char *>(mapped), size);
    if (before < long(size / 1024) * 9 / 10 || after > long(size / 1024) / 4 || !same) {
        std::fprintf(stderr, "%s: %ld KiB resident before, %ld KiB after, data %s\n", file.c_str(),
                     before, after, same ? "the same" : "changed");
        return false;
    }
    return true;
}

// The file of the C library, which belongs to root as the system's libraries do.
std::string systemLibrary()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&::open), &info) == 0 || !info.dli_fname)
        return {};
    return info.dli_fname;
}

} // namespace

TEST_CASE("released, the resident pages of files the program only reads go back to the system")
{
    testing::TempFolder folder;
    REQUIRE(chmod(folder.path().c_str(), 0755) == 0);
    const std::string file = folder.path() + "/data";
    constexpr size_t size = 4 << 20;
    {
        std::ofstream out(file, std::ios::binary);
        out << std::string(size, 'k');
    }

    SUBCASE("a file of the program's own user")
    {
        CHECK(releasesPagesOf(file, size));
    }

    SUBCASE("a file of another user, as the system's libraries are")
    {
        // The kernel pages out only files the caller owns or may write; root
        // may write any. Run as root, the file made here is read as nobody;
        // run as a user, the C library of the system is read.
        if (geteuid() == 0) {
            CHECK(asAnotherUser([&] { return releasesPagesOf(file, size); }));
        } else {
            const std::string library = systemLibrary();
            struct stat info
            {
            };
            REQUIRE(stat(library.c_str(), &info) == 0);
            REQUIRE(info.st_uid != geteuid());
            CHECK(releasesPagesOf(library,
                                  std::min<size_t>(size_t(info.st_size) & ~size_t(4095), 1 << 20)));
        }
    }

    SUBCASE("pages a write changed keep what was written")
    {
        // Relocated data of a library: written once, then made read-only.
        const int fd = ::open(file.c_str(), O_RDONLY);
        REQUIRE(fd >= 0);
        void *mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
        ::close(fd);
        REQUIRE(mapped != MAP_FAILED);
        auto *bytes = static_cast<char *>(mapped);
        for (size_t i = 0; i < size; i += 4096)
            bytes[i] = i < size / 2 ? 'w' : bytes[i];
        REQUIRE(mprotect(mapped, size, PROT_READ) == 0);
        platform::releaseFreeMemory();
        CHECK(bytes[0] == 'w');
        CHECK(bytes[size / 2 - 4096] == 'w');
        CHECK(bytes[size / 2] == 'k');
        munmap(mapped, size);
    }
}
#endif
