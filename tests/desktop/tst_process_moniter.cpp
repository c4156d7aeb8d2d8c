#include "common/xml_text.h"
#include "desktop/process_moniter.h"
#include "platform/device_path.h"
#include "platform/running_programs.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#ifdef Q_OS_UNIX
#include "tests/testsupport/pipe_writer.h"
#endif
#include <algorithm>
#include <memory>

using namespace kelv;

namespace {

// Messages of the monitor's logging category, collected from any thread.
QMutex g_logMutex;
QStringList g_log;
QtMessageHandler g_previousHandler = nullptr;

void collectLog(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && QByteArray(context.category) == "process_moniter") {
        QMutexLocker lock(&g_logMutex);
        g_log.append(message);
    }
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

QStringList takeLog()
{
    QMutexLocker lock(&g_logMutex);
    QStringList log = g_log;
    g_log.clear();
    return log;
}

// processChanged events of any number of monitors, in arrival order.
struct EventLog
{
    QMutex mutex;
    QList<QPair<QString, bool>> events;

    void add(const QString &index, bool running)
    {
        QMutexLocker lock(&mutex);
        events.append({index, running});
    }
    QList<QPair<QString, bool>> all()
    {
        QMutexLocker lock(&mutex);
        return events;
    }
    int count()
    {
        QMutexLocker lock(&mutex);
        return int(events.size());
    }
};

QByteArray modeDocument(const QList<QPair<QString, QString>> &modes)
{
    QByteArray xml = "<?xml version=\"1.0\"?>\n<conf>\n\t<modeSetting>\n\t\t<modes>\n";
    for (const auto &[index, path] : modes) {
        xml += "\t\t\t<mode";
        if (!index.isNull())
            xml += " index=\"" + index.toUtf8() + "\"";
        xml += " bindingProcess=\"" + path.toHtmlEscaped().toUtf8() + "\"/>\n";
    }
    xml += "\t\t</modes>\n\t</modeSetting>\n</conf>\n";
    return xml;
}

} // namespace

class TestProcessMoniter : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_program;  // a copy of sleep at a path no other process uses
    QString m_document; // the mode document of the current test
    std::vector<std::unique_ptr<QProcess>> m_children;

    QString writeDocument(const QByteArray &content,
                          const QString &name = QStringLiteral("configuration.xml"))
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return QString();
        file.write(content);
        return path;
    }

    QProcess *startChild(const QString &program = QString())
    {
        auto process = std::make_unique<QProcess>();
        process->setProgram(program.isEmpty() ? m_program : program);
        process->setArguments({QStringLiteral("600")});
        process->start();
        if (!process->waitForStarted(5000))
            return nullptr;
        m_children.push_back(std::move(process));
        return m_children.back().get();
    }

    static void killChild(QProcess *process)
    {
        process->kill();
        process->waitForFinished(5000);
    }

    static bool runs(const QString &path)
    {
        std::vector<std::string> paths;
        if (!platform::runningProgramPaths(&paths))
            return false;
        return std::count(paths.begin(), paths.end(), QFile::encodeName(path).toStdString()) > 0;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        g_previousHandler = qInstallMessageHandler(collectLog);
        QDir().mkpath(m_dir.filePath(QStringLiteral("bin")));
        m_program = m_dir.filePath(QStringLiteral("bin/game runner"));
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), m_program));
        QVERIFY(QFile::setPermissions(m_program,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    void cleanup()
    {
        for (auto &child : m_children)
            killChild(child.get());
        m_children.clear();
        takeLog();
    }

    void cleanupTestCase() { qInstallMessageHandler(g_previousHandler); }

    // --- running programs -------------------------------------------------

    void runningProgramsNameFullExecutablePaths()
    {
        QVERIFY(runs(QCoreApplication::applicationFilePath()));
        QVERIFY(!runs(m_program));
        QProcess *child = startChild();
        QVERIFY(child);
        QVERIFY(runs(m_program));
        std::vector<std::string> paths;
        QVERIFY(platform::runningProgramPaths(&paths));
        for (const std::string &path : paths)
            QVERIFY2(!path.empty() && path.front() == '/', path.c_str());
        killChild(child);
        QVERIFY(!runs(m_program));
    }

    void programKeepsItsPathWhenTheFileIsReplaced()
    {
        const QString copy = m_dir.filePath(QStringLiteral("bin/updated game"));
        QVERIFY(QFile::copy(m_program, copy));
        QVERIFY(QFile::setPermissions(copy, QFile::ReadOwner | QFile::ExeOwner));
        QProcess *child = startChild(copy);
        QVERIFY(child);
        QVERIFY(QFile::remove(copy));
        QVERIFY(runs(copy));
        killChild(child);
        QVERIFY(!runs(copy));
    }

    // --- bindings ---------------------------------------------------------

    void bindingsComeFromModesWithAProgram()
    {
        const QString path = writeDocument(modeDocument({
            {QStringLiteral("0"), QString()},
            {QStringLiteral("1"), QStringLiteral("/opt/a/run")},
            {QStringLiteral("2"), QStringLiteral("/opt/b/run")},
            {QStringLiteral("3"), QStringLiteral("/opt/a/run")}, // later mode wins
            {QString(), QStringLiteral("/opt/c/\u00e9t\u00e9")}, // no index: empty text
            {QStringLiteral("5"), QStringLiteral("/opt/A/run")}, // another path
        }));
        const QMap<QString, QString> bindings = ProcessMoniter::loadBindings(path);
        QMap<QString, QString> expected;
        expected.insert(QStringLiteral("/opt/a/run"), QStringLiteral("3"));
        expected.insert(QStringLiteral("/opt/b/run"), QStringLiteral("2"));
        expected.insert(QStringLiteral("/opt/c/\u00e9t\u00e9"), QString());
        expected.insert(QStringLiteral("/opt/A/run"), QStringLiteral("5"));
        QCOMPARE(bindings, expected);
    }

    void bindingsOutsideTheModeListAreIgnored()
    {
        const QString path =
            writeDocument("<conf><modeSetting><mode index=\"1\" bindingProcess=\"/x\"/>"
                          "<modes><mode index=\"2\" bindingProcess=\"/y\"/></modes></modeSetting>"
                          "<modes><mode index=\"3\" bindingProcess=\"/z\"/></modes></conf>");
        const QMap<QString, QString> bindings = ProcessMoniter::loadBindings(path);
        QCOMPARE(bindings.size(), 1);
        QCOMPARE(bindings.value(QStringLiteral("/y")), QStringLiteral("2"));
    }

#ifdef Q_OS_UNIX
    void aNamedPipeInTheDocumentsPlaceIsNotOpened()
    {
        // Opening it would hold the monitor until something wrote to it. Its
        // writer hands a document with a binding to the first reader.
        const QString path = m_dir.filePath(QStringLiteral("pipe.xml"));
        test::PipeWriter pipe(path, "<conf><modeSetting><modes><mode index=\"1\" "
                                    "bindingProcess=\"/x\"/></modes></modeSetting></conf>");
        QVERIFY(pipe.isValid());
        QVERIFY(ProcessMoniter::loadBindings(path).isEmpty());
    }
#endif

    void unreadableDocumentsGiveNoBinding()
    {
        QVERIFY(
            ProcessMoniter::loadBindings(m_dir.filePath(QStringLiteral("missing.xml"))).isEmpty());
        QVERIFY(
            ProcessMoniter::loadBindings(
                writeDocument("<conf><modeSetting><modes><mode index=\"1\" bindingProcess=\"/x\">",
                              QStringLiteral("broken.xml")))
                .isEmpty());
        QVERIFY(
            ProcessMoniter::loadBindings(writeDocument("", QStringLiteral("empty.xml"))).isEmpty());
        // Beyond the bounds every profile is read with (nesting, nodes, size),
        // the document counts as unreadable: it is never built.
        const QByteArray modes =
            "<conf><modeSetting><modes><mode index=\"1\" bindingProcess=\"/x\"/>";
        const QByteArray end = "</modes></modeSetting></conf>";
        const QByteArray beyond[] = {
            modes + QByteArray("<a>").repeated(300) + QByteArray("</a>").repeated(300) + end,
            modes + QByteArray("<a/>").repeated(kMaxXmlNodes) + end,
            modes + "<t>" + QByteArray(kMaxProfileBytes, 't') + "</t>" + end};
        for (const QByteArray &document : beyond)
            QVERIFY(
                ProcessMoniter::loadBindings(writeDocument(document, QStringLiteral("beyond.xml")))
                    .isEmpty());
        // Within them it is read.
        QCOMPARE(
            ProcessMoniter::loadBindings(writeDocument(modes + end, QStringLiteral("fits.xml")))
                .value(QStringLiteral("/x")),
            QStringLiteral("1"));
    }

    // --- one poll ---------------------------------------------------------

    void pollMatchesExactPathsOnly()
    {
        QProcess *child = startChild();
        QVERIFY(child);
        QMap<QString, QString> bindings;
        bindings.insert(m_program, QStringLiteral("1"));
        bindings.insert(m_program.toUpper(), QStringLiteral("2"));
        bindings.insert(m_program + QStringLiteral("x"), QStringLiteral("3"));
        bindings.insert(m_dir.filePath(QStringLiteral("bin")), QStringLiteral("4"));
        QMap<QString, bool> fresh;
        QVERIFY(ProcessMoniter::pollRunning(bindings, &fresh));
        QCOMPARE(fresh.size(), 4);
        QCOMPARE(fresh.value(m_program), true);
        QCOMPARE(fresh.value(m_program.toUpper()), false);
        QCOMPARE(fresh.value(m_program + QStringLiteral("x")), false);
        QCOMPARE(fresh.value(m_dir.filePath(QStringLiteral("bin"))), false);
        killChild(child);
        QVERIFY(ProcessMoniter::pollRunning(bindings, &fresh));
        QCOMPARE(fresh.value(m_program), false);
    }

    void changesAreTheDifferingPathsInOrder()
    {
        QMap<QString, bool> states{{"/c", false}, {"/a", true}, {"/b", false}};
        QMap<QString, bool> fresh{{"/c", true}, {"/a", false}, {"/b", false}};
        const QList<QPair<QString, bool>> expected{{"/a", false}, {"/c", true}};
        QCOMPARE(ProcessMoniter::changes(states, fresh), expected);
        QVERIFY(ProcessMoniter::changes(states, states).isEmpty());
        // Maps of different sizes report nothing.
        QMap<QString, bool> bigger = fresh;
        bigger.insert("/d", true);
        QVERIFY(ProcessMoniter::changes(states, bigger).isEmpty());
        // Same size, different paths: only shared paths count.
        QMap<QString, bool> other{{"/a", false}, {"/b", false}, {"/e", true}};
        QCOMPARE(ProcessMoniter::changes(states, other),
                 (QList<QPair<QString, bool>>{{"/a", false}}));
    }

    // --- the loop on its thread -------------------------------------------

    // The real polling period: a program already running is reported by the
    // first poll, its end by the next one after it.
    void reportsRunningProgramAtFirstPollAndItsEnd()
    {
        QProcess *child = startChild();
        QVERIFY(child);
        m_document = writeDocument(modeDocument({{QStringLiteral("0"), QString()},
                                                 {QStringLiteral("1"), m_program},
                                                 {QStringLiteral("2"), m_program.toUpper()}}));
        EventLog events;
        ProcessMonitorRunner runner;
        ProcessMoniter *monitor = runner.restart(m_document, [&](ProcessMoniter *m) {
            QCOMPARE(m->pollInterval(), ProcessMoniter::kPollIntervalMs);
            connect(
                m, &ProcessMoniter::processChanged, m,
                [&, m](const QString &index, bool running) {
                    if (QThread::currentThread() != m->thread())
                        qFatal("processChanged came off the monitor's thread");
                    events.add(index, running);
                },
                Qt::DirectConnection);
        });
        QVERIFY(monitor);
        QTRY_COMPARE_WITH_TIMEOUT(events.count(), 1, ProcessMoniter::kPollIntervalMs + 3000);
        QCOMPARE(events.all().first(), (QPair<QString, bool>{QStringLiteral("1"), true}));
        QCOMPARE(takeLog(), (QStringList{QStringLiteral("current process status changed!"),
                                         m_program + QStringLiteral("  become 1")}));
        killChild(child);
        QTRY_COMPARE_WITH_TIMEOUT(events.count(), 2, ProcessMoniter::kPollIntervalMs + 3000);
        QCOMPARE(events.all().last(), (QPair<QString, bool>{QStringLiteral("1"), false}));
        QCOMPARE(takeLog(), (QStringList{QStringLiteral("current process status changed!"),
                                         m_program + QStringLiteral("  become 0")}));
    }

    void reportsStartAndStopOncePerChange()
    {
        m_document = writeDocument(modeDocument(
            {{QStringLiteral("7"), m_program}, {QStringLiteral("8"), m_program.toUpper()}}));
        EventLog events;
        QPointer<ProcessMoniter> current;
        std::atomic<int> polls{0};
        ProcessMonitorRunner runner;
        runner.restart(m_document, [&](ProcessMoniter *m) {
            m->setPollInterval(100);
            current = m;
            connect(
                m, &ProcessMoniter::processChanged, m,
                [&](const QString &index, bool running) { events.add(index, running); },
                Qt::DirectConnection);
            connect(
                m, &ProcessMoniter::polled, m, [&] { ++polls; }, Qt::DirectConnection);
        });
        QTRY_VERIFY(polls >= 2);
        QCOMPARE(events.count(), 0);

        QProcess *first = startChild();
        QVERIFY(first);
        QTRY_COMPARE(events.count(), 1);
        QProcess *second = startChild();
        QVERIFY(second);
        killChild(first);
        // Still running as a second copy: several polls report nothing.
        const int seen = polls;
        QTRY_VERIFY(polls >= seen + 3);
        QCOMPARE(events.count(), 1);
        killChild(second);
        QTRY_COMPARE(events.count(), 2);
        const int after = polls;
        QTRY_VERIFY(polls >= after + 3);
        const QList<QPair<QString, bool>> expected{{QStringLiteral("7"), true},
                                                   {QStringLiteral("7"), false}};
        QCOMPARE(events.all(), expected);
    }

    void restartsLeaveExactlyOneMonitor()
    {
        QProcess *child = startChild();
        QVERIFY(child);
        m_document = writeDocument(modeDocument({{QStringLiteral("4"), m_program}}));
        EventLog events;
        QMutex pollMutex;
        QList<ProcessMoniter *> pollers; // the monitor of every poll, in order
        QList<QPointer<ProcessMoniter>> monitors;
        QList<QPointer<QThread>> threads;
        ProcessMonitorRunner runner;
        auto setUp = [&](ProcessMoniter *m) {
            m->setPollInterval(150);
            connect(
                m, &ProcessMoniter::processChanged, m,
                [&](const QString &index, bool running) { events.add(index, running); },
                Qt::DirectConnection);
            connect(
                m, &ProcessMoniter::polled, m,
                [&, m] {
                    QMutexLocker lock(&pollMutex);
                    pollers.append(m);
                },
                Qt::DirectConnection);
        };
        for (int i = 0; i < 6; ++i) {
            monitors.append(runner.restart(m_document, setUp));
            threads.append(runner.thread());
            // Some restarts come while a monitor is between polls.
            if (i % 2)
                QTest::qWait(200);
        }
        ProcessMoniter *last = runner.monitor();
        QCOMPARE(last, monitors.last().data());

        // Every earlier monitor and its thread end and are deleted.
        for (int i = 0; i < monitors.size() - 1; ++i) {
            QTRY_VERIFY(threads[i].isNull());
            QTRY_VERIFY(monitors[i].isNull());
        }
        QVERIFY(!threads.last().isNull());
        QVERIFY(threads.last()->isRunning());

        auto pollsOf = [&](ProcessMoniter *m) {
            QMutexLocker lock(&pollMutex);
            return int(std::count(pollers.begin(), pollers.end(), m));
        };
        QTRY_VERIFY(pollsOf(last) >= 3);
        // Only the current monitor polls now.
        {
            QMutexLocker lock(&pollMutex);
            pollers.clear();
        }
        QTRY_VERIFY(pollsOf(last) >= 3);
        {
            QMutexLocker lock(&pollMutex);
            for (ProcessMoniter *m : pollers)
                QCOMPARE(m, last);
        }
        // The running program was reported by the monitors that polled
        // before being replaced and once by the current one, never twice by
        // one monitor, and its end is reported exactly once.
        const int reports = events.count();
        QVERIFY(reports >= 1);
        for (const auto &event : events.all())
            QCOMPARE(event, (QPair<QString, bool>{QStringLiteral("4"), true}));
        killChild(child);
        QTRY_COMPARE(events.count(), reports + 1);
        QCOMPARE(events.all().last(), (QPair<QString, bool>{QStringLiteral("4"), false}));
        const int polled = pollsOf(last);
        QTRY_VERIFY(pollsOf(last) >= polled + 3);
        QCOMPARE(events.count(), reports + 1);

        // Stopping ends and deletes the last one too.
        runner.stop();
        QVERIFY(!runner.exists());
        QTRY_VERIFY(threads.last().isNull());
        QTRY_VERIFY(monitors.last().isNull());
    }

    void restartDuringTheFirstWaitReportsOnceOnly()
    {
        // Restarts faster than the real period: no monitor but the last one
        // ever polls, so the running program is reported exactly once.
        QProcess *child = startChild();
        QVERIFY(child);
        m_document = writeDocument(modeDocument({{QStringLiteral("9"), m_program}}));
        EventLog events;
        ProcessMonitorRunner runner;
        QList<QPointer<QThread>> threads;
        for (int i = 0; i < 4; ++i) {
            runner.restart(m_document, [&](ProcessMoniter *m) {
                connect(
                    m, &ProcessMoniter::processChanged, m,
                    [&](const QString &index, bool running) { events.add(index, running); },
                    Qt::DirectConnection);
            });
            threads.append(runner.thread());
            QTest::qWait(300);
        }
        // The replaced monitors end without waiting out their period.
        for (int i = 0; i < threads.size() - 1; ++i)
            QTRY_VERIFY_WITH_TIMEOUT(threads[i].isNull(), 2000);
        QTRY_COMPARE_WITH_TIMEOUT(events.count(), 1, ProcessMoniter::kPollIntervalMs + 3000);
        QCOMPARE(events.all().first(), (QPair<QString, bool>{QStringLiteral("9"), true}));
    }

    // What a page that starts afresh asks: which bound programs run, once the
    // current monitor has looked.
    void theLookAnswersAfterTheFirstPollAndFollowsRestarts()
    {
        QProcess *child = startChild();
        QVERIFY(child);
        m_document = writeDocument(modeDocument(
            {{QStringLiteral("5"), m_program}, {QStringLiteral("6"), m_dir.filePath("absent")}}));
        // Events reach the main thread queued, as they reach the pages.
        int events = 0;
        const auto setUp = [&](int interval) {
            return [&, interval](ProcessMoniter *m) {
                m->setPollInterval(interval);
                connect(m, &ProcessMoniter::processChanged, this, [&] { ++events; });
            };
        };
        QList<QPair<bool, QStringList>> answers;
        int eventsAtAnswer = -1;
        const auto ask = [&](ProcessMonitorRunner &runner) {
            runner.whenLooked([&](bool known, const QStringList &modes) {
                answers.append({known, modes});
                eventsAtAnswer = events;
            });
        };
        const QPair<bool, QStringList> running{true, {QStringLiteral("5")}};
        const QPair<bool, QStringList> none{true, {}};

        ProcessMonitorRunner runner;
        runner.restart(m_document, setUp(300));
        ask(runner);
        QVERIFY(answers.isEmpty());
        QTRY_COMPARE(answers.size(), 1);
        QCOMPARE(answers.first(), running);
        // The first poll's event came before the answer.
        QCOMPARE(eventsAtAnswer, 1);
        // Looked already: answered at once.
        ask(runner);
        QCOMPARE(answers.size(), 2);
        QCOMPARE(answers.last(), running);
        killChild(child);
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                ask(runner);
                return answers.last() == none;
            }(),
            3000);

        // Restarted twice before looking: the newest monitor's first look
        // answers, once.
        answers.clear();
        QVERIFY(startChild());
        runner.restart(m_document, setUp(400));
        ask(runner);
        runner.restart(m_document, setUp(400));
        QTest::qWait(200);
        QVERIFY(answers.isEmpty());
        QTRY_COMPARE(answers.size(), 1);
        QCOMPARE(answers.first(), running);
        QTest::qWait(900);
        QCOMPARE(answers.size(), 1);

        // A look the replaced monitor had queued is not the new one's: the
        // question waits for the new monitor (here one without a binding).
        answers.clear();
        std::atomic<bool> lookedOff{false};
        runner.restart(m_document, [&](ProcessMoniter *m) {
            m->setPollInterval(50);
            connect(
                m, &ProcessMoniter::looked, m, [&] { lookedOff = true; }, Qt::DirectConnection);
        });
        // No event loop meanwhile: its look stays queued.
        QDeadlineTimer deadline(5000);
        while (!lookedOff && !deadline.hasExpired())
            QThread::msleep(10);
        QVERIFY(lookedOff);
        runner.restart(m_document, setUp(60000));
        ask(runner);
        QTest::qWait(300);
        QVERIFY(answers.isEmpty());
        writeDocument("<conf/>", QStringLiteral("empty.xml"));
        runner.restart(m_dir.filePath(QStringLiteral("empty.xml")));
        QTRY_COMPARE(answers.size(), 1);
        QCOMPARE(answers.first(), none);
    }

    void stopEndsTheWaitPromptly()
    {
        m_document = writeDocument(modeDocument({{QStringLiteral("1"), m_program}}));
        ProcessMoniter monitor(m_document);
        QSignalSpy polled(&monitor, &ProcessMoniter::polled);
        std::unique_ptr<QThread> thread(QThread::create([&] { monitor.start(); }));
        thread->start();
        QTest::qWait(100);
        monitor.requestStop();
        // Far less than the 3000 ms period: the wait is woken, not slept out.
        QVERIFY(thread->wait(2000));
        QCOMPARE(polled.count(), 0);
    }

    void stopFromTheMonitorsOwnThreadEndsTheLoop()
    {
        QProcess *child = startChild();
        QVERIFY(child);
        m_document = writeDocument(modeDocument({{QStringLiteral("1"), m_program}}));
        ProcessMoniter monitor(m_document);
        monitor.setPollInterval(50);
        std::atomic<int> events{0};
        // A directly connected slot that stops the monitor must not deadlock.
        connect(
            &monitor, &ProcessMoniter::processChanged, &monitor,
            [&] {
                ++events;
                monitor.requestStop();
            },
            Qt::DirectConnection);
        std::unique_ptr<QThread> thread(QThread::create([&] { monitor.start(); }));
        thread->start();
        QVERIFY(thread->wait(10000));
        QCOMPARE(events.load(), 1);
        QVERIFY(monitor.isStopRequested());
    }

    void withoutBindingsTheMonitorNeverPolls()
    {
        for (const QByteArray &content : {modeDocument({{QStringLiteral("0"), QString()}}),
                                          QByteArray("<conf/>"), QByteArray("not xml")}) {
            m_document = writeDocument(content);
            ProcessMoniter monitor(m_document);
            QSignalSpy polled(&monitor, &ProcessMoniter::polled);
            std::unique_ptr<QThread> thread(QThread::create([&] { monitor.start(); }));
            thread->start();
            QVERIFY(thread->wait(10000));
            QCOMPARE(polled.count(), 0);
        }
    }

    // --- Windows image paths ----------------------------------------------

    void devicePathsBecomeDrivePaths()
    {
        using platform::DriveDevice;
        const std::vector<DriveDevice> drives{
            {u"C:", u"\\Device\\HarddiskVolume1"},
            {u"D:", u"\\Device\\HarddiskVolume10"},
            {u"E:", u"\\Device\\CdRom0"},
        };
        std::u16string out;
        QVERIFY(platform::devicePathToDrivePath(u"\\Device\\HarddiskVolume1\\Games\\run.exe",
                                                drives, &out));
        QVERIFY(out == u"C:\\Games\\run.exe");
        // Volume1 is a prefix of Volume10 but not its device.
        QVERIFY(platform::devicePathToDrivePath(u"\\Device\\HarddiskVolume10\\Games\\run.exe",
                                                drives, &out));
        QVERIFY(out == u"D:\\Games\\run.exe");
        QVERIFY(platform::devicePathToDrivePath(u"\\Device\\CdRom0\\setup.exe", drives, &out));
        QVERIFY(out == u"E:\\setup.exe");
        // The device name must lead the path.
        QVERIFY(!platform::devicePathToDrivePath(u"\\Share\\Device\\CdRom0\\x.exe", drives, &out));
        QVERIFY(out == u"Unknown");
        // No drive for the device, a bare device, no drives at all.
        QVERIFY(
            !platform::devicePathToDrivePath(u"\\Device\\HarddiskVolume2\\a.exe", drives, &out));
        QVERIFY(out == u"Unknown");
        QVERIFY(!platform::devicePathToDrivePath(u"\\Device\\CdRom0", drives, &out));
        QVERIFY(!platform::devicePathToDrivePath(u"\\Device\\CdRom0\\a.exe", {}, &out));
        QVERIFY(out == u"Unknown");
        // Letter case of the device name counts.
        QVERIFY(!platform::devicePathToDrivePath(u"\\device\\cdrom0\\a.exe", drives, &out));
    }

    void devicePathsTooLongForADrivePathFail()
    {
        const std::vector<platform::DriveDevice> drives{{u"C:", u"\\Device\\HarddiskVolume3"}};
        const std::u16string device = u"\\Device\\HarddiskVolume3\\";
        std::u16string out;
        // "C:\" + 256 units + terminator = 260: fits.
        QVERIFY(platform::devicePathToDrivePath(device + std::u16string(256, u'a'), drives, &out));
        QCOMPARE(out.size(), std::size_t(259));
        QVERIFY(!platform::devicePathToDrivePath(device + std::u16string(257, u'a'), drives, &out));
        QVERIFY(out == u"Unknown");
    }
};

QTEST_GUILESS_MAIN(TestProcessMoniter)
#include "tst_process_moniter.moc"
