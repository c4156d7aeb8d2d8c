#pragma once

#include "bridge/app_host.h"
#include "bridge/profile_store.h"
#include "desktop/process_moniter.h"

#include <QObject>
#include <QPointer>

class QThread;

namespace kelv {

class ClientSettings;
class devices_handler;
class MacroRecorder;
class RequestRouter;
namespace shell {
class kelv;
}

// The running application as the page commands see it: every role of
// AppHost, implemented outside the main window by an object the application
// object owns. It owns the request router (and with it the command table),
// the profile text cache, the macro recorder and the bound-program monitor.
// Window operations and hot keys go to the main window once it is attached;
// navigation goes to the main browser.
class ApplicationHost final : public QObject, public AppHost
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ApplicationHost)

public:
    // devices: the device manager, or null (the device commands then behave
    // as with a missing device library).
    explicit ApplicationHost(ClientSettings &settings, devices_handler *devices = nullptr,
                             QObject *parent = nullptr);
    ~ApplicationHost() override;

    RequestRouter *router() const { return m_router; }
    MacroRecorder *recorder() const { return m_recorder; }

    // The window of the window role and the hot keys (not owned; may go away
    // first).
    void setWindow(shell::kelv *window);
    shell::kelv *window() const { return m_window; }

    // The thread of the bound-program monitor, or null.
    QThread *monitorThread() const { return m_monitors.thread(); }

    // WindowHost
    QWidget *dialogParent() override;
    void hideWindow() override;
    void closeApp() override;
    void moveWindow(int dx, int dy, int width, int height) override;
    void toggleMinimised() override;
    void maximiseWindow() override;
    void restoreWindow() override;
    bool trayAvailable() const override;
    bool isMainPage(const QObject *page) const override;

    // NavigationHost
    void loadUrl(const QUrl &url) override;
    void goBack() override;
    void goForward() override;
    void openUrl(const QUrl &url) override;

    // RecorderHost
    void startRecording(QObject *origin, RecordingStarted done) override;
    void stopRecording(std::function<void()> done) override;

    // UpdatesHost
    void checkForUpdates(bool interactive) override;

    // SettingsHost
    ClientSettings &clientSettings() override { return m_settings; }
    ProfileStore &profiles() override { return m_profiles; }
    bool registerHotKey(const QString &key, const QString &sequence) override;
    bool hotKeyRegistered(const QString &key) const override;
    bool hasProcessMonitor() const override;
    void restartProcessMonitor() override;
    void whenProgramsLooked(RunningModesDone done) override;

private:
    ClientSettings &m_settings;
    ProfileStore m_profiles;
    ProcessMonitorRunner m_monitors;
    MacroRecorder *m_recorder = nullptr;
    // End the recording when the page that started it goes or loads a new
    // document.
    QMetaObject::Connection m_recordingPageGone;
    QMetaObject::Connection m_recordingPageLoads;
    void forgetRecordingPage();
    RequestRouter *m_router = nullptr;
    QPointer<shell::kelv> m_window;
};

} // namespace kelv
