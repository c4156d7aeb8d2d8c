#include "common/app_paths.h"
#include "crash/crash_handler.h"
#include "crash/crash_reporting.h"
#include "crash/report_writer.h"
#include "crash/reporter_command_line.h"
#include "tests/crash/crash_child.h"
#include "tools/crashreporter/crash_report.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <ucontext.h>
#include <unistd.h>

using namespace kelv;
using namespace kelv::test;

namespace {

const QRegularExpression kDumpName(
    QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\\.dmp$"));

QStringList dumpsIn(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral("*.dmp")}, QDir::Files);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Collects the messages of the crash category while alive.
class MessageLog
{
public:
    MessageLog() : m_previous(qInstallMessageHandler(&MessageLog::handle)) { s_lines.clear(); }
    ~MessageLog() { qInstallMessageHandler(m_previous); }
    QStringList lines() const { return s_lines; }

private:
    static void handle(QtMsgType, const QMessageLogContext &context, const QString &text)
    {
        if (QByteArray(context.category) == "kelv.crash")
            s_lines << text;
    }
    static inline QStringList s_lines;
    QtMessageHandler m_previous;
};

// Runs fn with standard error sent to a file; returns what was written.
template <typename Fn> QByteArray captureStandardError(const QString &file, Fn fn)
{
    const int saved = ::dup(STDERR_FILENO);
    const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    fn();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    return readAll(file);
}

[[gnu::noinline]] bool writeReportHere(int fd, const siginfo_t *info)
{
    ucontext_t context;
    getcontext(&context);
    return crash::writeCrashReport(fd, info->si_signo, info, &context);
}

} // namespace

class TestCrashHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // Pieces the handler is built from.
    void dumpIdFormat();
    void newDumpIdsAreRandomVersion4();
    void commandLineSplitAtBlanks_data();
    void commandLineSplitAtBlanks();
    void commandLineFindsProgramWithBlanks();
    void commandLineRefusesEmptyAndOverlong();
    void reporterCommandLine();
    void reportWriterWritesReadableReport();

    // Reporter resolution and storage.
    void resolveReporterPath();
    void setReporterWritesDebugLine();
    void setReporterRefusesOverlongPath();

    // Starting the reporter.
    void startReporterDetachedWithoutInheritedFiles();
    void startReporterReportsFailure();

    // Real crashes in a child process.
    void crashWritesOneDumpAndStartsReporterOnce_data();
    void crashWritesOneDumpAndStartsReporterOnce();
    void folderWithBlanksSplitsReporterArguments();
    void twoCrashingThreadsGiveOneDump();
    void reporterStartsWhenDumpCannotBeWritten();
    void missingReporterIsReported();
    void stuckHandlerEndsThroughWatchdog();

private:
    QString m_crasher;
};

void TestCrashHandler::initTestCase()
{
    m_crasher = QStringLiteral(KELV_CRASHER);
    QVERIFY2(QFileInfo(m_crasher).isExecutable(), qPrintable(m_crasher));
}

void TestCrashHandler::dumpIdFormat()
{
    const unsigned char ascending[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                         0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
    char id[crash::kDumpIdSize];
    crash::formatDumpId(ascending, id);
    QCOMPARE(QByteArray(id), QByteArray("00010203-0405-0607-0809-0a0b0c0d0e0f"));

    const unsigned char mixed[16] = {0xde, 0xad, 0xbe, 0xef, 0xff, 0x00, 0x4a, 0xbc,
                                     0x9f, 0x10, 0x00, 0x00, 0x00, 0x01, 0xf0, 0x0d};
    crash::formatDumpId(mixed, id);
    QCOMPARE(QByteArray(id), QByteArray("deadbeef-ff00-4abc-9f10-00000001f00d"));
}

void TestCrashHandler::newDumpIdsAreRandomVersion4()
{
    QSet<QByteArray> seen;
    for (int i = 0; i < 200; ++i) {
        char id[crash::kDumpIdSize];
        crash::newDumpId(id);
        const QByteArray text(id);
        QVERIFY2(kDumpName.match(QString::fromLatin1(text + ".dmp")).hasMatch(), text.constData());
        seen.insert(text);
    }
    QCOMPARE(seen.size(), 200);
}

void TestCrashHandler::commandLineSplitAtBlanks_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<QStringList>("argv");
    QTest::newRow("program and one argument")
        << QStringLiteral("/nonexistent/CrashReporter /opt/kelv/1234.dmp")
        << QStringList{QStringLiteral("/nonexistent/CrashReporter"),
                       QStringLiteral("/opt/kelv/1234.dmp")};
    QTest::newRow("blanks split the dump path")
        << QStringLiteral("/nonexistent/CrashReporter /home/a b/c d/x.dmp")
        << QStringList{QStringLiteral("/nonexistent/CrashReporter"), QStringLiteral("/home/a"),
                       QStringLiteral("b/c"), QStringLiteral("d/x.dmp")};
    QTest::newRow("runs of blanks, tabs, leading and trailing blanks")
        << QStringLiteral("  \t/nonexistent/r   one\t\ttwo  ")
        << QStringList{QStringLiteral("/nonexistent/r"), QStringLiteral("one"),
                       QStringLiteral("two")};
    QTest::newRow("program only") << QStringLiteral("/nonexistent/r")
                                  << QStringList{QStringLiteral("/nonexistent/r")};
    QTest::newRow("unresolvable program keeps its first word")
        << QStringLiteral("/no such/dir/r x.dmp")
        << QStringList{QStringLiteral("/no"), QStringLiteral("such/dir/r"),
                       QStringLiteral("x.dmp")};
}

void TestCrashHandler::commandLineSplitAtBlanks()
{
    QFETCH(QString, commandLine);
    QFETCH(QStringList, argv);
    crash::ParsedCommandLine parsed;
    QVERIFY(crash::parseCommandLine(QFile::encodeName(commandLine).constData(), parsed));
    QStringList got;
    for (int i = 0; i < parsed.argc; ++i)
        got << QFile::decodeName(parsed.argv[i]);
    QCOMPARE(got, argv);
    QCOMPARE(parsed.argv[parsed.argc], nullptr);
}

void TestCrashHandler::commandLineFindsProgramWithBlanks()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString folder = temp.path() + QStringLiteral("/kelv program");
    QVERIFY(QDir().mkpath(folder));
    const QString program = folder + QStringLiteral("/Crash Reporter");
    QVERIFY(writeStubReporter(program));

    crash::ParsedCommandLine parsed;
    const QString line = program + QStringLiteral(" ") + folder + QStringLiteral("/id.dmp");
    QVERIFY(crash::parseCommandLine(QFile::encodeName(line).constData(), parsed));
    QCOMPARE(parsed.argc, 3);
    QCOMPARE(QFile::decodeName(parsed.argv[0]), program);
    QCOMPARE(QFile::decodeName(parsed.argv[1]), temp.path() + QStringLiteral("/kelv"));
    QCOMPARE(QFile::decodeName(parsed.argv[2]), QStringLiteral("program/id.dmp"));

    // The shortest prefix naming an executable file wins, as an unquoted
    // command line is resolved; a folder or a file without the execute
    // permission does not count.
    const QString shorter = temp.path() + QStringLiteral("/kelv");
    QVERIFY(writeStubReporter(shorter));
    QVERIFY(crash::parseCommandLine(QFile::encodeName(line).constData(), parsed));
    QCOMPARE(QFile::decodeName(parsed.argv[0]), shorter);
    QVERIFY(QFile::setPermissions(shorter, QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(crash::parseCommandLine(QFile::encodeName(line).constData(), parsed));
    QCOMPARE(QFile::decodeName(parsed.argv[0]), program);
    QVERIFY(!crash::isExecutableFile(QFile::encodeName(temp.path()).constData()));
}

void TestCrashHandler::commandLineRefusesEmptyAndOverlong()
{
    crash::ParsedCommandLine parsed;
    QVERIFY(!crash::parseCommandLine("", parsed));
    QVERIFY(!crash::parseCommandLine(" \t ", parsed));
    QVERIFY(!crash::parseCommandLine(nullptr, parsed));
    const QByteArray overlong(int(crash::ParsedCommandLine::kTextSize), 'x');
    QVERIFY(!crash::parseCommandLine(overlong.constData(), parsed));

    QByteArray many("/nonexistent/r");
    for (int i = 0; i < 100; ++i)
        many += " a";
    QVERIFY(crash::parseCommandLine(many.constData(), parsed));
    QCOMPARE(parsed.argc, crash::ParsedCommandLine::kMaxArguments);
    QCOMPARE(parsed.argv[parsed.argc], nullptr);
}

void TestCrashHandler::reporterCommandLine()
{
    char line[crash::kCommandLineSize];
    QVERIFY(crash::buildReporterCommandLine(line, sizeof(line), "/opt/my kelv/CrashReporter",
                                            "/opt/my kelv", "0a-1b"));
    QCOMPARE(QByteArray(line), QByteArray("/opt/my kelv/CrashReporter /opt/my kelv/0a-1b.dmp"));

    char small[16];
    QVERIFY(
        !crash::buildReporterCommandLine(small, sizeof(small), "/opt/CrashReporter", "/opt", "id"));
    QVERIFY(qstrlen(small) < sizeof(small));

    // The largest reporter path and dump folder the buffers accept still fit.
    const QByteArray reporter(int(crash::kReporterPathSize - 1), 'r');
    const QByteArray folder(int(crash::kDumpFolderSize - 1), 'f');
    QVERIFY(crash::buildReporterCommandLine(line, sizeof(line), reporter.constData(),
                                            folder.constData(),
                                            "01234567-89ab-4def-8123-456789abcdef"));
}

void TestCrashHandler::reportWriterWritesReadableReport()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString path = temp.filePath(QStringLiteral("report.dmp"));
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT, 0600);
    QVERIFY(fd >= 0);
    crash::prepareReportWriter();
    siginfo_t info = {};
    info.si_signo = SIGSEGV;
    info.si_code = SEGV_MAPERR;
    info.si_addr = reinterpret_cast<void *>(0x1234);
    QVERIFY(writeReportHere(fd, &info));
    ::close(fd);

    const CrashReport report = CrashReport::load(path);
    QVERIFY2(report.isValid(), qPrintable(report.errorText()));
    QCOMPARE(report.version(), QStringLiteral(KELV_VERSION));
    QCOMPARE(report.signalName(), QStringLiteral("SIGSEGV"));
    QCOMPARE(report.signalNumber(), int(SIGSEGV));
    QCOMPARE(report.field(QStringLiteral("Code")), QStringLiteral("SEGV_MAPERR (1)"));
    QCOMPARE(report.faultAddress(), QStringLiteral("0x0000000000001234"));
    QCOMPARE(report.field(QStringLiteral("Process")), QString::number(::getpid()));
    QCOMPARE(report.field(QStringLiteral("Executable")),
             QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
    const QDateTime time = report.time();
    QVERIFY(time.isValid());
    QVERIFY(qAbs(time.secsTo(QDateTime::currentDateTimeUtc())) < 24 * 3600);
#if defined(__x86_64__)
    const QString registers = report.section(QStringLiteral("Registers")).join(QLatin1Char('\n'));
    QVERIFY2(registers.contains(QRegularExpression(QStringLiteral("rip +0x[0-9a-f]{16}"))),
             qPrintable(registers));
    QVERIFY(registers.contains(QStringLiteral("rsp")));
#endif
    const QStringList backtrace = report.section(QStringLiteral("Backtrace"));
    QVERIFY(!backtrace.isEmpty());
    QVERIFY2(backtrace.join(QLatin1Char('\n')).contains(QStringLiteral("test_crash_handler")),
             qPrintable(backtrace.join(QLatin1Char('\n'))));
    const QStringList modules = report.section(QStringLiteral("Modules"));
    QVERIFY(modules.join(QLatin1Char('\n')).contains(QStringLiteral("libQt6Core")));
    QVERIFY(modules.join(QLatin1Char('\n')).contains(QStringLiteral("[stack]")));
}

void TestCrashHandler::resolveReporterPath()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(temp.path()));
    QFile here(temp.filePath(QStringLiteral("LocalReporter")));
    QVERIFY(here.open(QIODevice::WriteOnly));
    here.close();
    QVERIFY(QDir().mkpath(temp.filePath(QStringLiteral("sub/dir"))));

    const QString appFolder = QStringLiteral("/opt/kelv/bin/../app");
    // Absolute: unchanged, even when it does not exist.
    QCOMPARE(crash::resolveReporterPath(QStringLiteral("/x/../y/Reporter"), appFolder),
             QStringLiteral("/x/../y/Reporter"));
    // Relative and existing in the current directory (file or folder): unchanged.
    QCOMPARE(crash::resolveReporterPath(QStringLiteral("LocalReporter"), appFolder),
             QStringLiteral("LocalReporter"));
    QCOMPARE(crash::resolveReporterPath(QStringLiteral("sub/dir"), appFolder),
             QStringLiteral("sub/dir"));
    // Relative and missing: below the application folder, cleaned, platform suffix.
    QCOMPARE(crash::resolveReporterPath(QStringLiteral("CrashReporter"), appFolder),
             QStringLiteral("/opt/kelv/app/CrashReporter") + executableSuffix());
    QCOMPARE(crash::resolveReporterPath(QStringLiteral("./tools/../CrashReporter"), appFolder),
             QStringLiteral("/opt/kelv/app/CrashReporter") + executableSuffix());
    QVERIFY(QDir::setCurrent(previous));
}

void TestCrashHandler::setReporterWritesDebugLine()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(temp.path()));
    QFile here(temp.filePath(QStringLiteral("LocalReporter")));
    QVERIFY(here.open(QIODevice::WriteOnly));
    here.close();

    {
        MessageLog log;
        crash::setReporter(QStringLiteral("CrashReporter"), QStringLiteral("/opt/kelv"));
        QCOMPARE(crash::reporterPath(), QStringLiteral("/opt/kelv/CrashReporter"));
        QCOMPARE(QByteArray(crash::reporterPathBuffer()), QByteArray("/opt/kelv/CrashReporter"));
        QCOMPARE(log.lines(),
                 QStringList{QStringLiteral(
                     "BreakpadQt: setReporter: CrashReporter -> /opt/kelv/CrashReporter")});
    }
    {
        MessageLog log;
        crash::setReporter(QStringLiteral("LocalReporter"), QStringLiteral("/opt/kelv"));
        QCOMPARE(crash::reporterPath(), QStringLiteral("LocalReporter"));
        QCOMPARE(log.lines(), QStringList{QStringLiteral(
                                  "BreakpadQt: setReporter: LocalReporter -> LocalReporter")});
    }
    {
        MessageLog log;
        crash::setReporter(QStringLiteral("/usr/lib/kelv/Reporter"), QStringLiteral("/opt/kelv"));
        QCOMPARE(crash::reporterPath(), QStringLiteral("/usr/lib/kelv/Reporter"));
        QVERIFY(log.lines().isEmpty());
    }
    {
        // Without a folder: the application folder of this process.
        MessageLog log;
        crash::setReporter(QStringLiteral("NoSuchReporter"));
        QCOMPARE(crash::reporterPath(),
                 QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                 QStringLiteral("/NoSuchReporter") + executableSuffix()));
        QCOMPARE(log.lines().size(), 1);
    }
    // Non-ASCII names are stored in the local 8-bit encoding.
    crash::setReporter(QStringLiteral("/opt/kélv/Reporter"), QString());
    QCOMPARE(QByteArray(crash::reporterPathBuffer()),
             QFile::encodeName(QStringLiteral("/opt/kélv/Reporter")));
    QVERIFY(QDir::setCurrent(previous));
}

void TestCrashHandler::setReporterRefusesOverlongPath()
{
    const QString longName =
        QStringLiteral("/") + QString(int(crash::kReporterPathSize), QLatin1Char('r'));
    MessageLog log;
    crash::setReporter(longName, QStringLiteral("/opt/kelv"));
    QCOMPARE(crash::reporterPath(), QString());
    QCOMPARE(log.lines().size(), 1);
    QVERIFY(log.lines().first().startsWith(QStringLiteral("reporter path longer than")));

    const QString fits =
        QStringLiteral("/") + QString(int(crash::kReporterPathSize) - 2, QLatin1Char('r'));
    crash::setReporter(fits, QStringLiteral("/opt/kelv"));
    QCOMPARE(crash::reporterPath(), fits);
}

void TestCrashHandler::startReporterDetachedWithoutInheritedFiles()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString folder = temp.path() + QStringLiteral("/start here");
    QVERIFY(QDir().mkpath(folder));
    // The stand-in records its arguments, its parent, its session and whether
    // the descriptor named by its first argument is open in it.
    const QString record = folder + QStringLiteral("/record.txt");
    const QString script = folder + QStringLiteral("/Reporter");
    QFile file(script);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\n"
               "{ printf 'args'; for a in \"$@\"; do printf '|%s' \"$a\"; done; echo\n"
               "  echo \"ppid $PPID\"\n"
               "  echo \"sid $(cut -d' ' -f6 /proc/$$/stat)\"\n"
               "  if [ -e /proc/$$/fd/$1 ]; then echo inherited; else echo closed; fi\n"
               "  if [ -e /proc/$$/fd/0 ]; then echo \"stdin $(readlink /proc/$$/fd/0)\"; fi\n"
               "} > \"$(dirname \"$0\")/record.tmp\"\n"
               "mv \"$(dirname \"$0\")/record.tmp\" \"$(dirname \"$0\")/record.txt\"\n");
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    // A descriptor of ours without close-on-exec must not reach the reporter.
    const int open = ::open("/dev/null", O_RDONLY);
    QVERIFY(open >= 3);
    const QByteArray line =
        QFile::encodeName(script) + " " + QByteArray::number(open) + " two  three";
    QCOMPARE(crash::startReporterProcess(line.constData()), false);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 60000);
    ::close(open);

    const QStringList lines = QString::fromUtf8(readAll(record)).split(QLatin1Char('\n'));
    QCOMPARE(lines.value(0), QStringLiteral("args|%1|two|three").arg(open));
    const qint64 parent = lines.value(1).section(QLatin1Char(' '), 1).toLongLong();
    const qint64 session = lines.value(2).section(QLatin1Char(' '), 1).toLongLong();
    QVERIFY(parent != ::getpid());
    QVERIFY(session != ::getsid(0));
    QCOMPARE(lines.value(3), QStringLiteral("closed"));
    QCOMPARE(lines.value(4), QStringLiteral("stdin /dev/null"));
}

void TestCrashHandler::startReporterReportsFailure()
{
    // A file without execute permission, a missing program and an empty
    // command line: nothing runs, and the failure line names the error.
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString notExecutable = temp.filePath(QStringLiteral("plain"));
    QFile file(notExecutable);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\ntouch \"$0.ran\"\n");
    file.close();

    const QByteArray err = captureStandardError(temp.filePath(QStringLiteral("err.txt")), [&] {
        QCOMPARE(crash::startReporterProcess(QFile::encodeName(notExecutable + " x").constData()),
                 false);
        QCOMPARE(crash::startReporterProcess("/nonexistent/reporter x"), false);
        QCOMPARE(crash::startReporterProcess(""), false);
    });
    QCOMPARE(err, QByteArray("CreateProcess failed (13).\nCreateProcess failed (2).\n"
                             "CreateProcess failed (2).\n"));
    QVERIFY(!QFile::exists(notExecutable + QStringLiteral(".ran")));
}

void TestCrashHandler::crashWritesOneDumpAndStartsReporterOnce_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("address");
    QTest::newRow("null write") << QStringLiteral("segv") << int(SIGSEGV)
                                << QStringLiteral("SEGV_MAPERR (1)")
                                << QStringLiteral("0x0000000000000000");
    QTest::newRow("abort") << QStringLiteral("abort") << int(SIGABRT)
                           << QStringLiteral("SI_TKILL (-6)") << QString();
    QTest::newRow("integer division by zero")
        << QStringLiteral("fpe") << int(SIGFPE) << QStringLiteral("FPE_INTDIV (1)") << QString();
    QTest::newRow("invalid instruction")
        << QStringLiteral("ill") << int(SIGILL) << QStringLiteral("ILL_ILLOPN (2)") << QString();
    QTest::newRow("mapping beyond the file's end")
        << QStringLiteral("bus") << int(SIGBUS) << QStringLiteral("BUS_ADRERR (2)") << QString();
    QTest::newRow("stack overflow (alternate signal stack)")
        << QStringLiteral("stack") << int(SIGSEGV) << QString() << QString();
}

void TestCrashHandler::crashWritesOneDumpAndStartsReporterOnce()
{
    QFETCH(QString, mode);
    QFETCH(int, signal);
    QFETCH(QString, code);
    QFETCH(QString, address);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString appFolder = temp.path();
    QVERIFY(writeStubReporter(appFolder + QStringLiteral("/CrashReporter")));
    // Started elsewhere, so the relative name resolves into the application folder.
    const ChildResult child =
        runChild(m_crasher, {mode, appFolder, QStringLiteral("CrashReporter")}, QDir::rootPath());
    QVERIFY(child.finished);
    QCOMPARE(child.signal, signal);

    const QStringList dumps = dumpsIn(appFolder);
    QCOMPARE(dumps.size(), 1);
    QVERIFY2(kDumpName.match(dumps.first()).hasMatch(), qPrintable(dumps.first()));
    const QString dumpPath = appFolder + QLatin1Char('/') + dumps.first();

    const QList<QStringList> starts = reporterStarts(child.out);
    QCOMPARE(starts.size(), 1);
    QCOMPARE(starts.first(), QStringList{dumpPath});

    const CrashReport report = CrashReport::load(dumpPath);
    QVERIFY2(report.isValid(), qPrintable(report.errorText()));
    QCOMPARE(report.signalNumber(), signal);
    QCOMPARE(report.signalName(), QString::fromLatin1(crash::signalName(signal)));
    if (!code.isEmpty())
        QCOMPARE(report.field(QStringLiteral("Code")), code);
    if (!address.isEmpty())
        QCOMPARE(report.faultAddress(), address);
    const QString backtrace = report.section(QStringLiteral("Backtrace")).join(QLatin1Char('\n'));
    QVERIFY2(backtrace.contains(QStringLiteral("crash_crasher")), qPrintable(backtrace));
    QVERIFY(report.section(QStringLiteral("Modules"))
                .join(QLatin1Char('\n'))
                .contains(QStringLiteral("crash_crasher")));
    QVERIFY(!child.err.contains("CreateProcess failed"));
}

void TestCrashHandler::folderWithBlanksSplitsReporterArguments()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString appFolder = temp.path() + QStringLiteral("/kelv program  folder");
    QVERIFY(QDir().mkpath(appFolder));
    QVERIFY(writeStubReporter(appFolder + QStringLiteral("/CrashReporter")));
    const ChildResult child =
        runChild(m_crasher, {QStringLiteral("segv"), appFolder, QStringLiteral("CrashReporter")},
                 QDir::rootPath());
    QVERIFY(child.finished);
    QCOMPARE(child.signal, int(SIGSEGV));
    const QStringList dumps = dumpsIn(appFolder);
    QCOMPARE(dumps.size(), 1);

    // The reporter in the folder with blanks is still found; the dump path
    // after it arrives split at its blanks, nothing is quoted.
    const QList<QStringList> starts = reporterStarts(child.out);
    QCOMPARE(starts.size(), 1);
    QCOMPARE(starts.first(),
             (QStringList{temp.path() + QStringLiteral("/kelv"), QStringLiteral("program"),
                          QStringLiteral("folder/") + dumps.first()}));

    // The reporter joins its arguments again; with single blanks that gives
    // the path back, a run of blanks collapses to one.
    const QString joined = CrashReport::reportPathFromArguments(
        QStringList{QStringLiteral("CrashReporter")} + starts.first());
    QCOMPARE(joined, temp.path() + QStringLiteral("/kelv program folder/") + dumps.first());
}

void TestCrashHandler::twoCrashingThreadsGiveOneDump()
{
    // Several rounds: each must give one dump and one reporter start, and at
    // least one round must really have had the second thread inside the handler.
    int overlapping = 0;
    for (int round = 0; round < 5; ++round) {
        QTemporaryDir temp;
        QVERIFY(temp.isValid());
        QVERIFY(writeStubReporter(temp.path() + QStringLiteral("/CrashReporter")));
        const ChildResult child = runChild(
            m_crasher, {QStringLiteral("threads"), temp.path(), QStringLiteral("CrashReporter")},
            QDir::rootPath());
        QVERIFY(child.finished);
        QCOMPARE(child.signal, int(SIGSEGV));
        const QStringList dumps = dumpsIn(temp.path());
        QCOMPARE(dumps.size(), 1);
        const QList<QStringList> starts = reporterStarts(child.out);
        QCOMPARE(starts.size(), 1);
        QCOMPARE(starts.first(), QStringList{temp.path() + QLatin1Char('/') + dumps.first()});
        if (child.err.contains("another thread crashed while the crash report was being written"))
            ++overlapping;
        if (overlapping > 0 && round >= 1)
            break;
    }
    QVERIFY(overlapping > 0);
}

void TestCrashHandler::reporterStartsWhenDumpCannotBeWritten()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QVERIFY(writeStubReporter(temp.path() + QStringLiteral("/CrashReporter")));
    // The handler is installed first with a folder that does not exist; the
    // set-up afterwards keeps that handler and only sets the reporter.
    const QString missingFolder = temp.path() + QStringLiteral("/gone");
    const ChildResult child = runChild(
        m_crasher,
        {QStringLiteral("segv"), temp.path(), QStringLiteral("CrashReporter"), missingFolder},
        QDir::rootPath());
    QVERIFY(child.finished);
    QCOMPARE(child.signal, int(SIGSEGV));
    QVERIFY(!QFileInfo::exists(missingFolder));
    QVERIFY(dumpsIn(temp.path()).isEmpty());
    QVERIFY(child.err.contains("the crash report could not be written"));

    const QList<QStringList> starts = reporterStarts(child.out);
    QCOMPARE(starts.size(), 1);
    QCOMPARE(starts.first().size(), 1);
    const QString argument = starts.first().first();
    QVERIFY(argument.startsWith(missingFolder + QLatin1Char('/')));
    QVERIFY2(kDumpName.match(argument.mid(missingFolder.size() + 1)).hasMatch(),
             qPrintable(argument));
}

void TestCrashHandler::missingReporterIsReported()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const ChildResult child =
        runChild(m_crasher, {QStringLiteral("abort"), temp.path(), QStringLiteral("CrashReporter")},
                 QDir::rootPath());
    QVERIFY(child.finished);
    QCOMPARE(child.signal, int(SIGABRT));
    QCOMPARE(dumpsIn(temp.path()).size(), 1);
    QVERIFY2(child.err.contains("CreateProcess failed (2).\n"), child.err.constData());
    QVERIFY(reporterStarts(child.out).isEmpty());
}

void TestCrashHandler::stuckHandlerEndsThroughWatchdog()
{
    // Another thread holds the loader's lock for good, so symbolising the
    // backtrace blocks: the watchdog starts the reporter once and ends the
    // process with the crash's own signal; the report holds what was written.
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QVERIFY(writeStubReporter(temp.path() + QStringLiteral("/CrashReporter")));
    const ChildResult child = runChild(
        m_crasher, {QStringLiteral("loader-locked"), temp.path(), QStringLiteral("CrashReporter")},
        QDir::rootPath());
    QVERIFY(child.finished);
    QCOMPARE(child.signal, int(SIGSEGV));
    QVERIFY2(child.err.contains("writing the crash report takes too long"), child.err.constData());
    const QStringList dumps = dumpsIn(temp.path());
    QCOMPARE(dumps.size(), 1);
    const QList<QStringList> starts = reporterStarts(child.out);
    QCOMPARE(starts.size(), 1);
    QCOMPARE(starts.first(), QStringList{temp.path() + QLatin1Char('/') + dumps.first()});

    const CrashReport report = CrashReport::load(temp.path() + QLatin1Char('/') + dumps.first());
    QVERIFY(report.isValid());
    QCOMPARE(report.signalName(), QStringLiteral("SIGSEGV"));
    QVERIFY(!report.section(QStringLiteral("Registers")).isEmpty());
}

QTEST_GUILESS_MAIN(TestCrashHandler)
#include "tst_crash_handler.moc"
