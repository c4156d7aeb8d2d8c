// A real crash of a child process: it must leave exactly one "<uuid>.dmp" in
// the dump folder (a minidump on Windows, the text report on Linux) and start
// the reporter with that path as its argument.

#include "tests/doctest_support.h"

#include <cctype>
#include <doctest.h>
#include <string>

using namespace kelv;
using namespace std::chrono_literals;

namespace {

bool isDumpName(const std::string &name)
{
    // "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x.dmp"
    if (name.size() != 40 || name.compare(36, 4, ".dmp") != 0)
        return false;
    for (size_t i = 0; i < 36; ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? name[i] != '-'
                 : !std::isxdigit(static_cast<unsigned char>(name[i])) ||
                       std::isupper(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

} // namespace

TEST_CASE("a crash (access violation, terminate) leaves one dump named by a new identifier and "
          "starts the reporter with it")
{
    const std::string bin = testing::testProgramFolder();
    const std::string suffix = testing::executableSuffix();
    testing::TempFolder dumps;
    testing::TempFolder reporterFolder;
    // The reporter runs from a folder of its own, where it leaves what it was given.
    const std::string reporter = reporterFolder.path() + "/reporter" + suffix;
    REQUIRE(testing::runProgram(bin + "/crash_copy" + suffix,
                                {bin + "/crash_reporter_stub" + suffix, reporter}) == 0);

    const char *kind = nullptr;
    SUBCASE("an access violation")
    {
        kind = "access";
    }
    SUBCASE("std::terminate")
    {
        kind = "terminate";
    }
    CAPTURE(kind);
    const long code =
        testing::runProgram(bin + "/crash_victim" + suffix, {kind, dumps.path(), reporter});
    CHECK(code != 0);
    CHECK(code != 3);

    std::vector<std::string> files = testing::filesIn(dumps.path());
    REQUIRE(files.size() == 1);
    const std::string name = files.front();
    CHECK(isDumpName(name));
    const std::string dump = testing::readWholeFile(dumps.path() + "/" + name);
#ifdef _WIN32
    CHECK(dump.compare(0, 4, "MDMP") == 0);
#else
    CHECK(dump.compare(0, 17, "kelv crash report") == 0);
#endif

    const std::string written = reporterFolder.path() + "/reporter.txt";
    REQUIRE(testing::waitFor([&] { return !testing::readWholeFile(written).empty(); }, 10s));
    CHECK(testing::readWholeFile(written) == dumps.path() + "/" + name + "\n");
}
