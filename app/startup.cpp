#include "app/startup.h"

#include "app/cef_application.h"
#include "app/log_file.h"
#include "browser/client_handler.h"
#include "platform/user_rights.h"
#include "update/update_check.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QStringList>
#include <memory>

namespace kelv {

void prepareBrowserEnvironment()
{
    if (platform::runsWithAdministratorRights() &&
        !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");

    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    const QList<QByteArray> present = flags.split(' ');
    for (const QByteArray &flag : {QByteArrayLiteral("--disable-background-networking"),
                                   QByteArrayLiteral("--disable-component-update")}) {
        if (present.contains(flag))
            continue;
        if (!flags.isEmpty())
            flags += ' ';
        flags += flag;
    }
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);

    // Qt WebEngine shares its OpenGL context with the widgets; this has to be
    // said before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

int runApplication(int &argc, char **argv)
{
    prepareBrowserEnvironment();
    // The log goes to the working directory, like the browser's own log.
    installLogFile(QStringLiteral("web.log"));

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
    {
        cefApplication application(argc, argv, options);
        client = std::make_unique<ClientHandler>();
        if (!cefApplication::quitRequested())
            application.initialise();
        // The instance check may already have decided (a second instance that
        // got its answer, or a server that cannot listen): no event loop then.
        result = cefApplication::quitRequested() ? cefApplication::requestedExitCode()
                                                 : application.exec();
    }
    client.reset();
    // A client package that became ready is installed by the updater once
    // this program has shut down.
    if (runUpdaterAtExit())
        launchUpdater();
    removeLogFile();
    return result;
}

} // namespace kelv
