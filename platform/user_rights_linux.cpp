#include "platform/user_rights.h"

#include <unistd.h>

namespace kelv::platform {

bool runsWithAdministratorRights()
{
    return ::geteuid() == 0;
}

} // namespace kelv::platform
