#include "update/update_log.h"

namespace kelv {

Q_LOGGING_CATEGORY(lcUpdateSystem, "updatesystem", QtInfoMsg)
Q_LOGGING_CATEGORY(lcPspecificWnd, "pspecific_wnd", QtInfoMsg)

} // namespace kelv
