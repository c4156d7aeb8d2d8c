#include "platform/memory_release.h"

#include <malloc.h>

namespace kelv::platform {

void releaseFreeMemory()
{
    malloc_trim(0);
}

} // namespace kelv::platform
