#include "tools/crashreporter/crash_report.h"

#include "common/ui_texts.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QtEndian>

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

// Little-endian values of a minidump, false past its end.
bool readU32(const QByteArray &bytes, qint64 at, quint32 *value)
{
    if (at < 0 || at + 4 > bytes.size())
        return false;
    *value = qFromLittleEndian<quint32>(bytes.constData() + at);
    return true;
}

bool readU64(const QByteArray &bytes, qint64 at, quint64 *value)
{
    if (at < 0 || at + 8 > bytes.size())
        return false;
    *value = qFromLittleEndian<quint64>(bytes.constData() + at);
    return true;
}

struct ExceptionKind
{
    quint32 code;
    const char *name;
    const char *like; // the signal whose plain words fit
};

constexpr ExceptionKind kExceptions[] = {
    {0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "SIGSEGV"},
    {0xC00000FD, "EXCEPTION_STACK_OVERFLOW", "SIGSEGV"},
    {0xC0000006, "EXCEPTION_IN_PAGE_ERROR", "SIGBUS"},
    {0xC000008C, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED", "SIGSEGV"},
    {0xC0000094, "EXCEPTION_INT_DIVIDE_BY_ZERO", "SIGFPE"},
    {0xC0000095, "EXCEPTION_INT_OVERFLOW", "SIGFPE"},
    {0xC000008D, "EXCEPTION_FLT_DENORMAL_OPERAND", "SIGFPE"},
    {0xC000008E, "EXCEPTION_FLT_DIVIDE_BY_ZERO", "SIGFPE"},
    {0xC000008F, "EXCEPTION_FLT_INEXACT_RESULT", "SIGFPE"},
    {0xC0000090, "EXCEPTION_FLT_INVALID_OPERATION", "SIGFPE"},
    {0xC0000091, "EXCEPTION_FLT_OVERFLOW", "SIGFPE"},
    {0xC0000092, "EXCEPTION_FLT_STACK_CHECK", "SIGFPE"},
    {0xC0000093, "EXCEPTION_FLT_UNDERFLOW", "SIGFPE"},
    {0xC000001D, "EXCEPTION_ILLEGAL_INSTRUCTION", "SIGILL"},
    {0xC0000096, "EXCEPTION_PRIV_INSTRUCTION", "SIGILL"},
    // What the crash handler dumps for abort(), the C runtime's invalid-parameter
    // and pure-call errors, and a fast fail.
    {0x40000015, "STATUS_FATAL_APP_EXIT", "SIGABRT"},
    {0xC000000D, "STATUS_INVALID_PARAMETER", "SIGABRT"},
    {0xC0000025, "STATUS_NONCONTINUABLE_EXCEPTION", "SIGABRT"},
    {0xC0000409, "STATUS_STACK_BUFFER_OVERRUN", "SIGABRT"},
};

const ExceptionKind *exceptionKind(quint32 code)
{
    for (const ExceptionKind &kind : kExceptions) {
        if (kind.code == code)
            return &kind;
    }
    return nullptr;
}

const ExceptionKind *exceptionKind(const QString &name)
{
    for (const ExceptionKind &kind : kExceptions) {
        if (name == QLatin1String(kind.name))
            return &kind;
    }
    return nullptr;
}

QString hex(quint64 value, int digits)
{
    return QStringLiteral("0x%1").arg(value, digits, 16, QLatin1Char('0'));
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

CrashReport CrashReport::parseMinidump(const QByteArray &dump, const QString &path)
{
    CrashReport report;
    report.m_path = path;
    report.m_status = Status::NotAReport;
    report.m_error = QStringLiteral("it is not a kelv crash report");
    // The header: signature, version, stream count, directory, checksum, time stamp.
    quint32 streams = 0;
    quint32 directory = 0;
    quint32 stamp = 0;
    if (!readU32(dump, 8, &streams) || !readU32(dump, 12, &directory) || !readU32(dump, 20, &stamp))
        return report;
    // The exception stream (type 6): the thread, then the exception record
    // (code, flags, nested record, address).
    for (quint32 i = 0; i < streams; ++i) {
        const qint64 entry = qint64(directory) + qint64(i) * 12;
        quint32 type = 0;
        quint32 size = 0;
        quint32 at = 0;
        if (!readU32(dump, entry, &type) || !readU32(dump, entry + 4, &size) ||
            !readU32(dump, entry + 8, &at))
            return report;
        quint32 thread = 0;
        quint32 code = 0;
        quint64 address = 0;
        if (type != 6 || size < 32 || !readU32(dump, at, &thread) ||
            !readU32(dump, qint64(at) + 8, &code) || !readU64(dump, qint64(at) + 24, &address))
            continue;
        const ExceptionKind *kind = exceptionKind(code);
        const QString exception = QStringLiteral("%1 (%2)").arg(
            kind ? QString::fromLatin1(kind->name) : QStringLiteral("EXCEPTION"), hex(code, 8));
        const QString time = QDateTime::fromSecsSinceEpoch(stamp, Qt::UTC).toString(Qt::ISODate);
        report.m_fields = {{QStringLiteral("Time"), time},
                           {QStringLiteral("Thread"), QString::number(thread)},
                           {QStringLiteral("Exception"), exception},
                           {QStringLiteral("Address"), hex(address, 16)}};
        report.m_text = QStringLiteral("kelv crash report (Windows minidump)\n"
                                       "Time: %1\nThread: %2\nException: %3\nAddress: %4\n")
                            .arg(time, QString::number(thread), exception, hex(address, 16));
        report.m_status = Status::Ok;
        report.m_error.clear();
        return report;
    }
    return report;
}

CrashReport CrashReport::parse(const QByteArray &text, const QString &path)
{
    if (text.startsWith("MDMP"))
        return parseMinidump(text, path);
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

QString CrashReport::causeName() const
{
    const QString signal = signalName();
    return signal.isEmpty() ? field(QStringLiteral("Exception")).section(QLatin1Char(' '), 0, 0)
                            : signal;
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
    if (const ExceptionKind *kind = exceptionKind(signalName))
        return signalMeaning(QString::fromLatin1(kind->like));
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

    const QString name = causeName();
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
