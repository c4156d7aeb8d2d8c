// Macro recording the Wayland way: the keys typed into the program's own
// window, with scan codes from the keyboard map's key names and delays from
// the key events' own time stamps.

#include "desktop/macro_recorder.h"
#include "platform/scancode.h"

#include <QApplication>
#include <QKeyEvent>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>
#include <QWindow>

using namespace kelv;

namespace {

// A key event as the window system delivers it: its XKB key code and time.
void sendKey(QWindow *window, QEvent::Type type, quint32 keycode, quint64 time,
             bool autoRepeat = false)
{
    QKeyEvent event(type, Qt::Key_unknown, Qt::NoModifier, keycode, 0, 0, QString(), autoRepeat);
    event.setTimestamp(time);
    QCoreApplication::sendEvent(window, &event);
}

} // namespace

class TestWindowRecording : public QObject
{
    Q_OBJECT

private slots:
    void keyNamesGiveTheScanCodes()
    {
        platform::ScanCode scan;
        QVERIFY(platform::scanCodeForKeyName("AC01", &scan)); // the A key
        QCOMPARE(scan.code, 0x1Eu);
        QVERIFY(!scan.extended);
        QVERIFY(platform::scanCodeForKeyName("RCTL", &scan));
        QCOMPARE(scan.code, 0x1Du);
        QVERIFY(scan.extended);
        QVERIFY(platform::scanCodeForKeyName("LMTA", &scan)); // an alias of LWIN
        QCOMPARE(scan.code, 0x5Bu);
        QVERIFY(platform::scanCodeForKeyName("I148", &scan)); // named by its code: Calculator
        QCOMPARE(scan.code, 0x21u);
        QVERIFY(scan.extended);
        QVERIFY(!platform::scanCodeForKeyName("XXXX", &scan));
        QVERIFY(!platform::scanCodeForKeyName("", &scan));
        // The standard keyboard map names the Wayland key codes.
        QVERIFY(platform::scanCodeForXkbKeycode(38, &scan));
        QCOMPARE(scan.code, 0x1Eu);
    }

    void eventTimesMakeTheDelays()
    {
        EventClock clock;
        // Anchored at the first event; the arrival times of later ones do not count.
        QCOMPARE(clock.timeOfDay(5000, 1000), 1000);
        QCOMPARE(clock.timeOfDay(5250, 9999), 1250);
        // The window system's clock wraps at 2^32.
        clock.reset();
        QCOMPARE(clock.timeOfDay(0xFFFFFF00u, 2000), 2000);
        QCOMPARE(clock.timeOfDay(0x00000100u, 0), 2512);
        // Midnight: the time of day starts again.
        clock.reset();
        QCOMPARE(clock.timeOfDay(100, 86399900), 86399900);
        QCOMPARE(clock.timeOfDay(300, 0), 100);
    }

    void recordsKeysTypedIntoItsOwnWindow()
    {
        QWidget widget;
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        QWindow *window = widget.windowHandle();

        MacroRecorder recorder;
        recorder.setScope(MacroRecorder::Scope::Window);
        QSignalSpy items(&recorder, &MacroRecorder::macroItem);
        QSignalSpy started(&recorder, &MacroRecorder::recordingStarted);
        QSignalSpy stopped(&recorder, &MacroRecorder::recordingStopped);
        sendKey(window, QEvent::KeyPress, 38, 500); // before the recording: not seen
        recorder.startRecording();
        QTRY_COMPARE(started.count(), 1);
        QVERIFY(recorder.isRecording());

        sendKey(window, QEvent::KeyPress, 38, 1000);       // A
        sendKey(window, QEvent::KeyPress, 38, 1100, true); // auto-repeat
        sendKey(window, QEvent::KeyRelease, 38, 1100, true);
        sendKey(window, QEvent::KeyRelease, 38, 1250);
        sendKey(window, QEvent::KeyPress, 105, 1300); // right Ctrl
        sendKey(window, QEvent::KeyRelease, 105, 1420);
        sendKey(window, QEvent::KeyPress, 0, 1500); // no key of the map
        recorder.stopRecording();
        QTRY_COMPARE(stopped.count(), 1);
        QVERIFY(!recorder.isRecording());
        sendKey(window, QEvent::KeyPress, 38, 2000); // after: not seen

        QList<QStringList> got;
        for (const QList<QVariant> &item : std::as_const(items))
            got << QStringList{item.at(0).toString(), item.at(1).toString(), item.at(2).toString(),
                               item.at(3).toString()};
        const QList<QStringList> expected{
            {"0", "1", "30", "0"}, {"2", "250", "0", "0"}, {"0", "0", "30", "0"},
            {"2", "50", "0", "0"}, {"0", "1", "29", "1"},  {"2", "120", "0", "0"},
            {"0", "0", "29", "1"},
        };
        QCOMPARE(got, expected);
    }
};

QTEST_MAIN(TestWindowRecording)
#include "tst_window_recording.moc"
