// The one rule for temporary files in the device library's Qt-free writer: a
// new file with a random name, created only where nothing is (no file, no
// link), flushed and moved over the target. Tested on the file layer itself
// and through dcsim, which saves the mouse's state with it (as ratbagd's slot
// files are saved).

#include "libdc/sim_files.h"
#include "tests/doctest_support.h"

#include <cstdio>
#include <doctest.h>
#include <set>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

using namespace kelv;
using namespace kelv::sim;

namespace {

void writeText(const std::string &path, const std::string &text)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    REQUIRE(file);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

bool save(const std::string &path, const std::string &text)
{
    return files::writeAtomically(path, text.data(), text.size());
}

} // namespace

TEST_CASE("an atomic save replaces the file and leaves no temporary file")
{
    testing::TempFolder folder;
    const std::string target = folder.path() + "/memory.bin";
    REQUIRE(save(target, "first"));
    REQUIRE(save(target, "second"));
    CHECK(testing::readWholeFile(target) == "second");
    CHECK(testing::filesIn(folder.path()) == std::vector<std::string>{"memory.bin"});

    // Fresh names, beside the target.
    std::set<std::string> names;
    for (int i = 0; i < 50; ++i)
        names.insert(files::temporaryNameFor(target));
    CHECK(names.size() == 50);
    CHECK(names.begin()->rfind(target + ".tmp.", 0) == 0);

    // A folder that is not there: refused, nothing written.
    CHECK_FALSE(save(folder.path() + "/missing/memory.bin", "x"));
}

TEST_CASE("something planted at the temporary name is never written through")
{
    testing::TempFolder folder;
    const std::string target = folder.path() + "/mouse.state";
    const std::string victim = folder.path() + "/victim.txt";
    const std::string planted = folder.path() + "/planted.tmp";
    writeText(target, "old state");
    writeText(victim, "precious");

    // A file at the name: refused, the file and the target as they were.
    writeText(planted, "somebody's file");
    CHECK(files::replaceVia(planted, target, "new", 3) == files::TempWrite::NameTaken);
    CHECK(testing::readWholeFile(planted) == "somebody's file");
    CHECK(testing::readWholeFile(target) == "old state");
    std::remove(planted.c_str());
#ifndef _WIN32
    // A link at the name (to a file root may write): refused, the file it leads to untouched.
    REQUIRE(::symlink(victim.c_str(), planted.c_str()) == 0);
    CHECK(files::replaceVia(planted, target, "new", 3) == files::TempWrite::NameTaken);
    CHECK(testing::readWholeFile(victim) == "precious");
    CHECK(testing::readWholeFile(target) == "old state");
    // A dangling link, which a creating open would otherwise follow to make its file.
    const std::string made = folder.path() + "/made-by-root";
    REQUIRE(::symlink(made.c_str(), (planted + "2").c_str()) == 0);
    CHECK(files::replaceVia(planted + "2", target, "new", 3) == files::TempWrite::NameTaken);
    CHECK(testing::readWholeFile(made).empty());

    // The name the writer once used (pid-based): the save goes on, the link's file is untouched.
    REQUIRE(::symlink(victim.c_str(), (target + ".tmp." + std::to_string(::getpid())).c_str()) ==
            0);
    REQUIRE(save(target, "new state"));
    CHECK(testing::readWholeFile(target) == "new state");
    CHECK(testing::readWholeFile(victim) == "precious");
#endif
    // The step on a free name does the save.
    CHECK(files::replaceVia(folder.path() + "/free.tmp", target, "newest", 6) ==
          files::TempWrite::Replaced);
    CHECK(testing::readWholeFile(target) == "newest");
}

#ifndef _WIN32
TEST_CASE("dcsim saves the mouse's state past links planted at its temporary names")
{
    // The shell plants links at the names dcsim would have used (its process id, which exec
    // keeps) and becomes dcsim: a program run with root's rights overwrote the file they
    // lead to.
    testing::TempFolder folder;
    const std::string state = folder.path() + "/state";
    const std::string victim = folder.path() + "/victim.txt";
    writeText(victim, "precious");
    const std::string dcsim = testing::programFolder() + "/dcsim";
    const std::string script =
        "mkdir -p \"$DC_SIM_DIR\" && for f in mouse.state memory.bin rom.bin; "
        "do ln -s \"$VICTIM\" \"$DC_SIM_DIR/$f.tmp.$$\"; done; exec \"$DCSIM\" reset";
    CHECK(testing::runProgram("/bin/sh", {"-c", script},
                              {"DC_SIM_DIR=" + state, "VICTIM=" + victim, "DCSIM=" + dcsim}) == 0);
    CHECK(testing::readWholeFile(victim) == "precious");
    CHECK(testing::runProgram(dcsim, {"status"}, {"DC_SIM_DIR=" + state}) == 0);
    CHECK(testing::readWholeFile(state + "/mouse.state").size() > 0);
}
#endif
