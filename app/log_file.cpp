#include "app/log_file.h"

#include <QDateTime>
#include <QFile>
#include <QList>
#include <QMutex>
#include <cstdio>

namespace kelv {
namespace {

// A program that runs for weeks in the tray must not fill the disk: at this
// size the file becomes "web.log.1" (replacing the one before) and a new file
// starts.
qint64 g_rotateSize = kLogRotateBytes;

struct LogState
{
    QMutex mutex;
    QFile file;
    QtMessageHandler previous = nullptr;
    bool installed = false;
    // Lines written before the file is known (holdLogLines()), for the file.
    bool holding = false;
    QList<QByteArray> held;
};

// Enough for every line of a start up to the point where the file is known.
constexpr qsizetype kMostHeldLines = 500;

LogState &state()
{
    static LogState s;
    return s;
}

const char *severity(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "VERBOSE";
    case QtInfoMsg:
        return "INFO";
    case QtWarningMsg:
        return "WARNING";
    case QtCriticalMsg:
        return "ERROR";
    case QtFatalMsg:
        return "FATAL";
    }
    return "INFO";
}

// Called with the state's mutex held.
void rotate(QFile &file)
{
    const QString path = file.fileName();
    const QString previous = path + QStringLiteral(".1");
    file.close();
    QFile::remove(previous);
    QFile::rename(path, previous);
    file.setFileName(path);
    // When the old file could not be renamed it starts again empty.
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
}

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray line = formatLogLine(type, context.category, message).toUtf8() + '\n';
    LogState &s = state();
    {
        QMutexLocker lock(&s.mutex);
        if (type != QtDebugMsg && s.file.isOpen()) {
            s.file.write(line);
            s.file.flush();
            if (s.file.size() >= g_rotateSize)
                rotate(s.file);
        } else if (type != QtDebugMsg && s.holding && s.held.size() < kMostHeldLines) {
            s.held.append(line);
        }
    }
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    if (type == QtFatalMsg)
        std::abort();
}

void installHandler(LogState &s)
{
    if (!s.installed) {
        s.previous = qInstallMessageHandler(handler);
        s.installed = true;
    }
}

} // namespace

void holdLogLines()
{
    LogState &s = state();
    {
        QMutexLocker lock(&s.mutex);
        s.holding = true;
    }
    installHandler(s);
}

QString formatLogLine(QtMsgType type, const char *category, const QString &message)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("MMdd/hhmmss.zzz"));
    const QString source =
        category && *category ? QString::fromUtf8(category) : QStringLiteral("default");
    return QStringLiteral("[%1:%2:%3] %4")
        .arg(stamp, QLatin1String(severity(type)), source, message);
}

void setLogRotateSize(qint64 bytes)
{
    QMutexLocker lock(&state().mutex);
    g_rotateSize = bytes > 0 ? bytes : kLogRotateBytes;
}

bool installLogFile(const QString &path)
{
    LogState &s = state();
    bool opened = false;
    {
        QMutexLocker lock(&s.mutex);
        if (s.file.isOpen())
            s.file.close();
        s.file.setFileName(path);
        opened = s.file.open(QIODevice::WriteOnly | QIODevice::Append);
        if (opened) {
            for (const QByteArray &line : std::as_const(s.held))
                s.file.write(line);
            s.file.flush();
        }
        s.held.clear();
        s.holding = false;
    }
    installHandler(s);
    return opened;
}

void removeLogFile()
{
    LogState &s = state();
    if (s.installed) {
        qInstallMessageHandler(s.previous);
        s.installed = false;
    }
    QMutexLocker lock(&s.mutex);
    s.file.close();
    s.held.clear();
    s.holding = false;
}

} // namespace kelv
