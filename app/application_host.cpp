#include "app/application_host.h"

#include "app/cef_application.h"
#include "app/main_window.h"
#include "bridge/request_router.h"
#include "browser/client_handler.h"
#include "browser/kelv_page.h"
#include "browser/kelv_web_view.h"
#include "common/app_paths.h"
#include "common/client_settings.h"
#include "common/user_folders.h"
#include "desktop/macro_recorder.h"

#include <QDesktopServices>
#include <QSystemTrayIcon>
#include <QWebEnginePage>

namespace kelv {

ApplicationHost::ApplicationHost(ClientSettings &settings, devices_handler *devices,
                                 QObject *parent)
    : QObject(parent), m_settings(settings),
      m_profiles(userFolders().profiles(),
                 userFolders().perUser() ? userFolders().programFolder() : QString()),
      m_recorder(new MacroRecorder(this)), m_router(new RequestRouter(*this, this))
{
    m_router->addProgramCommands(devices);

    // A mode document deleted by hand would leave the page with no profile it
    // could ever reset (every profile command needs the file): it starts
    // again from the factory one. An existing file is never touched.
    ProfileStore::restoreMissing(
        userFolders().profilePath(QStringLiteral("view/xml/configuration.xml")),
        userFolders().programFolder() + QStringLiteral("/Resources/profiles/configuration.xml"));

    // Keys recorded for a macro reach the page as macroItem events.
    if (ClientHandler *client = ClientHandler::instance())
        connect(m_recorder, &MacroRecorder::macroItem, client, &ClientHandler::sendMacroItem);
}

ApplicationHost::~ApplicationHost()
{
    // The monitor is asked to end now; its threads are waited for when the
    // runner goes.
    m_monitors.stop();
}

void ApplicationHost::setWindow(shell::kelv *window)
{
    m_window = window;
}

// WindowHost

QWidget *ApplicationHost::dialogParent()
{
    return m_window;
}

void ApplicationHost::hideWindow()
{
    if (m_window)
        m_window->hideWindow();
    else
        m_profiles.saveModified();
}

void ApplicationHost::closeApp()
{
    m_profiles.saveModified();
    cefApplication::requestQuit();
}

void ApplicationHost::moveWindow(int dx, int dy, int width, int height)
{
    if (m_window)
        m_window->moveWindow(dx, dy, width, height);
}

void ApplicationHost::toggleMinimised()
{
    if (m_window)
        m_window->toggleMinimised();
}

void ApplicationHost::maximiseWindow()
{
    if (m_window)
        m_window->maximiseWindow();
}

void ApplicationHost::restoreWindow()
{
    if (m_window)
        m_window->restoreWindow();
}

bool ApplicationHost::trayAvailable() const
{
    return m_window ? m_window->trayAvailable() : QSystemTrayIcon::isSystemTrayAvailable();
}

bool ApplicationHost::isMainPage(const QObject *page) const
{
    ClientHandler *client = ClientHandler::instance();
    const KelvWebView *main = client ? client->browser() : nullptr;
    return page && main && static_cast<const QObject *>(main->kelvPage()) == page;
}

// NavigationHost: the main (first) browser.

void ApplicationHost::loadUrl(const QUrl &url)
{
    ClientHandler *client = ClientHandler::instance();
    if (KelvWebView *browser = client ? client->browser() : nullptr)
        browser->load(url);
}

void ApplicationHost::goBack()
{
    ClientHandler *client = ClientHandler::instance();
    if (KelvWebView *browser = client ? client->browser() : nullptr)
        browser->back();
}

void ApplicationHost::goForward()
{
    ClientHandler *client = ClientHandler::instance();
    if (KelvWebView *browser = client ? client->browser() : nullptr)
        browser->forward();
}

void ApplicationHost::openUrl(const QUrl &url)
{
    QDesktopServices::openUrl(url);
}

// RecorderHost

void ApplicationHost::startRecording(QObject *origin, RecordingStarted done)
{
    // The keys go to the document that started the recording; once its page
    // is gone (the popup closed) or shows a new document (loaded again, as
    // after a renderer crash, and not recording) no page takes them, and
    // every key typed anywhere would go on being recorded for nobody.
    forgetRecordingPage();
    if (origin) {
        const auto end = [this] {
            forgetRecordingPage();
            m_recorder->stopRecording();
        };
        m_recordingPageGone = connect(origin, &QObject::destroyed, this, end);
        if (auto *page = qobject_cast<QWebEnginePage *>(origin))
            m_recordingPageLoads = connect(page, &QWebEnginePage::loadStarted, this, end);
    }
    m_recorder->startRecording(std::move(done));
}

void ApplicationHost::stopRecording(std::function<void()> done)
{
    forgetRecordingPage();
    m_recorder->stopRecording(std::move(done));
}

void ApplicationHost::forgetRecordingPage()
{
    disconnect(m_recordingPageGone);
    disconnect(m_recordingPageLoads);
}

// UpdatesHost

void ApplicationHost::checkForUpdates(bool interactive)
{
    if (cefApplication *application = cefApplication::instance())
        application->checkForUpdates(interactive);
}

// SettingsHost

bool ApplicationHost::registerHotKey(const QString &key, const QString &sequence)
{
    return m_window && m_window->registerHotKey(key, sequence);
}

bool ApplicationHost::hotKeyRegistered(const QString &key) const
{
    return m_window && m_window->hotKeyRegistered(key);
}

bool ApplicationHost::hasProcessMonitor() const
{
    return m_monitors.exists();
}

void ApplicationHost::restartProcessMonitor()
{
    // The old monitor's loop ends at once; the new one reads the bindings
    // again from the saved mode document.
    m_monitors.restart(userFolders().profilePath(QStringLiteral("view/xml/configuration.xml")),
                       [](ProcessMoniter *monitor) {
                           if (ClientHandler *client = ClientHandler::instance())
                               QObject::connect(monitor, &ProcessMoniter::processChanged, client,
                                                &ClientHandler::sendOnProcessChanged,
                                                Qt::DirectConnection);
                       });
}

void ApplicationHost::whenProgramsLooked(RunningModesDone done)
{
    m_monitors.whenLooked(std::move(done));
}

} // namespace kelv
