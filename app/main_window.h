#pragma once

#include "app/pop_widget.h"
#include "bridge/query_callback.h"
#include "common/client_settings.h"

#include <QList>
#include <QPointer>
#include <QRect>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QWidget>
#include <chrono>
#include <functional>

class QTimer;
class QWebEnginePage;

namespace kelv {

class ApplicationHost;
class KelvWebView;
class ProfileStore;
class QxtGlobalShortcut;
class SystemTray;

// The main window lives in a namespace of its own because its class name is
// the program's name: inside namespace kelv a class "kelv" would hide the
// namespace from every later "kelv::" qualification.
namespace shell {

// The program's one top-level window: frameless, its whole area the web view
// showing view/index.html of the program folder. It owns the tray icon, the
// two system-wide hot keys and the mouse-configuration popup, and carries out
// the window operations of the page commands. Its web views send their page
// requests straight to the application host's router. Closing it keeps the
// program running: hidden in the tray, or minimised where the desktop has no
// tray (the first such close says so).
class kelv final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(kelv)

public:
    // settings: the application's client settings (read for size and hot
    // keys). host: the application's host, which owns the request router, the
    // profile text cache and the bound-program monitor; the window attaches
    // itself to it.
    explicit kelv(ClientSettings &settings, ApplicationHost &host, QWidget *parent = nullptr);
    ~kelv() override;

    // Creates and shows the tray icon and connects it (after construction),
    // and starts watching whether the desktop still shows it. The window gets
    // its icon here too.
    void setupTray();

    // Whether the desktop has a notification area for the tray icon; the
    // source can be replaced (tests).
    bool trayAvailable() const;
    void setTrayAvailability(std::function<bool()> source);

    // Closing by the user (the window system's close, the page's close
    // button): hidden in the tray; without a tray minimised, after saving the
    // modified profiles, and the first time (ever) a message says why.
    void closeToBackground();
    // The start without the window (-autostart): hidden in the tray, or
    // minimised when no tray has come up within trayGrace.
    void startInBackground(std::chrono::milliseconds trayGrace = std::chrono::seconds(30));

    ApplicationHost &host() const { return m_host; }
    KelvWebView *webView() const { return m_webView; }
    PopWidget *popup() const { return m_popup; }
    // The pages of the window and of its popups (one shown, closed ones
    // still sending their last edits).
    QList<QWebEnginePage *> pages() const;
    SystemTray *tray() const { return m_tray; }
    QxtGlobalShortcut *showConfHotKey() const { return m_showConf; }
    QxtGlobalShortcut *testToolHotKey() const { return m_testTool; }
    QUrl pageAddress() const { return m_pageAddress; }
    QRect savedGeometry() const { return m_savedGeometry; }

    // The window size for a "clientSize" value: "width,height" in decimal;
    // anything else (absent, one part, not numbers, not positive, a side above
    // 8192) gives 800 x 600.
    static QSize clientSize(const ClientSettings::Map &settings);

    // The page address: file URL of view/index.html in the application folder.
    static QUrl pageAddressFor(const QString &applicationFolder);

    ProfileStore &profiles() const;
    void saveModifiedProfiles();

    // Global hot keys: key is "showConf" or "testTool". Re-registers it with
    // the sequence (QKeySequence native text); returns whether that worked.
    bool registerHotKey(const QString &key, const QString &sequence);
    bool hotKeyRegistered(const QString &key) const;

    // Window operations of the page requests. They act on the window active
    // last (this one or the popup).
    void hideWindow(); // the popup closes when it was active last; else closeToBackground
    void moveWindow(int dx, int dy, int width, int height);
    void toggleMinimised();
    void maximiseWindow();
    void restoreWindow();

    // Ends the current bound-program monitor and starts a fresh one, which
    // reads the bindings again.
    void restartProcessMoniter();

public slots:
    void quitApp();
    void reload_currentPage();
    // The page request entry of the window: hands the request to the router
    // (the web views are wired to the router directly).
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
    QRect &savedGeometryOf(QWidget *window);
    void openPopup(bool again);
    void endPopup();
    void popupLostContract(PopWidget *popup);
    void watchTray();
    void tellClosingMinimises();

    ClientSettings &m_appSettings;
    ClientSettings::Map m_settings;
    ApplicationHost &m_host;
    SystemTray *m_tray = nullptr;
    QxtGlobalShortcut *m_showConf = nullptr;
    QxtGlobalShortcut *m_testTool = nullptr;
    bool m_showConfRegistered = false;
    bool m_testToolRegistered = false;
    KelvWebView *m_webView = nullptr;
    QPointer<PopWidget> m_popup;
    bool m_popupOpenedAgain = false;
    QUrl m_pageAddress;
    QRect m_savedGeometry;
    QRect m_popupSavedGeometry;
    std::function<bool()> m_trayAvailability;
    bool m_trayWasAvailable = true;
    QTimer *m_trayWatch = nullptr;
};

} // namespace shell
} // namespace kelv
