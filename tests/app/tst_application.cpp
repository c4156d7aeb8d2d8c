// The application object: client settings and their accessors, the
// command-line flag, initialisation (style sheet, folders, singleton, the
// instance check) and the one quit request; the engine's flags it starts with.
#include "app/application_host.h"
#include "app/cef_application.h"
#include "app/main_window.h"
#include "app/startup.h"
#include "app/unsaved_edits.h"
#include "bridge/profile_store.h"
#include "browser/client_handler.h"
#include "common/app_paths.h"
#include "common/client_settings.h"
#include "common/user_folders.h"
#include "tests/testsupport/scripted_dialogs.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUuid>

using namespace kelv;

namespace {
const QByteArray SettingsText = "<?xml version=\"1.0\"?>\n"
                                "<root>\n"
                                "\t<client version=\"1.2\" MacAddress=\"from-file\" "
                                "language=\"en\" language=\"zh\" />\n"
                                "\t<other keep=\"1\" />\n"
                                "</root>\n";
} // namespace

class TestApplication : public QObject
{
    Q_OBJECT

public:
    explicit TestApplication(const QString &settingsPath) : m_settingsPath(settingsPath) {}

private:
    QString m_settingsPath;

    static cefApplication *app() { return static_cast<cefApplication *>(qApp); }

private slots:
    void settingsHoldTheClientAttributesAndTheComputedEntries()
    {
        QCOMPARE(app()->clientSettings().keys(),
                 QStringList({"IpAddress", "MacAddress", "language", "version"}));
        QCOMPARE(app()->clientSetting("version"), QStringLiteral("1.2"));
        // A later attribute of the same name replaces an earlier one.
        QCOMPARE(app()->clientSetting("language"), QStringLiteral("zh"));
        // The computed entries replace attributes of the same names.
        QVERIFY(app()->clientSetting("MacAddress") != QStringLiteral("from-file"));
        QCOMPARE(app()->clientSetting("MacAddress"), ClientSettings::firstHardwareAddress());
        QVERIFY(app()->clientSetting("IpAddress") != QStringLiteral("127.0.0.1"));
        QCOMPARE(app()->clientSetting("IpAddress"), ClientSettings::firstIpv4Address());
        QCOMPARE(app()->clientSetting("absent"), QString());
        QCOMPARE(app()->settingsText(), QString::fromUtf8(SettingsText));
    }

    void onlyExistingKeysCanBeSet()
    {
        QVERIFY(!app()->setClientSetting("absent", "1"));
        QVERIFY(!app()->clientSettings().contains("absent"));
        QVERIFY(app()->setClientSetting("language", "ru"));
        QCOMPARE(app()->clientSetting("language"), QStringLiteral("ru"));
        // Start-up never writes the file; only saveSettings does.
        QFile file(m_settingsPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), SettingsText);
    }

    void saveWritesTheSettingsTextWhole()
    {
        const QString text = app()->settingsText().replace("1.2", "1.3");
        app()->setSettingsText(text);
        QVERIFY(app()->saveSettings());
        QFile file(m_settingsPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray(text.toUtf8()).replace("\n", "\r\n"));
        // Writes go through a temporary file and a rename: nothing is left over.
        QCOMPARE(QDir(QFileInfo(m_settingsPath).absolutePath()).entryList(QDir::Files).size(), 1);
    }

    void autostartFlagComesFromTheCommandLine() { QVERIFY(app()->autostart()); }

    void initialisationStartsThePrimaryInstance()
    {
        QVERIFY(!cefApplication::instance());
        QSignalSpy started(app(), &cefApplication::primaryStarted);
        app()->initialise();
        QCOMPARE(cefApplication::instance(), app());
        QTRY_COMPARE(started.count(), 1);
        QCOMPARE(app()->singleInstance().role(), SingleInstance::Primary);
        QVERIFY(app()->styleSheet().contains("#39a7da"));
        QCOMPARE(workingFolder(), applicationFolder() + '/');
        QCOMPARE(executableFolder(), applicationFolder() + '/');
        // Without a window (this test builds none) there is no device manager.
        QVERIFY(!cefApplication::devices());
        QVERIFY(!app()->mainWindow());
        // Initialisation runs once.
        app()->initialise();
        QCOMPARE(started.count(), 1);
    }

    void browserFlagsKeepTheUsersOwn_data()
    {
        QTest::addColumn<QByteArray>("given");
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QStringList>("absent");
        // As the engine reads it: the quotes keep the V8 flags together.
        const QString lite = QStringLiteral("--js-flags=--lite-mode --no-expose-wasm");
        QStringList ours{lite, "--disable-component-update"};
#ifdef Q_OS_LINUX
        ours << QStringLiteral("--no-unsandboxed-zygote");
#endif
        QTest::newRow("none") << QByteArray() << ours << QStringList{};
        QTest::newRow("other flags") << QByteArray("--foo --disable-component-update")
                                     << QStringList{"--foo", lite} << QStringList{};
        QTest::newRow("own V8 flags") << QByteArray("--js-flags=--expose-gc")
                                      << QStringList{"--js-flags=--expose-gc"} << QStringList{lite};
    }

    // Prepared twice (a restart from the same environment), every flag is
    // there once.
    void browserFlagsKeepTheUsersOwn()
    {
        QFETCH(QByteArray, given);
        QFETCH(QStringList, present);
        QFETCH(QStringList, absent);
        const QByteArray saved = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", given);
        prepareBrowserEnvironment();
        prepareBrowserEnvironment();
        const QStringList flags =
            QProcess::splitCommand(qEnvironmentVariable("QTWEBENGINE_CHROMIUM_FLAGS"));
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", saved);
        const QString all = flags.join(QLatin1String(" | "));
        for (const QString &flag : present)
            QVERIFY2(flags.count(flag) == 1, qPrintable(flag + QLatin1String(" in ") + all));
        for (const QString &flag : absent)
            QVERIFY2(!flags.contains(flag), qPrintable(flag + QLatin1String(" in ") + all));
    }

    // From a program folder that is not the user's, the page's profiles are
    // the user's: read from the program folder until the user's folder holds
    // them, saved only into the user's folder; a mode document that is gone
    // comes back there from the factory profile.
    void theHostKeepsProfilesInTheUsersFolderWhenTheProgramFolderIsShared()
    {
        QTemporaryDir program;
        QTemporaryDir home;
        const auto write = [](const QString &path, const QByteArray &bytes) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile file(path);
            return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
        };
        QVERIFY(write(program.filePath("Resources/packaged"), ""));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("config")));
        setUserFolders(UserFolders::forProgramFolder(program.path()));
        QVERIFY(write(program.filePath("Resources/profiles/configuration.xml"),
                      "<conf><factory/></conf>"));
        QVERIFY(write(program.filePath("Resources/profiles/other.xml"), "<conf><other/></conf>"));
        {
            ClientSettings settings;
            ApplicationHost host(settings);
            QFile modes(home.filePath("config/kelv/view/xml/configuration.xml"));
            QVERIFY(modes.open(QIODevice::ReadOnly));
            QCOMPARE(modes.readAll(), QByteArray("<conf><factory/></conf>"));
            ProfileStore &profiles = host.profiles();
            bool inside = false;
            const QString other = profiles.resolve("Resources/profiles/other.xml", &inside);
            QVERIFY(inside);
            QVERIFY(profiles.load(other));
            QCOMPARE(profiles.text(other), QStringLiteral("<conf><other/></conf>"));
            profiles.store(other, QStringLiteral("<conf><edited/></conf>"));
            QVERIFY(profiles.saveModified());
            QVERIFY(QFile::exists(home.filePath("config/kelv/Resources/profiles/other.xml")));
        }
        QFile untouched(program.filePath("Resources/profiles/other.xml"));
        QVERIFY(untouched.open(QIODevice::ReadOnly));
        QCOMPARE(untouched.readAll(), QByteArray("<conf><other/></conf>"));
        setUserFolders(UserFolders::forProgramFolder(applicationFolder()));
        qunsetenv("XDG_CONFIG_HOME");
    }

    // A quit that would lose edits kelv cannot save asks first (it used to
    // lose them without a word); a quit nobody asked for (a session ending)
    // goes on and says so in the log.
    void aQuitThatWouldLoseEditsAsksFirst()
    {
        test::ScriptedDialogs dialogs;
        Dialogs::install(&dialogs);
        QTemporaryDir dir;
        ProfileStore profiles(dir.path());
        // Nothing to lose: no question.
        QVERIFY(saveBeforeQuit(profiles, nullptr, true, UiLanguage::English));
        const QString saved = dir.filePath(QStringLiteral("saved.xml"));
        profiles.store(saved, QStringLiteral("<conf/>\n"));
        QVERIFY(saveBeforeQuit(profiles, nullptr, true, UiLanguage::English));
        QVERIFY(QFile::exists(saved));
        QVERIFY(dialogs.captions.isEmpty());
        // A profile whose folder went away cannot be saved (as with a full
        // disk, the folder may be written).
        const QString lost = dir.filePath(QStringLiteral("gone/lost.xml"));
        profiles.store(lost, QStringLiteral("<conf/>\n"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot save")));
        QVERIFY(!saveBeforeQuit(profiles, nullptr, true,
                                UiLanguage::English)); // cancelled: no answer given
        QCOMPARE(dialogs.captions, QStringList{QStringLiteral("Changes not saved")});
        QVERIFY2(dialogs.texts.constLast().contains(QDir::toNativeSeparators(dir.path())) &&
                     dialogs.texts.constLast().contains(QStringLiteral("disk full")),
                 qPrintable(dialogs.texts.constLast()));
        QCOMPARE(profiles.modified(), QStringList{lost});
        dialogs.messageAnswers << QMessageBox::Discard;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot save")));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("quitting without the edits")));
        QVERIFY(saveBeforeQuit(profiles, nullptr, true, UiLanguage::English));
        // In the language of the settings.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot save")));
        QVERIFY(!saveBeforeQuit(profiles, nullptr, true, UiLanguage::German));
        QCOMPARE(dialogs.captions.takeLast(), QStringLiteral("Änderungen nicht gespeichert"));
        // Nobody to ask: the quit goes on without a question.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot save")));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("quitting with edits that")));
        QVERIFY(saveBeforeQuit(profiles, nullptr, false, UiLanguage::English));
        QCOMPARE(dialogs.captions.size(), 2);
        // Once it can be saved, the quit asks nothing.
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("gone"))));
        QVERIFY(saveBeforeQuit(profiles, nullptr, true, UiLanguage::English));
        QVERIFY(QFile::exists(lost));
        QCOMPARE(dialogs.captions.size(), 2);
        Dialogs::install(nullptr);
    }

    // A quit during a firmware update says that it waits, in the language the
    // settings name now, although the global language is still the one the
    // update dialog opened with.
    void theQuitNoticesSpeakTheSettingsLanguage()
    {
        setUiLanguage(UiLanguage::English);
        QVERIFY(app()->setClientSetting("language", "de-DE"));
        QCOMPARE(app()->settingsLanguage(), UiLanguage::German);
        test::ScriptedDialogs dialogs;
        Dialogs::install(&dialogs);
        tellQuitWaitsForFirmware(nullptr, app()->settingsLanguage());
        QVERIFY(app()->setClientSetting("language", "zh-TW"));
        tellQuitWaitsForFirmware(nullptr, app()->settingsLanguage());
        QVERIFY(app()->setClientSetting("language", "en"));
        tellQuitWaitsForFirmware(nullptr, app()->settingsLanguage());
        Dialogs::install(nullptr);
        QCOMPARE(dialogs.captions,
                 QStringList({QStringLiteral("Firmware-Update"), QStringLiteral("韌體更新"),
                              QStringLiteral("Firmware update")}));
        QCOMPARE(
            dialogs.texts.constFirst(),
            QStringLiteral("kelv wird beendet, sobald das Firmware-Update abgeschlossen ist."));
        QCOMPARE(dialogs.texts.at(1), QStringLiteral("韌體更新完成後 kelv 將立即關閉。"));
        QCOMPARE(uiLanguage(), UiLanguage::English);
    }

    void quitIsRequestedOnce()
    {
        QVERIFY(!cefApplication::quitRequested());
        QTimer::singleShot(0, [] {
            cefApplication::requestQuit(7);
            cefApplication::requestQuit(0);
            app()->on_closeApp();
        });
        QCOMPARE(app()->exec(), 7);
        QVERIFY(cefApplication::quitRequested());
        QCOMPARE(cefApplication::requestedExitCode(), 7);
    }
};

int main(int argc, char **argv)
{
    QTemporaryDir dir;
    const QString settingsPath = dir.filePath(QStringLiteral("profiles/conf.xml"));
    QDir().mkpath(dir.filePath(QStringLiteral("profiles")));
    QFile file(settingsPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(SettingsText) != SettingsText.size())
        return 2;
    file.close();

    cefApplication::Options options;
    options.serverName = QStringLiteral("kelv-test-") + QUuid::createUuid().toString(QUuid::Id128);
    options.settingsPath = settingsPath;
    options.createWindow = false;
    // The program's own flag sits among the arguments; QtTest gets the rest.
    std::vector<char *> arguments(argv, argv + argc);
    arguments.push_back(const_cast<char *>("-autostart"));
    int count = int(arguments.size());
    cefApplication application(count, arguments.data(), options);
    ClientHandler client;
    TestApplication test(settingsPath);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_application.moc"
