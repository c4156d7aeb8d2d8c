#pragma once

// The firmware sequence of the update dialog: reset the mouse into its boot loader, wait
// for it, erase, write the image in chunks of 2000 bytes, check and finish.
//
// FirmwareFlasher is the sequence as plain code, one step per call; FirmwareUpdate runs it
// on the event loop with single-shot timers between the steps (no busy waiting, and the
// waits follow the monotonic clock). A FirmwareUpdate owns its session and its copy of
// the image and lives until the sequence ends, whatever happens to the dialog that
// started it.

#include "device/firmware_session.h"
#include "update/firmware_image.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

namespace kelv {

class FirmwareFlasher
{
public:
    // The hardware ID under which the mouse shows up while in its boot loader.
    static QString bootLoaderId() { return QStringLiteral("HID\\Vid_0aa0&Pid_5e31"); }
    static constexpr int kChunkSize = 2000;

    enum Outcome {
        Running,           // not ended yet
        NoDevice,          // no first device, or it is not present: nothing called
        BadImage,          // update.bin missing or refused: nothing called
        BootLoaderMissing, // "鼠标更新失败。。。"
        CheckPassed,       // "校验成功,启动设备。。。", then finished
        CheckFailed,       // "校验失败，请重新更新"
        FinishFailed,      // check passed, but the boot loader refused to finish:
                           // "鼠标更新失败。。。"
    };

    // Where the sequence begins: with the mouse (reset, then wait for the boot loader), or
    // with a boot loader that is already there (a flash that did not finish).
    enum class Start { Mouse, BootLoader };

    // The waits between the steps, in milliseconds.
    struct Timing
    {
        int firstWait = 4000;  // after the reset
        int secondWait = 4000; // when the boot loader is not there yet
        int lastWait = 5000;   // the last chance before giving up
        int afterErase = 1000;
        int perChunk = 20;
        int beforeFinish = 100;
    };

    // mouseId: the hardware ID the reset goes to (Start::Mouse).
    FirmwareFlasher(FirmwareSession &session, const FirmwareImage &image, const QString &mouseId,
                    Start start, const Timing &timing);

    // Runs the next step; answers the milliseconds to wait before the following one, or -1
    // when the sequence has ended (see outcome()).
    int step();
    Outcome outcome() const { return m_outcome; }

    // Every label text on the way.
    std::function<void(const QString &text)> show;

    // Texts shown on the way.
    static QString mouseUpdateFailedText() { return QStringLiteral("鼠标更新失败。。。"); }
    static QString writtenText() { return QStringLiteral("更新成功"); }
    static QString writeFailedText() { return QStringLiteral("更新失败"); }
    static QString checkPassedText() { return QStringLiteral("校验成功,启动设备。。。"); }
    static QString checkFailedText() { return QStringLiteral("校验失败，请重新更新"); }

private:
    enum class State { Reset, FirstLook, SecondLook, LastLook, Erase, Write, Check, Finish, Done };

    int end(Outcome outcome);
    void display(const QString &text);
    quint64 chunkCount() const;

    FirmwareSession &m_session;
    const FirmwareImage &m_image;
    QString m_mouseId;
    Timing m_timing;
    State m_state;
    quint64 m_chunk = 0;
    bool m_written = false;
    Outcome m_outcome = Running;
};

class FirmwareUpdate final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FirmwareUpdate)

public:
    // imagePath: the firmware package the image came from, removed once a flash has
    // completed (kept otherwise, so a mouse left in its boot loader can be flashed
    // again). A package that replaced it meanwhile (a newer download) stays.
    FirmwareUpdate(std::unique_ptr<FirmwareSession> session, const FirmwareImage &image,
                   const QString &imagePath, const QString &mouseId, FirmwareFlasher::Start start,
                   const FirmwareFlasher::Timing &timing, QObject *parent);
    ~FirmwareUpdate() override;

    // Runs the first step on the next turn of the event loop.
    void start();
    FirmwareFlasher::Outcome outcome() const { return m_flasher.outcome(); }

signals:
    void textShown(const QString &text);
    // The sequence has ended and the session is closed; the object deletes itself later.
    void finished(int outcome);

private:
    void runStep();

    std::unique_ptr<FirmwareSession> m_session;
    FirmwareImage m_image;
    QString m_imagePath;
    QByteArray m_packageDigest; // of the package file when the sequence began
    FirmwareFlasher m_flasher;
    QTimer m_timer;
};

} // namespace kelv
