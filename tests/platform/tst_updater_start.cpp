// The Updater's command line: what the program writes, what arrives after a
// start through the shell (as a start with administrator rights on Windows,
// which passes no environment, only the command line), and what the Updater
// makes of it.

#include "platform/shell_operations.h"
#include "platform/updater_command.h"
#include "tests/doctest_support.h"

#include <doctest.h>
#include <string>
#include <vector>

using namespace kelv;
using namespace std::chrono_literals;

namespace {

std::string helper()
{
    return testing::testProgramFolder() + "/updater_start_helper" + testing::executableSuffix();
}

// Starts the helper through the shell in a folder of its own and answers what
// it wrote.
std::string startThroughTheShell(const std::vector<std::string> &arguments, bool elevated)
{
    testing::TempFolder folder;
    if (!platform::shellStart(helper(), arguments, folder.path(), elevated).started)
        return "not started";
    const std::string written = folder.path() + "/started.txt";
    std::string text;
    testing::waitFor(
        [&] {
            text = testing::readWholeFile(written);
            return !text.empty();
        },
        10s);
    return text;
}

} // namespace

TEST_CASE("the Updater's command line carries the process id and the restart choice")
{
    platform::UpdaterRequest request;
    request.waitPid = 4242;
    CHECK(platform::updaterArguments(request) ==
          std::vector<std::string>{"-update", "-wait", "4242"});
    request.restart = true;
    CHECK(platform::updaterArguments(request) ==
          std::vector<std::string>{"-update", "-wait", "4242", "-restart"});

    platform::UpdaterRequest parsed;
    std::string error;
    REQUIRE(platform::parseUpdaterArguments(platform::updaterArguments(request), &parsed, &error));
    CHECK(parsed.waitPid == 4242);
    CHECK(parsed.restart);
    CHECK_FALSE(parsed.autostart);
    // A start in the tray (the login item's) is carried on to the program it starts.
    request.autostart = true;
    CHECK(platform::updaterArguments(request) ==
          std::vector<std::string>{"-update", "-wait", "4242", "-restart", "-autostart"});
    REQUIRE(platform::parseUpdaterArguments(platform::updaterArguments(request), &parsed, &error));
    CHECK(parsed.autostart);

    const std::vector<std::vector<std::string>> refused = {
        {},
        {"-update"},
        {"-update", "-wait"},
        {"-update", "-wait", "-restart"},
        {"-update", "-wait", "12a"},
        {"-update", "-wait", "99999999999999999999"},
        {"-wait", "1"},
        {"-update", "-wait", "1", "-elevated"}};
    for (const auto &arguments : refused) {
        error.clear();
        CHECK_FALSE(platform::parseUpdaterArguments(arguments, &parsed, &error));
        CHECK_FALSE(error.empty());
    }
}

TEST_CASE("the Updater started through the shell gets its command line whole")
{
    platform::UpdaterRequest request;
    request.waitPid = 1234567;
    request.restart = true;
    for (const bool elevated : {false, true}) {
        CAPTURE(elevated);
        CHECK(startThroughTheShell(platform::updaterArguments(request), elevated) ==
              "[-update]\n[-wait]\n[1234567]\n[-restart]\nwait=1234567 restart=1");
    }
    request.restart = false;
    CHECK(startThroughTheShell(platform::updaterArguments(request), true) ==
          "[-update]\n[-wait]\n[1234567]\nwait=1234567 restart=0");
    request.autostart = true;
    CHECK(startThroughTheShell(platform::updaterArguments(request), true) ==
          "[-update]\n[-wait]\n[1234567]\n[-autostart]\nwait=1234567 restart=0 autostart");
}

TEST_CASE("arguments with blanks, quotes and backslashes arrive as they were given")
{
    const std::vector<std::string> arguments = {"a b", "say \"hi\"",      "C:\\Program Files\\",
                                                "",    "back\\\\\"slash", "tab\there"};
    CHECK(startThroughTheShell(arguments, false) ==
          "[a b]\n[say \"hi\"]\n[C:\\Program Files\\]\n[]\n[back\\\\\"slash]\n[tab\there]\n"
          "error: unknown argument 'a b'");
}
