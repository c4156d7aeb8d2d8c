#include "app/log_file.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <cstdio>

namespace kelv {
namespace {

struct LogState
{
    QMutex mutex;
    QFile file;
    QtMessageHandler previous = nullptr;
    bool installed = false;
};

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

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray line = formatLogLine(type, context.category, message).toUtf8() + '\n';
    LogState &s = state();
    {
        QMutexLocker lock(&s.mutex);
        if (type != QtDebugMsg && s.file.isOpen()) {
            s.file.write(line);
            s.file.flush();
        }
    }
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace

QString formatLogLine(QtMsgType type, const char *category, const QString &message)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("MMdd/hhmmss.zzz"));
    const QString source =
        category && *category ? QString::fromUtf8(category) : QStringLiteral("default");
    return QStringLiteral("[%1:%2:%3] %4")
        .arg(stamp, QLatin1String(severity(type)), source, message);
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
    }
    if (!s.installed) {
        s.previous = qInstallMessageHandler(handler);
        s.installed = true;
    }
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
}

} // namespace kelv
