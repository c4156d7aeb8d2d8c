// Updater: started by kelv with "-update" in the program folder after kelv has
// shut down. Waits for kelv to end (its process id comes in the environment
// variable KELV_UPDATER_WAIT_PID) and installs tupdates/client/ready over the
// program folder. When the user chose to restart (KELV_UPDATER_RESTART=1) it
// starts the new kelv and keeps it only when kelv reports within 30 s that its
// window and page are up; otherwise it restores the old files, starts the old
// kelv, and kelv tells the user why. After Exit it installs and stays quiet.

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

    updater::Options options;
    options.programFolder = QDir::currentPath();
#ifdef Q_OS_WIN
    options.program = QStringLiteral("kelv.exe");
#else
    options.program = QStringLiteral("kelv");
#endif
    options.waitPid = qEnvironmentVariableIntValue("KELV_UPDATER_WAIT_PID");
    options.restart = qEnvironmentVariable("KELV_UPDATER_RESTART") == QLatin1String("1");
    // Tests shorten the health check; nothing else sets it.
    bool ok = false;
    const int timeout = qEnvironmentVariableIntValue("KELV_UPDATER_HEALTH_TIMEOUT_MS", &ok);
    if (ok && timeout > 0)
        options.healthTimeoutMs = timeout;

    QStringList log;
    int exitCode = 0;
    switch (updater::run(options, &log)) {
    case updater::Result::Installed:
    case updater::Result::NothingToInstall:
        break;
    case updater::Result::RolledBack:
        exitCode = 1;
        break;
    case updater::Result::Busy:
        exitCode = 3;
        break;
    }

    QFile file(options.programFolder + QStringLiteral("/updater.log"));
    const bool logToFile = file.open(QIODevice::WriteOnly | QIODevice::Append);
    QTextStream err(stderr);
    const QString stamp = QDateTime::currentDateTime().toString(Qt::ISODate);
    // The file first: it is the record that stays.
    for (const QString &line : std::as_const(log)) {
        if (logToFile)
            file.write((stamp + QLatin1Char(' ') + line + QLatin1Char('\n')).toUtf8());
    }
    file.close();
    for (const QString &line : std::as_const(log))
        err << line << "\n";
    return exitCode;
}
