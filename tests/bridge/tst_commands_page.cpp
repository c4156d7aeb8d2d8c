// The profile and settings commands driven from a real page in Qt WebEngine:
// the page calls cefQuery, the request passes the browser client, the router
// and the dispatcher with the real command handlers, and the answers reach
// the page's callbacks as the page sees them (texts, failure codes, the
// hot-key state characters, no reply).

#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "bridge/request_router.h"
#include "tests/bridge/command_fixture.h"
#include "tests/browser/browser_fixture.h"
#include "tests/testsupport/scripted_dialogs.h"

#include <QApplication>

using namespace kelv;
using namespace kelv::test;

namespace {

const QByteArray kPage = R"(<!DOCTYPE html><html><head><meta charset="utf-8"><script>
window.log = [];
window.q = function (request) {
  return cefQuery({request: request, persistent: false,
    onSuccess: function (text) { log.push(['ok', request, text]); },
    onFailure: function (code, text) { log.push(['fail', request, code, text]); }});
};
</script></head><body></body></html>)";

const QByteArray kProfile = "<?xml version=\"1.0\"?>\r\n<!-- modes -->\r\n<conf><modes>"
                            "<mode index=\"0\" name=\"A\"/><mode index=\"1\" name=\"B\"/>"
                            "</modes></conf>\r\n";

const QByteArray kConf = "<?xml version=\"1.0\"?>\r\n<root>\r\n\t<client version=\"1.2\" "
                         "showConf=\"Ctrl+Alt+S\" testTool=\"Ctrl+Alt+T\" closeFunc=\"hide\" />\r\n"
                         "</root>\r\n";

} // namespace

class TestCommandsPage : public QObject
{
    Q_OBJECT

    GnomeMouseSettings m_gsettings;
    std::unique_ptr<RoutedView> m_rig;
    BrowserFixture *m_fixture = nullptr;
    FakeAppHost *m_host = nullptr;
    KelvWebView *m_view = nullptr;
    QUrl m_url;

    QWebEnginePage *page() const { return m_view->page(); }
    QString root() const { return m_fixture->root(); }

    QByteArray readFile(const QString &relative) const
    {
        QFile file(root() + QLatin1Char('/') + relative);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    void writeFile(const QString &relative, const QByteArray &bytes) const
    {
        const QString path = root() + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }

    int logLength() { return runJs(page(), QStringLiteral("log.length")).toInt(); }

    // Sends requests from the page, then a sentinel that always answers;
    // once the sentinel's answer is in, every earlier request that was going
    // to be answered has been (requests are handled in order). Returns the
    // log entries of the requests, without the sentinel's.
    QVariantList send(const QStringList &requests)
    {
        const int before = logLength();
        QString script;
        for (const QString &request : requests)
            script += QStringLiteral("q(%1);").arg(jsString(request));
        script += QStringLiteral("q('{\"funcname\":\"goforward\"}');");
        runJs(page(), script);
        const bool done = waitUntil([&] {
            const QVariantList entries =
                runJsJson(page(), QStringLiteral("log.slice(%1)").arg(before)).toList();
            return !entries.isEmpty() &&
                   entries.last().toList().value(1).toString().contains(QLatin1String("goforward"));
        });
        if (!done)
            return {QStringLiteral("sentinel not answered")};
        QVariantList entries =
            runJsJson(page(), QStringLiteral("log.slice(%1)").arg(before)).toList();
        entries.removeLast();
        return entries;
    }

    static QVariantList ok(const QString &request, const QString &text)
    {
        return {QStringLiteral("ok"), request, text};
    }
    static QVariantList fail(const QString &request, const QString &text)
    {
        return {QStringLiteral("fail"), request, 0, text};
    }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void profileCommandsFromThePage();
    void exportAndImportFromThePage();
    void settingsCommandsFromThePage();
    void systemMouseFromThePage();
};

// Test bodies are hidden from moc, which cannot read raw strings in macros.
#ifndef Q_MOC_RUN

void TestCommandsPage::initTestCase()
{
    m_rig = std::make_unique<RoutedView>();
    m_fixture = &m_rig->fixture;
    m_host = &m_rig->host;
    m_view = &m_rig->view;
    writeFile(QStringLiteral("Resources/profiles/configuration.xml"), kProfile);
    writeFile(QStringLiteral("Resources/profiles/conf.xml"), kConf);
    m_host->settings.load(root() + QStringLiteral("/Resources/profiles/conf.xml"));
    registerProfileCommands(m_rig->router.dispatcher(), *m_host);
    registerSettingsCommands(m_rig->router.dispatcher(), *m_host);
    m_url = m_fixture->writePage(QStringLiteral("view/index.html"), kPage);
    QVERIFY(loadAndWait(*m_view, m_url));
}

void TestCommandsPage::cleanupTestCase()
{
    m_rig.reset();
}

void TestCommandsPage::profileCommandsFromThePage()
{
    const QString modify = QStringLiteral(
        R"({"funcname":"modifyProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode[@index='1']","attribute":"name;x","attributeValue":"Game;1"})");
    const QString query = QStringLiteral(
        R"({"funcname":"queryProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode"})");
    const QString badXPath = QStringLiteral(
        R"({"funcname":"nodeCounterProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode["})");
    // A profile beside the program folder that ".." would reach.
    const QString outsideName =
        QStringLiteral("outside-page-%1.xml").arg(QCoreApplication::applicationPid());
    writeFile(QStringLiteral("../") + outsideName, "<a/>");
    const QString escaping =
        QStringLiteral(R"({"funcname":"queryProfile","filePath":"../%1","xpath":"/"})")
            .arg(outsideName);
    const QString hex = QStringLiteral(
        R"({"funcname":"queryHexByte","filePath":"Resources/profiles/configuration.xml","xpath":"//mode","args":"1"})");
    const QString save = QStringLiteral(R"({"funcname":"savexml"})");
    const QVariantList answers = send({modify, query, badXPath, escaping, hex, save});
    QFile::remove(root() + QStringLiteral("/../") + outsideName);
    QCOMPARE(
        answers,
        (QVariantList{ok(modify, QStringLiteral("modifyProfile success!")),
                      ok(query, QStringLiteral("<mode index=\"0\" name=\"A\" />\n"
                                               "<mode index=\"1\" name=\"Game\" />\n")),
                      fail(badXPath, QStringLiteral("nodeCounterProfile load xml file failed!")),
                      ok(hex, QString()), ok(save, QStringLiteral("save xml success"))}));
    QCOMPARE(readFile(QStringLiteral("Resources/profiles/configuration.xml")),
             QByteArray("<?xml version=\"1.0\"?>\r\n<conf>\r\n\t<modes>\r\n"
                        "\t\t<mode index=\"0\" name=\"A\" />\r\n"
                        "\t\t<mode index=\"1\" name=\"Game\" />\r\n\t</modes>\r\n</conf>\r\n"));
    QCOMPARE(m_gsettings.stored(QStringLiteral("double-click")), QStringLiteral("970"));
}

void TestCommandsPage::exportAndImportFromThePage()
{
    ScriptedDialogs dialogs;
    const QString exported = root() + QStringLiteral("/mode.pfd");
    dialogs.fileAnswers = QStringList{exported, exported};
    Dialogs::install(&dialogs);
    const QString saveDialog = QStringLiteral(R"({"funcname":"saveFileDialog"})");
    const QString openDialog = QStringLiteral(R"({"funcname":"openFileDialog"})");
    const QString cancelled = QStringLiteral(R"({"funcname":"openFileDialogExe"})");
    const QVariantList chosen = send({saveDialog, openDialog, cancelled});
    Dialogs::install(nullptr);
    // The cancelled dialog leaves its query without an answer.
    QCOMPARE(chosen, (QVariantList{ok(saveDialog, exported), ok(openDialog, exported)}));

    const QString saveAs =
        QStringLiteral(
            R"({"funcname":"saveXmlAs","srcFilePath":"Resources/profiles/configuration.xml","desFilePath":%1,"xpath":"//modes"})")
            .arg(jsString(exported));
    const QString import =
        QStringLiteral(
            R"({"funcname":"modifyReplaceProfileEx","srcFilePath":%1,"desFilePath":"Resources/profiles/configuration.xml","srcXpath":"","desXpath":"//mode[@index='0']"})")
            .arg(jsString(exported));
    const QString count = QStringLiteral(
        R"({"funcname":"nodeCounterProfile","filePath":"Resources/profiles/configuration.xml","xpath":"//mode[@index='0']"})");
    QCOMPARE(send({saveAs, import, count}),
             (QVariantList{ok(saveAs, QStringLiteral("saveXmlAs success")),
                           ok(import, QStringLiteral("modifyReplaceProfile success")),
                           ok(count, QStringLiteral("2"))})); // the two exported modes
}

void TestCommandsPage::settingsCommandsFromThePage()
{
    m_host->showConfRegistered = true;
    m_host->testToolRegistered = false;
    // The state characters arrive in the page as the characters 1 and 0.
    runJs(page(),
          QStringLiteral("window.conf = null; cefQuery({request: '{\"funcname\":\"getConf\"}', "
                         "onSuccess: function (t) { var o = JSON.parse(t)[0]; window.conf = "
                         "[o.showConf.length, o.showConf.charCodeAt(o.showConf.length - 1), "
                         "o.testTool.charCodeAt(o.testTool.length - 1), o.version, "
                         "Object.keys(o).join(',')]; } });"));
    QVERIFY(waitUntil([&] { return !runJs(page(), QStringLiteral("window.conf")).isNull(); }));
    QCOMPARE(
        runJsJson(page(), QStringLiteral("window.conf")).toList(),
        (QVariantList{12, 1, 0, QStringLiteral("1.2"),
                      QStringLiteral("IpAddress,MacAddress,closeFunc,showConf,testTool,version")}));

    m_host->hotKeyResult = false;
    const QString setHotKey =
        QStringLiteral(R"({"funcname":"setConf","confKey":"testTool","confValue":"Ctrl+F9"})");
    const QString unknown =
        QStringLiteral(R"({"funcname":"setConf","confKey":"nothing","confValue":"1"})");
    const QString close = QStringLiteral(R"({"funcname":"closeApp"})");
    const QString load = QStringLiteral(R"({"funcname":"loadurl","url":"/view/other.html"})");
    QCOMPARE(send({setHotKey, unknown, close, load}),
             (QVariantList{ok(setHotKey, QString(QChar(0))),
                           fail(unknown, QStringLiteral("can't find conf name")),
                           ok(close, QStringLiteral("modify conf sucess"))}));
    QVERIFY(
        readFile(QStringLiteral("Resources/profiles/conf.xml")).contains("testTool=\"Ctrl+F9\""));
    QVERIFY(m_host->calls.contains(QStringLiteral("hotkey testTool=Ctrl+F9")));
    QVERIFY(m_host->calls.contains(QStringLiteral("hide")));
}

void TestCommandsPage::systemMouseFromThePage()
{
    const QString click11 =
        QStringLiteral(R"({"funcname":"modifyMouseDoubleClick","position":11})");
    const QString click12 =
        QStringLiteral(R"({"funcname":"modifyMouseDoubleClick","position":12})");
    const QString speed = QStringLiteral(R"({"funcname":"modifyMouseSpeed","speednum":"15"})");
    const QString lines = QStringLiteral(R"({"funcname":"modifyMouseScrollLines","linenum":3})");
    QCOMPARE(send({click11, click12, speed, lines}),
             (QVariantList{ok(click11, QStringLiteral("modifyMouseDoubleClick success")),
                           fail(click12, QStringLiteral("modifyMouseDoubleClick failed")),
                           ok(speed, QStringLiteral("modifyMouseSpeed success")),
                           fail(lines, QStringLiteral("modifyMouseScrollLines failed"))}));
    QCOMPARE(m_gsettings.stored(QStringLiteral("double-click")), QStringLiteral("200"));
    QCOMPARE(m_gsettings.stored(QStringLiteral("speed")).toDouble(), 0.5);
}

#endif // Q_MOC_RUN

int main(int argc, char **argv)
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestCommandsPage test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_commands_page.moc"
