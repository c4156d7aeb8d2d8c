// The main window as the user meets it: size from the settings, frameless
// window that only hides on close, the popup toggled by the hot key with the
// listener following the active window, the tray icon, the window requests.
#include "app/application_host.h"
#include "app/cef_application.h"
#include "app/main_window.h"
#include "app/pop_widget.h"
#include "app/window_geometry.h"
#include "bridge/dispatcher.h"
#include "bridge/request_router.h"
#include "browser/client_handler.h"
#include "browser/kelv_page.h"
#include "browser/kelv_web_view.h"
#include "browser/web_profile.h"
#include "common/app_paths.h"
#include "desktop/macro_recorder.h"
#include "desktop/qxt_global_shortcut.h"
#include "desktop/system_tray.h"
#include "tests/testsupport/scripted_dialogs.h"
#include "tests/testsupport/xvfb_server.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUuid>
#include <climits>
#include <memory>

using namespace kelv;
using MainWindow = kelv::shell::kelv;

namespace {

QString settingsFile(const QTemporaryDir &dir, const QByteArray &clientAttributes)
{
    const QString path = dir.filePath(QUuid::createUuid().toString(QUuid::WithoutBraces) + ".xml");
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("<?xml version=\"1.0\"?>\n<root>\n\t<client " + clientAttributes +
                   " />\n</root>\n");
    return path;
}

using test::xdotool;

// The main window with the application host it works with, built as the
// application object builds them (the window goes first). The desktop has a
// tray unless a case takes it away.
struct Shell
{
    explicit Shell(ClientSettings &settings) : host(settings), window(settings, host)
    {
        window.setTrayAvailability([] { return true; });
    }
    ApplicationHost host;
    MainWindow window;
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

public:
    explicit TestMainWindow(const QString &storage) : m_storage(storage) {}

private:
    // The answers the test page collected, as one text.
    static QString answersOf(QWebEngineView *view)
    {
        QString result;
        bool done = false;
        view->page()->runJavaScript("window.answers ? window.answers.join('|') : ''",
                                    [&](const QVariant &value) {
                                        result = value.toString();
                                        done = true;
                                    });
        for (int i = 0; i < 2000 && !done; ++i)
            QTest::qWait(5);
        return result;
    }

    QString m_storage;
    QTemporaryDir m_dir;
    test::ScriptedDialogs m_dialogs;

    ClientSettings settingsWith(const QByteArray &attributes)
    {
        ClientSettings settings;
        settings.load(settingsFile(m_dir, attributes));
        return settings;
    }

    // A page of the program that runs script as it loads: index.html in a view
    // folder of this test, which becomes the folder whose pages use the bridge.
    QUrl programPage(const QString &folderName, const QByteArray &script)
    {
        const QString viewFolder = m_dir.filePath(folderName);
        QDir().mkpath(viewFolder);
        QFile page(viewFolder + "/index.html");
        if (page.open(QIODevice::WriteOnly))
            page.write("<html><body><script>window.answers = [];" + script +
                       "</script></body></html>");
        ClientHandler::instance()->setPageFolder(viewFolder);
        return QUrl::fromLocalFile(viewFolder + "/index.html");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // No case may wait for a person.
        Dialogs::install(&m_dialogs);
        // No X server: hot keys cannot be registered (a later case brings one).
        qunsetenv("DISPLAY");
    }

    void sizeComesFromClientSize_data()
    {
        QTest::addColumn<QByteArray>("attributes");
        QTest::addColumn<QSize>("size");
        QTest::newRow("given") << QByteArray("clientSize=\"1024,700\"") << QSize(1024, 700);
        QTest::newRow("blanks") << QByteArray("clientSize=\" 900 , 650\"") << QSize(900, 650);
        QTest::newRow("absent") << QByteArray("language=\"en\"") << QSize(800, 600);
        QTest::newRow("one part") << QByteArray("clientSize=\"1024\"") << QSize(800, 600);
        QTest::newRow("words") << QByteArray("clientSize=\"wide,tall\"") << QSize(800, 600);
        QTest::newRow("zero") << QByteArray("clientSize=\"0,600\"") << QSize(800, 600);
        QTest::newRow("empty") << QByteArray("clientSize=\"\"") << QSize(800, 600);
        // A typo in a hand-edited file: a window far beyond any screen would
        // take gigabytes for its page, or end the program at every start.
        QTest::newRow("huge") << QByteArray("clientSize=\"100000,100000\"") << QSize(800, 600);
        QTest::newRow("too high") << QByteArray("clientSize=\"1024,8193\"") << QSize(800, 600);
    }

    void sizeComesFromClientSize()
    {
        QFETCH(QByteArray, attributes);
        QFETCH(QSize, size);
        ClientSettings settings = settingsWith(attributes);
        Shell windowShell(settings);
        MainWindow &window = windowShell.window;
        QCOMPARE(window.size(), size);
        QCOMPARE(window.minimumSize(), size);
        QCOMPARE(window.webView()->size(), size);
        // It cannot be made smaller than that.
        window.resize(size.width() - 100, size.height() - 100);
        QCOMPARE(window.size(), size);
    }

    void missingSettingsGiveTheDefaults()
    {
        ClientSettings none;
        none.load(m_dir.filePath("absent.xml"));
        Shell windowShell(none);
        MainWindow &window = windowShell.window;
        QCOMPARE(window.size(), QSize(800, 600));
        QVERIFY(!window.hotKeyRegistered("showConf"));
        QVERIFY(!window.hotKeyRegistered("testTool"));
    }

    void framelessWindowWithTitleIconAndPage()
    {
        ClientSettings settings = settingsWith("clientSize=\"1024,700\"");
        Shell windowShell(settings);
        MainWindow &window = windowShell.window;
        QCOMPARE(window.objectName(), QStringLiteral("kelvClass"));
        QCOMPARE(int(window.windowFlags()), 0x6801);
        QCOMPARE(window.windowTitle(), QStringLiteral("Gaming Mouse Software"));
        // The icon comes with the tray, once the page has started.
        window.setupTray();
        QVERIFY(!window.windowIcon().isNull());
        QCOMPARE(window.windowIcon().availableSizes(), QList<QSize>{QSize(256, 256)});
        QVERIFY(window.hasMouseTracking());
        QCOMPARE(window.webView()->parentWidget(), &window);

        const QUrl page = QUrl::fromLocalFile(applicationFolder() + "/view/index.html");
        QCOMPARE(window.pageAddress(), page);
        QCOMPARE(window.webView()->address(), page);
        QCOMPARE(ClientHandler::instance()->startupAddress(), page.toString());
        QVERIFY(window.webView()->browserState() != KelvWebView::NoBrowser);
    }

    void closeOnlyHidesAndResizeCarriesTheView()
    {
        ClientSettings settings = settingsWith("clientSize=\"800,600\"");
        Shell windowShell(settings);
        MainWindow &window = windowShell.window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(!window.close());
        QVERIFY(!window.isVisible());
        QVERIFY(!window.testAttribute(Qt::WA_DeleteOnClose));

        window.show();
        window.resize(1100, 760);
        QCOMPARE(window.webView()->size(), QSize(1100, 760));
    }

    void closingWithoutATrayMinimisesAndSaysSoOnce()
    {
        const QString conf = settingsFile(m_dir, "clientSize=\"640,480\" language=\"de-DE\"");
        ClientSettings settings;
        settings.load(conf);
        Shell windowShell(settings);
        MainWindow &window = windowShell.window;
        window.setTrayAvailability([] { return false; });
        m_dialogs = test::ScriptedDialogs();
        m_dialogs.messageAnswers = {QMessageBox::Ok};
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QString path = m_dir.filePath("no-tray.xml");
        window.profiles().store(path, "<conf/>\n");

        // The window system's close: minimised, never hidden; saved; told why.
        QVERIFY(!window.close());
        QVERIFY(window.isVisible());
        QVERIFY(window.isMinimized());
        QVERIFY(QFile::exists(path));
        QCOMPARE(m_dialogs.captions, QStringList{QStringLiteral("kelv läuft weiter")});
        QVERIFY2(m_dialogs.texts.value(0).contains(QStringLiteral("Infobereich")),
                 qPrintable(m_dialogs.texts.value(0)));

        // The page's close button does the same, without a second message;
        // a later start remembers the message from conf.xml.
        window.showNormal();
        window.hideWindow();
        QVERIFY(window.isVisible() && window.isMinimized());
        ClientSettings again;
        again.load(conf);
        QCOMPARE(again.value(QStringLiteral("trayNoticeShown")), QStringLiteral("1"));
        QCOMPARE(again.value(QStringLiteral("language")), QStringLiteral("de-DE"));
        Shell next(again);
        next.window.setTrayAvailability([] { return false; });
        next.window.show();
        QVERIFY(!next.window.close());
        QVERIFY(next.window.isMinimized());
        QCOMPARE(m_dialogs.captions.size(), 1);
        QCOMPARE(windowShell.host.trayAvailable(), false);
    }

    void aTrayThatGoesAwayBringsTheHiddenWindowBack()
    {
        ClientSettings settings = settingsWith("clientSize=\"640,480\"");
        Shell windowShell(settings);
        MainWindow &window = windowShell.window;
        bool tray = true;
        window.setTrayAvailability([&tray] { return tray; });
        window.setupTray();
        m_dialogs = test::ScriptedDialogs();
        window.show();
        QVERIFY(!window.close());
        QVERIFY(!window.isVisible());
        QTest::qWait(3500); // a check while the tray is there changes nothing
        QVERIFY(!window.isVisible());
        tray = false;
        QTRY_VERIFY_WITH_TIMEOUT(window.isVisible(), 5000);
        QVERIFY(window.isMinimized());
        QVERIFY(m_dialogs.captions.isEmpty());

        // Started without the window (-autostart): in the tray when there is
        // one; else minimised unless a tray comes up in time.
        using namespace std::chrono_literals;
        ClientSettings other = settingsWith("clientSize=\"640,480\"");
        Shell withTray(other);
        withTray.window.startInBackground(100ms);
        Shell lateTray(other);
        bool late = false;
        lateTray.window.setTrayAvailability([&late] { return late; });
        lateTray.window.startInBackground(300ms);
        late = true;
        Shell withoutTray(other);
        withoutTray.window.setTrayAvailability([] { return false; });
        withoutTray.window.startInBackground(100ms);
        QVERIFY(!withoutTray.window.isVisible());
        QTRY_VERIFY(withoutTray.window.isVisible() && withoutTray.window.isMinimized());
        QTest::qWait(400);
        QVERIFY(!withTray.window.isVisible());
        QVERIFY(!lateTray.window.isVisible());
    }

    void trayShowsTheWindowAndFollowsTheLanguage()
    {
        ClientSettings settings = settingsWith("language=\"zh-HK\"");
        Shell windowShell(settings);
        MainWindow &window = windowShell.window;
        window.setupTray();
        SystemTray *tray = window.tray();
        QVERIFY(tray);
        QVERIFY(tray->isVisible());
        QCOMPARE(tray->openAction()->text(), QStringLiteral("Open"));

        // Opening the menu puts it in the current language.
        emit tray->activated(QSystemTrayIcon::Context);
        QCOMPARE(tray->openAction()->text(), QStringLiteral("開啟"));
        QCOMPARE(tray->exitAction()->text(), QStringLiteral("結束"));
        settings.setValue("language", "de-DE");
        emit tray->activated(QSystemTrayIcon::Context);
        QCOMPARE(tray->exitAction()->text(), QStringLiteral("Beenden"));
        QVERIFY(!window.isVisible());

        // A click brings back a minimised, hidden window in the normal state.
        window.showMinimized();
        window.hide();
        emit tray->activated(QSystemTrayIcon::Trigger);
        QVERIFY(window.isVisible());
        QVERIFY(!window.isMinimized());
        QVERIFY(!window.isMaximized());

        // A middle click does nothing.
        window.hide();
        emit tray->activated(QSystemTrayIcon::MiddleClick);
        QVERIFY(!window.isVisible());

        // "Open" shows the hidden window.
        tray->openAction()->trigger();
        QVERIFY(window.isVisible());

        // "Open" brings back a minimised window too (the page's minimise
        // button leaves it in the task bar), maximised as it was.
        window.showMaximized();
        window.showMinimized();
        QTRY_VERIFY(window.isMinimized());
        tray->openAction()->trigger();
        QTRY_VERIFY(!window.isMinimized());
        QVERIFY(window.isVisible());
        QVERIFY(window.isMaximized());
    }

    void popupTogglesAndTheListenerFollows()
    {
        ClientSettings settings = settingsWith("clientSize=\"800,600\"");
        Shell windowShell(settings);
        MainWindow &window = windowShell.window;
        window.show();
        ClientHandler *client = ClientHandler::instance();
        QEvent activate(QEvent::WindowActivate);
        QCoreApplication::sendEvent(&window, &activate);
        QCOMPARE(client->listener(), window.webView());
        QCOMPARE(client->mainWindowHandle(), &window);

        window.showMouseConf();
        QPointer<PopWidget> popup = window.popup();
        QVERIFY(popup);
        QVERIFY(popup->isVisible());
        QCOMPARE(popup->parentWidget(), &window);
        QCOMPARE(int(popup->windowFlags()), int(Qt::Dialog | Qt::FramelessWindowHint));
        QCOMPARE(popup->size(), QSize(1000, 670));
        QCOMPARE(popup->webView()->size(), QSize(1000, 670));
        QCOMPARE(popup->webView()->address(), window.pageAddress());
        QCOMPARE(client->listener(), popup->webView());
        QCOMPARE(client->mainWindowHandle(), popup.data());

        // Activating the main window gives it the listener back; activating
        // the popup takes it again.
        QCoreApplication::sendEvent(&window, &activate);
        QCOMPARE(client->listener(), window.webView());
        QCoreApplication::sendEvent(popup.data(), &activate);
        QCOMPARE(client->listener(), popup->webView());
        QCOMPARE(client->mainWindowHandle(), popup.data());

        window.showMouseConf();
        QVERIFY(!window.popup());
        QCOMPARE(client->listener(), window.webView());
        QCOMPARE(client->mainWindowHandle(), &window);
        QTRY_VERIFY(popup.isNull());

        // And once more: a fresh popup.
        window.showMouseConf();
        QVERIFY(window.popup());
        QVERIFY(window.popup()->isVisible());
    }

    // A popup whose page lost its contract for good (the engine left it out
    // after a renderer was killed) is opened again with a page of its own,
    // once; the hot key's next popup may be opened again in its turn.
    void aPopupWithoutItsContractIsOpenedAgainOnce()
    {
        ClientSettings settings = settingsWith("clientSize=\"800,600\"");
        Shell windowShell(settings);
        MainWindow &window = windowShell.window;
        window.show();
        ClientHandler *client = ClientHandler::instance();
        for (int round = 0; round < 2; ++round) {
            window.showMouseConf();
            QPointer<PopWidget> first = window.popup();
            QVERIFY(first && first->isVisible());
            emit first->webView()->kelvPage()->contractLost();
            QPointer<PopWidget> again = window.popup();
            QVERIFY(again && again != first);
            QVERIFY(again->isVisible());
            QCOMPARE(again->webView()->address(), window.pageAddress());
            QCOMPARE(client->listener(), again->webView());
            QCOMPARE(client->mainWindowHandle(), again.data());
            QTRY_VERIFY(first.isNull());

            // Without it again: left as it is.
            emit again->webView()->kelvPage()->contractLost();
            QCOMPARE(window.popup(), again.data());
            QVERIFY(again->isVisible());
            window.showMouseConf(); // closed by the hot key
            QTRY_VERIFY(again.isNull());
        }
    }

    void windowRequestsMoveMinimiseMaximiseRestore()
    {
        ClientSettings settings = settingsWith("clientSize=\"640,480\"");
        Shell windowShell(settings);
        MainWindow &window = windowShell.window;
        window.setGeometry(50, 50, 640, 480);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        ClientHandler::instance()->setMainWindowHandle(&window);

        // Restore before any maximise keeps the window as it is.
        window.restoreWindow();
        QCOMPARE(window.geometry(), QRect(50, 50, 640, 480));

        window.moveWindow(10, -20, 700, 500);
        QCOMPARE(window.geometry(), QRect(60, 30, 700, 500));

        window.maximiseWindow();
        QCOMPARE(window.savedGeometry(), QRect(60, 30, 700, 500));
        QCOMPARE(window.geometry(), QGuiApplication::primaryScreen()->availableGeometry());
        window.restoreWindow();
        QCOMPARE(window.geometry(), QRect(60, 30, 700, 500));

        // The exact request texts reach the same operations through the slot.
        window.onJsMessage(R"({"funcname":"maxsizeWindow"})", {});
        QCOMPARE(window.geometry(), QGuiApplication::primaryScreen()->availableGeometry());
        window.onJsMessage(R"({"funcname":"restoreWindow"})", {});
        QCOMPARE(window.geometry(), QRect(60, 30, 700, 500));

        window.toggleMinimised();
        QVERIFY(window.isMinimized());
        window.toggleMinimised();
        QVERIFY(!window.isMinimized());

        // A minimised window is restored in place with the new size.
        window.showMinimized();
        window.moveWindow(50, 50, 720, 520);
        QVERIFY(!window.isMinimized());
        QCOMPARE(window.geometry(), QRect(60, 30, 720, 520));

        // The popup's page has the same title bar: its maximise and restore
        // act on the popup, the window active last, and leave the main
        // window (and the geometry it keeps) alone.
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        window.maximiseWindow();
        window.showMouseConf();
        PopWidget *popup = window.popup();
        QVERIFY(QTest::qWaitForWindowExposed(popup));
        popup->setGeometry(20, 30, 500, 400);
        window.onJsMessage(R"({"funcname":"maxsizeWindow"})", {});
        QCOMPARE(popup->geometry(), available);
        QCOMPARE(window.geometry(), available);
        window.onJsMessage(R"({"funcname":"restoreWindow"})", {});
        QCOMPARE(popup->geometry(), QRect(20, 30, 500, 400));
        QCOMPARE(window.geometry(), available);
        // The main window active again: its own kept geometry comes back.
        QEvent activate(QEvent::WindowActivate);
        QCoreApplication::sendEvent(&window, &activate);
        window.onJsMessage(R"({"funcname":"restoreWindow"})", {});
        QCOMPARE(window.geometry(), QRect(60, 30, 720, 520));
        QCOMPARE(popup->geometry(), QRect(20, 30, 500, 400));
        window.showMouseConf();
    }

    // What a window request may make of the window: within the area, never
    // below the minimum size, whatever numbers the page sends.
    void windowGeometryIsFittedToTheArea_data()
    {
        QTest::addColumn<qint64>("x");
        QTest::addColumn<qint64>("y");
        QTest::addColumn<qint64>("width");
        QTest::addColumn<qint64>("height");
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QSize>("minimum");
        QTest::addColumn<QRect>("fitted");
        const QRect screen(0, 0, 1920, 1080);
        const QSize minimum(800, 600);
        QTest::newRow("inside") << 100LL << 50LL << 900LL << 700LL << screen << minimum
                                << QRect(100, 50, 900, 700);
        QTest::newRow("largest ints")
            << 0LL << 0LL << qint64(INT_MAX) << qint64(INT_MAX) << screen << minimum << screen;
        QTest::newRow("moved beyond int") << qint64(INT_MAX) * 2 << qint64(INT_MIN) * 2 << 900LL
                                          << 700LL << screen << minimum << QRect(1020, 0, 900, 700);
        QTest::newRow("over the edge")
            << 1800LL << 900LL << 900LL << 700LL << screen << minimum << QRect(1020, 380, 900, 700);
        QTest::newRow("negative size")
            << 10LL << 10LL << -5LL << 0LL << screen << minimum << QRect(10, 10, 800, 600);
        QTest::newRow("no minimum")
            << 10LL << 10LL << 0LL << -1LL << screen << QSize() << QRect(10, 10, 1, 1);
        QTest::newRow("screen smaller than the minimum")
            << 50LL << 50LL << 1000LL << 1000LL << QRect(0, 0, 640, 480) << minimum
            << QRect(0, 0, 800, 600);
        QTest::newRow("second screen")
            << 0LL << 0LL << 5000LL << 300LL << QRect(1920, -200, 1280, 1024) << minimum
            << QRect(1920, 0, 1280, 600);
    }

    void windowGeometryIsFittedToTheArea()
    {
        QFETCH(qint64, x);
        QFETCH(qint64, y);
        QFETCH(qint64, width);
        QFETCH(qint64, height);
        QFETCH(QRect, area);
        QFETCH(QSize, minimum);
        QFETCH(QRect, fitted);
        QCOMPARE(fitWindowGeometry(x, y, width, height, area, minimum), fitted);
    }

    // Maximise fills the screen the window is on: the one under its centre,
    // else the one it overlaps most (it used to be the primary screen always).
    void maximiseTakesTheScreenTheWindowIsOn_data()
    {
        QTest::addColumn<QRect>("frame");
        QTest::addColumn<qsizetype>("screen");
        const QRect left(0, 0, 1920, 1080);
        const QRect right(1920, -200, 1280, 1024);
        QTest::newRow("on the first") << QRect(100, 100, 800, 600) << qsizetype(0);
        QTest::newRow("on the second") << QRect(2000, 0, 800, 600) << qsizetype(1);
        QTest::newRow("centre on the second") << QRect(1500, 0, 1000, 600) << qsizetype(1);
        QTest::newRow("centre on the first") << QRect(1300, 0, 1000, 600) << qsizetype(0);
        QTest::newRow("centre below the second, mostly on it")
            << QRect(1800, 700, 1000, 400) << qsizetype(1);
        QTest::newRow("on none") << QRect(5000, 5000, 800, 600) << qsizetype(-1);
    }

    void maximiseTakesTheScreenTheWindowIsOn()
    {
        QFETCH(QRect, frame);
        QFETCH(qsizetype, screen);
        const QList<QRect> screens{QRect(0, 0, 1920, 1080), QRect(1920, -200, 1280, 1024)};
        QCOMPARE(screenOfWindow(frame, screens), screen);
        QCOMPARE(screenOfWindow(frame, {}), qsizetype(-1));
    }

    // The page's maximise followed by a move to 2147483647 x 2147483647 took
    // the browser down; the window requests keep the window on the screen at
    // no less than its minimum size.
    void windowRequestsStayOnTheScreen()
    {
        ClientSettings settings = settingsWith("clientSize=\"640,480\"");
        Shell windowShell(settings);
        MainWindow &window = windowShell.window;
        window.setGeometry(100, 100, 640, 480);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        ClientHandler::instance()->setMainWindowHandle(&window);
        const QRect available = window.screen()->availableGeometry();

        window.maximiseWindow();
        window.moveWindow(0, 0, INT_MAX, INT_MAX);
        QCOMPARE(window.geometry(), available);
        QCOMPARE(window.webView()->size(), available.size());
        window.moveWindow(INT_MAX, INT_MIN, 700, 500);
        QCOMPARE(window.geometry(), QRect(available.right() - 699, available.top(), 700, 500));
        window.moveWindow(INT_MIN, INT_MAX, -1, 0);
        QCOMPARE(window.geometry(), QRect(available.left(), available.bottom() - 479, 640, 480));
        // A minimised window comes back in place, fitted likewise.
        window.showMinimized();
        window.moveWindow(0, 0, INT_MAX, 10);
        QVERIFY(!window.isMinimized());
        QCOMPARE(window.geometry(),
                 QRect(available.left(), available.bottom() - 479, available.width(), 480));
        // A kept geometry that no longer fits (the screen changed) is fitted
        // on the way back.
        window.setGeometry(available.right() - 99, 0, 640, 480);
        window.maximiseWindow();
        window.restoreWindow();
        QCOMPARE(window.geometry(), QRect(available.right() - 639, 0, 640, 480));
    }

    void hideSavesTheModifiedProfiles()
    {
        ClientSettings settings = settingsWith("clientSize=\"640,480\"");
        Shell windowShell(settings);
        MainWindow &window = windowShell.window;
        window.show();
        const QString path = m_dir.filePath("profile.xml");
        window.profiles().store(path, "<conf>\n<a/>\n</conf>\n");
        window.hideWindow();
        QVERIFY(!window.isVisible());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("<conf>\r\n<a/>\r\n</conf>\r\n"));
        QVERIFY(window.profiles().modified().isEmpty());
    }

    void hidingFromThePopupClosesThePopup()
    {
        ClientSettings settings = settingsWith("clientSize=\"640,480\"");
        Shell windowShell(settings);
        MainWindow &window = windowShell.window;
        window.show();
        window.showMouseConf();
        QPointer<PopWidget> popup = window.popup();
        QVERIFY(popup && popup->isVisible());
        const QString path = m_dir.filePath("popup-profile.xml");
        window.profiles().store(path, "<conf/>\n");
        // The popup is the active window: its page's close button closes it.
        window.hideWindow();
        QVERIFY(!window.popup());
        QVERIFY(window.isVisible());
        QVERIFY(window.profiles().modified().isEmpty());
        QCOMPARE(ClientHandler::instance()->mainWindowHandle(), &window);
        QTRY_VERIFY(popup.isNull());
        // Once the main window was activated again, it is the one that hides.
        window.showMouseConf();
        QEvent activate(QEvent::WindowActivate);
        QCoreApplication::sendEvent(&window, &activate);
        window.hideWindow();
        QVERIFY(!window.isVisible());
        QVERIFY(window.popup() && window.popup()->isVisible());
    }

    void hotKeysAreRegisteredAndToggleThePopup()
    {
        test::XvfbServer x;
        QVERIFY(x.isRunning());
        qputenv("DISPLAY", x.display().toLocal8Bit());
        {
            // Keeps a client on the X server so it never resets between the
            // registrations below (a desktop always has other clients).
            QxtGlobalShortcut keepAlive;
            QVERIFY(keepAlive.setShortcut(QKeySequence("Ctrl+Alt+F12")));
            ClientSettings settings =
                settingsWith("showConf=\"Ctrl+Alt+M\" testTool=\"Ctrl+Alt+T\"");
            Shell windowShell(settings);
            MainWindow &window = windowShell.window;
            QVERIFY(window.hotKeyRegistered("showConf"));
            QVERIFY(window.hotKeyRegistered("testTool"));
            QCOMPARE(window.showConfHotKey()->shortcut(), QKeySequence("Ctrl+Alt+M"));

            QVERIFY(xdotool(x.display(), {"key", "ctrl+alt+m"}));
            QTRY_VERIFY(window.popup() && window.popup()->isVisible());
            QVERIFY(xdotool(x.display(), {"key", "ctrl+alt+m"}));
            QTRY_VERIFY(!window.popup());

            // The testTool key is taken but does nothing.
            QVERIFY(xdotool(x.display(), {"key", "ctrl+alt+t"}));
            QTest::qWait(200);
            QVERIFY(!window.popup());

            // Re-registration (the settings command) moves the key.
            QVERIFY(window.registerHotKey("showConf", "Ctrl+Alt+S"));
            QVERIFY(window.hotKeyRegistered("showConf"));
            QVERIFY(xdotool(x.display(), {"key", "ctrl+alt+s"}));
            QTRY_VERIFY(window.popup());
            window.showMouseConf();

            QVERIFY(!window.registerHotKey("testTool", ""));
            QVERIFY(!window.hotKeyRegistered("testTool"));
            QVERIFY(!window.registerHotKey("other", "Ctrl+Alt+O"));

            // A second window cannot take the same key.
            ClientSettings same = settingsWith("showConf=\"Ctrl+Alt+S\"");
            Shell secondShell(same);
            MainWindow &second = secondShell.window;
            QVERIFY(!second.hotKeyRegistered("showConf"));
        }
        qunsetenv("DISPLAY");
    }

    void pageRequestsReachTheCommandsOfTheWindow()
    {
        // A page of the program (in a view folder of this test) asks getConf
        // through the page contract; the answer comes from the settings
        // commands behind the main window's request slot.
        const QUrl pageUrl = programPage(
            "view", "window.cefQuery({request: '{\"funcname\":\"getConf\"}',"
                    " onSuccess: function (t) { window.answers.push('ok:' + t); },"
                    " onFailure: function (c, t) { window.answers.push('fail:' + t); }});");

        ClientSettings settings = settingsWith("version=\"4.5\" clientSize=\"640,480\"");
        Shell windowShell(settings);
        MainWindow &window = windowShell.window;
        window.show();
        QSignalSpy loaded(window.webView(), &QWebEngineView::loadFinished);
        windowShell.host.loadUrl(pageUrl);
        QVERIFY(loaded.wait(30000));
        QTRY_VERIFY_WITH_TIMEOUT(answersOf(window.webView()).contains("\"version\":\"4.5\""),
                                 30000);
        QVERIFY(answersOf(window.webView()).startsWith("ok:"));

        // The popup's page is served the same way.
        window.showMouseConf();
        KelvWebView *popupView = window.popup()->webView();
        QSignalSpy popupLoaded(popupView, &QWebEngineView::loadFinished);
        popupView->load(pageUrl);
        QVERIFY(popupLoaded.wait(30000));
        QTRY_VERIFY_WITH_TIMEOUT(answersOf(popupView).contains("\"version\":\"4.5\""), 30000);
        ClientHandler::instance()->setPageFolder(QString());
    }

    void aRecordingEndsWithThePageThatStartedIt()
    {
        // A page of the program that starts a macro recording as it loads
        // (unless it shows its macros screen).
        const QUrl pageUrl = programPage(
            "recording-view", "if (location.hash !== '#macros')"
                              " window.cefQuery({request: '{\"funcname\":\"startRecord\"}',"
                              " onSuccess: function (t) { window.answers.push(t); }});");

        ClientSettings settings = settingsWith("clientSize=\"640,480\"");
        Shell windowShell(settings);
        MainWindow &window = windowShell.window;
        MacroRecorder *recorder = windowShell.host.recorder();
        // The keys typed into the program's windows: no display server needed.
        recorder->setScope(MacroRecorder::Scope::Window);
        window.show();

        // Started in the popup's page: closing the popup ends the recording.
        window.showMouseConf();
        QPointer<PopWidget> popup = window.popup();
        QSignalSpy popupLoaded(popup->webView(), &QWebEngineView::loadFinished);
        popup->webView()->load(pageUrl);
        QVERIFY(popupLoaded.wait(30000));
        QTRY_COMPARE_WITH_TIMEOUT(answersOf(popup->webView()), QString("startRecord success!"),
                                  30000);
        QVERIFY(recorder->isRecording());
        QSignalSpy stopped(recorder, &MacroRecorder::recordingStopped);
        window.showMouseConf();
        QTRY_VERIFY(popup.isNull());
        QTRY_COMPARE(stopped.count(), 1);
        QVERIFY(!recorder->isRecording());

        // Started in the main page: a popup that comes and goes leaves it running.
        QSignalSpy loaded(window.webView(), &QWebEngineView::loadFinished);
        window.webView()->load(pageUrl);
        QVERIFY(loaded.wait(30000));
        QTRY_COMPARE_WITH_TIMEOUT(answersOf(window.webView()), QString("startRecord success!"),
                                  30000);
        QVERIFY(recorder->isRecording());
        window.showMouseConf();
        popup = window.popup();
        window.showMouseConf();
        QTRY_VERIFY(popup.isNull());
        QTest::qWait(100);
        QVERIFY(recorder->isRecording());
        QCOMPARE(stopped.count(), 1);

        // The page moving within its document (its screens) leaves it running;
        // the page loaded again is a new document that records nothing: the
        // recording ends.
        window.webView()->page()->runJavaScript(QStringLiteral("location.hash = '#macros';"));
        QTest::qWait(300);
        QVERIFY(recorder->isRecording());
        QCOMPARE(stopped.count(), 1);
        window.webView()->reload();
        QTRY_COMPARE_WITH_TIMEOUT(stopped.count(), 2, 30000);
        QVERIFY(!recorder->isRecording());
        ClientHandler::instance()->setPageFolder(QString());
    }

    void aClosedPopupGoesOnceItsPageHasSentItsLastWord()
    {
        // A page that, hidden, sends its changes and then saves them (two
        // requests, the second once the first is answered), as the program's
        // page does; or one whose second request never gets its answer.
        const QByteArray onHidden =
            "function send(name, then) {"
            " window.cefQuery({request: JSON.stringify({funcname: name}),"
            " onSuccess: then, onFailure: function () {}}); }"
            "document.addEventListener('visibilitychange', function () {"
            " if (document.hidden)"
            " send('firstWord', function () { send('%1', function () {}); }); });";
        int lastWords = 0;
        QList<QueryCallbackPtr> unanswered;
        ClientSettings settings = settingsWith("clientSize=\"640,480\"");
        Shell windowShell(settings);
        MainWindow &window = windowShell.window;
        Dispatcher &dispatcher = windowShell.host.router()->dispatcher();
        dispatcher.add("firstWord", [&window](const Members &, const QueryCallbackPtr &callback) {
            QTimer::singleShot(200, &window, [callback] { answerSuccess(callback, QString()); });
        });
        dispatcher.add("lastWord", [&](const Members &, const QueryCallbackPtr &callback) {
            ++lastWords;
            answerSuccess(callback, QString());
        });
        dispatcher.add("neverAnswered", [&](const Members &, const QueryCallbackPtr &callback) {
            unanswered.append(callback);
        });
        window.show();

        for (const char *request : {"lastWord", "neverAnswered"}) {
            const QUrl pageUrl = programPage(QString("popup-view-%1").arg(request),
                                             QString::fromLatin1(onHidden).arg(request).toLatin1());
            window.showMouseConf();
            QPointer<PopWidget> popup = window.popup();
            QSignalSpy loaded(popup->webView(), &QWebEngineView::loadFinished);
            popup->webView()->load(pageUrl);
            QVERIFY(loaded.wait(30000));
            QElapsedTimer closing;
            closing.start();
            window.showMouseConf();
            QVERIFY(!window.popup());
            QVERIFY(popup && !popup->isVisible());
            QTRY_VERIFY_WITH_TIMEOUT(popup.isNull(), 10000);
            // Never kept for long: not even by a request that gets no answer.
            QVERIFY2(closing.elapsed() < 5000, qPrintable(QString::number(closing.elapsed())));
        }
        QCOMPARE(lastWords, 1);
        QCOMPARE(unanswered.size(), 1);
        ClientHandler::instance()->setPageFolder(QString());
    }

    void closingWhileTheMonitorPollsAndThePageLoads()
    {
        // The window and the host go (as at the program's end) while the page
        // is still loading and the monitor thread runs: every monitor thread
        // has ended and is gone by then, and the page's last loading reports
        // reach nothing freed.
        ClientSettings settings = settingsWith("clientSize=\"640,480\"");
        auto shell = std::make_unique<Shell>(settings);
        MainWindow *window = &shell->window;
        window->show();
        QPointer<QThread> monitorThread = shell->host.monitorThread();
        QVERIFY(monitorThread);
        QTRY_VERIFY(monitorThread->isRunning());
        // A restart leaves a second thread behind that must end as well.
        window->restartProcessMoniter();
        QPointer<QThread> secondThread = shell->host.monitorThread();
        QVERIFY(secondThread && secondThread != monitorThread);
        QPointer<KelvPage> page = window->webView()->kelvPage();
        window->webView()->load(QUrl::fromLocalFile(m_dir.filePath("slow.html")));
        shell.reset();
        QVERIFY(monitorThread.isNull());
        QVERIFY(secondThread.isNull());
        QVERIFY(page.isNull());
        QVERIFY(!ClientHandler::instance()->browser());
        QTest::qWait(100); // nothing queued for the dead window may run into it
    }

    // Last: the quit request acts once per process.
    void quittingSavesAndActsOnce()
    {
        // Without a tray, with "Quits the program": the window system's close
        // quits after saving (minimising would contradict the setting).
        ClientSettings settings = settingsWith("clientSize=\"640,480\" closeFunc=\"closeapp\"");
        Shell windowShell(settings);
        MainWindow &window = windowShell.window;
        window.setTrayAvailability([] { return false; });
        m_dialogs = test::ScriptedDialogs();
        window.show();
        const QString closed = m_dir.filePath("closed.xml");
        window.profiles().store(closed, "<conf/>\n");
        QVERIFY(!cefApplication::quitRequested());
        QVERIFY(!window.close());
        QVERIFY(cefApplication::quitRequested());
        QCOMPARE(cefApplication::requestedExitCode(), 0);
        QVERIFY(QFile::exists(closed));
        QVERIFY(m_dialogs.captions.isEmpty());

        // The tray's Exit saves too; the quit request stays the first one.
        window.setTrayAvailability([] { return true; });
        window.setupTray();
        const QString path = m_dir.filePath("exit.xml");
        window.profiles().store(path, "<conf/>\n");
        window.tray()->exitAction()->trigger();
        QVERIFY(QFile::exists(path));
        cefApplication::requestQuit(3);
        QCOMPARE(cefApplication::requestedExitCode(), 0);
    }
};

int main(int argc, char **argv)
{
    QTemporaryDir storage;
    WebProfile::setStorageRoot(storage.path());
    cefApplication::Options options;
    options.serverName = QStringLiteral("kelv-test-") + QUuid::createUuid().toString();
    options.settingsPath = storage.filePath(QStringLiteral("none.xml"));
    options.createWindow = false;
    cefApplication application(argc, argv, options);
    ClientHandler client;
    TestMainWindow test(storage.path());
    return QTest::qExec(&test, argc, argv);
}

#include "tst_main_window.moc"
