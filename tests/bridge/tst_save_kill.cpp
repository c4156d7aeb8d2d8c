// Fault injection: a real child process saves the profiles, conf.xml and an
// export file through the page commands in a loop and is killed with SIGKILL
// at random moments, a hundred times. After every kill each file must hold
// exactly the content it had before or one the child was about to write
// (the child logs the SHA-1 of every content before saving it); never a
// truncated or mixed file. A control run with a non-atomic writer shows that
// the check does catch torn files.

#include "bridge/profile_export.h"
#include "common/text_file.h"
#include "tests/testsupport/temp_program_folder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTest>
#include <QThread>
#include <csignal>
#include <pugixml.hpp>

using namespace kelv;

namespace {

const QString kProfile = QStringLiteral("Resources/profiles/configuration.xml");
const QString kConf = QStringLiteral("Resources/profiles/conf.xml");
const QString kExport = QStringLiteral("exports/profile.pfd");

QByteArray digestOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("missing");
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1).toHex();
}

// The digests the child logged before its saves, by file kind (P, C, E).
QHash<char, QSet<QByteArray>> loggedDigests(const QString &logPath, bool *ready,
                                            int *count = nullptr)
{
    QHash<char, QSet<QByteArray>> digests;
    if (count)
        *count = 0;
    QFile log(logPath);
    *ready = false;
    if (!log.open(QIODevice::ReadOnly))
        return digests;
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line == "ready")
            *ready = true;
        else if (line.size() == 42 && line.at(1) == ' ') {
            digests[line.at(0)].insert(line.mid(2)); // a line cut by the kill is 41 or shorter
            if (count)
                ++*count;
        }
    }
    return digests;
}

struct Round
{
    bool killed = false; // the child died of SIGKILL (not on its own)
    bool ready = false;  // it reached its save loop
    QStringList torn;    // files that are neither old nor new
};

class SaveKiller
{
public:
    explicit SaveKiller(const test::TempProgramFolder &folder) : m_folder(folder) {}

    // Kills the child a random while (below maxDelayMs) after it logged
    // minDigests digests. A digest is logged right before its save starts, so
    // the kill lands in or near a save.
    Round killOnce(const QStringList &arguments, int maxDelayMs, int minDigests)
    {
        Round round;
        const QString logPath = m_folder.filePath(QStringLiteral("save.log"));
        QFile::remove(logPath);
        const QHash<char, QString> files = {{'P', m_folder.filePath(kProfile)},
                                            {'C', m_folder.filePath(kConf)},
                                            {'E', m_folder.filePath(kExport)}};
        QHash<char, QByteArray> before;
        for (auto it = files.constBegin(); it != files.constEnd(); ++it)
            before.insert(it.key(), digestOf(it.value()));

        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // A desktop without mouse settings: the helper's modifyProfile never
        // changes the settings of whoever runs the tests.
        environment.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("kelv-test"));
        environment.remove(QStringLiteral("XDG_SESSION_DESKTOP"));
        child.setProcessEnvironment(environment);
        child.start(QStringLiteral(SAVE_KILL_HELPER),
                    QStringList{m_folder.path(), logPath} + arguments);
        if (!child.waitForStarted())
            return round;
        // Wait until the child is in its loop, then let it run a random while.
        bool ready = false;
        int digests = 0;
        QElapsedTimer waited;
        waited.start();
        while ((!ready || digests < minDigests) && child.state() == QProcess::Running &&
               waited.elapsed() < 120000) {
            loggedDigests(logPath, &ready, &digests);
            if (!ready || digests < minDigests)
                QThread::usleep(500);
        }
        QThread::usleep(QRandomGenerator::global()->bounded(maxDelayMs * 1000));
        if (child.state() == QProcess::Running)
            ::kill(pid_t(child.processId()), SIGKILL);
        child.waitForFinished(30000);
        round.killed = child.exitStatus() == QProcess::CrashExit;

        const QHash<char, QSet<QByteArray>> logged = loggedDigests(logPath, &round.ready);
        for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
            const QByteArray now = digestOf(it.value());
            if (now != before.value(it.key()) && !logged.value(it.key()).contains(now))
                round.torn << it.value();
        }
        return round;
    }

private:
    const test::TempProgramFolder &m_folder;
};

} // namespace

class TestSaveKill final : public QObject
{
    Q_OBJECT

private slots:
    void killsDuringSavesLeaveOldOrNewFiles()
    {
        test::TempProgramFolder folder;
        QVERIFY(folder.isValid());
        QVERIFY(QDir().mkpath(folder.filePath(QStringLiteral("exports"))));
        SaveKiller killer(folder);

        int kills = 0;
        int changed = 0;
        QByteArray previous = digestOf(folder.filePath(kProfile));
        for (int i = 0; i < 100; ++i) {
            // Each generation logs three digests (profile, conf.xml, export).
            // The first child runs into its second generation, so a whole
            // generation of files is on disk for the others to replace.
            const int digests = i == 0 ? 4 : int(QRandomGenerator::global()->bounded(7));
            const Round round = killer.killOnce({}, 30, digests);
            QVERIFY2(round.ready, "the child reached its save loop");
            QVERIFY2(round.killed, "the child died of the kill, not on its own");
            QVERIFY2(round.torn.isEmpty(), qPrintable(round.torn.join(QLatin1Char(' '))));
            ++kills;
            const QByteArray now = digestOf(folder.filePath(kProfile));
            changed += now != previous;
            previous = now;
        }
        QCOMPARE(kills, 100);
        QVERIFY(changed > 0);
        QVERIFY(QFile::exists(folder.filePath(kExport)));

        // Every file still reads as what it is.
        QString text;
        QVERIFY(readTextFile(folder.filePath(kProfile), &text));
        pugi::xml_document doc;
        QVERIFY(doc.load_string(reinterpret_cast<const pugi::char_t *>(text.toUtf8().constData())));
        QVERIFY(readTextFile(folder.filePath(kConf), &text));
        QVERIFY(doc.load_string(reinterpret_cast<const pugi::char_t *>(text.toUtf8().constData())));
        QByteArray exported;
        QVERIFY(ProfileExport::readFile(folder.filePath(kExport), &exported));
        QVERIFY(doc.load_buffer(exported.constData(), size_t(exported.size())));

        // Temporary files of saves cut short stay behind; they are never read.
        int leftovers = 0;
        for (const QString &dir :
             {QStringLiteral("Resources/profiles"), QStringLiteral("exports")}) {
            const QStringList names = QDir(folder.filePath(dir)).entryList(QDir::Files);
            for (const QString &name : names)
                leftovers +=
                    name.contains(QLatin1String(".xml.")) || name.contains(QLatin1String(".pfd."));
        }
        qInfo("%d kills, the profile changed between %d of them, %d temporary files left", kills,
              changed, leftovers);
    }

    void checkCatchesTornFiles()
    {
        // The control: the same check on a writer that truncates and then
        // writes in pieces must see a torn file within a few kills.
        test::TempProgramFolder folder;
        QVERIFY(folder.isValid());
        SaveKiller killer(folder);
        bool caught = false;
        for (int i = 0; i < 50 && !caught; ++i) {
            const Round round = killer.killOnce({QStringLiteral("plain")}, 20, 0);
            QVERIFY(round.ready);
            QVERIFY(round.killed);
            caught = !round.torn.isEmpty();
        }
        QVERIFY(caught);
    }
};

QTEST_GUILESS_MAIN(TestSaveKill)
#include "tst_save_kill.moc"
