#include "platform/updater_command.h"

#include <algorithm>
#include <cctype>

namespace kelv::platform {
namespace {

bool isDecimal(const std::string &text)
{
    return !text.empty() && text.size() <= 19 && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
    });
}

} // namespace

std::vector<std::string> updaterArguments(const UpdaterRequest &request)
{
    std::vector<std::string> arguments{"-update", "-wait", std::to_string(request.waitPid)};
    if (request.restart)
        arguments.emplace_back("-restart");
    if (request.autostart)
        arguments.emplace_back("-autostart");
    return arguments;
}

bool parseUpdaterArguments(const std::vector<std::string> &arguments, UpdaterRequest *request,
                           std::string *error)
{
    UpdaterRequest parsed;
    bool update = false;
    bool wait = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (argument == "-update") {
            update = true;
        } else if (argument == "-restart") {
            parsed.restart = true;
        } else if (argument == "-autostart") {
            parsed.autostart = true;
        } else if (argument == "-wait") {
            if (i + 1 >= arguments.size() || !isDecimal(arguments[i + 1])) {
                *error = "-wait needs the process id to wait for";
                return false;
            }
            parsed.waitPid = std::stoull(arguments[++i]);
            wait = true;
        } else {
            *error = "unknown argument '" + argument + "'";
            return false;
        }
    }
    if (!update) {
        *error = "-update is missing";
        return false;
    }
    if (!wait) {
        *error = "-wait <process id> is missing";
        return false;
    }
    *request = parsed;
    return true;
}

} // namespace kelv::platform
