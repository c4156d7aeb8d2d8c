#pragma once

namespace kelv {

// The title the main window shows. A second start looks for it when it
// raises the running instance's window.
inline constexpr char16_t kMainWindowTitle[] = u"Gaming Mouse Software";

} // namespace kelv
