#include "common/app_paths.h"
#include "common/ui_texts.h"
#include "tools/crashreporter/crash_report.h"
#include "tools/crashreporter/reporter_window.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrl>
#include <QtEndian>
#include <QtTest>

using namespace kelv;

namespace {

const QByteArray kSample = "kelv crash report\n"
                           "Version: 1.0.0\n"
                           "Time: 2024-05-01T09:12:44Z\n"
                           "Process: 4242\n"
                           "Thread: 4247\n"
                           "Executable: /opt/kelv/kelv\n"
                           "Signal: SIGSEGV (11)\n"
                           "Code: SEGV_MAPERR (1)\n"
                           "Address: 0x0000000000000000\n"
                           "Instruction: 0x000055d0c0ffee42\n"
                           "\n"
                           "Registers:\n"
                           "rax   0x0000000000000000  rbx   0x00007ffd5c3a1e90  rcx   "
                           "0x0000000000000001\n"
                           "rip   0x000055d0c0ffee42  efl   0x0000000000010246  err   "
                           "0x0000000000000006\n"
                           "\n"
                           "Backtrace:\n"
                           "/opt/kelv/kelv(+0x1a2b)[0x55d0c0ffee42]\n"
                           "/opt/kelv/kelv(main+0x2f)[0x55d0c0ffef00]\n"
                           "/lib/x86_64-linux-gnu/libc.so.6(+0x271ca)[0x7f3b2a2271ca]\n"
                           "\n"
                           "Modules:\n"
                           "55d0c0ffe000-55d0c1000000 r-xp 00001000 fe:01 131 /opt/kelv/kelv\n"
                           "7ffd5c382000-7ffd5c3a3000 rw-p 00000000 00:00 0 [stack]\n";

QString writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
    return path;
}

template <typename T> T *child(const QWidget &window, const char *name)
{
    return window.findChild<T *>(QString::fromLatin1(name));
}

// Receives the URLs the window asks the desktop to open.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

} // namespace

class TestCrashReporter : public QObject
{
    Q_OBJECT

private slots:
    // The report as a plain class.
    void parsesFieldsAndSections();
    void readsWindowsMinidump();
    void explainsInPlainWords();
    void explainsInTheSettingsLanguage();
    void signalMeanings_data();
    void signalMeanings();
    void loadStatuses();
    void largeReportIsTruncated();
    void reportPathFromArguments();
    void partialReportStillShows();

    // The window.
    void windowShowsReport();
    void windowShowsMissingReport();
    void windowWithoutReport();
    void copyPutsReportOnClipboard();
    void openFolderOpensDumpFolder();
    void restartStartsProgramFromOwnFolder();
    void restartFailureIsShown();
    void screenshot();
};

void TestCrashReporter::parsesFieldsAndSections()
{
    const CrashReport report = CrashReport::parse(kSample, QStringLiteral("/opt/kelv/x.dmp"));
    QVERIFY(report.isValid());
    QCOMPARE(report.status(), CrashReport::Status::Ok);
    QCOMPARE(report.path(), QStringLiteral("/opt/kelv/x.dmp"));
    QCOMPARE(report.text(), QString::fromUtf8(kSample));
    QCOMPARE(report.version(), QStringLiteral("1.0.0"));
    QCOMPARE(report.signalName(), QStringLiteral("SIGSEGV"));
    QCOMPARE(report.signalNumber(), 11);
    QCOMPARE(report.field(QStringLiteral("Code")), QStringLiteral("SEGV_MAPERR (1)"));
    QCOMPARE(report.faultAddress(), QStringLiteral("0x0000000000000000"));
    QCOMPARE(report.field(QStringLiteral("Executable")), QStringLiteral("/opt/kelv/kelv"));
    QCOMPARE(report.time(), QDateTime(QDate(2024, 5, 1), QTime(9, 12, 44), Qt::UTC));
    QCOMPARE(report.section(QStringLiteral("Registers")).size(), 2);
    QCOMPARE(report.section(QStringLiteral("Backtrace")).size(), 3);
    QCOMPARE(report.section(QStringLiteral("Backtrace")).at(1),
             QStringLiteral("/opt/kelv/kelv(main+0x2f)[0x55d0c0ffef00]"));
    QCOMPARE(report.section(QStringLiteral("Modules")).size(), 2);
    QVERIFY(report.section(QStringLiteral("Nothing")).isEmpty());
    QVERIFY(report.field(QStringLiteral("Nothing")).isEmpty());
}

// A minidump as the Windows crash handler writes it: the header, a stream directory with
// a system-information stream (type 7, not read) and the exception stream (type 6).
QByteArray minidump(quint32 code)
{
    QByteArray dump(32 + 2 * 12 + 168, '\0');
    auto put32 = [&](int at, quint32 value) { qToLittleEndian(value, dump.data() + at); };
    auto put64 = [&](int at, quint64 value) { qToLittleEndian(value, dump.data() + at); };
    dump.replace(0, 4, "MDMP");
    put32(4, 0xA793);
    put32(8, 2);           // streams
    put32(12, 32);         // directory
    put32(20, 1714554764); // 2024-05-01T09:12:44Z
    put32(32, 7);
    put32(36, 56);
    put32(40, 0);
    put32(44, 6);
    put32(48, 168);
    put32(52, 56);
    put32(56, 4247);                // thread
    put32(64, code);                // exception code
    put32(68, 0);                   // flags
    put64(80, 0x00007ff6c0ffee42u); // address
    return dump;
}

void TestCrashReporter::readsWindowsMinidump()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString path = writeFile(temp.filePath(QStringLiteral("x.dmp")), minidump(0xC0000005));
    const CrashReport report = CrashReport::load(path);
    QCOMPARE(report.status(), CrashReport::Status::Ok);
    QCOMPARE(report.headline(), QStringLiteral("kelv stopped unexpectedly"));
    QCOMPARE(report.field(QStringLiteral("Exception")),
             QStringLiteral("EXCEPTION_ACCESS_VIOLATION (0xc0000005)"));
    QCOMPARE(report.causeName(), QStringLiteral("EXCEPTION_ACCESS_VIOLATION"));
    QCOMPARE(report.field(QStringLiteral("Thread")), QStringLiteral("4247"));
    QCOMPARE(report.faultAddress(), QStringLiteral("0x00007ff6c0ffee42"));
    QCOMPARE(report.time(), QDateTime(QDate(2024, 5, 1), QTime(9, 12, 44), Qt::UTC));
    QVERIFY(report.text().contains(QStringLiteral("Exception: EXCEPTION_ACCESS_VIOLATION")));
    const QString text = report.explanation();
    QVERIFY2(text.contains(QStringLiteral("because it tried to use memory it may not access "
                                          "(EXCEPTION_ACCESS_VIOLATION)")),
             qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("saved as %1").arg(path)));

    // abort() (std::terminate among others), dumped with a code of the handler's own.
    QVERIFY(CrashReport::parse(minidump(0x40000015))
                .explanation()
                .contains(QStringLiteral("because it stopped itself after detecting an internal "
                                         "error (STATUS_FATAL_APP_EXIT)")));
    // A code without a name of its own still makes a report.
    const CrashReport unknown = CrashReport::parse(minidump(0xE06D7363));
    QVERIFY(unknown.isValid());
    QCOMPARE(unknown.field(QStringLiteral("Exception")), QStringLiteral("EXCEPTION (0xe06d7363)"));

    // A minidump cut short before its exception stream has nothing to show.
    QCOMPARE(CrashReport::parse(minidump(0xC0000005).left(60)).status(),
             CrashReport::Status::NotAReport);
}

void TestCrashReporter::explainsInTheSettingsLanguage()
{
    const CrashReport report = CrashReport::parse(kSample, QStringLiteral("/opt/kelv/x.dmp"));
    setUiLanguage(uiLanguageFromSetting(QStringLiteral("de-DE")));
    const QString headline = report.headline();
    const QString text = report.explanation();
    setUiLanguage(uiLanguageFromSetting(QStringLiteral("ru")));
    const QString russian = CrashReport::parse("kelv crash report\n").explanation();
    // Japanese and Korean name the cause after the sentence, the signal after it.
    setUiLanguage(uiLanguageFromSetting(QStringLiteral("ja")));
    const QString japanese = report.explanation();
    setUiLanguage(uiLanguageFromSetting(QStringLiteral("ko")));
    const QString korean = report.explanation();
    setUiLanguage(UiLanguage::English);
    QCOMPARE(headline, QStringLiteral("kelv wurde unerwartet beendet"));
    QVERIFY2(text.startsWith(QStringLiteral("kelv wurde am ")), qPrintable(text));
    // The date as German writes it.
    QVERIFY2(text.contains(QLocale(QStringLiteral("de_DE"))
                               .toString(report.time().toLocalTime().date(), QLocale::LongFormat)),
             qPrintable(text));
    QVERIFY2(text.contains(
                 QStringLiteral("unerwartet beendet, weil es auf Speicher zugreifen wollte, den es "
                                "nicht verwenden darf (SIGSEGV).")),
             qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("als /opt/kelv/x.dmp gespeichert")));
    QVERIFY2(
        russian.startsWith(QStringLiteral("kelv неожиданно завершилась: программа столкнулась с "
                                          "непредвиденной ошибкой.")),
        qPrintable(russian));
    QVERIFY2(japanese.startsWith(QStringLiteral("kelv は")), qPrintable(japanese));
    QVERIFY2(japanese.contains(QStringLiteral(
                 " に予期せず終了しました。原因：アクセスが許可されていないメモリへのアクセス "
                 "(SIGSEGV)。保存していない変更")),
             qPrintable(japanese));
    QVERIFY2(korean.startsWith(QStringLiteral("kelv가 (")), qPrintable(korean));
    QVERIFY2(korean.contains(QStringLiteral(
                 ") 예기치 않게 종료되었습니다. 원인: 접근 권한이 없는 메모리 사용 시도 (SIGSEGV). "
                 "저장하지 않은")),
             qPrintable(korean));
}

void TestCrashReporter::explainsInPlainWords()
{
    const CrashReport report = CrashReport::parse(kSample, QStringLiteral("/opt/kelv/x.dmp"));
    QCOMPARE(report.headline(), QStringLiteral("kelv stopped unexpectedly"));
    const QString text = report.explanation();
    QVERIFY2(text.startsWith(QStringLiteral("kelv stopped unexpectedly on ")), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("because it tried to use memory it may not access "
                                         "(SIGSEGV)")));
    const QDateTime local = report.time().toLocalTime();
    QVERIFY(text.contains(local.time().toString(QStringLiteral("HH:mm:ss"))));
    QVERIFY(text.contains(QStringLiteral("Changes you had not saved yet may be lost")));
    QVERIFY(text.contains(QStringLiteral("You can restart kelv now.")));
    QVERIFY(text.contains(QStringLiteral("saved as /opt/kelv/x.dmp")));

    // Without a time or signal the text still reads as a sentence.
    const CrashReport bare = CrashReport::parse("kelv crash report\n");
    QVERIFY(bare.isValid());
    QVERIFY2(bare.explanation().startsWith(
                 QStringLiteral("kelv stopped unexpectedly because it met an unexpected error.")),
             qPrintable(bare.explanation()));
    QCOMPARE(bare.signalNumber(), -1);
    QVERIFY(!bare.time().isValid());
}

void TestCrashReporter::signalMeanings_data()
{
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QString>("meaning");
    QTest::newRow("SIGSEGV") << QStringLiteral("SIGSEGV")
                             << QStringLiteral("tried to use memory it may not access");
    QTest::newRow("SIGBUS") << QStringLiteral("SIGBUS")
                            << QStringLiteral(
                                   "tried to use memory that does not exist or cannot be reached");
    QTest::newRow("SIGFPE") << QStringLiteral("SIGFPE")
                            << QStringLiteral("met an arithmetic error such as a division by zero");
    QTest::newRow("SIGILL") << QStringLiteral("SIGILL")
                            << QStringLiteral(
                                   "tried to run an instruction the processor does not accept");
    QTest::newRow("SIGABRT") << QStringLiteral("SIGABRT")
                             << QStringLiteral("stopped itself after detecting an internal error");
    QTest::newRow("other") << QStringLiteral("signal") << QStringLiteral("met an unexpected error");
}

void TestCrashReporter::signalMeanings()
{
    QFETCH(QString, signal);
    QFETCH(QString, meaning);
    QCOMPARE(CrashReport::signalMeaning(signal), meaning);
}

void TestCrashReporter::loadStatuses()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());

    const CrashReport none = CrashReport::load(QString());
    QCOMPARE(none.status(), CrashReport::Status::NoPath);
    QCOMPARE(none.headline(), QStringLiteral("No crash report to show"));
    QVERIFY(none.explanation().startsWith(QStringLiteral("No crash report was named.")));

    const QString missingPath = temp.filePath(QStringLiteral("0000.dmp"));
    const CrashReport missing = CrashReport::load(missingPath);
    QCOMPARE(missing.status(), CrashReport::Status::Missing);
    QVERIFY(!missing.isValid());
    QCOMPARE(missing.headline(), QStringLiteral("kelv stopped unexpectedly"));
    QVERIFY(missing.explanation().contains(
        QStringLiteral("its crash report could not be found at %1").arg(missingPath)));
    QVERIFY(missing.text().isEmpty());

    const CrashReport folder = CrashReport::load(temp.path());
    QCOMPARE(folder.status(), CrashReport::Status::Unreadable);
    QVERIFY(folder.explanation().contains(
        QStringLiteral("its crash report %1 could not be read: it is a folder").arg(temp.path())));

    const QString other = writeFile(temp.filePath(QStringLiteral("other.dmp")),
                                    QByteArray("MDMP\x93\xa7\0\0binary minidump", 22));
    const CrashReport notReport = CrashReport::load(other);
    QCOMPARE(notReport.status(), CrashReport::Status::NotAReport);
    QCOMPARE(notReport.headline(), QStringLiteral("No crash report to show"));
    QCOMPARE(notReport.explanation(),
             QStringLiteral("The file %1 is not a kelv crash report, so there is nothing to show.")
                 .arg(other));
    QVERIFY(notReport.text().isEmpty());

    const CrashReport empty =
        CrashReport::load(writeFile(temp.filePath(QStringLiteral("e.dmp")), {}));
    QCOMPARE(empty.status(), CrashReport::Status::NotAReport);

    const QString good = writeFile(temp.filePath(QStringLiteral("good.dmp")), kSample);
    const CrashReport loaded = CrashReport::load(good);
    QCOMPARE(loaded.status(), CrashReport::Status::Ok);
    QCOMPARE(loaded.text(), QString::fromUtf8(kSample));
    QVERIFY(!loaded.isTruncated());
}

void TestCrashReporter::largeReportIsTruncated()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QByteArray big = kSample;
    const QByteArray line = "7f0000000000-7f0000001000 r--p 00000000 00:00 0 /usr/lib/x.so\n";
    while (big.size() <= CrashReport::kMaxSize)
        big += line;
    const CrashReport report =
        CrashReport::load(writeFile(temp.filePath(QStringLiteral("big.dmp")), big));
    QVERIFY(report.isValid());
    QVERIFY(report.isTruncated());
    QCOMPARE(report.text().size(), CrashReport::kMaxSize);
    QVERIFY(report.explanation().contains(QStringLiteral("only its first 16 MB are shown")));
}

void TestCrashReporter::reportPathFromArguments()
{
    QCOMPARE(CrashReport::reportPathFromArguments({QStringLiteral("CrashReporter")}), QString());
    QCOMPARE(CrashReport::reportPathFromArguments(
                 {QStringLiteral("CrashReporter"), QStringLiteral("/opt/kelv/a.dmp")}),
             QStringLiteral("/opt/kelv/a.dmp"));
    QCOMPARE(CrashReport::reportPathFromArguments({QStringLiteral("CrashReporter"),
                                                   QStringLiteral("/home/a"),
                                                   QStringLiteral("b/kelv/a.dmp")}),
             QStringLiteral("/home/a b/kelv/a.dmp"));
}

void TestCrashReporter::partialReportStillShows()
{
    // A report cut off while the backtrace was written (the handler was
    // stopped): the header is there, the rest is shown as far as it goes.
    const QByteArray cut = kSample.left(kSample.indexOf("/opt/kelv/kelv(main"));
    const CrashReport report = CrashReport::parse(cut);
    QVERIFY(report.isValid());
    QCOMPARE(report.signalName(), QStringLiteral("SIGSEGV"));
    QCOMPARE(report.section(QStringLiteral("Backtrace")).size(), 1);
    QVERIFY(report.section(QStringLiteral("Modules")).isEmpty());
}

void TestCrashReporter::windowShowsReport()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString path = writeFile(temp.filePath(QStringLiteral("a.dmp")), kSample);
    ReporterWindow window(CrashReport::load(path), temp.path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QCOMPARE(window.windowTitle(), QStringLiteral("kelv crash report"));
    QCOMPARE(child<QLabel>(window, "headline")->text(),
             QStringLiteral("kelv stopped unexpectedly"));
    const QString explanation = child<QLabel>(window, "explanation")->text();
    QVERIFY(
        explanation.contains(QStringLiteral("tried to use memory it may not access (SIGSEGV)")));
    QVERIFY(explanation.contains(path));
    const QString summary = child<QLabel>(window, "summary")->text();
    QVERIFY(summary.contains(QStringLiteral("SIGSEGV (11)")));
    QVERIFY(summary.contains(QStringLiteral("0x0000000000000000")));
    QVERIFY(summary.contains(QStringLiteral("kelv 1.0.0")));

    auto *view = child<QPlainTextEdit>(window, "reportView");
    QVERIFY(view->isVisible());
    QVERIFY(view->isReadOnly());
    QCOMPARE(view->toPlainText(), QString::fromUtf8(kSample));
    // Monospaced as drawn: fontconfig does not mark every monospaced font so
    // (Noto Sans Mono, the system's monospace where it is installed, is not).
    const QFontMetrics metrics(view->font());
    QCOMPARE(metrics.horizontalAdvance(QStringLiteral("iiii")),
             metrics.horizontalAdvance(QStringLiteral("MMMM")));

    QVERIFY(child<QPushButton>(window, "copyButton")->isEnabled());
    QVERIFY(child<QPushButton>(window, "openFolderButton")->isEnabled());
    QVERIFY(child<QPushButton>(window, "restartButton")->isEnabled());
    QCOMPARE(child<QPushButton>(window, "restartButton")->text(), QStringLiteral("Restart kelv"));

    QTest::mouseClick(child<QPushButton>(window, "closeButton"), Qt::LeftButton);
    QVERIFY(!window.isVisible());
}

void TestCrashReporter::windowShowsMissingReport()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString path = temp.filePath(QStringLiteral("1234.dmp"));
    ReporterWindow window(CrashReport::load(path), temp.path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QCOMPARE(child<QLabel>(window, "headline")->text(),
             QStringLiteral("kelv stopped unexpectedly"));
    QVERIFY(child<QLabel>(window, "explanation")
                ->text()
                .contains(QStringLiteral("its crash report could not be found at %1").arg(path)));
    QVERIFY(!child<QLabel>(window, "summary")->isVisible());
    QVERIFY(!child<QPlainTextEdit>(window, "reportView")->isVisible());
    QVERIFY(!child<QPushButton>(window, "copyButton")->isEnabled());
    // The folder exists, so it can still be opened; restarting is always offered.
    QVERIFY(child<QPushButton>(window, "openFolderButton")->isEnabled());
    QVERIFY(child<QPushButton>(window, "restartButton")->isEnabled());
}

void TestCrashReporter::windowWithoutReport()
{
    ReporterWindow window(CrashReport::load(QString()), QStringLiteral("/nonexistent"));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(child<QLabel>(window, "headline")->text(), QStringLiteral("No crash report to show"));
    QVERIFY(!child<QPushButton>(window, "copyButton")->isEnabled());
    QVERIFY(!child<QPushButton>(window, "openFolderButton")->isEnabled());
}

void TestCrashReporter::copyPutsReportOnClipboard()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString path = writeFile(temp.filePath(QStringLiteral("a.dmp")), kSample);
    ReporterWindow window(CrashReport::load(path), temp.path());
    window.show();
    QGuiApplication::clipboard()->setText(QStringLiteral("something else"));
    QTest::mouseClick(child<QPushButton>(window, "copyButton"), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(), QString::fromUtf8(kSample));
    QCOMPARE(child<QLabel>(window, "status")->text(),
             QStringLiteral("The report is on the clipboard."));
}

void TestCrashReporter::openFolderOpensDumpFolder()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QVERIFY(QDir().mkpath(temp.filePath(QStringLiteral("dumps here"))));
    const QString path = writeFile(temp.filePath(QStringLiteral("dumps here/a.dmp")), kSample);
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &recorder, "open");
    ReporterWindow window(CrashReport::load(path), temp.path());
    window.show();
    QTest::mouseClick(child<QPushButton>(window, "openFolderButton"), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QCOMPARE(recorder.urls.size(), 1);
    QCOMPARE(recorder.urls.first(),
             QUrl::fromLocalFile(temp.filePath(QStringLiteral("dumps here"))));
}

void TestCrashReporter::restartStartsProgramFromOwnFolder()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString folder = temp.filePath(QStringLiteral("program folder"));
    QVERIFY(QDir().mkpath(folder));
    const QString program = folder + QStringLiteral("/kelv") + executableSuffix();
    writeFile(program, "#!/bin/sh\n"
                       "pwd > \"$(dirname \"$0\")/restarted.tmp\"\n"
                       "mv \"$(dirname \"$0\")/restarted.tmp\" \"$(dirname \"$0\")/restarted\"\n");
    QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString path = writeFile(temp.filePath(QStringLiteral("a.dmp")), kSample);

    ReporterWindow window(CrashReport::load(path), folder);
    QCOMPARE(window.programPath(), program);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QSignalSpy restarted(&window, &ReporterWindow::programRestarted);
    QTest::mouseClick(child<QPushButton>(window, "restartButton"), Qt::LeftButton);
    QCOMPARE(restarted.size(), 1);
    QCOMPARE(restarted.first().first().toString(), program);
    QVERIFY(!window.isVisible());

    const QString marker = folder + QStringLiteral("/restarted");
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 60000);
    QFile file(marker);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(file.readAll()).trimmed(), folder);
}

void TestCrashReporter::restartFailureIsShown()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString path = writeFile(temp.filePath(QStringLiteral("a.dmp")), kSample);
    ReporterWindow window(CrashReport::load(path), temp.path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QSignalSpy restarted(&window, &ReporterWindow::programRestarted);
    QTest::mouseClick(child<QPushButton>(window, "restartButton"), Qt::LeftButton);
    QCOMPARE(restarted.size(), 0);
    QVERIFY(window.isVisible());
    QCOMPARE(child<QLabel>(window, "status")->text(),
             QStringLiteral("kelv could not be started from %1.").arg(window.programPath()));
}

void TestCrashReporter::screenshot()
{
    // A picture of the window for people to look at; written where
    // KELV_SCREENSHOT_DIR points, otherwise only checked to be non-empty.
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QByteArray sample = kSample;
    for (int i = 0; i < 30; ++i)
        sample += "7f3b2a200000-7f3b2a228000 r--p 00000000 fe:01 2345 "
                  "/usr/lib/x86_64-linux-gnu/libc.so.6\n";
    const QString path = writeFile(
        temp.filePath(QStringLiteral("4f1c2a9e-7d3b-4c55-9a11-0c2e8b7f6d31.dmp")), sample);
    ReporterWindow window(CrashReport::load(path), temp.path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QImage image = window.grab().toImage();
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), window.size() * window.devicePixelRatio());
    const QString folder = qEnvironmentVariable("KELV_SCREENSHOT_DIR");
    if (!folder.isEmpty()) {
        QVERIFY(image.save(folder + QStringLiteral("/crash-reporter.png")));
        ReporterWindow missing(CrashReport::load(temp.filePath(QStringLiteral("gone.dmp"))),
                               temp.path());
        missing.show();
        QVERIFY(QTest::qWaitForWindowExposed(&missing));
        QVERIFY(missing.grab().save(folder + QStringLiteral("/crash-reporter-missing.png")));
    }
}

QTEST_MAIN(TestCrashReporter)
#include "tst_crash_reporter.moc"
