// A library whose constructor never returns: a thread that loads it keeps the
// dynamic loader's lock for good, as a hung plugin constructor would.
#include <unistd.h>

namespace {
[[gnu::constructor]] void blockForever()
{
    for (;;)
        ::pause();
}
} // namespace
