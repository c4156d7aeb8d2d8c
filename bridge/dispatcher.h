#pragma once

#include "bridge/members.h"
#include "bridge/query_callback.h"

#include <QHash>
#include <QString>

#include <functional>

namespace kelv {

// The command table: page command name -> handler. Each command family
// registers its handlers in one place (registerDeviceCommands,
// registerProfileCommands, registerSettingsCommands). Names match
// case-sensitively and as a whole; an unknown name is not answered.
class Dispatcher
{
public:
    using Handler = std::function<void(const Members &, const QueryCallbackPtr &)>;

    void add(const QString &name, Handler handler);
    bool contains(const QString &name) const { return m_handlers.contains(name); }
    QStringList names() const { return m_handlers.keys(); }

    // Runs the handler for name. Returns false (and answers nothing) when no
    // handler has that name.
    bool dispatch(const QString &name, const Members &members,
                  const QueryCallbackPtr &callback) const;

private:
    QHash<QString, Handler> m_handlers;
};

} // namespace kelv
