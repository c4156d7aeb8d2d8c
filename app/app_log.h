#pragma once

#include <QLoggingCategory>

namespace kelv {

// The application shell's log lines ("mainwindow show!" and the instance
// channel) go out under this module name.
Q_DECLARE_LOGGING_CATEGORY(lcApp)

} // namespace kelv
