#include "app/app_log.h"

namespace kelv {

Q_LOGGING_CATEGORY(lcApp, "cefapplication")

} // namespace kelv
