#pragma once

#include "app/pop_widget.h"
#include "bridge/app_host.h"
#include "bridge/dispatcher.h"
#include "bridge/profile_store.h"
#include "bridge/query_callback.h"
#include "common/client_settings.h"
#include "desktop/process_moniter.h"

#include <QPointer>
#include <QRect>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QWidget>
#include <memory>

namespace kelv {

class devices_handler;
class KelvWebView;
class MacroRecorder;
class QxtGlobalShortcut;
class RequestRouter;
class SystemTray;

// The main window lives in a namespace of its own because its class name is
// the program's name: inside namespace kelv a class "kelv" would hide the
// namespace from every later "kelv::" qualification.
namespace shell {

// The program's one top-level window: frameless, its whole area the web view
// showing view/index.html of the program folder. It receives every page
// request (onJsMessage), owns the tray icon, the two system-wide hot keys, the
// mouse-configuration popup, the bound-program monitor and the profile text
// cache, and carries out what the page commands ask of the application
// (AppHost). Closing it only hides it.
class kelv final : public QWidget, public AppHost
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(kelv)

public:
    // settings: the application's client settings (read for size and hot keys,
    // handed to the settings commands). devices: the device manager, or null.
    explicit kelv(ClientSettings &settings, devices_handler *devices = nullptr,
                  QWidget *parent = nullptr);
    ~kelv() override;

    // Creates and shows the tray icon and connects it (after construction).
    void setupTray();

    KelvWebView *webView() const { return m_webView; }
    PopWidget *popup() const { return m_popup; }
    SystemTray *tray() const { return m_tray; }
    QxtGlobalShortcut *showConfHotKey() const { return m_showConf; }
    QxtGlobalShortcut *testToolHotKey() const { return m_testTool; }
    QUrl pageAddress() const { return m_pageAddress; }
    QRect savedGeometry() const { return m_savedGeometry; }
    const Dispatcher &dispatcher() const { return m_dispatcher; }

    // The window size for a "clientSize" value: "width,height" in decimal;
    // anything else (absent, one part, not numbers, not positive) gives 800 x 600.
    static QSize clientSize(const ClientSettings::Map &settings);

    // The page address: file URL of view/index.html in the application folder.
    static QUrl pageAddressFor(const QString &applicationFolder);

    void saveModifiedProfiles();

    // AppHost
    ClientSettings &clientSettings() override { return m_appSettings; }
    ProfileStore &profiles() override { return m_profiles; }
    bool registerHotKey(const QString &key, const QString &sequence) override;
    bool hotKeyRegistered(const QString &key) const override;
    QWidget *dialogParent() override { return this; }
    void hideWindow() override;
    void closeApp() override;
    void moveWindow(int dx, int dy, int width, int height) override;
    void toggleMinimised() override;
    void maximiseWindow() override;
    void restoreWindow() override;
    bool hasProcessMonitor() const override;
    void restartProcessMonitor() override;
    void checkForUpdates(bool interactive) override;
    bool startRecording() override;
    void stopRecording() override;
    void loadUrl(const QUrl &url) override;
    void goBack() override;
    void goForward() override;
    void openUrl(const QUrl &url) override;

    // Ends the current bound-program monitor and starts a fresh one, which
    // reads the bindings again.
    void restartProcessMoniter();

public slots:
    void quitApp();
    void reload_currentPage();
    void onJsMessage(const QString &request, const QueryCallbackPtr &callback);
    void onSystemtrayActive(QSystemTrayIcon::ActivationReason reason);
    void onCurrentPropChanged(int propIndex, int proMode);
    void onshowWidget();
    void oncloseApp();
    void showMouseConf();
    void showDebug();

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QxtGlobalShortcut *hotKey(const QString &key) const;
    bool &hotKeyFlag(const QString &key);
    QWidget *requestWindow() const;

    ClientSettings &m_appSettings;
    ClientSettings::Map m_settings;
    devices_handler *m_devices = nullptr;
    ProfileStore m_profiles;
    Dispatcher m_dispatcher;
    std::unique_ptr<RequestRouter> m_router;
    SystemTray *m_tray = nullptr;
    QxtGlobalShortcut *m_showConf = nullptr;
    QxtGlobalShortcut *m_testTool = nullptr;
    bool m_showConfRegistered = false;
    bool m_testToolRegistered = false;
    MacroRecorder *m_recorder = nullptr;
    ProcessMonitorRunner m_monitors;
    KelvWebView *m_webView = nullptr;
    QPointer<PopWidget> m_popup;
    QUrl m_pageAddress;
    QRect m_savedGeometry;
};

} // namespace shell
} // namespace kelv
