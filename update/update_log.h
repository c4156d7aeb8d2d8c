#pragma once

#include <QLoggingCategory>

namespace kelv {

// The update check and its HTTP traffic.
Q_DECLARE_LOGGING_CATEGORY(lcUpdateSystem)
// Downloads, the package reader and the installers.
Q_DECLARE_LOGGING_CATEGORY(lcPspecificWnd)

} // namespace kelv
