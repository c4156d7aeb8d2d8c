#include "platform/program_path.h"

#include <unordered_set>

namespace kelv::platform {

std::vector<bool> boundProgramsRunning(const std::vector<std::string> &bound,
                                       const std::vector<std::string> &running)
{
    std::unordered_set<std::string> runningKeys;
    for (const std::string &path : running)
        runningKeys.insert(programPathKey(path));
    std::vector<bool> result;
    result.reserve(bound.size());
    for (const std::string &path : bound)
        result.push_back(runningKeys.count(programPathKey(path)) != 0);
    return result;
}

} // namespace kelv::platform
