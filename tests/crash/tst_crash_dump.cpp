// A real crash of a child process: it must leave exactly one "<uuid>.dmp" in
// the dump folder (a minidump on Windows, the text report on Linux) that names
// what happened and on which thread, and start the reporter with that path as
// its argument.

#include "crash/signal_safe.h"
#include "tests/doctest_support.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <doctest.h>
#include <filesystem>
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

// What a dump says about its crash: the code (Windows: the exception code;
// Linux: the signal number) and the crashing thread's number.
struct CrashFacts
{
    bool found = false;
    std::uint64_t code = 0;
    std::uint64_t thread = 0;
};

#ifdef _WIN32
std::uint32_t little32(const std::string &bytes, size_t at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + size_t(i)]);
    return value;
}

// The minidump's exception stream (type 6): the thread id, then the exception
// record, whose first member is the code.
CrashFacts crashFacts(const std::string &dump)
{
    CrashFacts facts;
    if (dump.size() < 32 || dump.compare(0, 4, "MDMP") != 0)
        return facts;
    const std::uint32_t streams = little32(dump, 8);
    const std::uint32_t directory = little32(dump, 12);
    for (std::uint32_t i = 0; i < streams; ++i) {
        const size_t entry = directory + size_t(i) * 12;
        if (entry + 12 > dump.size())
            break;
        const std::uint32_t rva = little32(dump, entry + 8);
        if (little32(dump, entry) != 6 || little32(dump, entry + 4) < 16 || rva + 16 > dump.size())
            continue;
        facts.found = true;
        facts.thread = little32(dump, rva);
        facts.code = little32(dump, rva + 8);
    }
    return facts;
}
#else
// The text report's "Thread: <tid>" and "Signal: <name> (<number>)" lines.
CrashFacts crashFacts(const std::string &report)
{
    CrashFacts facts;
    const size_t thread = report.find("\nThread: ");
    const size_t signal = report.find("\nSignal: ");
    if (thread == std::string::npos || signal == std::string::npos)
        return facts;
    facts.found = true;
    facts.thread = std::stoull(report.substr(thread + 9));
    const size_t open = report.find('(', signal);
    if (open != std::string::npos)
        facts.code = std::stoull(report.substr(open + 1));
    return facts;
}
#endif

} // namespace

TEST_CASE("a crash (access violation, stack overflow, terminate) leaves one dump named by a new "
          "identifier, with the crash and its thread, and starts the reporter with it")
{
    const std::string bin = testing::testProgramFolder();
    const std::string suffix = testing::executableSuffix();
    // Folders named in other scripts than the system's code page holds (a program
    // installed under such a user's home): the dump and the reporter are still found.
    testing::TempFolder temp;
    const std::string dumps = temp.path() + "/Дампы-日本";
    const std::string reporterFolder = temp.path() + "/Отчёт-報告";
    REQUIRE(std::filesystem::create_directory(std::filesystem::u8path(dumps)));
    REQUIRE(std::filesystem::create_directory(std::filesystem::u8path(reporterFolder)));
    // The reporter runs from a folder of its own, where it leaves what it was given.
    const std::string reporter = reporterFolder + "/reporter" + suffix;
    REQUIRE(testing::runProgram(bin + "/crash_copy" + suffix,
                                {bin + "/crash_reporter_stub" + suffix, reporter}) == 0);

    const char *kind = nullptr;
    std::uint64_t expectedCode = 0;
    SUBCASE("an access violation on a thread of its own")
    {
        kind = "access";
#ifdef _WIN32
        expectedCode = 0xC0000005; // EXCEPTION_ACCESS_VIOLATION
#else
        expectedCode = 11; // SIGSEGV
#endif
    }
    SUBCASE("a stack overflow")
    {
        kind = "overflow";
#ifdef _WIN32
        expectedCode = 0xC00000FD; // EXCEPTION_STACK_OVERFLOW
#else
        expectedCode = 11; // SIGSEGV, handled on the alternate signal stack
#endif
    }
    SUBCASE("std::terminate")
    {
        kind = "terminate";
#ifdef _WIN32
        expectedCode = 0x40000015; // STATUS_FATAL_APP_EXIT, as abort() is dumped
#else
        expectedCode = 6;  // SIGABRT
#endif
    }
    CAPTURE(kind);
    testing::TempFolder scratch;
    const std::string threadFile = scratch.path() + "/thread.txt";
    // The victim gets minutes: under Wine on a busy machine its dump has taken
    // more than half a minute, and a victim ended by the test leaves a dump cut
    // short, which would read as a handler's fault.
    const long code = testing::runProgram(bin + "/crash_victim" + suffix,
                                          {kind, dumps, reporter, threadFile}, {}, 5min);
    REQUIRE_MESSAGE(code != -1, "the victim did not end by itself");
    CHECK(code != 0);
    CHECK(code != 3);

    std::vector<std::string> files = testing::filesIn(dumps);
    REQUIRE(files.size() == 1);
    const std::string name = files.front();
    CHECK(isDumpName(name));
    const std::string dump = testing::readWholeFile(dumps + "/" + name);
#ifdef _WIN32
    CHECK(dump.compare(0, 4, "MDMP") == 0);
#else
    CHECK(dump.compare(0, 17, "kelv crash report") == 0);
#endif
    const CrashFacts facts = crashFacts(dump);
    REQUIRE(facts.found);
    CHECK(facts.code == expectedCode);
    const std::string crashedThread = testing::readWholeFile(threadFile);
    REQUIRE_FALSE(crashedThread.empty());
    CHECK(facts.thread == std::stoull(crashedThread));

    const std::string written = reporterFolder + "/reporter.txt";
    REQUIRE(testing::waitFor([&] { return !testing::readWholeFile(written).empty(); }, 10s));
    CHECK(testing::readWholeFile(written) == dumps + "/" + name + "\n");
}

TEST_CASE("the crash handler's writer puts its text whole into a C runtime descriptor")
{
    testing::TempFolder folder;
    const std::string path = folder.path() + "/report.txt";
    FILE *file = std::fopen(path.c_str(), "wb");
    REQUIRE(file != nullptr);
#ifdef _WIN32
    const int fd = _fileno(file);
#else
    const int fd = fileno(file);
#endif
    {
        crash::SafeWriter out(fd);
        out.text("Signal: ").dec(-11).ch(' ').hex(0xdead, 8).ch('\n');
        for (int i = 0; i < 300; ++i) // past the writer's buffer
            out.text("0123456789");
        CHECK(out.flush());
    }
    CHECK_FALSE(crash::writeAll(-1, "x", 1));
    std::fclose(file);
    const std::string written = testing::readWholeFile(path);
    CHECK(written.compare(0, 22, "Signal: -11 0x0000dead") == 0);
    CHECK(written.size() == 23 + 3000);
}
