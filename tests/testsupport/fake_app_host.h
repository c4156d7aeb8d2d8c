#pragma once

#include "bridge/app_host.h"
#include "bridge/profile_store.h"
#include "common/client_settings.h"

#include <QCoreApplication>
#include <QStringList>
#include <QUrl>

namespace kelv::test {

// An AppHost that records what the commands asked of the application, for
// handler tests without a main window. Settings and profiles are real.
class FakeAppHost : public AppHost
{
public:
    explicit FakeAppHost(const QString &applicationFolder) : m_profiles(applicationFolder) {}

    ClientSettings settings;
    QStringList calls; // one entry per operation, e.g. "hide", "move 1,2,3,4"
    bool hotKeyResult = true;
    bool showConfRegistered = false;
    bool testToolRegistered = false;
    bool monitorExists = true;
    bool recordingResult = true;
    bool tray = true;
    bool mainPage = true;
    // What the program monitor's look answers (from the event loop, as the
    // real monitor's does); lookKnown false: the process list cannot be read.
    bool lookKnown = true;
    QStringList runningModes;
    QWidget *parentWidget = nullptr;

    ClientSettings &clientSettings() override { return settings; }
    ProfileStore &profiles() override { return m_profiles; }

    bool registerHotKey(const QString &key, const QString &sequence) override
    {
        calls << QStringLiteral("hotkey %1=%2").arg(key, sequence);
        (key == QLatin1String("showConf") ? showConfRegistered : testToolRegistered) = hotKeyResult;
        return hotKeyResult;
    }
    bool hotKeyRegistered(const QString &key) const override
    {
        return key == QLatin1String("showConf") ? showConfRegistered : testToolRegistered;
    }

    QWidget *dialogParent() override { return parentWidget; }
    void hideWindow() override
    {
        calls << QStringLiteral("hide");
        m_profiles.saveModified();
    }
    void closeApp() override
    {
        m_profiles.saveModified();
        calls << QStringLiteral("quit");
    }
    void moveWindow(int dx, int dy, int width, int height) override
    {
        calls << QStringLiteral("move %1,%2,%3,%4").arg(dx).arg(dy).arg(width).arg(height);
    }
    void toggleMinimised() override { calls << QStringLiteral("minimise"); }
    void maximiseWindow() override { calls << QStringLiteral("maximise"); }
    void restoreWindow() override { calls << QStringLiteral("restore"); }
    bool trayAvailable() const override { return tray; }
    bool isMainPage(const QObject *) const override { return mainPage; }

    bool hasProcessMonitor() const override { return monitorExists; }
    void restartProcessMonitor() override { calls << QStringLiteral("restartMonitor"); }
    void whenProgramsLooked(RunningModesDone done) override
    {
        calls << QStringLiteral("whenProgramsLooked");
        QMetaObject::invokeMethod(
            qApp, [done, known = lookKnown, modes = runningModes] { done(known, modes); },
            Qt::QueuedConnection);
    }

    void checkForUpdates(bool interactive) override
    {
        calls << QStringLiteral("checkForUpdates %1").arg(interactive ? "true" : "false");
    }
    // The recorder's answers come later, from the event loop, as the real
    // recorder's do.
    void startRecording(QObject *, RecordingStarted done) override
    {
        calls << QStringLiteral("startRecording");
        const bool started = recordingResult;
        QMetaObject::invokeMethod(
            qApp,
            [done, started] { done(started, started ? QString() : QStringLiteral("no display")); },
            Qt::QueuedConnection);
    }
    void stopRecording(std::function<void()> done) override
    {
        calls << QStringLiteral("stopRecording");
        QMetaObject::invokeMethod(qApp, done, Qt::QueuedConnection);
    }
    void loadUrl(const QUrl &url) override { calls << QStringLiteral("load ") + url.toString(); }
    void goBack() override { calls << QStringLiteral("back"); }
    void goForward() override { calls << QStringLiteral("forward"); }
    void openUrl(const QUrl &url) override { calls << QStringLiteral("openUrl ") + url.toString(); }

private:
    ProfileStore m_profiles;
};

} // namespace kelv::test
