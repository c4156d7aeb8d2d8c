// Updater: started by kelv in the program folder as
//   Updater -update -wait <kelv's process id> [-restart] [-autostart]
// (everything on the command line: a program started elevated on Windows does
// not inherit kelv's environment). Waits for kelv to end and, with -restart,
// installs tupdates/client/ready over the program folder, starts the new kelv
// and keeps it only when kelv reports within 30 s that its window and page are
// up; otherwise it restores the old files, starts the old kelv, and kelv tells
// the user why. With -autostart every kelv it starts starts in the tray, as the
// start that handed the update over did. Without -restart nothing is
// installed: the next start of kelv hands the package over again, so no
// version is ever installed unchecked.

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
    updater::Options options;
    QString error;
    if (!updater::parseCommandLine(app.arguments().mid(1), &options, &error)) {
        QTextStream(stderr)
            << "Updater: " << error
            << "\nusage: Updater -update -wait <process id> [-restart] [-autostart]   (run in "
               "the program folder)\n";
        return 2;
    }
    options.programFolder = QDir::currentPath();
#ifdef Q_OS_WIN
    options.program = QStringLiteral("kelv.exe");
#else
    options.program = QStringLiteral("kelv");
#endif
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
    case updater::Result::Deferred:
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
