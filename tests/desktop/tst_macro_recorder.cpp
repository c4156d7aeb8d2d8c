#include "desktop/macro_recorder.h"
#include "platform/key_recorder.h"
#include "platform/scancode.h"
#include "tests/testsupport/xvfb_server.h"

#include <QCoreApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <xcb/xcb.h>

using namespace kelv;

namespace {

using Items = QList<QStringList>;

QStringList key(bool pressed, int code, bool extended = false)
{
    return {QStringLiteral("0"), pressed ? QStringLiteral("1") : QStringLiteral("0"),
            QString::number(code), extended ? QStringLiteral("1") : QStringLiteral("0")};
}

QStringList delay(int ms)
{
    return {QStringLiteral("2"), QString::number(ms), QStringLiteral("0"), QStringLiteral("0")};
}

bool isDelay(const QStringList &item)
{
    bool number = false;
    item.value(1).toInt(&number);
    return item.size() == 4 && item[0] == QLatin1String("2") && number &&
           item[2] == QLatin1String("0") && item[3] == QLatin1String("0");
}

platform::ScanCode scan(unsigned evdev)
{
    platform::ScanCode code;
    code.code = 0xFFFF;
    platform::scanCodeForEvdev(evdev, &code);
    return code;
}

// Collects the recorder's items, checking that they arrive on the main thread.
class ItemSink : public QObject
{
public:
    explicit ItemSink(MacroRecorder *recorder)
    {
        connect(recorder, &MacroRecorder::macroItem, this,
                [this](const QString &kind, const QString &a, const QString &b, const QString &c) {
                    if (QThread::currentThread() != QCoreApplication::instance()->thread())
                        offThread = true;
                    items.append({kind, a, b, c});
                });
    }
    Items items;
    bool offThread = false;
};

// Starts a recording and waits for the recorder's outcome.
bool started(MacroRecorder &recorder)
{
    std::optional<bool> outcome;
    recorder.startRecording([&outcome](bool ok, const QString &) { outcome = ok; });
    return QTest::qWaitFor([&outcome] { return outcome.has_value(); }, 20000) && *outcome;
}

// Stops the recording and waits until it has ended.
void stopped(MacroRecorder &recorder)
{
    bool done = false;
    recorder.stopRecording([&done] { done = true; });
    if (!QTest::qWaitFor([&done] { return done; }, 20000))
        qWarning("the recording did not stop in time");
}

} // namespace

class TestMacroRecorder : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<test::XvfbServer> m_xvfb;
    QByteArray m_savedDisplay;

    // Runs xdotool against the private server. The server now and then resets
    // a fresh connection right after other clients left; such a run is retried.
    bool xdotool(const QStringList &arguments)
    {
        for (int attempt = 0; attempt < 20; ++attempt) {
            QProcess process;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("DISPLAY"), m_xvfb->display());
            process.setProcessEnvironment(env);
            process.start(QStringLiteral("xdotool"), arguments);
            if (!process.waitForFinished(10000))
                return false;
            const QByteArray errors = process.readAllStandardError();
            if (process.exitCode() == 0 && !errors.contains("open display"))
                return true;
            if (!errors.contains("open display"))
                return false;
            QThread::msleep(50);
        }
        return false;
    }

    // Waits until the items stop growing for a moment after reaching count.
    static void settle(ItemSink &sink, int count)
    {
        QTRY_VERIFY(sink.items.size() >= count);
        QTest::qWait(300);
    }

private slots:
    // --- scan codes -------------------------------------------------------

    void mainBlockKeysKeepTheirSetOneCodes()
    {
        // X key code 38 is evdev KEY_A (30) on servers with evdev key codes.
        platform::ScanCode code;
        QVERIFY(platform::scanCodeForXKeycode(38, &code));
        QCOMPARE(code.code, 0x1Eu);
        QVERIFY(!code.extended);
        QCOMPARE(scan(1).code, 0x01u);  // Esc
        QCOMPARE(scan(14).code, 0x0Eu); // Backspace
        QCOMPARE(scan(28).code, 0x1Cu); // Enter
        QCOMPARE(scan(42).code, 0x2Au); // left Shift
        QCOMPARE(scan(54).code, 0x36u); // right Shift: its own code, not extended
        QVERIFY(!scan(54).extended);
        QCOMPARE(scan(56).code, 0x38u);  // left Alt
        QCOMPARE(scan(57).code, 0x39u);  // Space
        QCOMPARE(scan(59).code, 0x3Bu);  // F1
        QCOMPARE(scan(68).code, 0x44u);  // F10
        QCOMPARE(scan(87).code, 0x57u);  // F11
        QCOMPARE(scan(88).code, 0x58u);  // F12
        QCOMPARE(scan(86).code, 0x56u);  // ISO key left of Z
        QCOMPARE(scan(183).code, 0x64u); // F13
        QCOMPARE(scan(193).code, 0x6Eu); // F23
        // Keypad digits, point, star, minus, plus are not extended.
        for (unsigned evdev :
             {71u, 72u, 73u, 74u, 75u, 76u, 77u, 78u, 79u, 80u, 81u, 82u, 83u, 55u}) {
            QCOMPARE(scan(evdev).code, evdev);
            QVERIFY(!scan(evdev).extended);
        }
    }

    void extendedKeysCarryTheFlag_data()
    {
        QTest::addColumn<unsigned>("evdev");
        QTest::addColumn<unsigned>("code");
        QTest::addColumn<unsigned>("plain"); // the key sharing the code without the flag
        QTest::newRow("right Ctrl") << 97u << 0x1Du << 29u;
        QTest::newRow("right Alt") << 100u << 0x38u << 56u;
        QTest::newRow("keypad Enter") << 96u << 0x1Cu << 28u;
        QTest::newRow("keypad Divide") << 98u << 0x35u << 53u;
        QTest::newRow("Print Screen") << 99u << 0x37u << 55u;
        QTest::newRow("Home") << 102u << 0x47u << 71u;
        QTest::newRow("Up") << 103u << 0x48u << 72u;
        QTest::newRow("Page Up") << 104u << 0x49u << 73u;
        QTest::newRow("Left") << 105u << 0x4Bu << 75u;
        QTest::newRow("Right") << 106u << 0x4Du << 77u;
        QTest::newRow("End") << 107u << 0x4Fu << 79u;
        QTest::newRow("Down") << 108u << 0x50u << 80u;
        QTest::newRow("Page Down") << 109u << 0x51u << 81u;
        QTest::newRow("Insert") << 110u << 0x52u << 82u;
        QTest::newRow("Delete") << 111u << 0x53u << 83u;
        QTest::newRow("Num Lock") << 69u << 0x45u << 119u; // Pause is the plain 0x45
        QTest::newRow("left Windows") << 125u << 0x5Bu << 0u;
        QTest::newRow("right Windows") << 126u << 0x5Cu << 0u;
        QTest::newRow("Menu") << 127u << 0x5Du << 0u;
        QTest::newRow("Mute") << 113u << 0x20u << 0u;
        QTest::newRow("Volume Up") << 115u << 0x30u << 0u;
    }

    void extendedKeysCarryTheFlag()
    {
        QFETCH(unsigned, evdev);
        QFETCH(unsigned, code);
        QFETCH(unsigned, plain);
        QCOMPARE(scan(evdev).code, code);
        QVERIFY(scan(evdev).extended);
        if (plain) {
            QCOMPARE(scan(plain).code, code);
            QVERIFY(!scan(plain).extended);
        }
        platform::ScanCode viaX;
        QVERIFY(platform::scanCodeForXKeycode(evdev + 8, &viaX));
        QCOMPARE(viaX.code, code);
        QVERIFY(viaX.extended);
    }

    void everyKeyHasItsOwnCode()
    {
        // Only F24 and Zenkaku/Hankaku share a code, as on Windows.
        std::map<std::pair<unsigned, bool>, std::set<unsigned>> users;
        int mapped = 0;
        for (unsigned evdev = 0; evdev < 256; ++evdev) {
            platform::ScanCode code;
            if (!platform::scanCodeForEvdev(evdev, &code))
                continue;
            ++mapped;
            QVERIFY(code.code > 0 && code.code <= 0xFF);
            users[{code.code, code.extended}].insert(evdev);
        }
        QVERIFY(mapped >= 120);
        for (const auto &[code, keys] : users) {
            if (keys.size() > 1)
                QCOMPARE(keys, (std::set<unsigned>{85u, 194u}));
        }
    }

    void keysWithoutScanCodesAreRefused()
    {
        platform::ScanCode code;
        code.code = 77;
        QVERIFY(!platform::scanCodeForXKeycode(0, &code));
        QVERIFY(!platform::scanCodeForXKeycode(7, &code));
        QVERIFY(!platform::scanCodeForXKeycode(8, &code)); // evdev 0 (KEY_RESERVED)
        QVERIFY(!platform::scanCodeForEvdev(84, &code));   // unassigned
        QVERIFY(!platform::scanCodeForEvdev(248, &code));  // KEY_MICMUTE
        QVERIFY(!platform::scanCodeForEvdev(256, &code));
        QVERIFY(!platform::scanCodeForXKeycode(100000, &code));
        QCOMPARE(code.code, 77u);
    }

    // --- the timeline -----------------------------------------------------

    void pressAndReleaseOfTwoKeysGiveSevenItems()
    {
        MacroTimeline timeline;
        timeline.begin(1000);
        Items items;
        items += timeline.keyEvent(true, 0x1E, false, 1010);
        items += timeline.keyEvent(false, 0x1E, false, 1100);
        items += timeline.keyEvent(true, 0x30, false, 1250);
        items += timeline.keyEvent(false, 0x30, false, 1251);
        QCOMPARE(items, (Items{key(true, 30), delay(90), key(false, 30), delay(150), key(true, 48),
                               delay(1), key(false, 48)}));
    }

    void heldKeyIsRecordedOnce()
    {
        MacroTimeline timeline;
        timeline.begin(0);
        Items items;
        items += timeline.keyEvent(true, 0x1E, false, 10);
        for (int t = 500; t < 2000; t += 33)
            items += timeline.keyEvent(true, 0x1E, false, t);
        QVERIFY(timeline.isHeld(0x1E));
        items += timeline.keyEvent(false, 0x1E, false, 2100);
        QVERIFY(!timeline.isHeld(0x1E));
        // The delay runs from the press, not from the last repeat.
        QCOMPARE(items, (Items{key(true, 30), delay(2090), key(false, 30)}));
    }

    void releaseFirstIsPrecededByADelayFromTheStart()
    {
        MacroTimeline timeline;
        timeline.begin(5000);
        Items items = timeline.keyEvent(false, 0x1D, true, 5040);
        items += timeline.keyEvent(true, 0x1E, false, 5100);
        // Only a press ends the start of the timeline: the press after that
        // release is still the first key item, without a delay of its own.
        QCOMPARE(items, (Items{delay(40), key(false, 29, true), key(true, 30)}));
        items = timeline.keyEvent(true, 0x30, false, 5130);
        QCOMPARE(items, (Items{delay(30), key(true, 48)}));
    }

    void delaysAcrossMidnightAreNegative()
    {
        MacroTimeline timeline;
        timeline.begin(86399000);
        Items items = timeline.keyEvent(true, 0x1E, false, 86399900);
        items += timeline.keyEvent(false, 0x1E, false, 150);
        QCOMPARE(items, (Items{key(true, 30), delay(150 - 86399900), key(false, 30)}));
    }

    void leftAndRightCtrlAreDifferentKeys()
    {
        MacroTimeline timeline;
        timeline.begin(0);
        Items items = timeline.keyEvent(true, 0x1D, false, 0);
        items += timeline.keyEvent(true, 0x1D, true, 10);
        items += timeline.keyEvent(true, 0x1D, true, 20); // repeat of right Ctrl
        items += timeline.keyEvent(false, 0x1D, true, 30);
        items += timeline.keyEvent(false, 0x1D, false, 40);
        QCOMPARE(items, (Items{key(true, 29), delay(10), key(true, 29, true), delay(20),
                               key(false, 29, true), delay(10), key(false, 29)}));
    }

    void forgottenHeldKeysAreRecordedAgain()
    {
        MacroTimeline timeline;
        timeline.begin(0);
        timeline.keyEvent(true, 0x1C, false, 5); // released while nothing recorded
        timeline.forgetHeldKeys();
        QVERIFY(!timeline.isHeld(0x1C));
        timeline.begin(100);
        const Items items = timeline.keyEvent(true, 0x1C, false, 120);
        QCOMPARE(items, (Items{key(true, 28)}));
    }

    void beginStartsAFreshTimelineButKeepsHeldKeys()
    {
        MacroTimeline timeline;
        timeline.begin(0);
        timeline.keyEvent(true, 0x2A, false, 5); // Shift held across the restart
        timeline.keyEvent(true, 0x1E, false, 10);
        timeline.begin(100);
        Items items = timeline.keyEvent(true, 0x2A, false, 130); // still a repeat
        items += timeline.keyEvent(true, 0x30, false, 150);      // first item again
        items += timeline.keyEvent(false, 0x2A, false, 160);
        QCOMPARE(items, (Items{key(true, 48), delay(10), key(false, 42)}));
    }

    // --- without an X server ----------------------------------------------

    void withoutDisplayRecordingFailsHarmlessly()
    {
        const QByteArray saved = qgetenv("DISPLAY");
        for (const QByteArray &display : {QByteArray(), QByteArray(":6099")}) {
            if (display.isEmpty())
                qunsetenv("DISPLAY");
            else
                qputenv("DISPLAY", display);
            MacroRecorder recorder;
            QSignalSpy items(&recorder, &MacroRecorder::macroItem);
            stopped(recorder); // nothing recording
            QVERIFY(!started(recorder));
            QVERIFY(!recorder.isRecording());
            QVERIFY(!started(recorder));
            stopped(recorder);
            stopped(recorder);
            QCOMPARE(items.count(), 0);
            platform::KeyRecorder raw;
            std::string error;
            QVERIFY(!raw.start([](const platform::RecordedKey &) {}, &error));
            QVERIFY(!error.empty());
        }
        if (saved.isNull())
            qunsetenv("DISPLAY");
        else
            qputenv("DISPLAY", saved);
    }

    void startAndStopNeverBlockTheCallingThread()
    {
        // No server answers on this display: the recorder keeps trying for a
        // while before it gives up. Meanwhile the calling thread runs its
        // event loop; the outcome arrives later, as a failure with a reason.
        const QByteArray saved = qgetenv("DISPLAY");
        qputenv("DISPLAY", ":6098");
        MacroRecorder recorder;
        QSignalSpy failed(&recorder, &MacroRecorder::recordingFailed);
        QSignalSpy stoppedSpy(&recorder, &MacroRecorder::recordingStopped);
        bool timerRan = false;
        QTimer::singleShot(0, &recorder, [&timerRan] { timerRan = true; });
        std::optional<bool> outcome;
        bool timerBeforeOutcome = false;
        recorder.startRecording([&](bool ok, const QString &reason) {
            timerBeforeOutcome = timerRan;
            outcome = ok;
            QVERIFY(!reason.isEmpty());
        });
        bool stopDone = false;
        recorder.stopRecording([&stopDone] { stopDone = true; });
        QVERIFY(!outcome.has_value());
        QVERIFY(!stopDone);
        QTRY_VERIFY_WITH_TIMEOUT(stopDone, 20000);
        QVERIFY(outcome.has_value());
        QVERIFY(!*outcome);
        QVERIFY(timerBeforeOutcome);
        QCOMPARE(failed.count(), 1);
        QCOMPARE(stoppedSpy.count(), 1);
        if (saved.isNull())
            qunsetenv("DISPLAY");
        else
            qputenv("DISPLAY", saved);
    }

    // --- under a private X server -----------------------------------------

    void startXServer()
    {
        m_xvfb = std::make_unique<test::XvfbServer>();
        QVERIFY2(m_xvfb->isRunning(), "Xvfb did not start");
        m_savedDisplay = qgetenv("DISPLAY");
        qputenv("DISPLAY", m_xvfb->display().toLatin1());
    }

    void typedKeysGiveTheDocumentedItems()
    {
        QVERIFY(m_xvfb);
        MacroRecorder recorder;
        ItemSink sink(&recorder);
        QVERIFY(started(recorder));
        QVERIFY(recorder.isRecording());
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("60"),
                         QStringLiteral("a"), QStringLiteral("b")}));
        settle(sink, 7);
        QCOMPARE(sink.items.size(), 7);
        QVERIFY(!sink.offThread);
        QCOMPARE(sink.items[0], key(true, 0x1E));
        QVERIFY(isDelay(sink.items[1]));
        QCOMPARE(sink.items[2], key(false, 0x1E));
        QVERIFY(isDelay(sink.items[3]));
        QCOMPARE(sink.items[4], key(true, 0x30));
        QVERIFY(isDelay(sink.items[5]));
        QCOMPARE(sink.items[6], key(false, 0x30));
        stopped(recorder);
        QVERIFY(!recorder.isRecording());

        // After the stop nothing is recorded; a second stop is harmless.
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("c")}));
        QTest::qWait(300);
        stopped(recorder);
        QCOMPARE(sink.items.size(), 7);
    }

    void heldKeyWithAutoRepeatGivesOnePress()
    {
        QVERIFY(m_xvfb);
        // A raw recording alongside shows that the server did auto-repeat.
        QMutex rawMutex;
        int rawPresses = 0;
        platform::KeyRecorder raw;
        QVERIFY(raw.start([&](const platform::RecordedKey &k) {
            if (k.pressed && k.keycode == 38) {
                QMutexLocker lock(&rawMutex);
                ++rawPresses;
            }
        }));
        MacroRecorder recorder;
        ItemSink sink(&recorder);
        QVERIFY(started(recorder));
        QVERIFY(xdotool({QStringLiteral("keydown"), QStringLiteral("a"), QStringLiteral("sleep"),
                         QStringLiteral("1.5"), QStringLiteral("keydown"), QStringLiteral("a"),
                         QStringLiteral("keydown"), QStringLiteral("a"), QStringLiteral("keyup"),
                         QStringLiteral("a")}));
        settle(sink, 3);
        raw.stop();
        {
            QMutexLocker lock(&rawMutex);
            QVERIFY2(rawPresses > 3, qPrintable(QString::number(rawPresses)));
        }
        QCOMPARE(sink.items.size(), 3);
        QCOMPARE(sink.items[0], key(true, 0x1E));
        QVERIFY(isDelay(sink.items[1]));
        QVERIFY(sink.items[1][1].toInt() >= 1000 || sink.items[1][1].toInt() < 0);
        QCOMPARE(sink.items[2], key(false, 0x1E));
    }

    void rightCtrlCarriesTheExtendedFlag()
    {
        QVERIFY(m_xvfb);
        MacroRecorder recorder;
        ItemSink sink(&recorder);
        QVERIFY(started(recorder));
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("Control_L")}));
        settle(sink, 3);
        QCOMPARE(sink.items.size(), 3);
        QCOMPARE(sink.items[0], key(true, 0x1D, false));
        QCOMPARE(sink.items[2], key(false, 0x1D, false));

        sink.items.clear();
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("Control_R"), QStringLiteral("Up"),
                         QStringLiteral("KP_Enter"), QStringLiteral("Return")}));
        settle(sink, 16);
        // xdotool may press left Ctrl along with right Ctrl for the modifier.
        QVERIFY(sink.items.contains(key(true, 0x1D, true)));
        QVERIFY(sink.items.contains(key(false, 0x1D, true)));
        QVERIFY(sink.items.contains(key(true, 0x48, true)));
        QVERIFY(sink.items.contains(key(true, 0x1C, true)));
        QVERIFY(sink.items.contains(key(true, 0x1C, false)));
        // Items alternate: key, delay, key, ...
        QVERIFY(isDelay(sink.items[0]));
        for (int i = 0; i < sink.items.size(); ++i)
            QCOMPARE(isDelay(sink.items[i]), i % 2 == 0);
        stopped(recorder);
    }

    void startingAgainBeginsAFreshTimeline()
    {
        QVERIFY(m_xvfb);
        MacroRecorder recorder;
        ItemSink sink(&recorder);
        QVERIFY(started(recorder));
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("a")}));
        settle(sink, 3);
        QVERIFY(started(recorder));
        QVERIFY(started(recorder));
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("b")}));
        settle(sink, 6);
        // One recorder: no item doubled by a hook left behind.
        QCOMPARE(sink.items.size(), 6);
        QCOMPARE(sink.items[3], key(true, 0x30)); // first item again: no delay before it
        QVERIFY(isDelay(sink.items[4]));
        QCOMPARE(sink.items[5], key(false, 0x30));
        stopped(recorder);
    }

    void keyDownWhenStoppedIsNotHeldInTheNextRecording()
    {
        QVERIFY(m_xvfb);
        MacroRecorder recorder;
        ItemSink sink(&recorder);
        QVERIFY(started(recorder));
        // Return pressed to stop the recording: its release comes after the stop.
        QVERIFY(xdotool({QStringLiteral("keydown"), QStringLiteral("Return")}));
        settle(sink, 1);
        stopped(recorder);
        QVERIFY(xdotool({QStringLiteral("keyup"), QStringLiteral("Return")}));
        sink.items.clear();
        QVERIFY(started(recorder));
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("Return")}));
        settle(sink, 3);
        QCOMPARE(sink.items.size(), 3);
        QCOMPARE(sink.items[0], key(true, 0x1C));
        QVERIFY(isDelay(sink.items[1]));
        QCOMPARE(sink.items[2], key(false, 0x1C));
        stopped(recorder);
    }

    void keysStillReachOtherPrograms()
    {
        QVERIFY(m_xvfb);
        // A window of another client with the input focus.
        xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
        for (int i = 0; i < 40 && xcb_connection_has_error(connection); ++i) {
            xcb_disconnect(connection);
            QThread::msleep(50);
            connection = xcb_connect(nullptr, nullptr);
        }
        QVERIFY(!xcb_connection_has_error(connection));
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        const xcb_window_t window = xcb_generate_id(connection);
        const uint32_t mask[] = {XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE};
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 200, 200, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK,
                          mask);
        xcb_map_window(connection, window);
        xcb_set_input_focus(connection, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
        free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));

        MacroRecorder recorder;
        ItemSink sink(&recorder);
        QVERIFY(started(recorder));
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("a")}));
        settle(sink, 3);
        int presses = 0;
        int releases = 0;
        for (int i = 0; i < 100 && releases == 0; ++i) {
            while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
                const auto type = event->response_type & 0x7f;
                if (type == XCB_KEY_PRESS &&
                    reinterpret_cast<xcb_key_press_event_t *>(event)->detail == 38)
                    ++presses;
                if (type == XCB_KEY_RELEASE &&
                    reinterpret_cast<xcb_key_release_event_t *>(event)->detail == 38)
                    ++releases;
                free(event);
            }
            QThread::msleep(20);
        }
        stopped(recorder);
        xcb_disconnect(connection);
        QCOMPARE(presses, 1);
        QCOMPARE(releases, 1);
        QCOMPARE(sink.items.size(), 3);
    }

    void serverGoingAwayEndsTheRecordingHarmlessly()
    {
        QVERIFY(m_xvfb);
        auto doomed = std::make_unique<test::XvfbServer>();
        QVERIFY(doomed->isRunning());
        qputenv("DISPLAY", doomed->display().toLatin1());
        MacroRecorder recorder;
        ItemSink sink(&recorder);
        const bool running = started(recorder);
        qputenv("DISPLAY", m_xvfb->display().toLatin1());
        QVERIFY(running);
        QVERIFY(recorder.isRecording());
        doomed.reset();
        QTRY_VERIFY(!recorder.isRecording());
        stopped(recorder);
        stopped(recorder);
        QCOMPARE(sink.items.size(), 0);
        // The recorder still works with a display that is there.
        QVERIFY(started(recorder));
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("a")}));
        settle(sink, 3);
        QCOMPARE(sink.items.size(), 3);
        stopped(recorder);
    }

    void stopXServer()
    {
        if (m_savedDisplay.isNull())
            qunsetenv("DISPLAY");
        else
            qputenv("DISPLAY", m_savedDisplay);
        m_xvfb.reset();
    }
};

QTEST_GUILESS_MAIN(TestMacroRecorder)
#include "tst_macro_recorder.moc"
