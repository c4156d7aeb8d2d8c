#pragma once

// What the device benches share: their application, the number of requests asked for on
// the command line, and the program folder whose device library they load.

#ifdef KELV_BENCH_PAGE
#include <QApplication>
#else
#include <QCoreApplication>
#endif

#include <QString>
#include <memory>

namespace kelv::bench {

// With the page parts a QApplication, on the offscreen platform unless another one is
// chosen and without WebEngine's sandbox (set before WebEngine starts); else a
// QCoreApplication.
inline std::unique_ptr<QCoreApplication> makeApplication(int &argc, char **argv)
{
#ifdef KELV_BENCH_PAGE
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return std::make_unique<QApplication>(argc, argv);
#else
    return std::make_unique<QCoreApplication>(argc, argv);
#endif
}

// The first argument (at least 10), or fallback when there is none.
inline int requestCount(int argc, char **argv, int fallback)
{
    return argc > 1 ? qMax(10, QString::fromLocal8Bit(argv[1]).toInt()) : fallback;
}

// KELV_PROGRAM_DIR, or the build's program folder beside the bench's own.
inline QString programFolder()
{
    const QString env = qEnvironmentVariable("KELV_PROGRAM_DIR");
    return env.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/../program")
                         : env;
}

} // namespace kelv::bench
