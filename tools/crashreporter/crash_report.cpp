#include "tools/crashreporter/crash_report.h"

#include "common/ui_texts.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>

namespace kelv {
namespace {
const QString kMagic = QStringLiteral("kelv crash report");

bool isSectionStart(const QString &line)
{
    if (line.size() < 2 || !line.endsWith(QLatin1Char(':')) || !line.at(0).isUpper())
        return false;
    for (qsizetype i = 0; i + 1 < line.size(); ++i)
        if (!line.at(i).isLetter() && line.at(i) != QLatin1Char(' '))
            return false;
    return true;
}
} // namespace

CrashReport CrashReport::load(const QString &path)
{
    CrashReport report;
    report.m_path = path;
    if (path.isEmpty()) {
        report.m_status = Status::NoPath;
        return report;
    }
    QFileInfo info(path);
    if (!info.exists()) {
        report.m_status = Status::Missing;
        report.m_error = QStringLiteral("the file does not exist");
        return report;
    }
    QFile file(path);
    if (info.isDir() || !file.open(QIODevice::ReadOnly)) {
        report.m_status = Status::Unreadable;
        report.m_error = info.isDir() ? QStringLiteral("it is a folder") : file.errorString();
        return report;
    }
    const QByteArray data = file.read(kMaxSize);
    if (file.error() != QFileDevice::NoError) {
        report.m_status = Status::Unreadable;
        report.m_error = file.errorString();
        return report;
    }
    const bool truncated = !file.atEnd();
    report = parse(data, path);
    report.m_truncated = truncated;
    return report;
}

CrashReport CrashReport::parse(const QByteArray &text, const QString &path)
{
    CrashReport report;
    report.m_path = path;
    report.m_text = QString::fromUtf8(text);
    const QStringList lines = report.m_text.split(QLatin1Char('\n'));
    if (lines.isEmpty() || lines.first().trimmed() != kMagic) {
        report.m_status = Status::NotAReport;
        report.m_error = QStringLiteral("it is not a kelv crash report");
        report.m_text.clear();
        return report;
    }
    report.m_status = Status::Ok;

    qsizetype i = 1;
    for (; i < lines.size(); ++i) {
        const QString line = lines.at(i).trimmed();
        if (line.isEmpty())
            break;
        const qsizetype colon = line.indexOf(QStringLiteral(": "));
        if (colon > 0)
            report.m_fields.insert(line.left(colon), line.mid(colon + 2).trimmed());
    }

    QString current;
    for (; i < lines.size(); ++i) {
        const QString line = lines.at(i);
        if (line.trimmed().isEmpty()) {
            current.clear();
            continue;
        }
        if (current.isEmpty()) {
            if (!isSectionStart(line))
                continue;
            current = line.chopped(1);
            report.m_sections.insert(current, QStringList());
            continue;
        }
        report.m_sections[current].append(line);
    }
    return report;
}

QString CrashReport::reportPathFromArguments(const QStringList &arguments)
{
    return arguments.mid(1).join(QLatin1Char(' '));
}

QString CrashReport::signalName() const
{
    const QString value = field(QStringLiteral("Signal"));
    return value.section(QLatin1Char(' '), 0, 0);
}

int CrashReport::signalNumber() const
{
    const QString value = field(QStringLiteral("Signal"));
    const qsizetype open = value.indexOf(QLatin1Char('('));
    const qsizetype close = value.indexOf(QLatin1Char(')'), open);
    if (open < 0 || close < 0)
        return -1;
    bool ok = false;
    const int number = value.mid(open + 1, close - open - 1).toInt(&ok);
    return ok ? number : -1;
}

QDateTime CrashReport::time() const
{
    QDateTime t = QDateTime::fromString(field(QStringLiteral("Time")), Qt::ISODate);
    return t.isValid() ? t.toUTC() : QDateTime();
}

QString CrashReport::faultAddress() const
{
    return field(QStringLiteral("Address"));
}

QString CrashReport::signalMeaning(const QString &signalName)
{
    if (signalName == QLatin1String("SIGSEGV"))
        return uiText(QStringLiteral("tried to use memory it may not access"));
    if (signalName == QLatin1String("SIGBUS"))
        return uiText(
            QStringLiteral("tried to use memory that does not exist or cannot be reached"));
    if (signalName == QLatin1String("SIGFPE"))
        return uiText(QStringLiteral("met an arithmetic error such as a division by zero"));
    if (signalName == QLatin1String("SIGILL"))
        return uiText(QStringLiteral("tried to run an instruction the processor does not accept"));
    if (signalName == QLatin1String("SIGABRT"))
        return uiText(QStringLiteral("stopped itself after detecting an internal error"));
    return uiText(QStringLiteral("met an unexpected error"));
}

QString CrashReport::headline() const
{
    switch (m_status) {
    case Status::Ok:
    case Status::Missing:
    case Status::Unreadable:
        return uiText(QStringLiteral("kelv stopped unexpectedly"));
    case Status::NoPath:
    case Status::NotAReport:
        break;
    }
    return uiText(QStringLiteral("No crash report to show"));
}

QString CrashReport::explanation() const
{
    const QString restart = uiText(QStringLiteral("You can restart kelv now."));
    switch (m_status) {
    case Status::NoPath:
        return uiText(
            QStringLiteral("No crash report was named. CrashReporter is started by kelv after "
                           "a crash, with the path of the crash report."));
    case Status::Missing:
        return uiText(QStringLiteral(
                          "kelv stopped unexpectedly, but its crash report could not be found "
                          "at %1. It may not have been written, for example because the folder "
                          "is full or write-protected. %2"))
            .arg(m_path, restart);
    case Status::Unreadable:
        return uiText(
                   QStringLiteral("kelv stopped unexpectedly, but its crash report %1 could not be "
                                  "read: %2. %3"))
            .arg(m_path, m_error, restart);
    case Status::NotAReport:
        return uiText(QStringLiteral(
                          "The file %1 is not a kelv crash report, so there is nothing to show."))
            .arg(m_path);
    case Status::Ok:
        break;
    }

    const QString name = signalName();
    QString cause = signalMeaning(name);
    if (!name.isEmpty())
        cause += QStringLiteral(" (%1)").arg(name);
    QString when;
    const QDateTime t = time();
    if (t.isValid()) {
        const QDateTime local = t.toLocalTime();
        when = uiText(QStringLiteral(" on %1 at %2"))
                   .arg(uiLocale().toString(local.date(), QLocale::LongFormat),
                        local.time().toString(QStringLiteral("HH:mm:ss")));
    }
    QString text =
        uiText(QStringLiteral("kelv stopped unexpectedly%1 because it %2. Changes you had not "
                              "saved yet may be lost; profiles and settings that were saved "
                              "are not affected. %3"))
            .arg(when, cause, restart);
    if (!m_path.isEmpty())
        text += uiText(QStringLiteral(
                           "\n\nA report of what happened was saved as %1. If the problem "
                           "comes back, copy the report and send it with your support request."))
                    .arg(m_path);
    if (m_truncated)
        text +=
            uiText(QStringLiteral("\n\nThe report is very large; only its first %1 MB are shown."))
                .arg(kMaxSize / (1024 * 1024));
    return text;
}

} // namespace kelv
