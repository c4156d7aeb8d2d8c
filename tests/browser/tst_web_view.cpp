// The web view and its page as a user meets them: error page, no context
// menu, navigation state, drags, permissions, downloads, renderer crashes.
#include "browser/pending_edits.h"
#include "tests/browser/browser_fixture.h"
#include "tests/testsupport/http_test_server.h"
#include "tests/testsupport/recording_callback.h"
#include "tests/testsupport/scripted_dialogs.h"
#include "tests/testsupport/temp_program_folder.h"

#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QMenu>
#include <QMimeData>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QWebEngineHistory>
#include <QWebEngineProfile>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <csignal>
#include <thread>

using namespace kelv;
using namespace kelv::test;

// Takes the addresses the desktop would open (QDesktopServices' handler).
class DesktopHandler final : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened << url; }
};

class TestWebView : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<BrowserFixture> m_fixture;
    std::unique_ptr<ClientHandler> m_client;
    std::unique_ptr<QWidget> m_window;
    std::unique_ptr<KelvWebView> m_view;

    KelvPage *kpage() const { return m_view->kelvPage(); }

    // The Settings screen's choice of German, as the page's language list makes it.
    void chooseGerman()
    {
        runJs(kpage(), QStringLiteral("window.kelvApp.settings.setLanguage('de-DE'); 1"));
    }

    // Whether the page's document has the contract's functions.
    static bool hasContract(QWebEnginePage *page)
    {
        return runJs(page, QStringLiteral("typeof window.cefQuery === 'function'")).toBool();
    }

    static QVariantList lastEvent(const QSignalSpy &spy, const QString &name)
    {
        for (int i = spy.count() - 1; i >= 0; --i) {
            if (spy.at(i).at(0).toString() == name)
                return spy.at(i).at(1).toList();
        }
        return {};
    }

private slots:
    void initTestCase()
    {
        m_fixture = std::make_unique<BrowserFixture>();
        m_client = std::make_unique<ClientHandler>();
        m_client->setPageFolder(m_fixture->viewFolder());
        // The view lives in a window, as in the program.
        m_window = std::make_unique<QWidget>();
        m_window->resize(400, 300);
        m_view = std::make_unique<KelvWebView>(m_window.get());
    }

    void browserIsCreatedOnceTheViewHasASize()
    {
        const QUrl url = m_fixture->writePage(QStringLiteral("view/index.html"),
                                              "<html><body>index</body></html>");
        m_view->setAddress(url);
        m_view->resize(0, 0);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        m_view->showPage();
        QCOMPARE(m_view->browserState(), KelvWebView::NoBrowser);
        QVERIFY(!m_view->loadAddress());
        QVERIFY(!m_client->browser());
        QSignalSpy finished(m_view->page(), &QWebEnginePage::loadFinished);
        m_view->resize(400, 300);
        QCOMPARE(m_view->browserState(), KelvWebView::Created);
        QCOMPARE(m_client->listener(), m_view.get());
        QCOMPARE(m_client->browser(), m_view.get());
        QVERIFY(finished.wait(20000));
        QCOMPARE(m_view->url(), url);

        // A second view (the popup's) does not replace the main browser.
        KelvWebView second;
        second.setAddress(url);
        second.resize(100, 100);
        second.showPage();
        QCOMPARE(second.browserState(), KelvWebView::Created);
        QCOMPARE(m_client->browser(), m_view.get());
        QCOMPARE(m_client->listener(), &second);
        m_client->setListener(m_view.get());
    }

    void browserSettings()
    {
        QCOMPARE(kpage()->backgroundColor(), QColor::fromRgba(0xFF222529));
        const QWebEngineSettings *s = kpage()->settings();
        QVERIFY(s->testAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls));
        QVERIFY(s->testAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls));
        QVERIFY(!s->testAttribute(QWebEngineSettings::LinksIncludedInFocusChain));
        QCOMPARE(kpage()->profile(), WebProfile::shared());
        QCOMPARE(WebProfile::shared()->persistentCookiesPolicy(),
                 QWebEngineProfile::ForcePersistentCookies);
        QVERIFY(!WebProfile::shared()->isOffTheRecord());
        QCOMPARE(WebProfile::shared()->cachePath(),
                 m_fixture->root() + QStringLiteral("/profile/Cache"));
        // A page of the program reads another local file (file access from
        // file URLs).
        m_fixture->writePage(QStringLiteral("view/data.txt"), "local data");
        const QUrl url = m_fixture->writePage(QStringLiteral("view/reader.html"),
                                              R"(<html><body><script>
window.read = null;
var x = new XMLHttpRequest();
x.onload = function () { window.read = x.responseText; };
x.onerror = function () { window.read = 'error'; };
x.open('GET', 'data.txt'); x.send();
</script></body></html>)");
        QVERIFY(loadAndWait(*m_view, url));
        QTRY_COMPARE_WITH_TIMEOUT(runJs(kpage(), QStringLiteral("window.read")).toString(),
                                  QStringLiteral("local data"), 20000);

        // Text areas cannot be resized by the user, in frames too; a page that
        // asks for a resizable one in its own style sheet still gets it.
        const QUrl areas = m_fixture->writePage(
            QStringLiteral("view/areas.html"),
            "<html><head><style>.own { resize: vertical; }</style></head><body>"
            "<textarea id=\"plain\"></textarea><textarea id=\"own\" class=\"own\"></textarea>"
            "<iframe id=\"frame\" srcdoc=\"<textarea></textarea>\"></iframe></body></html>");
        QVERIFY(loadAndWait(*m_view, areas));
        auto resize = [this](const QString &element) {
            return runJs(kpage(), QStringLiteral("(function () { var e = %1; return e ? "
                                                 "getComputedStyle(e).resize : 'missing'; })()")
                                      .arg(element))
                .toString();
        };
        QCOMPARE(resize(QStringLiteral("document.getElementById('plain')")),
                 QStringLiteral("none"));
        QCOMPARE(resize(QStringLiteral("document.getElementById('own')")),
                 QStringLiteral("vertical"));
        const QString inFrame = QStringLiteral(
            "document.getElementById('frame').contentDocument.querySelector('textarea')");
        QTRY_VERIFY_WITH_TIMEOUT(resize(inFrame) != QLatin1String("missing"), 20000);
        QCOMPARE(resize(inFrame), QStringLiteral("none"));
    }

    // The program folder's page starts from its bundle alone (index.html loads it and
    // carries its style sheet; no module and no css/ file is needed), and from its
    // modules when the bundle is gone (a page package removed it, or the build had no
    // esbuild).
    void theProgramPageStartsFromItsBundleOrItsModules()
    {
        const QString built = qEnvironmentVariable("KELV_PROGRAM_DIR") + QStringLiteral("/view");
        const QString bundle = QStringLiteral("js/app.bundle.js");
        if (!QFile::exists(built + QLatin1Char('/') + bundle))
            QSKIP("the program folder's page has no bundle (built without esbuild)");
        const QString bundled = m_fixture->viewFolder() + QStringLiteral("bundled");
        const QString modular = m_fixture->viewFolder() + QStringLiteral("modular");
        QVERIFY(copyTree(built, bundled) && copyTree(built, modular));
        QVERIFY(QDir(bundled + QStringLiteral("/js")).removeRecursively());
        QVERIFY(QDir().mkpath(bundled + QStringLiteral("/js")));
        QVERIFY(
            QFile::copy(built + QLatin1Char('/') + bundle, bundled + QLatin1Char('/') + bundle));
        QVERIFY(QFile::remove(modular + QLatin1Char('/') + bundle));
        QVERIFY(QDir(bundled + QStringLiteral("/css")).removeRecursively());
        for (const QString &folder : {modular, bundled}) {
            QVERIFY(
                loadAndWait(*m_view, QUrl::fromLocalFile(folder + QStringLiteral("/index.html"))));
            QTRY_VERIFY2_WITH_TIMEOUT(
                runJs(kpage(),
                      QStringLiteral("!!window.kelvApp && !!document.querySelector('#nav button')"))
                    .toBool(),
                qPrintable(folder), 20000);
            // The title bar's look comes from the program's style sheet.
            QCOMPARE(runJs(kpage(), QStringLiteral("getComputedStyle(document.querySelector("
                                                   "'#titlebar')).display"))
                         .toString(),
                     QStringLiteral("flex"));
        }
        // Without its table beside the bundle (the page shown last), German cannot be
        // chosen: the page stays in English and says so.
        chooseGerman();
        QTRY_VERIFY_WITH_TIMEOUT(
            runJs(kpage(), QStringLiteral("window.kelvApp.alerts.some((a) => a.key === "
                                          "'error.language')"))
                .toBool(),
            20000);
        QCOMPARE(runJs(kpage(), QStringLiteral("document.documentElement.lang")).toString(),
                 QStringLiteral("en"));
    }

    // The bundle holds the English texts only; the page loads another language's
    // table from js/i18n/ when it is chosen, from the bundle as from the modules.
    void theProgramPageLoadsALanguageWhenChosen()
    {
        const QString built = qEnvironmentVariable("KELV_PROGRAM_DIR") + QStringLiteral("/view");
        QFile bundle(built + QStringLiteral("/js/app.bundle.js"));
        if (!bundle.open(QIODevice::ReadOnly))
            QSKIP("the program folder's page has no bundle (built without esbuild)");
        const QByteArray code = bundle.readAll();
        QVERIFY(code.contains("import(\"./i18n/de.js\")"));
        QVERIFY(code.contains("Gaming Mouse Software"));
        for (const char *foreign : {"Gaming-Maus-Software", "Программа для игровой мыши"})
            QVERIFY2(!code.contains(foreign), foreign);

        const QString modular = m_fixture->viewFolder() + QStringLiteral("modular-i18n");
        QVERIFY(copyTree(built, modular));
        QVERIFY(QFile::remove(modular + QStringLiteral("/js/app.bundle.js")));
        for (const QString &folder : {built, modular}) {
            QVERIFY(
                loadAndWait(*m_view, QUrl::fromLocalFile(folder + QStringLiteral("/index.html"))));
            QTRY_VERIFY2_WITH_TIMEOUT(
                runJs(kpage(), QStringLiteral("!!window.kelvApp && "
                                              "!!document.querySelector('#nav button')"))
                    .toBool(),
                qPrintable(folder), 20000);
            chooseGerman();
            QTRY_VERIFY2_WITH_TIMEOUT(
                runJs(kpage(), QStringLiteral("document.querySelector('#nav').textContent"))
                    .toString()
                    .contains(QStringLiteral("Leistung")),
                qPrintable(folder), 20000);
            QCOMPARE(runJs(kpage(), QStringLiteral("document.documentElement.lang")).toString(),
                     QStringLiteral("de-DE"));
        }
    }

    void errorPageForAMissingFile()
    {
        // The page names the address as the browser holds it (the page's own
        // location), blanks and letters beyond ASCII percent-encoded.
        const QUrl missing =
            QUrl::fromLocalFile(m_fixture->viewFolder() + QStringLiteral("missing p\u00e4ge.html"));
        QSignalSpy shown(kpage(), &KelvPage::errorPageShown);
        m_view->setAddress(missing);
        QVERIFY(m_view->loadAddress());
        QVERIFY(shown.wait(20000));
        QCOMPARE(shown.first().at(1).toInt(), -6);
        const QString address = missing.toString(QUrl::FullyEncoded);
        QVERIFY(address.endsWith(QLatin1String("/missing%20p%C3%A4ge.html")));
        QTRY_COMPARE_WITH_TIMEOUT(runJs(kpage(), QStringLiteral("location.href")).toString(),
                                  address, 20000);
        const QString expected = QStringLiteral("Failed to load URL ") + address +
                                 QStringLiteral(" with error ERR_FILE_NOT_FOUND (-6).");
        QTRY_COMPARE_WITH_TIMEOUT(
            runJs(kpage(), QStringLiteral("document.body && document.body.innerText")).toString(),
            expected, 20000);
        QCOMPARE(runJs(kpage(), QStringLiteral("document.body.outerHTML")).toString(),
                 QStringLiteral("<body bgcolor=\"white\"><h2>") + expected +
                     QStringLiteral("</h2></body>"));
        QCOMPARE(m_view->url(), missing);
    }

    void errorPageTextIsExactAndEscaped()
    {
        QCOMPARE(KelvPage::errorPageText(QUrl(QStringLiteral("http://127.0.0.1:1/x")),
                                         QStringLiteral("ERR_CONNECTION_REFUSED"), -102),
                 QStringLiteral("<html><body bgcolor=\"white\"><h2>Failed to load URL "
                                "http://127.0.0.1:1/x with error ERR_CONNECTION_REFUSED "
                                "(-102).</h2></body></html>"));
        const QString text = KelvPage::errorPageText(
            QUrl(QStringLiteral("file:///a/<script>alert(1)</script>")), QStringLiteral("<b>"), -6);
        QVERIFY(!text.contains(QLatin1String("<script>")));
        QVERIFY(!text.contains(QLatin1String("<b>")));
    }

    void aServerErrorPageIsShownAsTheServerSentIt()
    {
        // A reply with an HTTP error status still is a page: the server's own
        // text stays. A server that cannot be reached gets the error page.
        HttpTestServer server;
        QVERIFY(server.isListening());
        server.setReply(QStringLiteral("/gone.html"), 404,
                        "<html><body>the server's own 404 page</body></html>", "text/html");
        server.setReply(QStringLiteral("/broken.html"), 500,
                        "<html><body>the server's own 500 page</body></html>", "text/html");
        QSignalSpy shown(kpage(), &KelvPage::errorPageShown);
        for (const char *path : {"/gone.html", "/broken.html"}) {
            QSignalSpy finished(kpage(), &QWebEnginePage::loadFinished);
            kpage()->load(QUrl(server.url(QString::fromLatin1(path))));
            QVERIFY(finished.wait(20000));
            QTRY_VERIFY_WITH_TIMEOUT(
                runJs(kpage(), QStringLiteral("document.body ? document.body.innerText : ''"))
                    .toString()
                    .startsWith(QLatin1String("the server's own")),
                20000);
        }
        QTest::qWait(200);
        QCOMPARE(shown.count(), 0);

        const QString refused = QStringLiteral("http://127.0.0.1:1/none.html");
        kpage()->load(QUrl(refused));
        QVERIFY(shown.wait(20000));
        QCOMPARE(shown.first().at(0).toUrl(), QUrl(refused));
        // The error page is a load of its own: the next test starts once it is in.
        QTRY_VERIFY_WITH_TIMEOUT(
            runJs(kpage(), QStringLiteral("document.body ? document.body.innerText : ''"))
                .toString()
                .startsWith(QLatin1String("Failed to load URL http://127.0.0.1:1/none.html")),
            20000);
    }

    void anAbortedLoadShowsNoErrorPage()
    {
        const QUrl first = m_fixture->writePage(QStringLiteral("view/first.html"), "<p>1</p>");
        const QUrl second = m_fixture->writePage(QStringLiteral("view/second.html"), "<p>2</p>");
        QSignalSpy shown(kpage(), &KelvPage::errorPageShown);
        QSignalSpy finished(kpage(), &QWebEnginePage::loadFinished);
        kpage()->load(first);
        kpage()->triggerAction(QWebEnginePage::Stop);
        kpage()->load(second);
        QTRY_VERIFY_WITH_TIMEOUT(m_view->url() == second && !kpage()->isLoading(), 20000);
        QTest::qWait(200);
        for (const QList<QVariant> &args : shown)
            QVERIFY(args.at(1).toInt() != -3);
        // The engine has been seen to report the load done a moment before the
        // document had its body.
        QTRY_COMPARE_WITH_TIMEOUT(
            runJs(kpage(), QStringLiteral("document.body ? document.body.innerText : ''"))
                .toString(),
            QStringLiteral("2"), 20000);
    }

    void addressesOfOtherPrograms()
    {
        // A "spotify:" link goes to the desktop's handler and the page stays;
        // a link of any other scheme the browser does not know fails like a
        // load that brought no page.
        const QUrl url =
            m_fixture->writePage(QStringLiteral("view/schemes.html"),
                                 "<p>stay</p><a id=\"spotify\" href=\"spotify:track:1\">s</a>"
                                 "<a id=\"other\" href=\"kelvunknown:x\">o</a>");
        QVERIFY(loadAndWait(*m_view, url));
        DesktopHandler desktop;
        QDesktopServices::setUrlHandler(QStringLiteral("spotify"), &desktop, "open");
        auto unset =
            qScopeGuard([] { QDesktopServices::unsetUrlHandler(QStringLiteral("spotify")); });
        QSignalSpy shown(kpage(), &KelvPage::errorPageShown);
        runJs(kpage(), QStringLiteral("document.getElementById('spotify').click(); 1"));
        QTRY_COMPARE_WITH_TIMEOUT(desktop.opened,
                                  QList<QUrl>({QUrl(QStringLiteral("spotify:track:1"))}), 20000);
        QTest::qWait(300);
        QCOMPARE(shown.count(), 0);
        QCOMPARE(m_view->url(), url);
        QCOMPARE(
            runJs(kpage(), QStringLiteral("document.body.innerText.split('\\n')[0]")).toString(),
            QStringLiteral("stay"));

        // runJs spins the event loop: the error page may be shown before it returns.
        runJs(kpage(), QStringLiteral("document.getElementById('other').click(); 1"));
        QTRY_COMPARE_WITH_TIMEOUT(shown.count(), 1, 20000);
        QCOMPARE(shown.first().at(0).toUrl(), QUrl(QStringLiteral("kelvunknown:x")));
        QCOMPARE(shown.first().at(1).toInt(), -302);
        QTRY_COMPARE_WITH_TIMEOUT(
            runJs(kpage(), QStringLiteral("document.body ? document.body.innerText : ''"))
                .toString(),
            QStringLiteral(
                "Failed to load URL kelvunknown:x with error ERR_UNKNOWN_URL_SCHEME (-302)."),
            20000);
        QCOMPARE(desktop.opened.size(), 1);
    }

    void noContextMenu()
    {
        const QUrl url = m_fixture->writePage(
            QStringLiteral("view/menu.html"),
            "<html><body style=\"margin:0\"><div style=\"width:100%;height:300px\">text</div>"
            "<script>window.menus = 0; addEventListener('contextmenu', function () { "
            "++menus; });</script></body></html>");
        auto rightClick = [](KelvWebView &view) {
            QWidget *target = view.focusProxy() ? view.focusProxy() : &view;
            QTest::mouseClick(target, Qt::RightButton, {}, QPoint(20, 20));
            QTRY_COMPARE_WITH_TIMEOUT(runJs(view.page(), QStringLiteral("menus")).toInt(), 1,
                                      20000);
            QTest::qWait(300);
        };
        auto visibleMenus = [] {
            int n = 0;
            for (QWidget *w : QApplication::topLevelWidgets()) {
                if (qobject_cast<QMenu *>(w) && w->isVisible())
                    ++n;
            }
            return n;
        };
        QVERIFY(loadAndWait(*m_view, url));
        rightClick(*m_view);
        QCOMPARE(visibleMenus(), 0);
        QCOMPARE(m_view->contextMenuPolicy(), Qt::NoContextMenu);

        // The same click on a view that allows menus does show one, so the
        // check above would see a menu if there were one.
        KelvWebView control;
        control.setContextMenuPolicy(Qt::DefaultContextMenu);
        control.resize(400, 300);
        control.show();
        QVERIFY(QTest::qWaitForWindowExposed(&control));
        QVERIFY(loadAndWait(control, url));
        rightClick(control);
        QTRY_VERIFY_WITH_TIMEOUT(visibleMenus() > 0, 5000);
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (qobject_cast<QMenu *>(w))
                w->close();
        }
        m_client->setListener(m_view.get());
    }

    void navStateChangedAfterLoads()
    {
        const QUrl a = m_fixture->writePage(
            QStringLiteral("view/a.html"),
            "<html><body><script>window.nav = []; setMessageCallback('navStateChanged', "
            "function (s) { nav.push(s); });</script>a</body></html>");
        const QUrl b = m_fixture->writePage(
            QStringLiteral("view/b.html"),
            "<html><body><script>window.nav = []; setMessageCallback('navStateChanged', "
            "function (s) { nav.push(s); });</script>b</body></html>");
        KelvWebView fresh;
        QSignalSpy sent(m_client.get(), &ClientHandler::eventSent);
        fresh.resize(300, 200);
        QVERIFY(loadAndWait(fresh, a));
        QTRY_COMPARE_WITH_TIMEOUT(lastEvent(sent, QStringLiteral("navStateChanged")),
                                  QVariantList({false, false}), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(runJsJson(fresh.page(), QStringLiteral("nav[nav.length - 1]")),
                                  QVariant(QVariantList({false, false})), 20000);
        QVERIFY(loadAndWait(fresh, b));
        QTRY_COMPARE_WITH_TIMEOUT(runJsJson(fresh.page(), QStringLiteral("nav[nav.length - 1]")),
                                  QVariant(QVariantList({true, false})), 20000);
        QSignalSpy finished(fresh.page(), &QWebEnginePage::loadFinished);
        fresh.back();
        QVERIFY(finished.wait(20000));
        QTRY_COMPARE_WITH_TIMEOUT(lastEvent(sent, QStringLiteral("navStateChanged")),
                                  QVariantList({false, true}), 20000);
        // Every loading-state change sent one (started and finished, per load).
        int count = 0;
        for (const QList<QVariant> &args : sent)
            count += args.at(0).toString() == QLatin1String("navStateChanged");
        QVERIFY(count >= 3);
        m_client->setListener(m_view.get());
    }

    void linkDragsAreRefused()
    {
        // A drag reaches the widget under the pointer first: the engine's
        // render widget inside the view, which accepts drops too.
        QWidget *target = m_view->focusProxy();
        QVERIFY(target && target->acceptDrops());
        QMimeData link;
        link.setUrls({QUrl(QStringLiteral("http://127.0.0.1/x"))});
        QDragEnterEvent linkDrag(QPoint(10, 10), Qt::CopyAction | Qt::LinkAction, &link,
                                 Qt::LeftButton, Qt::NoModifier);
        linkDrag.setAccepted(false);
        QApplication::sendEvent(target, &linkDrag);
        QVERIFY(!linkDrag.isAccepted());

        QMimeData text;
        text.setText(QStringLiteral("some text"));
        QDragEnterEvent textDrag(QPoint(10, 10), Qt::CopyAction | Qt::MoveAction, &text,
                                 Qt::LeftButton, Qt::NoModifier);
        textDrag.setAccepted(false);
        QApplication::sendEvent(target, &textDrag);
        QVERIFY(textDrag.isAccepted());
    }

    void geolocationIsAllowed()
    {
        const QUrl url =
            m_fixture->writePage(QStringLiteral("view/geo.html"), "<html><body>geo</body></html>");
        QVERIFY(loadAndWait(*m_view, url));
        QSignalSpy asked(kpage(), &QWebEnginePage::featurePermissionRequested);
        runJs(kpage(),
              QStringLiteral("window.geo = 'waiting'; navigator.geolocation.getCurrentPosition("
                             "function () { geo = 'position'; }, function (e) { geo = 'error ' + "
                             "e.code; }, {timeout: 2000});"));
        QTRY_VERIFY_WITH_TIMEOUT(asked.count() > 0, 20000);
        QCOMPARE(asked.first().at(1).value<QWebEnginePage::Feature>(), QWebEnginePage::Geolocation);
        // Permission denied would be error code 1; without a position source
        // the answer is a position or another error.
        QTRY_VERIFY_WITH_TIMEOUT(runJs(kpage(), QStringLiteral("geo")).toString() != "waiting",
                                 20000);
        QVERIFY(runJs(kpage(), QStringLiteral("geo")).toString() != QLatin1String("error 1"));
    }

    void storageQuotaUpTo20MiB()
    {
        QVERIFY(WebProfile::quotaGranted(0));
        QVERIFY(WebProfile::quotaGranted(20971520));
        QVERIFY(!WebProfile::quotaGranted(20971521));
    }

    void downloadsGoThroughTheSaveDialog()
    {
        const QString target = WebProfile::downloadTarget(QStringLiteral("report.txt"));
        QCOMPARE(target, QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
                             QStringLiteral("/report.txt"));
        QVERIFY(QFileInfo(target).absoluteDir().exists());

        const QUrl source = m_fixture->writePage(QStringLiteral("view/report.txt"), "payload");
        ScriptedDialogs dialogs;
        const QString chosen = m_fixture->root() + QStringLiteral("/saved/report-copy.txt");
        QDir().mkpath(QFileInfo(chosen).absolutePath());
        dialogs.fileAnswers << chosen;
        Dialogs::install(&dialogs);
        kpage()->download(source, QStringLiteral("report.txt"));
        QTRY_COMPARE_WITH_TIMEOUT(WebProfile::lastDownloadFile(), chosen, 20000);
        QFile saved(chosen);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), QByteArray("payload"));

        // Cancelling the dialog cancels the download.
        QSignalSpy requested(WebProfile::shared(), &QWebEngineProfile::downloadRequested);
        kpage()->download(source, QStringLiteral("other.txt"));
        QVERIFY(requested.wait(20000));
        QTest::qWait(300);
        QCOMPARE(dialogs.captions.size(), 2);
        QCOMPARE(WebProfile::lastDownloadFile(), chosen);
        Dialogs::install(nullptr);
    }

    void rendererCrashReloadsTheStartupAddress()
    {
        const QUrl start = m_fixture->writePage(QStringLiteral("view/start.html"), "<p>start</p>");
        const QUrl other = m_fixture->writePage(QStringLiteral("view/other.html"), "<p>other</p>");
        m_client->setStartupAddress(start.toString());
        // Each time, the startup page comes back with its contract: after a
        // renderer was killed, the engine has been seen to leave it out of
        // the documents that followed.
        for (int kill = 0; kill < 3; ++kill) {
            QVERIFY(loadAndWait(*m_view, other));
            QSignalSpy terminated(kpage(), &QWebEnginePage::renderProcessTerminated);
            const qint64 pid = kpage()->renderProcessPid();
            QVERIFY(pid > 0);
            QCOMPARE(::kill(pid_t(pid), SIGKILL), 0);
            QVERIFY(terminated.wait(20000));
            QTRY_COMPARE_WITH_TIMEOUT(m_view->url(), start, 20000);
            QTRY_VERIFY_WITH_TIMEOUT(hasContract(kpage()), 20000);
            QCOMPARE(runJs(kpage(), QStringLiteral("document.body.innerText")).toString(),
                     QStringLiteral("start"));
        }

        // With "chrome://crash" as the startup address nothing is reloaded.
        QVERIFY(loadAndWait(*m_view, other));
        m_client->setStartupAddress(QStringLiteral("chrome://crash"));
        QSignalSpy again(kpage(), &QWebEnginePage::renderProcessTerminated);
        QSignalSpy started(kpage(), &QWebEnginePage::loadStarted);
        QCOMPARE(::kill(pid_t(kpage()->renderProcessPid()), SIGKILL), 0);
        QVERIFY(again.wait(20000));
        QTest::qWait(300);
        QCOMPARE(started.count(), 0);
        QCOMPARE(m_view->url(), other);
    }

    // A program page whose document came without the contract script (the
    // engine has been seen to leave it out right after a renderer was killed)
    // is loaded again, a few times at most.
    void aDocumentWithoutTheContractIsLoadedAgain()
    {
        const QUrl page = m_fixture->writePage(QStringLiteral("view/contract.html"), "<p>c</p>");
        QWebEngineScriptCollection &scripts = kpage()->scripts();
        const QList<QWebEngineScript> found = scripts.find(QStringLiteral("kelv-contract"));
        QCOMPARE(found.size(), 1);
        const QWebEngineScript contract = found.first();
        const auto restore = qScopeGuard([&] {
            if (!scripts.contains(contract))
                scripts.insert(contract);
        });

        // Missing once: the next load has it.
        QVERIFY(scripts.remove(contract));
        QSignalSpy finished(kpage(), &QWebEnginePage::loadFinished);
        QSignalSpy lost(kpage(), &KelvPage::contractLost);
        const QMetaObject::Connection putBack = connect(kpage(), &QWebEnginePage::loadFinished,
                                                        this, [&] { scripts.insert(contract); });
        kpage()->load(page);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 20000);
        disconnect(putBack);
        QVERIFY(hasContract(kpage()));
        QCOMPARE(kpage()->url(), page);
        QCOMPARE(lost.count(), 0);

        // Missing for good: loaded again twice, then left as it is, and said
        // so (the owner of the window opens it again).
        QVERIFY(scripts.remove(contract));
        finished.clear();
        kpage()->load(page);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1 + KelvPage::ContractReloads, 20000);
        QTest::qWait(1000);
        QCOMPARE(finished.count(), 1 + KelvPage::ContractReloads);
        QVERIFY(!hasContract(kpage()));
        QCOMPARE(lost.count(), 1);
    }

    void rendererCrashComparesAddressesWithoutLetterCase()
    {
        // The page that crashed is the startup page, named with capitals: it
        // is loaded again as it was (not left blank) ...
        const QUrl crashStart =
            m_fixture->writePage(QStringLiteral("view/Crash Start.html"), "<p>start</p>");
        m_client->setStartupAddress(crashStart.toString().toLower());
        QUrl shown = crashStart;
        shown.setFragment(QStringLiteral("buttons"));
        QVERIFY(loadAndWait(*m_view, shown));
        QSignalSpy terminated(kpage(), &QWebEnginePage::renderProcessTerminated);
        QSignalSpy loaded(kpage(), &QWebEnginePage::loadFinished);
        QCOMPARE(::kill(pid_t(kpage()->renderProcessPid()), SIGKILL), 0);
        QVERIFY(terminated.wait(20000));
        QTRY_VERIFY_WITH_TIMEOUT(loaded.count() > 0, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(hasContract(kpage()), 20000);
        QCOMPARE(m_view->url(), shown);
        QCOMPARE(runJs(kpage(), QStringLiteral("document.body.innerText")).toString(),
                 QStringLiteral("start"));
        // ... but not when it crashes again soon after (it could crash for ever).
        QSignalSpy started(kpage(), &QWebEnginePage::loadStarted);
        QCOMPARE(::kill(pid_t(kpage()->renderProcessPid()), SIGKILL), 0);
        QVERIFY(terminated.wait(20000));
        QTest::qWait(300);
        QCOMPARE(started.count(), 0);

        // Another page named with capitals is replaced by the startup page.
        const QUrl start = m_fixture->writePage(QStringLiteral("view/Home.html"), "<p>home</p>");
        const QUrl other = m_fixture->writePage(QStringLiteral("view/Other.html"), "<p>o</p>");
        m_client->setStartupAddress(start.toString());
        QVERIFY(loadAndWait(*m_view, other));
        QCOMPARE(::kill(pid_t(kpage()->renderProcessPid()), SIGKILL), 0);
        QVERIFY(terminated.wait(20000));
        QTRY_COMPARE_WITH_TIMEOUT(m_view->url(), start, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(hasContract(kpage()), 20000);
    }

    void aViewDestroyedWhileItsPageLoadsReportsNothing()
    {
        // The view goes in the middle of a load: its page is torn down first
        // and reports no loading change (navStateChanged) for a view that is
        // half gone; the browser client forgets the view.
        const QUrl first = m_fixture->writePage(QStringLiteral("view/going.html"), "<p>1</p>");
        QByteArray big = "<html><body>";
        for (int i = 0; i < 20000; ++i)
            big += "<p>line</p>";
        const QUrl second =
            m_fixture->writePage(QStringLiteral("view/going-big.html"), big + "</body></html>");
        auto going = std::make_unique<KelvWebView>(m_window.get());
        going->resize(200, 150);
        going->show();
        QVERIFY(loadAndWait(*going, first));
        QPointer<KelvPage> page = going->kelvPage();
        QSignalSpy sent(m_client.get(), &ClientHandler::eventSent);
        QSignalSpy started(page.data(), &QWebEnginePage::loadStarted);
        page->load(second);
        QVERIFY(started.wait(20000));
        const int before = sent.count();
        going.reset();
        QVERIFY(page.isNull());
        QCOMPARE(sent.count(), before);
        QTest::qWait(200);
        QCOMPARE(sent.count(), before);
        QCOMPARE(m_client->listener(), nullptr);
        m_client->setListener(m_view.get());
    }

    void queriesReachTheMainThreadInOrder()
    {
        QStringList received;
        QList<QThread *> threads;
        connect(m_view.get(), &KelvWebView::jsMessage, this,
                [&](const QString &request, const QueryCallbackPtr &) {
                    QCOMPARE(QThread::currentThread(), qApp->thread());
                    received << request;
                });
        std::thread poster([this] {
            for (int i = 0; i < 100; ++i)
                m_view->deliverQuery(QString::number(i), RecordingCallback::create());
        });
        poster.join();
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 100, 20000);
        for (int i = 0; i < 100; ++i)
            QCOMPARE(received.at(i), QString::number(i));
        disconnect(m_view.get(), &KelvWebView::jsMessage, this, nullptr);
    }

    void commandLineSwitches()
    {
        ClientHandler client;
        QCOMPARE(client.mouseCursorChangeDisabled(), false);
        client.applySwitches({QStringLiteral("kelv"), QStringLiteral("-autostart"),
                              QStringLiteral("--url=file:///x/view/index.html"),
                              QStringLiteral("-mouse-cursor-change-disabled")});
        QCOMPARE(client.startupAddress(), QStringLiteral("file:///x/view/index.html"));
        QVERIFY(client.mouseCursorChangeDisabled());
        QCOMPARE(ClientHandler::instance(), m_client.get());
    }

    // Before a quit the page is asked until its held-back edits are sent; a
    // page that never finishes, or has no such question, does not hold the
    // quit up beyond the limit.
    void pendingEditsAreWaitedForWithinALimit_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<int>("asks");
        QTest::addColumn<bool>("sentBeforeTheLimit");
        QTest::newRow("sending, twice")
            << QByteArray("window.kelvSendPendingEdits = () => ++asks < 3;") << 3 << true;
        QTest::newRow("never done")
            << QByteArray("window.kelvSendPendingEdits = () => ++asks > 0;") << -1 << false;
        QTest::newRow("no question") << QByteArray() << 0 << true;
        QTest::newRow("answers not a boolean")
            << QByteArray("window.kelvSendPendingEdits = () => (++asks, 'yes');") << 1 << true;
    }

    void pendingEditsAreWaitedForWithinALimit()
    {
        QFETCH(QByteArray, script);
        QFETCH(int, asks);
        QFETCH(bool, sentBeforeTheLimit);
        const QUrl url =
            m_fixture->writePage(QStringLiteral("view/edits-%1.html")
                                     .arg(QTest::currentDataTag())
                                     .replace(QLatin1Char(' '), QLatin1Char('-')),
                                 "<!DOCTYPE html><html><body><script>window.asks = 0;" + script +
                                     "</script></body></html>");
        QVERIFY(loadAndWait(*m_view, url));
        // Long where the pages finish (no race with a slow machine), short where not.
        const int limitMs = sentBeforeTheLimit ? 10000 : 500;
        PendingEdits edits;
        QSignalSpy sent(&edits, &PendingEdits::sent);
        QElapsedTimer clock;
        clock.start();
        edits.send({kpage()}, limitMs);
        QCOMPARE(sent.count(), 0); // never from within send()
        QVERIFY(waitUntil([&] { return sent.count() > 0; }));
        // (The limit's timer may fire up to 5 % early.)
        QCOMPARE(clock.elapsed() < limitMs * 9 / 10, sentBeforeTheLimit);
        QTest::qWait(2 * PendingEdits::AskAgainMs);
        QCOMPARE(sent.count(), 1);
        const int asked = runJs(kpage(), QStringLiteral("window.asks")).toInt();
        if (asks >= 0)
            QCOMPARE(asked, asks);
        else
            QVERIFY2(asked > 2, qPrintable(QString::number(asked)));
    }

    // Last: the switch stays on for the rest of the process.
    void cursorChangesCanBeDisabled()
    {
        const QUrl url = m_fixture->writePage(QStringLiteral("view/cursor.html"), "<p>c</p>");
        KelvWebView normal(m_window.get());
        normal.resize(100, 100);
        normal.show();
        QVERIFY(loadAndWait(normal, url));
        QVERIFY(normal.focusProxy());
        normal.focusProxy()->setCursor(Qt::PointingHandCursor);
        QCOMPARE(normal.focusProxy()->cursor().shape(), Qt::PointingHandCursor);

        m_client->applySwitches({QStringLiteral("--mouse-cursor-change-disabled")});
        KelvWebView fixed(m_window.get());
        fixed.resize(100, 100);
        fixed.show();
        QVERIFY(loadAndWait(fixed, url));
        QVERIFY(fixed.focusProxy());
        fixed.focusProxy()->setCursor(Qt::PointingHandCursor);
        QCOMPARE(fixed.focusProxy()->cursor().shape(), Qt::ArrowCursor);
        m_client->setListener(m_view.get());
    }
};

int main(int argc, char **argv)
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestWebView test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_web_view.moc"
