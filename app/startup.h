#pragma once

namespace kelv {

// Prepares the environment of the embedded browser before anything of Qt
// WebEngine exists: its sandbox cannot run for root, so it is switched off
// there (unless the caller chose), and Chromium's background networking and
// component updates are turned off (the program works offline and its page is
// local), and V8 runs the page in lite mode (interpreted, no run-time machine
// code) unless the user passes flags for V8. The page is drawn in software
// (Qt Quick's software scene graph, Chromium without GPU, no OpenGL on X11)
// unless QT_QUICK_BACKEND names another backend.
// Existing flags are kept.
void prepareBrowserEnvironment();

// The whole process: log file, application object, instance check, event
// loop, shutdown, and the updater when an update asked for it. Returns the
// process's exit code.
int runApplication(int &argc, char **argv);

} // namespace kelv
