#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

class QObject;
class QWidget;

namespace kelv {

class ClientSettings;
class ProfileStore;

// What the page commands need from the running application, one interface
// per role. The application object owns the one object that implements them
// all (AppHost); tests use a recording fake. Every operation runs on the Qt
// main thread.

// The window the page requests act on: the main window, or the popup when it
// was the window active last.
class WindowHost
{
public:
    virtual ~WindowHost() = default;

    virtual QWidget *dialogParent() = 0;
    // Closes the window but keeps the program: hidden in the tray, or
    // minimised where there is no tray; modified profiles are saved.
    virtual void hideWindow() = 0;
    virtual void closeApp() = 0; // oncloseApp: save modified profiles, then quit once
    virtual void moveWindow(int dx, int dy, int width, int height) = 0;
    virtual void toggleMinimised() = 0;
    virtual void maximiseWindow() = 0;
    virtual void restoreWindow() = 0;
    // Whether the desktop shows the tray icon (a notification area exists).
    virtual bool trayAvailable() const = 0;
    // Whether page (the origin of a request) is the main window's page, not
    // the popup's.
    virtual bool isMainPage(const QObject *page) const = 0;
};

// The main page's browser and the desktop's handler of addresses.
class NavigationHost
{
public:
    virtual ~NavigationHost() = default;

    virtual void loadUrl(const QUrl &url) = 0;
    virtual void goBack() = 0;
    virtual void goForward() = 0;
    virtual void openUrl(const QUrl &url) = 0;
};

// The macro recorder. It starts and stops without blocking: done is called
// on the main thread once the recording runs or could not start (reason
// tells why), or once it has ended. origin is the page that asked for the
// recording (null when not known): a recording ends when its page goes.
class RecorderHost
{
public:
    virtual ~RecorderHost() = default;

    using RecordingStarted = std::function<void(bool started, const QString &reason)>;
    virtual void startRecording(QObject *origin, RecordingStarted done) = 0;
    virtual void stopRecording(std::function<void()> done) = 0;
};

// The update check.
class UpdatesHost
{
public:
    virtual ~UpdatesHost() = default;

    virtual void checkForUpdates(bool interactive) = 0;
};

// What the program keeps: the client settings (conf.xml) with the two global
// hot keys they name, the profile text cache, and the bound-program monitor
// that reads the saved mode document.
class SettingsHost
{
public:
    virtual ~SettingsHost() = default;

    virtual ClientSettings &clientSettings() = 0;
    // The profile text cache and the modified profile list.
    virtual ProfileStore &profiles() = 0;

    // key is "showConf" or "testTool". Re-registers it with the sequence
    // (QKeySequence native text) and returns whether that worked.
    virtual bool registerHotKey(const QString &key, const QString &sequence) = 0;
    virtual bool hotKeyRegistered(const QString &key) const = 0;

    virtual bool hasProcessMonitor() const = 0;
    virtual void restartProcessMonitor() = 0;
    // Calls done with the mode indices whose bound programs run, once the
    // current monitor has looked (see ProcessMonitorRunner::whenLooked).
    using RunningModesDone = std::function<void(bool known, const QStringList &runningModes)>;
    virtual void whenProgramsLooked(RunningModesDone done) = 0;
};

// Every role at once: what the request router and the command families are
// built with.
class AppHost : public WindowHost,
                public NavigationHost,
                public RecorderHost,
                public UpdatesHost,
                public SettingsHost
{
};

} // namespace kelv
