// Folder removal, program starts through the shell and raising the running
// instance's window, against the real system (Win32 under Wine for Windows).

#include "platform/instance_window.h"
#include "platform/shell_operations.h"
#include "tests/doctest_support.h"

#include <doctest.h>
#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <atomic>
#include <thread>
#include <windows.h>
#else
#include <unistd.h>
#endif

using namespace kelv;
using namespace std::chrono_literals;

namespace {

std::uint64_t ownPid()
{
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return std::uint64_t(getpid());
#endif
}

void writeFile(const std::string &path, const std::string &content)
{
    std::ofstream(std::filesystem::u8path(path), std::ios::binary) << content;
}

bool exists(const std::string &path)
{
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::u8path(path), ignored);
}

} // namespace

TEST_CASE("the main window's title pattern")
{
    CHECK(platform::isInstanceWindowTitle(u"kelv"));
    CHECK(platform::isInstanceWindowTitle(u"kelv (2)"));
    CHECK(platform::isInstanceWindowTitle(u"kelv(12)"));
    CHECK(platform::isInstanceWindowTitle(u"kelv \t (3)"));
    CHECK_FALSE(platform::isInstanceWindowTitle(u""));
    CHECK_FALSE(platform::isInstanceWindowTitle(u"kel"));
    CHECK_FALSE(platform::isInstanceWindowTitle(u"kelvin"));
    CHECK_FALSE(platform::isInstanceWindowTitle(u"kelv ()"));
    CHECK_FALSE(platform::isInstanceWindowTitle(u"kelv (2) "));
    CHECK_FALSE(platform::isInstanceWindowTitle(u"Kelv"));
    CHECK_FALSE(platform::isInstanceWindowTitle(u"kelv (x)"));
    CHECK_FALSE(platform::isInstanceWindowTitle(u"kelv " + std::u16string(1020, u' ') + u"(1)"));
}

TEST_CASE("the running instance's window is raised only when it has the title")
{
    CHECK_FALSE(platform::raiseInstanceWindow(0));
    CHECK_FALSE(platform::raiseInstanceWindow(ownPid())); // no window of ours yet
#ifdef _WIN32
    // A window of this process on a thread with its own message loop, like the
    // main window of the running instance.
    // Windows of this process on a thread with its own message loop, like the
    // main window of the running instance.
    std::atomic<HWND> main{nullptr};
    std::atomic<HWND> titled{nullptr};
    std::atomic<DWORD> ownerThread{0};
    auto window = [](const wchar_t *title) {
        return CreateWindowExW(0, L"STATIC", title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 300,
                               200, nullptr, nullptr, nullptr, nullptr);
    };
    std::thread owner([&] {
        ownerThread = GetCurrentThreadId();
        SetForegroundWindow(window(L"kelvin"));
        main = window(L"Gaming Mouse Software");
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (message.message == WM_APP)
                titled = window(L"kelv (2)");
            DispatchMessageW(&message);
        }
    });
    REQUIRE(testing::waitFor([&] { return main.load() != nullptr; }, 5s));
    // Neither "kelvin" nor the main window's real title passes the pattern...
    CHECK_FALSE(platform::raiseInstanceWindow(ownPid()));
    // ...but the real title is found when it is named.
    CHECK(platform::raiseInstanceWindow(ownPid(), u"Gaming Mouse Software"));
    CHECK(testing::waitFor([&] { return GetForegroundWindow() == main.load(); }, 5s));
    CHECK_FALSE(platform::raiseInstanceWindow(ownPid() + 4000000, u"Gaming Mouse Software"));

    PostThreadMessageW(ownerThread.load(), WM_APP, 0, 0);
    REQUIRE(testing::waitFor([&] { return titled.load() != nullptr; }, 5s));
    CHECK(platform::raiseInstanceWindow(ownPid()));
    CHECK(testing::waitFor([&] { return GetForegroundWindow() == titled.load(); }, 5s));
    PostThreadMessageW(ownerThread.load(), WM_QUIT, 0, 0);
    owner.join();
#endif
}

TEST_CASE("a folder tree is deleted with everything in it")
{
    testing::TempFolder base;
    const std::string tree = base.path() + "/ready";
    std::filesystem::create_directories(std::filesystem::u8path(tree + "/sub/deeper"));
    writeFile(tree + "/a.txt", "a");
    writeFile(tree + "/sub/deeper/b.bin", std::string(100000, 'b'));
    writeFile(base.path() + "/kept.txt", "stays");

    CHECK(platform::deleteFolderTree(tree));
    CHECK_FALSE(exists(tree));
    CHECK(exists(base.path() + "/kept.txt"));
    // A folder that is not there is already gone.
    CHECK(platform::deleteFolderTree(tree));

#ifdef _WIN32
    // The shell's path buffer holds 8191 bytes; a longer path is refused.
    CHECK_FALSE(platform::deleteFolderTree(base.path() + "/" + std::string(4200, 'x')));
#endif
    CHECK(exists(base.path() + "/kept.txt"));
}

TEST_CASE("a program started through the shell runs in the given folder with its argument")
{
    const std::string helper =
        testing::testProgramFolder() + "/seam_helper" + testing::executableSuffix();
    testing::TempFolder folder;
    const platform::ShellStartResult result =
        platform::shellStart(helper, "-update", folder.path(), false);
    CHECK(result.started);
    const std::string written = folder.path() + "/started.txt";
    CHECK(testing::waitFor([&] { return testing::readWholeFile(written) == "-update"; }, 10s));

    // Asking for administrator rights: Windows asks the user (Wine, like Linux,
    // has nothing to ask and starts it as it is).
    testing::TempFolder elevatedFolder;
    CHECK(platform::shellStart(helper, "-elevated", elevatedFolder.path(), true).started);
    CHECK(testing::waitFor(
        [&] {
            return testing::readWholeFile(elevatedFolder.path() + "/started.txt") == "-elevated";
        },
        10s));

    const platform::ShellStartResult missing =
        platform::shellStart(folder.path() + "/no-such-program", "-update", folder.path(), false);
    CHECK_FALSE(missing.started);
    CHECK(missing.code != 0);
}
