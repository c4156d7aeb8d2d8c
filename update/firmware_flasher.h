#pragma once

// The firmware sequence of the update dialog as plain code: reset the mouse
// into its boot loader, wait for it, erase, write the image in chunks of 2000
// bytes, check and finish. The dialog supplies the waiting (keeping the GUI
// alive) and the label.

#include "device/device_info.h"

#include <QString>
#include <functional>

namespace kelv {

struct DcEntries;
class FirmwareImage;

class FirmwareFlasher
{
public:
    // The hardware ID under which the mouse shows up while in its boot loader.
    static QString bootLoaderId() { return QStringLiteral("HID\\Vid_0aa0&Pid_5e31"); }
    static constexpr int kChunkSize = 2000;
    static constexpr int kChunkBuffer = 2048;

    enum Outcome {
        NoDevice,          // no first device, or it is not present: nothing called
        BadImage,          // update.bin missing or refused: nothing called
        BootLoaderMissing, // "鼠标更新失败。。。"
        CheckPassed,       // "校验成功,启动设备。。。", then finished
        CheckFailed,       // "校验失败，请重新更新"
    };

    std::function<void(int ms)> wait;
    std::function<void(const QString &text)> show;
    // Fills the image (loadFirmwareImage); false refuses it.
    std::function<bool(FirmwareImage &image)> loadImage;

    Outcome run(const DcEntries &dc, const DeviceTable &table, FirmwareImage &image) const;

    // Texts shown on the way.
    static QString bootLoaderMissingText() { return QStringLiteral("鼠标更新失败。。。"); }
    static QString writtenText() { return QStringLiteral("更新成功"); }
    static QString writeFailedText() { return QStringLiteral("更新失败"); }
    static QString checkPassedText() { return QStringLiteral("校验成功,启动设备。。。"); }
    static QString checkFailedText() { return QStringLiteral("校验失败，请重新更新"); }
};

} // namespace kelv
