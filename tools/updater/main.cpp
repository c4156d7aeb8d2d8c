// Updater: started by kelv with "-update" in the program folder after kelv has
// shut down. Waits for kelv to end (its process id comes in the environment
// variable KELV_UPDATER_WAIT_PID), installs tupdates/client/ready over the
// program folder, and starts kelv again, so the user ends up in the new
// version without doing anything else. A failed install is rolled back and the
// old program is started.

#include "tools/updater/updater_core.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTextStream>

using namespace kelv;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (!args.contains(QStringLiteral("-update"))) {
        QTextStream(stderr) << "usage: Updater -update   (run in the program folder)\n";
        return 2;
    }
    const QString folder = QDir::currentPath();
#ifdef Q_OS_WIN
    const QString program = QStringLiteral("kelv.exe");
#else
    const QString program = QStringLiteral("kelv");
#endif

    QStringList log;
    int exitCode = 0;
    const qint64 pid = qEnvironmentVariableIntValue("KELV_UPDATER_WAIT_PID");
    if (!updater::waitForExit(pid, 60000)) {
        log << QStringLiteral("kelv (process %1) is still running after 60 s: nothing installed")
                   .arg(pid);
        exitCode = 3;
    } else {
        switch (updater::applyUpdate(folder, &log)) {
        case updater::Result::Installed:
        case updater::Result::NothingToInstall:
            break;
        case updater::Result::RolledBack:
            exitCode = 1;
            break;
        }
        if (!updater::startProgram(folder, program)) {
            log << QStringLiteral("cannot start %1").arg(program);
            exitCode = exitCode ? exitCode : 4;
        }
    }

    QFile file(folder + QStringLiteral("/updater.log"));
    const bool logToFile = file.open(QIODevice::WriteOnly | QIODevice::Append);
    QTextStream err(stderr);
    const QString stamp = QDateTime::currentDateTime().toString(Qt::ISODate);
    for (const QString &line : std::as_const(log)) {
        err << line << "\n";
        if (logToFile)
            file.write((stamp + QLatin1Char(' ') + line + QLatin1Char('\n')).toUtf8());
    }
    return exitCode;
}
