// The program the Updater-start suite starts through the shell, in place of
// the Updater. It writes what arrived to "started.txt" in its current folder:
// each argument on a line of its own, then what the Updater's own parsing of
// the command line makes of them ("wait=<id> restart=<0|1>", then " autostart"
// when it asks for a start in the tray, or "error: ...").
#include "platform/updater_command.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string text;
    for (const std::string &argument : arguments)
        text += "[" + argument + "]\n";
    kelv::platform::UpdaterRequest request;
    std::string error;
    if (kelv::platform::parseUpdaterArguments(arguments, &request, &error))
        text += "wait=" + std::to_string(request.waitPid) +
                " restart=" + (request.restart ? "1" : "0") +
                (request.autostart ? " autostart" : "");
    else
        text += "error: " + error;
    FILE *out = std::fopen("started.part", "wb");
    if (!out)
        return 1;
    std::fputs(text.c_str(), out);
    std::fclose(out);
    return std::rename("started.part", "started.txt") == 0 ? 0 : 1;
}
