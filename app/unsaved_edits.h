#pragma once

#include "common/ui_texts.h"

class QWidget;

namespace kelv {

class ProfileStore;

// Saves the modified profiles before a quit. Where some cannot be saved (a
// profile folder kelv may not write, a full disk), the user is asked through
// the dialog seam whether to quit and lose them, with the reason and what to
// do, unless ask is false (nobody asked for the quit: a signal of a session
// that ends, another instance); the log says so then. True when the quit may
// go on; false when the user keeps the program running.
// The question is in the language of the settings.
bool saveBeforeQuit(ProfileStore &profiles, QWidget *parent, bool ask, UiLanguage language);

// Tells the user that the quit waits until the running firmware update has
// finished, in the language of the settings (the update dialog set the global
// language when it opened; the settings may name another one since).
void tellQuitWaitsForFirmware(QWidget *parent, UiLanguage language);

} // namespace kelv
