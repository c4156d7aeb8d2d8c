// The settings, system-mouse, window and dialog commands, on a real conf.xml
// in a temporary program folder, a recording host, a GNOME session of the
// test's own (real gsettings and dconf on a private D-Bus session) and
// pre-answered dialogs.

#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "bridge/profile_store.h"
#include "common/app_paths.h"
#include "common/autostart.h"
#include "common/dialogs.h"
#include "common/ui_texts.h"
#include "common/user_folders.h"
#include "common/xml_text.h"
#include "platform/system_mouse.h"
#include "tests/bridge/command_fixture.h"
#include "tests/testsupport/scripted_dialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QScopeGuard>
#include <QTest>

using namespace kelv;
using namespace kelv::test;

namespace {

const QByteArray kConf = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
                         "<!-- client settings -->\r\n"
                         "<root>\r\n"
                         "  <client version=\"1.2\" language=\"de\" showConf=\"Ctrl+Alt+S\" "
                         "testTool=\"Ctrl+Alt+T\" closeFunc=\"closeapp\"/>\r\n"
                         "</root>\r\n";

const QString kNoReply = QStringLiteral("(no reply)");

struct Setup
{
    TempProgramFolder folder{0};
    FakeAppHost host{folder.path()};
    Dispatcher dispatcher;

    explicit Setup(const QByteArray &conf = kConf)
    {
        folder.write(QStringLiteral("Resources/profiles/conf.xml"), conf);
        host.settings.load(confPath());
        registerSettingsCommands(dispatcher, host);
    }
    QString confPath() const
    {
        return folder.filePath(QStringLiteral("Resources/profiles/conf.xml"));
    }
    QByteArray conf() const { return folder.read(QStringLiteral("Resources/profiles/conf.xml")); }
    QSharedPointer<RecordingCallback> operator()(const QByteArray &json) const
    {
        return run(dispatcher, json);
    }
};

// Dialogs that also record the start folder and the parent they were given.
class RecordingDialogs final : public ScriptedDialogs
{
public:
    QStringList folders;
    QList<QWidget *> parents;

    QString getSaveFileName(QWidget *parent, const QString &caption, const QString &dir,
                            const QString &filter) override
    {
        folders << dir;
        parents << parent;
        return ScriptedDialogs::getSaveFileName(parent, caption, dir, filter);
    }
    QString getOpenFileName(QWidget *parent, const QString &caption, const QString &dir,
                            const QString &filter) override
    {
        folders << dir;
        parents << parent;
        return ScriptedDialogs::getOpenFileName(parent, caption, dir, filter);
    }
};

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

    GnomeMouseSettings m_gsettings;

private slots:
    void init();
    void getConfSortsKeysAndAddsHotKeyStates();
    void withoutSettingsNoKeyIsKnown();
    void setConfChangesAttributeAndFile();
    void setConfHotKeyAnswersStateCharacter();
    void setConfUnknownKeyFailsButRewritesFile();
    void setConfAddsThePagesOwnSettings();
    void setConfOnUnparsableSettingsText();
    void setConfWithNulCharacterChangesNothing();
    void setConfOnARepeatedAttributeLastsBeyondARestart();
    void setConfThatCannotWriteFailsAndChangesNothing();
    void setConfThatWouldMakeConfXmlTooLargeChangesNothing();
    void closeAppFollowsCloseFunc();
    void confChangedSavesAndRestartsMonitor();
    void runningBindingsComeFromTheMonitorsLook();
    void applicationCommands();
    void loadurlBuildsFileUrlOfProgramFolder();
    void doubleClickTable_data();
    void doubleClickTable();
    void pointerSpeedMapsOntoGnomeScale_data();
    void pointerSpeedMapsOntoGnomeScale();
    void pointerSpeedOutOfRangeFailsWithoutCall();
    void desktopThatDoesNotKeepTheValueFails();
    void missingToolFails();
    void hungToolIsStoppedAndFails();
    void wheelLinesHaveNoGnomeSetting();
    void systemMouseIsReadBackFromTheDesktop();
    void sessionInfoAndAutostart();
    void programPickedThroughALinkIsBoundByItsTarget();
    void exportNameWithoutSuffixReplacesOnlyWhatTheUserSays();
    void fileDialogsArePreAnswered();
    void openDialogsStartAtHomeWithoutDocuments();
    void saveDialogProposesTheGivenName();
    void everyCommandIsRegistered();
};

// Test bodies are hidden from moc, which cannot read raw strings in macros.
#ifndef Q_MOC_RUN

void TestSettings::init()
{
    m_gsettings.reset();
}

void TestSettings::getConfSortsKeysAndAddsHotKeyStates()
{
    Setup s;
    s.host.showConfRegistered = true;
    s.host.testToolRegistered = false;
    const auto cb = s(R"({"funcname":"getConf"})");
    QVERIFY(cb->ok());
    // Compact, members in ascending order (upper case first), the state
    // characters U+0001 / U+0000 after a comma.
    const ClientSettings::Map values = s.host.settings.values();
    const QString expected =
        QStringLiteral("[{\"IpAddress\":\"%1\",\"MacAddress\":\"%2\",\"closeFunc\":\"closeapp\","
                       "\"language\":\"de\",\"showConf\":\"Ctrl+Alt+S,\\u0001\","
                       "\"testTool\":\"Ctrl+Alt+T,\\u0000\",\"version\":\"1.2\"}]")
            .arg(values.value(QStringLiteral("IpAddress")),
                 values.value(QStringLiteral("MacAddress")));
    QCOMPARE(cb->text(), expected);
    const QJsonObject object =
        QJsonDocument::fromJson(cb->text().toUtf8()).array().at(0).toObject();
    QCOMPARE(object.value(QStringLiteral("showConf")).toString(),
             QStringLiteral("Ctrl+Alt+S,") + QChar(1));
    QCOMPARE(object.value(QStringLiteral("testTool")).toString(),
             QStringLiteral("Ctrl+Alt+T,") + QChar(0));
}

void TestSettings::withoutSettingsNoKeyIsKnown()
{
    // A conf.xml that does not parse, and none at all: no settings.
    for (const bool present : {true, false}) {
        Setup s("not xml");
        if (!present) {
            QVERIFY(QFile::remove(s.confPath()));
            s.host.settings.load(s.confPath());
        }
        QCOMPARE(reply(s(R"({"funcname":"getConf"})")),
                 failure(QStringLiteral("cant find conf.xml")));
        // Every key is unknown, the hot keys' too; nothing is written.
        const QString unknown = failure(QStringLiteral("can't find conf name"));
        QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"language","confValue":"en"})")),
                 unknown);
        QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"showConf","confValue":"Ctrl+Q"})")),
                 unknown);
        QVERIFY(s.host.calls.isEmpty());
        QCOMPARE(QFile::exists(s.confPath()), present);
        if (present)
            QCOMPARE(s.conf(), QByteArray("not xml"));
    }
    // An unknown key whose rewrite cannot be written is still an unknown key.
    Setup s;
    QVERIFY(QFile::remove(s.confPath()));
    QVERIFY(QDir().mkdir(s.confPath()));
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"nonsense","confValue":"1"})")),
             failure(QStringLiteral("can't find conf name")));
}

void TestSettings::setConfChangesAttributeAndFile()
{
    Setup s;
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"language","confValue":"en"})")),
             success(QStringLiteral("modify conf sucess")));
    QCOMPARE(s.host.settings.value(QStringLiteral("language")), QStringLiteral("en"));
    QCOMPARE(
        s.conf(),
        QByteArray("<?xml version=\"1.0\"?>\r\n<root>\r\n\t<client version=\"1.2\" language=\"en\" "
                   "showConf=\"Ctrl+Alt+S\" testTool=\"Ctrl+Alt+T\" closeFunc=\"closeapp\" />\r\n"
                   "</root>\r\n"));
    QVERIFY(s.host.calls.isEmpty());
    // A number member is read as its text.
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"version","confValue":2})")),
             success(QStringLiteral("modify conf sucess")));
    QVERIFY(s.conf().contains("version=\"2\""));
}

void TestSettings::setConfHotKeyAnswersStateCharacter()
{
    Setup s;
    s.host.hotKeyResult = true;
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"showConf","confValue":"Ctrl+Shift+K"})")),
             success(QString(QChar(1))));
    s.host.hotKeyResult = false;
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"testTool","confValue":"Ctrl+F12"})")),
             success(QString(QChar(0))));
    QCOMPARE(s.host.calls, (QStringList{QStringLiteral("hotkey showConf=Ctrl+Shift+K"),
                                        QStringLiteral("hotkey testTool=Ctrl+F12")}));
    QVERIFY(s.conf().contains("showConf=\"Ctrl+Shift+K\" testTool=\"Ctrl+F12\""));
    // getConf then tells the new states.
    const QString conf = s(R"({"funcname":"getConf"})")->text();
    QVERIFY(conf.contains(QStringLiteral("\"showConf\":\"Ctrl+Shift+K,\\u0001\"")));
    QVERIFY(conf.contains(QStringLiteral("\"testTool\":\"Ctrl+F12,\\u0000\"")));
}

void TestSettings::setConfUnknownKeyFailsButRewritesFile()
{
    Setup s;
    const ClientSettings::Map before = s.host.settings.values();
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"nonsense","confValue":"1"})")),
             failure(QStringLiteral("can't find conf name")));
    QCOMPARE(s.host.settings.values(), before);
    // The file is re-serialised all the same: comment and encoding gone.
    QCOMPARE(
        s.conf(),
        QByteArray("<?xml version=\"1.0\"?>\r\n<root>\r\n\t<client version=\"1.2\" language=\"de\" "
                   "showConf=\"Ctrl+Alt+S\" testTool=\"Ctrl+Alt+T\" closeFunc=\"closeapp\" />\r\n"
                   "</root>\r\n"));
}

void TestSettings::setConfAddsThePagesOwnSettings()
{
    // A conf.xml written before the page kept whether to list the simulated
    // mouse: the setting is added, kept, and read back like the others.
    Setup s;
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"simulatedMouse","confValue":"hidden"})")),
             success(QStringLiteral("modify conf sucess")));
    QCOMPARE(s.host.settings.value(QStringLiteral("simulatedMouse")), QStringLiteral("hidden"));
    QVERIFY2(s.conf().contains("closeFunc=\"closeapp\" simulatedMouse=\"hidden\""),
             s.conf().constData());
    QVERIFY(reply(s(R"({"funcname":"getConf"})"))
                .contains(QStringLiteral("\"simulatedMouse\":\"hidden\"")));
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"simulatedMouse","confValue":"alone"})")),
             success(QStringLiteral("modify conf sucess")));
    QCOMPARE(s.conf().count("simulatedMouse="), 1);
    ClientSettings again;
    again.load(s.confPath());
    QCOMPARE(again.value(QStringLiteral("simulatedMouse")), QStringLiteral("alone"));
    // Any other key the file lacks is still refused.
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"nonsense","confValue":"1"})")),
             failure(QStringLiteral("can't find conf name")));
    QVERIFY(!s.conf().contains("nonsense"));
}

void TestSettings::setConfOnUnparsableSettingsText()
{
    Setup s;
    s.host.settings.setText(QStringLiteral("<root><client language=\"de\"></root>"));
    const QString unreadable =
        failure(QStringLiteral("modify conf failed: conf.xml cannot be read"));
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"language","confValue":"fr"})")),
             unreadable);
    // Nothing changed: memory and disk still agree.
    QCOMPARE(s.host.settings.value(QStringLiteral("language")), QStringLiteral("de"));
    QCOMPARE(s.conf(), kConf);
    // The hot key stays with the setting it belongs to.
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"showConf","confValue":"Ctrl+Q"})")),
             unreadable);
    QVERIFY(s.host.calls.isEmpty());
    QCOMPARE(s.conf(), kConf);
    // Missing members: nothing at all.
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"showConf"})")), kNoReply);
    QVERIFY(s.host.calls.isEmpty());
}

void TestSettings::setConfWithNulCharacterChangesNothing()
{
    // An XML attribute can hold no NUL character: written as it stands, the
    // name or value would end there, and conf.xml would name another setting
    // or keep another value than the program goes on with.
    Setup s;
    const ClientSettings::Map before = s.host.settings.values();
    QCOMPARE(
        reply(s(R"({"funcname":"setConf","confKey":"showConf\u0000x","confValue":"Ctrl+F1"})")),
        failure(QStringLiteral("can't find conf name")));
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"language","confValue":"en\u0000x"})")),
             failure(QStringLiteral("modify conf failed: the value cannot be stored")));
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"testTool","confValue":"F9\u0000"})")),
             failure(QStringLiteral("modify conf failed: the value cannot be stored")));
    QCOMPARE(s.host.settings.values(), before);
    QVERIFY(s.host.calls.isEmpty());
    ClientSettings stored;
    stored.load(s.confPath());
    QCOMPARE(stored.values(), before);
}

void TestSettings::setConfOnARepeatedAttributeLastsBeyondARestart()
{
    // A hand-edited conf.xml naming a setting twice: the later one counts,
    // and a change reaches it, so the change is still there after the next
    // start.
    Setup s(QByteArray(kConf).replace("language=\"de\"", "language=\"fr\" language=\"de\""));
    QCOMPARE(s.host.settings.value(QStringLiteral("language")), QStringLiteral("de"));
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"language","confValue":"en"})")),
             success(QStringLiteral("modify conf sucess")));
    ClientSettings next;
    next.load(s.confPath());
    QCOMPARE(next.value(QStringLiteral("language")), QStringLiteral("en"));
}

void TestSettings::setConfThatCannotWriteFailsAndChangesNothing()
{
    // conf.xml cannot be replaced (here a folder took its name; a full disk
    // acts the same): the page hears the failure and the setting stays as
    // the file last had it.
    Setup s;
    QVERIFY(QFile::remove(s.confPath()));
    QVERIFY(QDir().mkdir(s.confPath()));
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"language","confValue":"en"})")),
             failure(QStringLiteral("modify conf failed: conf.xml could not be written")));
    QCOMPARE(s.host.settings.value(QStringLiteral("language")), QStringLiteral("de"));
    QVERIFY(s.host.settings.text().contains(QStringLiteral("language=\"de\"")));
    QVERIFY(QFileInfo(s.confPath()).isDir());
    // A hot key answers the same way.
    QCOMPARE(reply(s(R"({"funcname":"setConf","confKey":"showConf","confValue":"Ctrl+Q"})")),
             failure(QStringLiteral("modify conf failed: conf.xml could not be written")));
    QCOMPARE(s.host.settings.value(QStringLiteral("showConf")), QStringLiteral("Ctrl+Alt+S"));
    QVERIFY(s.host.calls.isEmpty());
}

void TestSettings::setConfThatWouldMakeConfXmlTooLargeChangesNothing()
{
    // conf.xml is read with the profile size bound: a value that would make
    // it larger (the next start could not read any setting) is refused.
    Setup s;
    const QByteArray before = s.conf();
    auto set = [&](const QString &key, qsizetype length) {
        return reply(s(QJsonDocument(QJsonObject{{"funcname", "setConf"},
                                                 {"confKey", key},
                                                 {"confValue", QString(length, QLatin1Char('x'))}})
                           .toJson(QJsonDocument::Compact)));
    };
    const QString tooLong = failure(QStringLiteral("modify conf failed: the value is too long"));
    QCOMPARE(set(QStringLiteral("language"), kMaxProfileBytes), tooLong);
    QCOMPARE(set(QStringLiteral("showConf"), kMaxProfileBytes), tooLong);
    QCOMPARE(s.conf(), before);
    QCOMPARE(s.host.settings.value(QStringLiteral("language")), QStringLiteral("de"));
    QVERIFY(s.host.calls.isEmpty());
    // Within the bound it is stored, and read again by the next start.
    QCOMPARE(set(QStringLiteral("language"), kMaxProfileBytes - 1000),
             success("modify conf sucess"));
    ClientSettings next;
    next.load(s.confPath());
    QCOMPARE(next.value(QStringLiteral("language")).size(), kMaxProfileBytes - 1000);
}

void TestSettings::closeAppFollowsCloseFunc()
{
    {
        Setup s;
        s.folder.write(QStringLiteral("p.xml"), "<p/>");
        s.host.profiles().load(s.folder.filePath(QStringLiteral("p.xml")));
        s.host.profiles().store(s.folder.filePath(QStringLiteral("p.xml")),
                                QStringLiteral("<q/>\n"));
        QCOMPARE(reply(s(R"({"funcname":"closeApp"})")),
                 success(QStringLiteral("modify conf sucess")));
        QCOMPARE(s.host.calls, QStringList{QStringLiteral("quit")});
        QCOMPARE(s.folder.read(QStringLiteral("p.xml")), QByteArray("<q/>\r\n"));
    }
    {
        Setup s(QByteArray(kConf).replace("closeapp", "hide"));
        QCOMPARE(reply(s(R"({"funcname":"closeApp"})")),
                 success(QStringLiteral("modify conf sucess")));
        QCOMPARE(s.host.calls, QStringList{QStringLiteral("hide")});
    }
    {
        Setup s(QByteArray(kConf).replace("closeFunc=\"closeapp\"", ""));
        QCOMPARE(reply(s(R"({"funcname":"closeApp"})")),
                 success(QStringLiteral("modify conf sucess")));
        QVERIFY(s.host.calls.isEmpty());
    }
}

void TestSettings::confChangedSavesAndRestartsMonitor()
{
    Setup s;
    const QString profile = s.folder.write(QStringLiteral("view/xml/configuration.xml"), "<conf/>");
    QVERIFY(s.host.profiles().load(profile));
    s.host.profiles().store(profile, QStringLiteral("<conf a=\"1\" />\n"));
    s.host.monitorExists = false;
    QCOMPARE(reply(s(R"({"funcname":"confChanged"})")), kNoReply);
    QVERIFY(s.host.calls.isEmpty());
    QCOMPARE(s.folder.read(QStringLiteral("view/xml/configuration.xml")), QByteArray("<conf/>"));
    s.host.monitorExists = true;
    QCOMPARE(reply(s(R"({"funcname":"confChanged"})")), success(QStringLiteral("confChanged")));
    QCOMPARE(s.host.calls, QStringList{QStringLiteral("restartMonitor")});
    QCOMPARE(s.folder.read(QStringLiteral("view/xml/configuration.xml")),
             QByteArray("<conf a=\"1\" />\r\n"));
}

void TestSettings::runningBindingsComeFromTheMonitorsLook()
{
    Setup s;
    // Answered when the monitor has looked (from the event loop), not at once.
    const auto later = [&s] {
        const auto cb = s(R"({"funcname":"getRunningBindings"})");
        if (cb->answered())
            return QStringLiteral("(answered at once)");
        if (!QTest::qWaitFor([&cb] { return cb->answered(); }))
            return QStringLiteral("(no reply in time)");
        return reply(cb);
    };
    s.host.runningModes = QStringList{QStringLiteral("2"), QStringLiteral("10")};
    QCOMPARE(later(), success(QStringLiteral(R"(["2","10"])")));
    s.host.runningModes.clear();
    QCOMPARE(later(), success(QStringLiteral("[]")));
    s.host.lookKnown = false;
    QCOMPARE(later(), failure(QStringLiteral(
                          "getRunningBindings failed: the running programs cannot be read")));
    s.host.monitorExists = false;
    QCOMPARE(reply(s(R"({"funcname":"getRunningBindings"})")),
             failure(QStringLiteral("getRunningBindings failed: no program monitor")));
    QCOMPARE(s.host.calls, QStringList(3, QStringLiteral("whenProgramsLooked")));
}

void TestSettings::applicationCommands()
{
    Setup s;
    s.host.recordingResult = false;
    QCOMPARE(reply(s(R"({"funcname":"checkUpdate"})")),
             success(QStringLiteral("checkUpdate success")));
    // The recorder answers once it has started (or could not) and stopped.
    auto later = [&s](const QByteArray &json) {
        const auto cb = s(json);
        if (cb->answered())
            return QStringLiteral("(answered at once)");
        if (!QTest::qWaitFor([&cb] { return cb->answered(); }))
            return QStringLiteral("(no reply in time)");
        return reply(cb);
    };
    QCOMPARE(later(R"({"funcname":"startRecord"})"),
             failure(QStringLiteral("startRecord failed: no display")));
    QCOMPARE(later(R"({"funcname":"stopRecord"})"), success(QStringLiteral("stopRecord success")));
    s.host.recordingResult = true;
    QCOMPARE(later(R"({"funcname":"startRecord"})"),
             success(QStringLiteral("startRecord success!")));
    s.host.calls.removeLast();
    QCOMPARE(reply(s(R"({"funcname":"goback"})")), success(QStringLiteral("goback")));
    QCOMPARE(reply(s(R"({"funcname":"goforward"})")), success(QStringLiteral("goforward")));
    QCOMPARE(reply(s(R"({"funcname":"openUrl","url":"https://example.invalid/a b?q=1"})")),
             success(QStringLiteral("open successed")));
    QCOMPARE(reply(s(R"({"funcname":"openUrl"})")), kNoReply);
    QCOMPARE(reply(s(R"({"funcname":"loadurl","url":"/view/index.html?x=1#top"})")), kNoReply);
    QCOMPARE(reply(s(R"({"funcname":"loadurl"})")), kNoReply);
    const QString folder = QDir::fromNativeSeparators(QCoreApplication::applicationDirPath());
    QCOMPARE(
        s.host.calls,
        (QStringList{
            QStringLiteral("checkForUpdates true"), QStringLiteral("startRecording"),
            QStringLiteral("stopRecording"), QStringLiteral("back"), QStringLiteral("forward"),
            QStringLiteral("openUrl https://example.invalid/a b?q=1"),
            QStringLiteral("load file://") + folder + QStringLiteral("/view/index.html?x=1#top")}));
}

void TestSettings::loadurlBuildsFileUrlOfProgramFolder()
{
    Setup s;
    s(R"({"funcname":"loadurl","url":"/view/index.html"})");
    QCOMPARE(s.host.calls.size(), 1);
    const QUrl url(s.host.calls.first().mid(5));
    QVERIFY(url.isLocalFile());
    QCOMPARE(url.toLocalFile(),
             QCoreApplication::applicationDirPath() + QStringLiteral("/view/index.html"));
    // A program folder whose name holds what an address gives a meaning to
    // still names the page in it; the url's own query and fragment stay.
    const QString folder = QStringLiteral("/opt/C# 100%?/kelv");
    const QUrl page = programFolderUrl(folder, QStringLiteral("/view/index.html?x=1#top"));
    QCOMPARE(page.toLocalFile(), folder + QStringLiteral("/view/index.html"));
    QCOMPARE(page.query(), QStringLiteral("x=1"));
    QCOMPARE(page.fragment(), QStringLiteral("top"));
    // A Windows folder gets the third slash before its drive.
    QCOMPARE(programFolderUrl(QStringLiteral("C:/Programme/C#"), QStringLiteral("/view/a.html"))
                 .toString(QUrl::FullyEncoded),
             QStringLiteral("file:///C:/Programme/C%23/view/a.html"));
}

void TestSettings::doubleClickTable_data()
{
    QTest::addColumn<QByteArray>("position");
    QTest::addColumn<QString>("milliseconds");
    QTest::newRow("0") << QByteArray("0") << QStringLiteral("970");
    QTest::newRow("1") << QByteArray("1") << QStringLiteral("900");
    QTest::newRow("5 as text") << QByteArray("\"5\"") << QStringLiteral("620");
    QTest::newRow("10") << QByteArray("10") << QStringLiteral("270");
    QTest::newRow("11") << QByteArray("11") << QStringLiteral("200");
    QTest::newRow("2.6 rounds to 3") << QByteArray("2.6") << QStringLiteral("760");
    QTest::newRow("12") << QByteArray("12") << QString();
    QTest::newRow("-1") << QByteArray("-1") << QString();
    QTest::newRow("1e19 is beyond the table, not 0") << QByteArray("1e19") << QString();
    QTest::newRow("a text beyond 64 bits") << QByteArray("\"18446744073709551616\"") << QString();
    QTest::newRow("null reads 0") << QByteArray("null") << QStringLiteral("970");
    QTest::newRow("hex text reads 0") << QByteArray("\"0x3\"") << QStringLiteral("970");
    // An empty text names no position.
    QTest::newRow("empty text") << QByteArray("\"\"") << QString();
    QTest::newRow("blank text") << QByteArray("\"  \"") << QString();
}

void TestSettings::doubleClickTable()
{
    QFETCH(QByteArray, position);
    QFETCH(QString, milliseconds);
    Setup s;
    const auto cb = s(R"({"funcname":"modifyMouseDoubleClick","position":)" + position + "}");
    if (milliseconds.isEmpty()) {
        QCOMPARE(reply(cb), failure(QStringLiteral("modifyMouseDoubleClick failed")));
        QCOMPARE(m_gsettings.stored(QStringLiteral("double-click")), QString()); // untouched
    } else {
        QCOMPARE(reply(cb), success(QStringLiteral("modifyMouseDoubleClick success")));
        QCOMPARE(m_gsettings.stored(QStringLiteral("double-click")), milliseconds);
    }
}

void TestSettings::pointerSpeedMapsOntoGnomeScale_data()
{
    QTest::addColumn<int>("speed");
    QTest::addColumn<QString>("value");
    QTest::newRow("1") << 1 << QStringLiteral("-1.0");
    QTest::newRow("4") << 4 << QString::number(-6.0 / 9.0, 'g', 17);
    QTest::newRow("10") << 10 << QStringLiteral("0.0");
    QTest::newRow("15") << 15 << QStringLiteral("0.5");
    QTest::newRow("20") << 20 << QStringLiteral("1.0");
}

void TestSettings::pointerSpeedMapsOntoGnomeScale()
{
    QFETCH(int, speed);
    QFETCH(QString, value);
    Setup s;
    QCOMPARE(reply(s(QStringLiteral(R"({"funcname":"modifyMouseSpeed","speednum":%1})")
                         .arg(speed)
                         .toUtf8())),
             success(QStringLiteral("modifyMouseSpeed success")));
    QCOMPARE(m_gsettings.stored(QStringLiteral("speed")).toDouble(), value.toDouble());
}

void TestSettings::pointerSpeedOutOfRangeFailsWithoutCall()
{
    Setup s;
    for (const char *json : {R"({"funcname":"modifyMouseSpeed","speednum":0})",
                             R"({"funcname":"modifyMouseSpeed","speednum":21})",
                             R"({"funcname":"modifyMouseSpeed","speednum":"x"})"})
        QCOMPARE(reply(s(json)), failure(QStringLiteral("modifyMouseSpeed failed")));
    QCOMPARE(m_gsettings.stored(QStringLiteral("speed")), QString());
    QCOMPARE(reply(s(R"({"funcname":"modifyMouseSpeed"})")), kNoReply);
}

void TestSettings::desktopThatDoesNotKeepTheValueFails()
{
    Setup s;
    // No session bus: gsettings keeps the value in memory and exits with 0,
    // but the desktop's store never gets it.
    const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kelv-bus");
    const auto click = s(R"({"funcname":"modifyMouseDoubleClick","position":3})");
    const auto speed = s(R"({"funcname":"modifyMouseSpeed","speednum":12})");
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
    QCOMPARE(reply(click), failure(QStringLiteral("modifyMouseDoubleClick failed")));
    QCOMPARE(reply(speed), failure(QStringLiteral("modifyMouseSpeed failed")));
    QCOMPARE(m_gsettings.stored(QStringLiteral("double-click")), QString());
    // A desktop without such settings.
    m_gsettings.session().setDesktop(QStringLiteral("LXQt"));
    QCOMPARE(reply(s(R"({"funcname":"modifyMouseDoubleClick","position":3})")),
             failure(QStringLiteral("modifyMouseDoubleClick failed")));
    QCOMPARE(m_gsettings.stored(QStringLiteral("double-click")), QString());
}

void TestSettings::missingToolFails()
{
    Setup s;
    QTemporaryDir empty;
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(empty.path()));
    const auto speed = s(R"({"funcname":"modifyMouseSpeed","speednum":12})");
    const auto click = s(R"({"funcname":"modifyMouseDoubleClick","position":0})");
    qputenv("PATH", path);
    QCOMPARE(reply(speed), failure(QStringLiteral("modifyMouseSpeed failed")));
    QCOMPARE(reply(click), failure(QStringLiteral("modifyMouseDoubleClick failed")));
}

void TestSettings::hungToolIsStoppedAndFails()
{
    // A gsettings that hangs (a stuck session) is stopped; one whose helper
    // keeps its output open is still read to its exit.
    QTemporaryDir tools;
    const QString gsettings = tools.filePath(QStringLiteral("gsettings"));
    const auto writeTool = [&](const QByteArray &script) {
        QFile file(gsettings);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(script);
        file.close();
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    };
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(tools.path()) + ':' + path);
    writeTool("#!/bin/sh\nexec sleep 60\n");
    QElapsedTimer timer;
    timer.start();
    const bool hung = platform::setDoubleClickTime(500);
    const qint64 elapsed = timer.elapsed();
    writeTool("#!/bin/sh\nsleep 3 &\nexec /usr/bin/gsettings \"$@\"\n");
    const bool lingering = platform::setDoubleClickTime(480);
    qputenv("PATH", path);
    QVERIFY(!hung);
    QVERIFY2(elapsed < 30000, "the hung tool was not stopped");
    QVERIFY(lingering);
    QCOMPARE(m_gsettings.stored(QStringLiteral("double-click")), QStringLiteral("480"));
}

void TestSettings::wheelLinesHaveNoGnomeSetting()
{
    Setup s;
    QCOMPARE(reply(s(R"({"funcname":"modifyMouseScrollLines","linenum":3})")),
             failure(QStringLiteral("modifyMouseScrollLines failed")));
    QCOMPARE(reply(s(R"({"funcname":"modifyMouseScrollLines"})")), kNoReply);
    // Plasma keeps the lines per notch.
    m_gsettings.session().setDesktop(QStringLiteral("KDE"));
    QCOMPARE(reply(s(R"({"funcname":"modifyMouseScrollLines","linenum":4})")),
             success(QStringLiteral("modifyMouseScrollLines success")));
    QCOMPARE(m_gsettings.session().kdeConfig(QStringLiteral("kdeglobals"), {QStringLiteral("KDE")},
                                             QStringLiteral("WheelScrollLines")),
             QStringLiteral("4"));
}

void TestSettings::systemMouseIsReadBackFromTheDesktop()
{
    Setup s;
    // The answer comes from a worker thread, once the tools have answered.
    const auto read = [&] {
        const auto cb = s(R"({"funcname":"getSystemMouse"})");
        if (!QTest::qWaitFor([&] { return cb->answered(); }, 10000))
            return QStringLiteral("(no reply in 10 s)");
        return reply(cb);
    };
    // Never set: GNOME's own defaults, not what kelv would set.
    QCOMPARE(read(), success(R"({"doubleClick":400,"pointerSpeed":10,"scrollLines":null})"));
    // Changed in GNOME's own settings (its tool, its store): shown as it is.
    DesktopSession::run(QStringLiteral("gsettings"),
                        {QStringLiteral("set"),
                         QStringLiteral("org.gnome.desktop.peripherals.mouse"),
                         QStringLiteral("double-click"), QStringLiteral("444")});
    QCOMPARE(read(), success(R"({"doubleClick":444,"pointerSpeed":10,"scrollLines":null})"));
    QCOMPARE(reply(s(R"({"funcname":"modifyMouseSpeed","speednum":15})")),
             success(QStringLiteral("modifyMouseSpeed success")));
    QCOMPARE(read(), success(R"({"doubleClick":444,"pointerSpeed":15,"scrollLines":null})"));
    // MATE's "system default" acceleration is no number on the scale.
    m_gsettings.session().setDesktop(QStringLiteral("MATE"));
    QCOMPARE(read(), success(R"({"doubleClick":400,"pointerSpeed":"default","scrollLines":null})"));
    // A desktop without these settings: nothing to show.
    m_gsettings.session().setDesktop(QStringLiteral("LXQt"));
    QCOMPARE(read(), success(R"({"doubleClick":null,"pointerSpeed":null,"scrollLines":null})"));
}

void TestSettings::sessionInfoAndAutostart()
{
    Setup s;
    const QString entry =
        m_gsettings.session().configFolder() + QStringLiteral("/autostart/kelv.desktop");
    QFile::remove(entry);
    const auto info = [&s] {
        return QJsonDocument::fromJson(reply(s(R"({"funcname":"getSessionInfo"})")).mid(9).toUtf8())
            .object();
    };
    QJsonObject object = info();
    QCOMPARE(object.value(QStringLiteral("autostart")).toBool(), false);
    QCOMPARE(object.value(QStringLiteral("desktop")).toString(), QStringLiteral("GNOME"));
    // Not a Wayland session: the recorder keeps the system scope, hot keys
    // come from the window system.
    QVERIFY(object.value(QStringLiteral("session")).toString() != QLatin1String("wayland"));
    QCOMPARE(object.value(QStringLiteral("recordScope")).toString(), QStringLiteral("system"));
    QCOMPARE(object.value(QStringLiteral("hotKeys")).toString(), QStringLiteral("system"));
    // Whether closing can hide the window in a tray.
    QCOMPARE(object.value(QStringLiteral("tray")).toBool(), true);
    s.host.tray = false;
    QCOMPARE(info().value(QStringLiteral("tray")).toBool(), false);
    // Whether the asking page is the main window's (the popup's is not).
    QCOMPARE(object.value(QStringLiteral("mainPage")).toBool(), true);
    // Whether this is the package's build: its program folder holds the marker.
    QCOMPARE(object.value(QStringLiteral("packaged")), QJsonValue(false));
    const auto programFolders =
        qScopeGuard([] { setUserFolders(UserFolders::forProgramFolder(applicationFolder())); });
    s.folder.write(UserFolders::packagedMarker(), QByteArray());
    setUserFolders(UserFolders::forProgramFolder(s.folder.path()));
    QCOMPARE(info().value(QStringLiteral("packaged")), QJsonValue(true));
    s.host.mainPage = false;
    QCOMPARE(info().value(QStringLiteral("mainPage")).toBool(true), false);
    // GNOME keeps the pointer speed and the double-click time, not wheel lines;
    // a desktop the program does not know lets it change none of them.
    const auto changeable = [&info] {
        const QJsonObject mouse = info().value(QStringLiteral("systemMouse")).toObject();
        return QList<bool>{mouse.value(QStringLiteral("pointerSpeed")).toBool(true),
                           mouse.value(QStringLiteral("scrollLines")).toBool(true),
                           mouse.value(QStringLiteral("doubleClick")).toBool(true)};
    };
    QCOMPARE(changeable(), (QList<bool>{true, false, true}));
    m_gsettings.session().setDesktop(QStringLiteral("LXQt"));
    QCOMPARE(changeable(), (QList<bool>{false, false, false}));
    m_gsettings.session().setDesktop(QStringLiteral("GNOME"));

    QCOMPARE(reply(s(R"({"funcname":"setAutostart","enabled":1})")), success(QStringLiteral("1")));
    QFile file(entry);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    file.close();
    QVERIFY2(text.contains(QStringLiteral("\nExec=") +
                           Autostart::execArgument(QCoreApplication::applicationFilePath()) +
                           QStringLiteral(" -autostart\n")),
             qPrintable(text));
    QCOMPARE(info().value(QStringLiteral("autostart")).toBool(), true);

    // Switched off in the desktop's own start-up settings: off on the page
    // too, until the page switches it on again.
    QVERIFY(file.open(QIODevice::Append));
    file.write("Hidden=true\n");
    file.close();
    QCOMPARE(info().value(QStringLiteral("autostart")).toBool(), false);
    QCOMPARE(reply(s(R"({"funcname":"setAutostart","enabled":1})")), success(QStringLiteral("1")));

    QCOMPARE(reply(s(R"({"funcname":"setAutostart","enabled":0})")), success(QStringLiteral("0")));
    QVERIFY(!QFile::exists(entry));
    QCOMPARE(info().value(QStringLiteral("autostart")).toBool(), false);
    QCOMPARE(reply(s(R"({"funcname":"setAutostart"})")), kNoReply);

    // JSON booleans say what they mean.
    QCOMPARE(reply(s(R"({"funcname":"setAutostart","enabled":true})")),
             success(QStringLiteral("1")));
    QVERIFY(QFile::exists(entry));
    QCOMPARE(reply(s(R"({"funcname":"setAutostart","enabled":false})")),
             success(QStringLiteral("0")));
    QVERIFY(!QFile::exists(entry));

    // A folder that cannot hold the entry: the failure says why.
    QVERIFY(QDir(m_gsettings.session().configFolder() + QStringLiteral("/autostart"))
                .removeRecursively());
    QFile blocker(m_gsettings.session().configFolder() + QStringLiteral("/autostart"));
    QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where the folder belongs
    blocker.close();
    const QString failed = reply(s(R"({"funcname":"setAutostart","enabled":1})"));
    QFile::remove(blocker.fileName());
    QVERIFY2(failed.startsWith(failure(QStringLiteral("setAutostart failed: cannot create"))),
             qPrintable(failed));
}

void TestSettings::programPickedThroughALinkIsBoundByItsTarget()
{
    Setup s;
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("game"));
    QFile program(target);
    QVERIFY(program.open(QIODevice::WriteOnly));
    program.close();
    QVERIFY(QFile::link(target, dir.filePath(QStringLiteral("Game link"))));
    ScriptedDialogs dialogs;
    Dialogs::install(&dialogs);
    dialogs.fileAnswers = QStringList{dir.filePath(QStringLiteral("Game link")),
                                      dir.filePath(QStringLiteral("missing"))};
    const auto linked = s(R"({"funcname":"openFileDialogExe"})");
    const auto missing = s(R"({"funcname":"openFileDialogExe"})");
    Dialogs::install(nullptr);
    QCOMPARE(reply(linked), success(QFileInfo(target).canonicalFilePath()));
    QCOMPARE(reply(missing), success(dir.filePath(QStringLiteral("missing"))));
}

// A name typed without ".pfd" in the save dialog: the export goes to the name
// with it, and a file there is replaced only when the user says so.
void TestSettings::exportNameWithoutSuffixReplacesOnlyWhatTheUserSays()
{
    Setup s;
    QTemporaryDir dir;
    QFile kept(dir.filePath(QStringLiteral("Keep.pfd")));
    QVERIFY(kept.open(QIODevice::WriteOnly));
    kept.close();
    ScriptedDialogs dialogs;
    Dialogs::install(&dialogs);
    dialogs.fileAnswers =
        QStringList{dir.filePath(QStringLiteral("New")), dir.filePath(QStringLiteral("Keep")),
                    dir.filePath(QStringLiteral("Keep")), dir.filePath(QStringLiteral("Keep.PFD"))};
    dialogs.messageAnswers = {QMessageBox::No, QMessageBox::Yes};
    const auto fresh = s(R"({"funcname":"saveFileDialog"})");
    const auto refused = s(R"({"funcname":"saveFileDialog"})");
    const auto replaced = s(R"({"funcname":"saveFileDialog"})");
    const auto typedWithSuffix = s(R"({"funcname":"saveFileDialog"})");
    Dialogs::install(nullptr);
    QCOMPARE(reply(fresh), success(dir.filePath(QStringLiteral("New.pfd"))));
    QCOMPARE(reply(refused), kNoReply);
    QCOMPARE(reply(replaced), success(dir.filePath(QStringLiteral("Keep.pfd"))));
    QCOMPARE(reply(typedWithSuffix), success(dir.filePath(QStringLiteral("Keep.PFD"))));
    // Asked twice, about the file that exists, never about a new name.
    QCOMPARE(
        dialogs.texts,
        QStringList(2, QStringLiteral("Keep.pfd already exists.\nDo you want to replace it?")));

    // The question is the file dialog's own, in the language chosen.
    QVERIFY(useQtTranslations(UiLanguage::German));
    const auto english = qScopeGuard([] { useQtTranslations(UiLanguage::English); });
    ScriptedDialogs german;
    Dialogs::install(&german);
    german.fileAnswers = QStringList{dir.filePath(QStringLiteral("Keep"))};
    german.messageAnswers = {QMessageBox::No};
    const auto refusedInGerman = s(R"({"funcname":"saveFileDialog"})");
    Dialogs::install(nullptr);
    QCOMPARE(reply(refusedInGerman), kNoReply);
    QCOMPARE(german.texts,
             QStringList(QStringLiteral(
                 "Die Datei Keep.pfd existiert bereits.\nSoll sie überschrieben werden?")));
}

void TestSettings::fileDialogsArePreAnswered()
{
    Setup s;
    QWidget *parent = reinterpret_cast<QWidget *>(quintptr(0x1000)); // only passed through
    s.host.parentWidget = parent;
    RecordingDialogs dialogs;
    Dialogs::install(&dialogs);
    dialogs.fileAnswers =
        QStringList{QStringLiteral("/home/u/Documents/a.pfd"), QStringLiteral("/home/u/b.pfd"),
                    QStringLiteral("/usr/bin/game")};
    const auto save = s(R"({"funcname":"saveFileDialog"})");
    const auto open = s(R"({"funcname":"openFileDialog"})");
    const auto exe = s(R"({"funcname":"openFileDialogExe"})");
    // Cancelled dialogs (empty answers) get no reply.
    const auto cancelled = s(R"({"funcname":"openFileDialog"})");
    const auto cancelledExe = s(R"({"funcname":"openFileDialogExe"})");
    const auto cancelledSave = s(R"({"funcname":"saveFileDialog"})");
    Dialogs::install(nullptr);

    QCOMPARE(reply(save), success(QStringLiteral("/home/u/Documents/a.pfd")));
    QCOMPARE(reply(open), success(QStringLiteral("/home/u/b.pfd")));
    QCOMPARE(reply(exe), success(QDir::toNativeSeparators(QStringLiteral("/usr/bin/game"))));
    QCOMPARE(reply(cancelled), kNoReply);
    QCOMPARE(reply(cancelledExe), kNoReply);
    QCOMPARE(reply(cancelledSave), kNoReply);
    QCOMPARE(dialogs.captions,
             (QStringList{QStringLiteral("SaveFileDialog"), QStringLiteral("OpenFileDialog"),
                          QStringLiteral("OpenFileDialog"), QStringLiteral("OpenFileDialog"),
                          QStringLiteral("OpenFileDialog"), QStringLiteral("SaveFileDialog")}));
    QCOMPARE(dialogs.filters,
             (QStringList{QStringLiteral("pfd(*.pfd)"), QStringLiteral("pfd(*.pfd)"),
                          QStringLiteral("(*)"), QStringLiteral("pfd(*.pfd)"),
                          QStringLiteral("(*)"), QStringLiteral("pfd(*.pfd)")}));
    // Every dialog starts in the documents folder (the home folder while
    // there is none); the save dialog names no file, where the folder's own
    // name used to be proposed.
    const QString documents = QDir::homePath() + QStringLiteral("/Documents");
    const QString start = QDir(documents).exists() ? documents : QDir::homePath();
    QCOMPARE(dialogs.folders.size(), 6);
    for (int i : {1, 2, 3, 4})
        QCOMPARE(dialogs.folders.at(i), start);
    QCOMPARE(dialogs.folders.at(0), start + QLatin1Char('/'));
    QCOMPARE(dialogs.folders.at(5), start + QLatin1Char('/'));
    for (QWidget *p : std::as_const(dialogs.parents))
        QCOMPARE(p, parent);
}

// A home without a documents folder (a fresh account): the open dialogs
// start in the home folder, where a missing "Documents" used to be put into
// the file name field as the file to open.
void TestSettings::openDialogsStartAtHomeWithoutDocuments()
{
    Setup s;
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home.path()));
    RecordingDialogs dialogs;
    Dialogs::install(&dialogs);
    s(R"({"funcname":"openFileDialog"})");
    s(R"({"funcname":"openFileDialogExe"})");
    s(R"({"funcname":"saveFileDialog"})");
    QVERIFY(QDir(home.path()).mkdir(QStringLiteral("Documents")));
    s(R"({"funcname":"openFileDialog"})");
    s(R"({"funcname":"openFileDialogExe"})");
    Dialogs::install(nullptr);
    qputenv("HOME", oldHome);
    const QString documents = home.path() + QStringLiteral("/Documents");
    QCOMPARE(dialogs.folders, (QStringList{home.path(), home.path(), home.path() + QLatin1Char('/'),
                                           documents, documents}));
}

void TestSettings::saveDialogProposesTheGivenName()
{
    Setup s;
    RecordingDialogs dialogs;
    Dialogs::install(&dialogs);
    const QString documents = QDir::homePath() + QStringLiteral("/Documents");
    const bool hadDocuments = QDir(documents).exists();
    QVERIFY(QDir().mkpath(documents));
    s(R"({"funcname":"saveFileDialog","fileName":"Fast mode.pfd"})");
    // What a file name cannot hold becomes "_"; no hidden file, no trailing dots.
    s(R"({"funcname":"saveFileDialog","fileName":"..a/b\\c:d*e?f\"g<h>i|j\u0007 . "})");
    s(R"({"funcname":"saveFileDialog","fileName":"Стрельба 射击.pfd"})");
    Dialogs::install(nullptr);
    if (!hadDocuments)
        QDir(documents).removeRecursively();
    QCOMPARE(dialogs.folders, (QStringList{documents + QStringLiteral("/Fast mode.pfd"),
                                           documents + QStringLiteral("/a_b_c_d_e_f_g_h_i_j_"),
                                           documents + QStringLiteral("/Стрельба 射击.pfd")}));
}

void TestSettings::everyCommandIsRegistered()
{
    Dispatcher dispatcher;
    FakeAppHost host(QDir::tempPath());
    registerSettingsCommands(dispatcher, host);
    QStringList names = dispatcher.names();
    names.sort();
    QStringList expected{"getConf",
                         "setConf",
                         "closeApp",
                         "confChanged",
                         "checkUpdate",
                         "startRecord",
                         "stopRecord",
                         "modifyMouseSpeed",
                         "modifyMouseScrollLines",
                         "modifyMouseDoubleClick",
                         "loadurl",
                         "goback",
                         "goforward",
                         "openUrl",
                         "saveFileDialog",
                         "openFileDialog",
                         "openFileDialogExe",
                         "getSessionInfo",
                         "setAutostart",
                         "getSystemMouse",
                         "getRunningBindings"};
    expected.sort();
    QCOMPARE(names, expected);
}

#endif // Q_MOC_RUN

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
