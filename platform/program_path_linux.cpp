#include "platform/program_path.h"

namespace kelv::platform {

std::string programPathKey(const std::string &path)
{
    return path;
}

} // namespace kelv::platform
