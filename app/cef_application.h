#pragma once

#include "app/single_instance.h"
#include "common/client_settings.h"
#include "common/ui_texts.h"
#include "update/update_host.h"

#include <QApplication>
#include <QPointer>

namespace kelv {

class ApplicationHost;
class devices_handler;
class FirmwareRecovery;
class UpdateCheck;
namespace shell {
class kelv;
}

// The application object: reads the client settings, keeps one instance per
// machine, and in the primary instance owns the device manager, the
// application host (what the page commands act on), the main window and the
// update checker. Other modules reach it through instance().
class cefApplication final : public QApplication
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(cefApplication)

public:
    struct Options
    {
        // The local server name of the single-instance channel (tests use
        // their own so parallel runs never meet).
        QString serverName = SingleInstance::defaultServerName();
        // The client settings file; empty: Resources/profiles/conf.xml in the
        // application folder.
        QString settingsPath;
        // Whether the primary instance builds the device manager, the main
        // window and the tray (tests of the channel alone switch it off).
        bool createWindow = true;
    };

    cefApplication(int &argc, char **argv);
    cefApplication(int &argc, char **argv, const Options &options);
    ~cefApplication() override;

    // The one application object, or null.
    static cefApplication *instance();
    // The device manager of the application object, or null.
    static devices_handler *devices();

    // Client settings (the attributes of root/client plus MacAddress and
    // IpAddress) and the settings text.
    ClientSettings &settings() { return m_settings; }
    QString clientSetting(const QString &key) const { return m_settings.value(key); }
    ClientSettings::Map clientSettings() const { return m_settings.values(); }
    bool setClientSetting(const QString &key, const QString &value);
    // The language the settings name now: the program's own messages speak it.
    UiLanguage settingsLanguage() const;
    QString settingsText() const { return m_settings.text(); }
    void setSettingsText(const QString &text) { m_settings.setText(text); }
    bool saveSettings();

    bool autostart() const { return m_autostart; }
    SingleInstance &singleInstance() { return m_instance; }
    shell::kelv *mainWindow() const { return m_mainWindow; }
    // What the page commands act on (null before the primary start).
    ApplicationHost *host() const { return m_host; }

    // Applies the style sheet, sets the folders, and starts the instance
    // check; the primary start follows from the socket's verdict. Runs once.
    void initialise();

    // Replaces the update checker and starts a check (interactive: the user
    // asked for it).
    void checkForUpdates(bool interactive);

    // What the start-up install check found (before initialise()): a trial
    // start reports to the Updater once the window is shown and the page has
    // loaded, and only then checks for updates; a notice is shown to the user
    // once the window is up.
    void setUpdateStart(bool trialStart, const QString &notice);

    // The one quit request of the process: the first call makes the event loop
    // end (with exitCode); later calls do nothing. Before the event loop runs
    // main() sees quitRequested() and skips it. While a firmware flash runs the
    // quit waits until it has ended, and the user is told. The event loop ends
    // once the window's pages have sent the edits they held back (written to
    // disk then), or after a time limit.
    static void requestQuit(int exitCode = 0);
    static bool quitRequested();
    static int requestedExitCode();
    // True when another start asked for the window while this instance was
    // quitting: it got its answer and ended, so main() starts the program
    // again once this one has shut down.
    static bool startRequestedWhileQuitting();

signals:
    // The primary start is complete (window built and shown unless autostart).
    void primaryStarted();

public slots:
    // Saves the modified profiles, then the quit request.
    void on_closeApp();

private:
    void primaryStart();
    void onInstanceCommand(const QString &command);
    void onTrialPageLoaded(bool ok);
    void showUpdateNotice();
    // The tray, the update check and the offer to finish an interrupted
    // firmware update: what a start needs soon, but not before the page.
    void startBackgroundParts();
    // True when the quit has to wait for a firmware flash (it follows then).
    bool deferQuitDuringFlash(int exitCode);
    // True when the pages have edits to send first; the event loop ends with
    // exitCode once they are sent and the profiles saved.
    bool exitOnceEditsSent(int exitCode);
    // Saves the modified profiles; where some cannot be saved, asks the user
    // whether to quit and lose them (unless nobody asked for the quit: a
    // signal, another instance). False when the user keeps the program: the
    // quit request is withdrawn and the window shown.
    bool mayQuitLosingEdits();

    Options m_options;
    ClientSettings m_settings;
    SingleInstance m_instance;
    bool m_autostart = false;
    bool m_initialised = false;
    bool m_trialStart = false;
    bool m_quitDeferred = false;
    bool m_quitWithoutAsking = false;
    QString m_updateNotice;
    // The roll-back notice is up: the silent update check waits until it is
    // closed (the offer would cover it and offer the rolled-back version).
    bool m_noticeOpen = false;
    bool m_checkAfterNotice = false;
    QMetaObject::Connection m_trialConnection;
    UpdateCheck *m_updateCheck = nullptr;
    FirmwareRecovery *m_firmwareRecovery = nullptr;
    shell::kelv *m_mainWindow = nullptr;
    ApplicationHost *m_host = nullptr;
    devices_handler *m_devices = nullptr;

    // What the update check and dialog see of the application.
    class UpdateHostAdapter final : public UpdateHost
    {
    public:
        explicit UpdateHostAdapter(cefApplication &application) : m_application(application) {}
        ClientSettings &clientSettings() override { return m_application.m_settings; }
        DeviceTable deviceTable() const override;
        devices_handler *devices() const override { return m_application.m_devices; }
        QWidget *mainWindow() const override;

    private:
        cefApplication &m_application;
    };
    UpdateHostAdapter m_updateHost{*this};
};

} // namespace kelv
