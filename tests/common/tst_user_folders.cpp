// Where the files kelv writes for its user go, decided from real program
// folders and real permissions: beside the program where the user may write
// it, in the user's XDG folders where it is the package manager's or closed to
// the user (decided in a child process of another user, as root may write
// anything). The first start copies the defaults; later starts leave the
// user's files alone; the simulated mouse's state follows the same rule.
#include "common/user_folders.h"
#include "tests/testsupport/temp_program_folder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kelv;
using namespace kelv::test;

namespace {

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner | QFileDevice::ReadUser |
                                                QFileDevice::WriteUser | QFileDevice::ExeUser;

// The XDG variables of this process pointed into a folder, put back after.
class XdgHomes
{
public:
    explicit XdgHomes(const QString &root)
    {
        for (const char *name : kNames)
            m_saved.append(qgetenv(name));
        qputenv("HOME", QFile::encodeName(root + QStringLiteral("/home")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(root + QStringLiteral("/config")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(root + QStringLiteral("/data")));
        qputenv("XDG_STATE_HOME", QFile::encodeName(root + QStringLiteral("/state")));
    }
    ~XdgHomes()
    {
        for (int i = 0; i < 4; ++i) {
            if (m_saved.at(i).isNull())
                qunsetenv(kNames[i]);
            else
                qputenv(kNames[i], m_saved.at(i));
        }
    }

private:
    static constexpr const char *kNames[4] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                              "XDG_STATE_HOME"};
    QList<QByteArray> m_saved;
};

// Runs check in a child process of another user (nobody): root may write
// every folder. A tester who is not root gets the folder closed to them
// instead. True when check returned true there.
bool asUserWhoCannotWrite(const QString &folder, const std::function<bool()> &check)
{
    if (geteuid() != 0) {
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        const bool result = check();
        QFile::setPermissions(folder, kOwnerOnly);
        return result;
    }
    ::chmod(QFile::encodeName(folder).constData(), 0755);
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestUserFolders : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<XdgHomes> m_homes;

    QString root(const QString &relative) const { return m_root->filePath(relative); }

private slots:
    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        QVERIFY(m_root->isValid());
        m_homes = std::make_unique<XdgHomes>(m_root->path());
    }
    void cleanup()
    {
        m_homes.reset();
        m_root.reset();
    }

    void aFolderTheUserMayWriteKeepsEverythingBesideTheProgram()
    {
        TempProgramFolder program;
        const UserFolders folders = UserFolders::forProgramFolder(program.path());
        QCOMPARE(folders.layout(), UserFolders::Layout::ProgramFolder);
        QVERIFY(!folders.packaged());
        QCOMPARE(folders.profilePath(QStringLiteral("Resources/profiles/conf.xml")),
                 program.filePath(QStringLiteral("Resources/profiles/conf.xml")));
        QCOMPARE(folders.data(), QDir::cleanPath(program.path()));
        QVERIFY(folders.state().isEmpty());
        QVERIFY(folders.prepare());
        // Nothing of the user's folders is made for it.
        for (const char *home : {"config", "data", "state"})
            QVERIFY2(!QFileInfo::exists(root(QLatin1String(home))), home);
    }

    void aPackagedFolderSendsEveryFileToTheUsersFolders()
    {
        TempProgramFolder program;
        program.write(UserFolders::packagedMarker(), "updated by the package manager\n");
        const UserFolders folders = UserFolders::forProgramFolder(program.path());
        QCOMPARE(folders.layout(), UserFolders::Layout::PerUser);
        QVERIFY(folders.packaged());
        QCOMPARE(folders.profiles(), root("config/kelv"));
        QCOMPARE(folders.profilePath(QStringLiteral("view/xml/configuration.xml")),
                 root("config/kelv/view/xml/configuration.xml"));
        QCOMPARE(folders.data(), root("data/kelv"));
        QCOMPARE(folders.state(), root("state/kelv"));

        // A relative XDG variable is no base directory: the home's default.
        qputenv("XDG_CONFIG_HOME", "relative/config");
        qunsetenv("XDG_STATE_HOME");
        const UserFolders defaults = UserFolders::forProgramFolder(program.path());
        QCOMPARE(defaults.profiles(), root("home/.config/kelv"));
        QCOMPARE(defaults.state(), root("home/.local/state/kelv"));
        QCOMPARE(defaults.data(), root("data/kelv"));
    }

    void aFolderTheUserCannotWriteIsLeftAlone()
    {
        TempProgramFolder program;
        const QString expected = root("config/kelv");
        const QString folder = program.path();
        QVERIFY(asUserWhoCannotWrite(folder, [&] {
            const UserFolders folders = UserFolders::forProgramFolder(folder);
            return folders.perUser() && !folders.packaged() && folders.profiles() == expected;
        }));
    }

    void theFirstStartCopiesTheDefaultsAndLaterStartsKeepTheUsersFiles()
    {
        TempProgramFolder program;
        program.write(UserFolders::packagedMarker(), "");
        const UserFolders folders = UserFolders::forProgramFolder(program.path());
        QString error;
        QVERIFY2(folders.prepare(&error), qPrintable(error));
        for (const QString &relative : UserFolders::copiedAtFirstStart())
            QCOMPARE(readAll(folders.profilePath(relative)), program.read(relative));
        // The factory profile stays the program's: read from there.
        QVERIFY(!QFile::exists(
            folders.profilePath(QStringLiteral("Resources/profiles/configuration.xml"))));
        // Each folder is the user's alone.
        for (const QString &folder : {folders.profiles(), folders.data(), folders.state()}) {
            struct stat info
            {
            };
            QCOMPARE(::stat(QFile::encodeName(folder).constData(), &info), 0);
            QCOMPARE(info.st_mode & 07777, mode_t(0700));
        }

        // The user's own settings survive every later start; a mode document
        // deleted by hand comes back from the program folder.
        const QString settings = folders.profilePath(QStringLiteral("Resources/profiles/conf.xml"));
        const QString modes = folders.profilePath(QStringLiteral("view/xml/configuration.xml"));
        QFile edited(settings);
        QVERIFY(edited.open(QIODevice::WriteOnly | QIODevice::Truncate));
        edited.write("<root><client language=\"de-DE\"/></root>");
        edited.close();
        QVERIFY(QFile::remove(modes));
        QVERIFY(folders.prepare());
        QCOMPARE(readAll(settings), QByteArray("<root><client language=\"de-DE\"/></root>"));
        QCOMPARE(readAll(modes), program.read(QStringLiteral("view/xml/configuration.xml")));
    }

    void aFolderThatCannotBeMadeIsSaid()
    {
        TempProgramFolder program;
        program.write(UserFolders::packagedMarker(), "");
        // The configuration home is a file: nothing can be made below it.
        QFile blocker(root("config"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QString error;
        QVERIFY(!UserFolders::forProgramFolder(program.path()).prepare(&error));
        QVERIFY2(error.contains(root("config/kelv")), qPrintable(error));
    }

    // dcsim (and libdc beside it) keep the simulated mouse where the program
    // keeps the user's files: beside the program, or in the user's data folder.
    void theSimulatedMouseLivesWhereTheUsersFilesDo()
    {
        TempProgramFolder program(TempProgramFolder::Binaries);
        QVERIFY(QFile::exists(program.filePath(QStringLiteral("dcsim"))));
        auto status = [&] {
            QProcess dcsim;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.remove(QStringLiteral("DC_SIM_DIR"));
            dcsim.setProcessEnvironment(env);
            dcsim.start(program.filePath(QStringLiteral("dcsim")), {QStringLiteral("status")});
            return dcsim.waitForFinished(30000) && dcsim.exitCode() == 0;
        };
        QVERIFY(status());
        QVERIFY(QFileInfo(program.filePath(QStringLiteral("simulator"))).isDir());
        QVERIFY(!QFileInfo::exists(root("data/kelv/simulator")));

        QDir(program.filePath(QStringLiteral("simulator"))).removeRecursively();
        program.write(UserFolders::packagedMarker(), "");
        QVERIFY(status());
        QVERIFY(QFileInfo(root("data/kelv/simulator")).isDir());
        QVERIFY(!QFileInfo::exists(program.filePath(QStringLiteral("simulator"))));
    }
};

QTEST_GUILESS_MAIN(TestUserFolders)
#include "tst_user_folders.moc"
