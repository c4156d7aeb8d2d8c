#include "bridge/query_callback.h"

namespace kelv {

void QueryCallback::success(const QString &text)
{
    if (claim())
        deliver(true, 0, text);
}

void QueryCallback::failure(int code, const QString &text)
{
    if (claim())
        deliver(false, code, text);
}

} // namespace kelv
