#include "desktop/qxt_global_shortcut.h"
#include "desktop/system_tray.h"
#include "platform/global_hotkey.h"
#include "tests/testsupport/xvfb_server.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>
#include <memory>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

using namespace kelv;

namespace {

// Another X client that holds a key, as a second program would.
class OtherClient
{
public:
    explicit OtherClient(const QString &display)
    {
        m_connection = xcb_connect(display.toLocal8Bit().constData(), nullptr);
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
    }
    // Quitting releases the keys; wait until the server has done so, since
    // it handles the closing of a connection at its own pace.
    ~OtherClient()
    {
        std::free(
            xcb_request_check(m_connection, xcb_ungrab_key_checked(m_connection, XCB_GRAB_ANY,
                                                                   m_root, XCB_MOD_MASK_ANY)));
        xcb_disconnect(m_connection);
    }

    bool grab(xcb_keysym_t keysym, std::uint16_t modifiers)
    {
        xcb_key_symbols_t *symbols = xcb_key_symbols_alloc(m_connection);
        xcb_keycode_t *codes = xcb_key_symbols_get_keycode(symbols, keysym);
        bool ok = codes && codes[0] != XCB_NO_SYMBOL;
        if (ok) {
            xcb_void_cookie_t cookie =
                xcb_grab_key_checked(m_connection, 1, m_root, modifiers, codes[0],
                                     XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
            if (xcb_generic_error_t *error = xcb_request_check(m_connection, cookie)) {
                free(error);
                ok = false;
            }
        }
        free(codes);
        xcb_key_symbols_free(symbols);
        return ok;
    }

private:
    xcb_connection_t *m_connection = nullptr;
    xcb_window_t m_root = 0;
};

using test::xdotool;

} // namespace

class TestShellDesktop : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<test::XvfbServer> m_x;
    // An X server resets when its last client leaves and refuses connections
    // meanwhile; a desktop always has other clients, this one stands in.
    std::unique_ptr<OtherClient> m_keepAlive;

private slots:
    void initTestCase()
    {
        m_x = std::make_unique<test::XvfbServer>();
        QVERIFY2(m_x->isRunning(), "Xvfb did not start");
        qputenv("DISPLAY", m_x->display().toLocal8Bit());
        m_keepAlive = std::make_unique<OtherClient>(m_x->display());
    }

    void cleanupTestCase() { m_keepAlive.reset(); }

    void trayMenuTextsFollowTheLanguageTable_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("open");
        QTest::addColumn<QString>("exit");
        QTest::newRow("en") << "en"
                            << "Open"
                            << "Exit";
        QTest::newRow("zh") << "zh"
                            << "打开"
                            << "退出";
        QTest::newRow("zh-TW") << "zh-TW"
                               << "開啟"
                               << "結束";
        QTest::newRow("zh-HK") << "zh-HK"
                               << "開啟"
                               << "結束";
        QTest::newRow("zh-CN") << "zh-CN"
                               << "Open"
                               << "Exit";
        QTest::newRow("de-DE") << "de-DE"
                               << "Öffnen"
                               << "Beenden";
        QTest::newRow("de") << "de"
                            << "Open"
                            << "Exit";
        QTest::newRow("ja") << "ja"
                            << "開く"
                            << "終了";
        QTest::newRow("ru") << "ru"
                            << "Открыть"
                            << "Выход";
        QTest::newRow("ko") << "ko"
                            << "열기"
                            << "종료";
        QTest::newRow("case") << "ZH"
                              << "Open"
                              << "Exit";
    }

    void trayMenuTextsFollowTheLanguageTable()
    {
        QFETCH(QString, language);
        QFETCH(QString, open);
        QFETCH(QString, exit);
        QWidget owner;
        SystemTray tray(&owner);
        tray.setMenuLanguage(language);
        QCOMPARE(tray.openAction()->text(), open);
        QCOMPARE(tray.exitAction()->text(), exit);
    }

    void trayStartsInEnglishAndEmptyLanguageKeepsTheTexts()
    {
        QWidget owner;
        SystemTray tray(&owner);
        QVERIFY(!tray.icon().isNull());
        QCOMPARE(tray.contextMenu(), tray.menu());
        QCOMPARE(tray.menu()->parent(), &owner);
        const QList<QAction *> actions = tray.menu()->actions();
        QCOMPARE(actions.size(), 3);
        QCOMPARE(actions.at(0), tray.openAction());
        QVERIFY(actions.at(1)->isSeparator());
        QCOMPARE(actions.at(2), tray.exitAction());
        QCOMPARE(tray.openAction()->text(), QStringLiteral("Open"));
        QVERIFY(tray.isVisible());

        tray.setMenuLanguage("ru");
        tray.setMenuLanguage(QString());
        QCOMPARE(tray.openAction()->text(), QStringLiteral("Открыть"));
    }

    void trayMenuTakesTheLanguageAsItOpens()
    {
        QWidget owner;
        SystemTray tray(&owner);
        QString language = QStringLiteral("zh");
        tray.setLanguageSource([&language] { return language; });
        QCOMPARE(tray.openAction()->text(), QStringLiteral("Open"));
        // The menu is shown without any click report from the tray.
        tray.menu()->popup(QPoint(10, 10));
        QTRY_VERIFY(tray.menu()->isVisible());
        QCOMPARE(tray.openAction()->text(), QStringLiteral("打开"));
        QCOMPARE(tray.exitAction()->text(), QStringLiteral("退出"));
        tray.menu()->hide();
        language = QStringLiteral("ja");
        tray.menu()->popup(QPoint(10, 10));
        QTRY_VERIFY(tray.menu()->isVisible());
        QCOMPARE(tray.openAction()->text(), QStringLiteral("開く"));
        tray.menu()->hide();
        language.clear(); // an empty setting keeps the last texts
        tray.menu()->popup(QPoint(10, 10));
        QCOMPARE(tray.openAction()->text(), QStringLiteral("開く"));
        tray.menu()->hide();
    }

    void trayEntriesRaiseTheirSignals()
    {
        QWidget owner;
        SystemTray tray(&owner);
        QSignalSpy show(&tray, &SystemTray::showWidget);
        QSignalSpy close(&tray, &SystemTray::closeApp);
        tray.openAction()->trigger();
        QCOMPARE(show.count(), 1);
        QCOMPARE(close.count(), 0);
        tray.exitAction()->trigger();
        QCOMPARE(close.count(), 1);
    }

    void keySequencesMapToChords()
    {
        platform::HotKeyChord chord;
        QVERIFY(QxtGlobalShortcut::chordFor(
            QKeySequence(QStringLiteral("Ctrl+Alt+M"), QKeySequence::NativeText)[0], &chord));
        QCOMPARE(chord.keysym, std::uint32_t('m'));
        QVERIFY(chord.control && chord.alt && !chord.shift && !chord.meta);

        QVERIFY(
            QxtGlobalShortcut::chordFor(QKeySequence(QStringLiteral("Shift+Meta+F5"))[0], &chord));
        QCOMPARE(chord.keysym, std::uint32_t(0xffc2));
        QVERIFY(chord.shift && chord.meta && !chord.control);

        QVERIFY(QxtGlobalShortcut::chordFor(QKeySequence(QStringLiteral("Ctrl+1"))[0], &chord));
        QCOMPARE(chord.keysym, std::uint32_t('1'));
        QVERIFY(!QxtGlobalShortcut::chordFor(QKeyCombination(Qt::Key_Control), &chord));
    }

    void pressingTheKeyAnywhereActivates()
    {
        QxtGlobalShortcut shortcut;
        QSignalSpy activated(&shortcut, &QxtGlobalShortcut::activated);
        QVERIFY(shortcut.setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+M"))));
        QVERIFY(shortcut.isRegistered());
        QCOMPARE(shortcut.shortcut(), QKeySequence(QStringLiteral("Ctrl+Alt+M")));

        QVERIFY(xdotool(m_x->display(), {"key", "ctrl+alt+m"}));
        QTRY_COMPARE(activated.count(), 1);

        // Other modifiers are another key.
        QVERIFY(xdotool(m_x->display(), {"key", "ctrl+shift+alt+m", "ctrl+m"}));
        QVERIFY(xdotool(m_x->display(), {"key", "ctrl+alt+m"}));
        QTRY_COMPARE(activated.count(), 2);
        QTest::qWait(100);
        QCOMPARE(activated.count(), 2);

        // CapsLock on: the lock-key variants of the grab still catch it.
        QVERIFY(xdotool(m_x->display(), {"key", "Caps_Lock"}));
        QVERIFY(xdotool(m_x->display(), {"key", "ctrl+alt+m"}));
        QTRY_COMPARE(activated.count(), 3);
        QVERIFY(xdotool(m_x->display(), {"key", "Caps_Lock"}));

        shortcut.setEnabled(false);
        QVERIFY(xdotool(m_x->display(), {"key", "ctrl+alt+m"}));
        QTest::qWait(200);
        QCOMPARE(activated.count(), 3);
    }

    void keyHeldByAnotherProgramIsRefused()
    {
        auto other = std::make_unique<OtherClient>(m_x->display());
        QVERIFY(other->grab('k', XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1));

        QxtGlobalShortcut shortcut;
        QVERIFY(!shortcut.setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+K"))));
        QVERIFY(!shortcut.isRegistered());
        // The sequence is kept even though registration failed.
        QCOMPARE(shortcut.shortcut(), QKeySequence(QStringLiteral("Ctrl+Alt+K")));

        other.reset(); // the other program quits and frees the key
        QVERIFY(shortcut.setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+K"))));

        // Now we hold it, and nobody else gets it; after unset they do.
        OtherClient third(m_x->display());
        QVERIFY(!third.grab('k', XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1));
        QVERIFY(shortcut.unsetShortcut());
        QVERIFY(!shortcut.unsetShortcut());
        QVERIFY(shortcut.shortcut().isEmpty());
        QVERIFY(third.grab('k', XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1));
    }

    void oneKeyServesOneShortcutOfTheProgram()
    {
        auto first = std::make_unique<QxtGlobalShortcut>();
        QxtGlobalShortcut second;
        QVERIFY(first->setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+J"))));
        QVERIFY(!second.setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+J"))));
        QVERIFY(second.setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+J"))));
        first.reset();
        QSignalSpy activated(&second, &QxtGlobalShortcut::activated);
        QVERIFY(second.setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+J"))));
        QVERIFY(xdotool(m_x->display(), {"key", "ctrl+alt+j"}));
        QTRY_COMPARE(activated.count(), 1);
    }

    void replacingTheSequenceReleasesTheOldKey()
    {
        QxtGlobalShortcut shortcut;
        QVERIFY(shortcut.setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+H"))));
        QVERIFY(shortcut.setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+G"))));
        OtherClient other(m_x->display());
        QVERIFY(other.grab('h', XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1));
        QVERIFY(!other.grab('g', XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1));
    }

    void emptyOrUnmappableSequencesFail()
    {
        QxtGlobalShortcut shortcut;
        QVERIFY(!shortcut.setShortcut(QKeySequence()));
        QVERIFY(!shortcut.setShortcut(
            QKeySequence(QStringLiteral("not a key"), QKeySequence::NativeText)));
    }

    void withoutWindowSystemRegistrationFails()
    {
        const QByteArray display = qgetenv("DISPLAY");
        qunsetenv("DISPLAY");
        QxtGlobalShortcut shortcut;
        const bool registered = shortcut.setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+N")));
        qputenv("DISPLAY", QByteArrayLiteral(":1999"));
        const bool registeredNoServer =
            shortcut.setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+N")));
        qputenv("DISPLAY", display);
        QVERIFY(!registered);
        QVERIFY(!registeredNoServer);
    }
};

QTEST_MAIN(TestShellDesktop)
#include "tst_shell_desktop.moc"
