#include "bridge/dispatcher.h"

namespace kelv {

void Dispatcher::add(const QString &name, Handler handler)
{
    m_handlers.insert(name, std::move(handler));
}

bool Dispatcher::dispatch(const QString &name, const Members &members,
                          const QueryCallbackPtr &callback) const
{
    const auto it = m_handlers.constFind(name);
    if (it == m_handlers.constEnd())
        return false;
    it.value()(members, callback);
    return true;
}

} // namespace kelv
