#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>

namespace kelv {

// A crash report as the crash handler writes it ("<id>.dmp", see
// crash/report_writer.h), read back for the reporter: the header fields, the
// sections, and what happened in plain words. On Windows the handler writes a
// minidump instead; its time, crashing thread, exception and address become
// the fields "Time", "Thread", "Exception" and "Address" of a short text.
class CrashReport
{
public:
    enum class Status {
        Ok,         // a readable kelv crash report
        NoPath,     // the reporter was started without a report
        Missing,    // the file does not exist
        Unreadable, // it exists but cannot be read
        NotAReport, // it was read but is not a kelv crash report
    };

    // Reports larger than this are read up to this size and marked truncated.
    static constexpr qint64 kMaxSize = 16 * 1024 * 1024;

    CrashReport() = default;

    // Reads and parses the file at path (an empty path gives NoPath).
    static CrashReport load(const QString &path);
    // Parses report text (or a minidump); path is only remembered for the messages.
    static CrashReport parse(const QByteArray &text, const QString &path = QString());

    // The reporter is started with the report's path unquoted after its own
    // name, so a path with blanks arrives as several arguments: join them again.
    static QString reportPathFromArguments(const QStringList &arguments);

    Status status() const { return m_status; }
    bool isValid() const { return m_status == Status::Ok; }
    QString path() const { return m_path; }
    QString errorText() const { return m_error; }
    bool isTruncated() const { return m_truncated; }

    // The whole report as read.
    QString text() const { return m_text; }
    // A header field ("Version", "Signal", ...), empty when absent.
    QString field(const QString &key) const { return m_fields.value(key); }
    // The lines of a section ("Registers", "Backtrace", "Modules").
    QStringList section(const QString &name) const { return m_sections.value(name); }

    QString version() const { return field(QStringLiteral("Version")); }
    QString signalName() const; // "SIGSEGV", empty when absent
    // What ended the program: the signal's name, or a minidump's exception
    // ("EXCEPTION_ACCESS_VIOLATION"); empty when absent.
    QString causeName() const;
    int signalNumber() const;     // -1 when absent
    QDateTime time() const;       // UTC; invalid when absent
    QString faultAddress() const; // empty when the signal has none

    // "kelv stopped unexpectedly"
    QString headline() const;
    // What happened and what it means for the user, or why the report cannot be shown.
    QString explanation() const;
    // The cause of a signal (or of a Windows exception, by its causeName) in plain
    // words ("tried to use memory it may not access").
    static QString signalMeaning(const QString &signalName);

private:
    static CrashReport parseMinidump(const QByteArray &dump, const QString &path);

    Status m_status = Status::NoPath;
    QString m_path;
    QString m_error;
    QString m_text;
    bool m_truncated = false;
    QHash<QString, QString> m_fields;
    QHash<QString, QStringList> m_sections;
};

} // namespace kelv
