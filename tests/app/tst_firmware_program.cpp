// A firmware update that the program does not live to finish: the real program, under a
// private X server, flashes the simulated mouse from its boot loader and is killed with
// SIGKILL half way through the chunks. The mouse stays in its boot loader with a partial
// ROM; the next start notices it, offers to finish, and the user's Return finishes it with
// the package that was kept (verified again first). And a request to end the program
// during the flash (SIGTERM, as the tray's Exit) waits until the flash has ended.
#include "device/devices_handler.h"
#include "device/firmware_session.h"
#include "tests/libdc/sim_fixture.h"
#include "tests/testsupport/program_home.h"
#include "tests/testsupport/signing_key.h"
#include "tests/testsupport/temp_program_folder.h"
#include "tests/testsupport/xvfb_server.h"
#include "update/firmware_image.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <csignal>
#include <memory>

using namespace kelv;
using namespace kelv::test;

namespace {

const QString kMouseId = QStringLiteral("HID\\Vid_0aa0&Pid_5e30");
const QString kBootId = QStringLiteral("HID\\Vid_0aa0&Pid_5e31");

QByteArray firmwareBytes(int length, const QByteArray &version)
{
    QByteArray bytes(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        bytes[i] = char(i * 7 + 3);
    bytes.replace(0, 4, "KFW1");
    bytes.replace(4, 16, version.leftJustified(16, '\0', true));
    return bytes;
}

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Waits until predicate() holds, processing nothing (the program runs in its own process).
template <typename Predicate> bool waitUntil(Predicate predicate, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!predicate()) {
        if (deadline.hasExpired())
            return false;
        QTest::qSleep(10);
    }
    return true;
}

} // namespace

class TestFirmwareProgram : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<XvfbServer> m_x;
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<SimFolder> m_sim;
    std::unique_ptr<ProgramHome> m_home;
    QProcessEnvironment m_env;

    QString log() const { return readText(m_sim->file(QStringLiteral("dc.log"))); }

    // Starts the program in the tray (no main window: the offer is its only window).
    void start(QProcess &program)
    {
        program.setProgram(m_folder->filePath(QStringLiteral("kelv")));
        program.setArguments({QStringLiteral("-autostart")});
        program.setWorkingDirectory(m_home->path());
        program.setProcessEnvironment(m_env);
        // Its log goes to a file, so a full pipe can never stall it.
        program.setProcessChannelMode(QProcess::MergedChannels);
        program.setStandardOutputFile(m_home->filePath(QStringLiteral("kelv.log")),
                                      QIODevice::Append);
        program.start();
        QVERIFY(program.waitForStarted(30000));
    }

    // Presses Return in the program's offer to finish the firmware update, once it is up
    // (started in the background, the program shows no other window for its first 30 s).
    bool acceptOffer(const QProcess &program)
    {
        return waitUntil(
            [&] {
                return xdotool(m_x->display(),
                               {QStringLiteral("search"), QStringLiteral("--sync"),
                                QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                                QString::number(program.processId()), QStringLiteral("windowfocus"),
                                QStringLiteral("key"), QStringLiteral("Return")});
            },
            60000);
    }

    QString programLog() const { return readText(m_home->filePath(QStringLiteral("kelv.log"))); }

    // The firmware package kept for finishing a flash, signed by a key the
    // program folder trusts.
    QString keepFirmware(const QByteArray &bytes, const QString &version)
    {
        m_key.trustIn(m_folder->path());
        return m_folder->write(
            QStringLiteral("tupdates/firmware/firmware.pkg"),
            m_key.package(version,
                          {{QStringLiteral("firmware/update.bin"), FirmwareImage::build(bytes)}},
                          QStringLiteral("firmware")));
    }

    // Puts the simulated mouse into its boot loader, as an interrupted flash leaves it.
    void leaveMouseInBootLoader()
    {
        QCOMPARE(runDcsim({QStringLiteral("bootloader"), QStringLiteral("delay"),
                           QStringLiteral("100")}),
                 0);
        devices_handler devices(libdcFile(), nullptr);
        const std::unique_ptr<FirmwareSession> session = devices.openFirmwareSession();
        QVERIFY(session->reset(kMouseId));
        QVERIFY(waitUntil([&] { return session->present(kBootId); }, 10000));
    }

    SigningKey m_key;

private slots:
    void initTestCase()
    {
        m_x = std::make_unique<XvfbServer>();
        QVERIFY(m_x->isRunning());
    }

    void init()
    {
        m_folder = std::make_unique<TempProgramFolder>(TempProgramFolder::Everything);
        QVERIFY(QFile::exists(m_folder->filePath(QStringLiteral("kelv"))));
        m_sim = std::make_unique<SimFolder>();
        m_home = std::make_unique<ProgramHome>(m_x->display());
        QVERIFY(m_home->isValid());
        m_env = m_home->environment();
        m_env.insert(QStringLiteral("DC_SIM_DIR"), m_sim->path());
        m_env.remove(QStringLiteral("KELV_UPDATE_SERVER"));
    }

    void cleanup()
    {
        m_home.reset();
        m_sim.reset();
        m_folder.reset();
    }

    void killedDuringTheFlashIsFinishedOnTheNextStart()
    {
        // The largest firmware a package carries, so the chunks take a while.
        const QByteArray bytes = firmwareBytes(int(FirmwareImage::kMaxPackedLength), "8.1.0");
        const QString package = keepFirmware(bytes, QStringLiteral("8.1.0"));

        // A flash interrupted earlier: the mouse is in its boot loader.
        leaveMouseInBootLoader();

        // The first start offers to finish; Return starts the sequence, and the program is
        // killed while it writes the chunks.
        {
            QProcess first;
            start(first);
            QVERIFY2(acceptOffer(first), qPrintable(programLog()));
            QVERIFY2(
                waitUntil([&] { return log().count(QStringLiteral("born offset=")) >= 3; }, 60000),
                qPrintable(log() + programLog()));
            QCOMPARE(::kill(pid_t(first.processId()), SIGKILL), 0);
            QVERIFY(first.waitForFinished(30000));
            QCOMPARE(first.exitStatus(), QProcess::CrashExit);
        }
        QVERIFY(!log().contains(QStringLiteral("check length=")));
        QVERIFY(QFile::exists(package));
        QString status;
        QCOMPARE(runDcsim({QStringLiteral("status")}, &status), 0);
        QVERIFY2(status.contains(QStringLiteral("mode: boot")), qPrintable(status));

        // The next start finishes it with the package that was kept.
        QProcess second;
        start(second);
        QVERIFY2(acceptOffer(second), qPrintable(programLog()));
        QVERIFY2(
            waitUntil(
                [&] { return log().contains(QStringLiteral("finish version=8.1.0 result=0")); },
                60000),
            qPrintable(log() + programLog()));
        QVERIFY(waitUntil([&] { return !QFile::exists(package); }, 10000));
        QFile rom(m_sim->file(QStringLiteral("rom.bin")));
        QVERIFY(rom.open(QIODevice::ReadOnly));
        QCOMPARE(rom.readAll(), bytes);
        // The mouse is back with the new firmware.
        QVERIFY(waitUntil(
            [&] {
                runDcsim({QStringLiteral("status")}, &status);
                return status.contains(QStringLiteral("mode: mouse")) &&
                       status.contains(QStringLiteral("version: 8.1.0"));
            },
            10000));
        second.kill();
        second.waitForFinished(30000);
    }

    void endingDuringTheFlashWaitsForItsEnd()
    {
        const QByteArray bytes = firmwareBytes(int(FirmwareImage::kMaxPackedLength), "8.2.0");
        keepFirmware(bytes, QStringLiteral("8.2.0"));
        leaveMouseInBootLoader();
        QProcess program;
        start(program);
        QVERIFY2(acceptOffer(program), qPrintable(programLog()));
        QVERIFY2(waitUntil([&] { return log().count(QStringLiteral("born offset=")) >= 3; }, 60000),
                 qPrintable(log() + programLog()));
        // Asked to end (as the tray's Exit and a logout ask): it stays until the end of
        // the flash and says so.
        QCOMPARE(::kill(pid_t(program.processId()), SIGTERM), 0);
        QVERIFY2(waitUntil(
                     [&] {
                         return programLog().contains(
                             QStringLiteral("quit deferred until the firmware update has ended"));
                     },
                     30000),
                 qPrintable(programLog()));
        QVERIFY(waitUntil(
            [&] {
                return xdotool(m_x->display(),
                               {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                QStringLiteral("--pid"), QString::number(program.processId()),
                                QStringLiteral("--name"), QStringLiteral("Firmware update")});
            },
            30000));
        QCOMPARE(program.state(), QProcess::Running);
        QVERIFY(program.waitForFinished(90000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QVERIFY2(log().contains(QStringLiteral("finish version=8.2.0 result=0")),
                 qPrintable(log() + programLog()));
        QFile rom(m_sim->file(QStringLiteral("rom.bin")));
        QVERIFY(rom.open(QIODevice::ReadOnly));
        QCOMPARE(rom.readAll(), bytes);
        QVERIFY(programLog().contains(QStringLiteral("the firmware update has ended: quitting")));
    }
};

QTEST_GUILESS_MAIN(TestFirmwareProgram)
#include "tst_firmware_program.moc"
