#include "app/startup.h"

#include "app/app_log.h"
#include "app/cef_application.h"
#include "app/log_file.h"
#include "browser/client_handler.h"
#include "common/user_folders.h"
#include "platform/user_rights.h"
#include "update/installers.h"
#include "update/startup_check.h"
#include "update/update_check.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QStringList>
#include <algorithm>
#include <memory>

namespace kelv {

void prepareBrowserEnvironment()
{
    if (platform::runsWithAdministratorRights() &&
        !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");

    // The page is drawn in software unless the user chose a scene graph
    // backend: a program that rests in the tray all day holds no graphics
    // driver, GPU thread and their caches (tens of MiB) for a page of forms.
    if (!qEnvironmentVariableIsSet("QT_QUICK_BACKEND"))
        qputenv("QT_QUICK_BACKEND", "software");
    const bool software = qgetenv("QT_QUICK_BACKEND") == "software";
    // Drawn in software, nothing needs OpenGL on X11 either: without this Qt
    // loads the GLX driver (Mesa's with its LLVM, over 20 MiB resident) at the
    // first window.
    if (software && !qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");

    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    const QList<QByteArray> present = flags.split(' ');
    QList<QByteArray> wanted{QByteArrayLiteral("--disable-background-networking"),
                             QByteArrayLiteral("--disable-component-update")};
    if (software)
        wanted << QByteArrayLiteral("--disable-gpu");
#ifdef Q_OS_LINUX
    // Besides the zygote that forks the renderers, the engine starts a second
    // one for processes that run without a sandbox, and keeps it all day: about
    // 8 MiB. Qt WebEngine runs its GPU and network services inside the
    // program, so a day in the tray forks nothing from it; what it would fork
    // the engine now starts directly. The renderers' zygote and its sandbox are
    // untouched.
    wanted << QByteArrayLiteral("--no-unsandboxed-zygote");
#endif
    // The page is a page of forms: V8's interpreter runs it well, and without
    // its compilers the renderer holds about 7 MiB less (no optimised code, no
    // feedback kept for it) and writes no machine code while it runs (lite mode
    // implies jitless, which also leaves WebAssembly out; saying so spares the
    // renderer's warning about the conflict). Flags of the user's own for V8
    // take its place. Qt WebEngine reads the quotes of this variable.
    const bool ownJsFlags = std::any_of(present.cbegin(), present.cend(), [](const QByteArray &f) {
        return f.startsWith("--js-flags");
    });
    if (!ownJsFlags)
        wanted << QByteArrayLiteral("--js-flags=\"--lite-mode --no-expose-wasm\"");
    for (const QByteArray &flag : std::as_const(wanted)) {
        if (present.contains(flag))
            continue;
        if (!flags.isEmpty())
            flags += ' ';
        flags += flag;
    }
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);

    // Drawn with OpenGL, Qt WebEngine shares its context with the widgets;
    // this has to be said before the application object exists.
    if (!software)
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

namespace {

// Set in a program started again after a roll-back, so a roll-back that cannot
// complete never makes the program start itself over and over.
constexpr const char *kRestartedVariable = "KELV_RESTARTED_AFTER_ROLLBACK";

StartupInstallCheck runInstallCheck(bool autostart)
{
    QStringList log;
    StartupInstallCheck check =
        checkInstallAtStartup(&log, autostart ? StartMode::Tray : StartMode::Window);
    for (const QString &line : std::as_const(log))
        qCInfo(lcApp).noquote() << line;
    if (check.outcome == StartupInstallCheck::Outcome::Restart &&
        qEnvironmentVariableIsSet(kRestartedVariable)) {
        qCInfo(lcApp, "update: already started again once; going on");
        check.outcome = StartupInstallCheck::Outcome::Continue;
    }
    qunsetenv(kRestartedVariable);
    return check;
}

// Starts this program again, on its own (the log says what started, or
// failed to); a start after a roll-back is marked so it never starts itself
// over and over.
void startAgain(const QString &program, const QStringList &arguments, bool afterRollback,
                const char *started, const char *failed)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(QDir::currentPath());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (afterRollback)
        environment.insert(QString::fromLatin1(kRestartedVariable), QStringLiteral("1"));
    process.setProcessEnvironment(environment);
    // The program lives on its own: a terminal or pipe this start was given
    // may go away with it (writing to it would end the program).
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (process.startDetached(&pid))
        qCInfo(lcApp).noquote()
            << QStringLiteral("%1 (process %2)").arg(QLatin1String(started)).arg(pid);
    else
        qCInfo(lcApp, "%s", failed);
}

} // namespace

int runApplication(int &argc, char **argv)
{
    prepareBrowserEnvironment();
    // The log's place depends on the program folder, known once the
    // application object exists: its lines wait until then.
    holdLogLines();

    cefApplication::Options options;
    // Tests run real instances side by side under names of their own.
    const QString serverName = qEnvironmentVariable("KELV_INSTANCE_SERVER");
    if (!serverName.isEmpty())
        options.serverName = serverName;

    int result = 0;
    // The one browser client of the process. It reads its switches from the
    // command line, so it is made once the application object exists, and it
    // outlives the application object's windows. It touches no part of the
    // browser engine, which only the primary start creates.
    std::unique_ptr<ClientHandler> client;
    QString program; // this program's file, for a start after the shutdown
    {
        cefApplication application(argc, argv, options);
        // The log goes to the working directory, like the browser's own log,
        // or to the user's state folder where the program folder is shared.
        installLogFile(userFolders().perUser() ? userFolders().state() + QStringLiteral("/web.log")
                                               : QStringLiteral("web.log"));
        program = QCoreApplication::applicationFilePath();
        // Before anything else: an install that was cut off or that waits for
        // its first start is dealt with, so the program never runs on a mix of
        // old and new files.
        const StartupInstallCheck install = runInstallCheck(application.autostart());
        if (install.outcome != StartupInstallCheck::Outcome::Continue) {
            // The files under this process were rolled back: the program on
            // disk is the one to run.
            if (install.outcome == StartupInstallCheck::Outcome::Restart)
                startAgain(QCoreApplication::applicationFilePath(),
                           QCoreApplication::arguments().mid(1), true,
                           "update: started the restored program",
                           "update: cannot start the restored program");
            removeLogFile();
            return 0;
        }
        application.setUpdateStart(install.trialStart, install.notice);
        client = std::make_unique<ClientHandler>();
        if (!cefApplication::quitRequested())
            application.initialise();
        // The instance check may already have decided (a second instance that
        // got its answer, or a server that cannot listen): no event loop then.
        result = cefApplication::quitRequested() ? cefApplication::requestedExitCode()
                                                 : application.exec();
    }
    client.reset();
    // A client package that became ready goes to the Updater once this
    // program has shut down (after Exit: at the next start).
    const bool updaterStartsProgram = runUpdaterAtExit() && restartAfterUpdate();
    if (runUpdaterAtExit())
        finishClientUpdateAtExit();
    // A start that came while this instance was quitting was answered and
    // ended: the program it asked for starts now, with its window shown (the
    // instance socket is closed, the device library and the profiles are
    // let go). The Updater starts the new version itself.
    if (cefApplication::startRequestedWhileQuitting() && !updaterStartsProgram)
        startAgain(program, {}, false, "started again for the start made while quitting",
                   "cannot start again for the start made while quitting");
    removeLogFile();
    return result;
}

} // namespace kelv
