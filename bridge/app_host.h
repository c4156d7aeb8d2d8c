#pragma once

#include <QString>
#include <QUrl>
#include <functional>

class QWidget;

namespace kelv {

class ClientSettings;
class ProfileStore;

// What the page commands need from the running application. The main window
// implements it; tests use a recording fake. Every operation runs on the Qt
// main thread.
class AppHost
{
public:
    virtual ~AppHost() = default;

    // Client settings of the application object (conf.xml).
    virtual ClientSettings &clientSettings() = 0;
    // The profile text cache and the modified profile list.
    virtual ProfileStore &profiles() = 0;

    // Global hot keys: key is "showConf" or "testTool". Re-registers it with
    // the sequence (QKeySequence native text) and returns whether that worked.
    virtual bool registerHotKey(const QString &key, const QString &sequence) = 0;
    virtual bool hotKeyRegistered(const QString &key) const = 0;

    // Window and program.
    virtual QWidget *dialogParent() = 0;
    virtual void hideWindow() = 0; // quitApp: hide, then save modified profiles
    virtual void closeApp() = 0;   // oncloseApp: save modified profiles, then quit once
    virtual void moveWindow(int dx, int dy, int width, int height) = 0;
    virtual void toggleMinimised() = 0;
    virtual void maximiseWindow() = 0;
    virtual void restoreWindow() = 0;

    // Bound-program monitor.
    virtual bool hasProcessMonitor() const = 0;
    virtual void restartProcessMonitor() = 0;

    // Update check, macro recorder, browser.
    virtual void checkForUpdates(bool interactive) = 0;
    // The macro recorder starts and stops without blocking: done is called
    // on the main thread once the recording runs or could not start (reason
    // tells why), or once it has ended.
    using RecordingStarted = std::function<void(bool started, const QString &reason)>;
    virtual void startRecording(RecordingStarted done) = 0;
    virtual void stopRecording(std::function<void()> done) = 0;
    virtual void loadUrl(const QUrl &url) = 0;
    virtual void goBack() = 0;
    virtual void goForward() = 0;
    virtual void openUrl(const QUrl &url) = 0;
};

} // namespace kelv
