#include "update/firmware_flasher.h"

#include "device/devices_handler.h"
#include "update/firmware_image.h"

#include <cstring>

namespace kelv {
namespace {

const char16_t *wide(const QString &text)
{
    return reinterpret_cast<const char16_t *>(text.utf16());
}

} // namespace

FirmwareFlasher::Outcome FirmwareFlasher::run(const DcEntries &dc, const DeviceTable &table,
                                              FirmwareImage &image) const
{
    const quint32 code = devices_handler::kProductCode;
    if (table.isEmpty())
        return NoDevice;
    const QString hardwareId = table.first().HardwareID;
    if (!dc.dcDeviceExist || dc.dcDeviceExist(wide(hardwareId)) != 0)
        return NoDevice;
    if (!loadImage || !loadImage(image))
        return BadImage;

    const QString id = bootLoaderId();
    const QString sub;
    if (dc.dcReset) {
        uint8_t out = 0;
        dc.dcReset(wide(hardwareId), wide(sub), code, 1, &out, 0);
    }
    auto bootLoaderPresent = [&] { return dc.dcDeviceExist && dc.dcDeviceExist(wide(id)) == 0; };
    wait(4000);
    if (!bootLoaderPresent())
        wait(4000);
    if (!bootLoaderPresent()) {
        wait(5000);
        if (!bootLoaderPresent()) {
            show(bootLoaderMissingText());
            return BootLoaderMissing;
        }
    }

    if (dc.dcEraseRom)
        dc.dcEraseRom(wide(id), wide(sub), code);
    wait(1000);

    const quint64 length = image.length();
    const quint64 chunks = length / kChunkSize + 1;
    bool written = false;
    for (quint64 k = 0; k < chunks; ++k) {
        const quint64 offset = quint64(kChunkSize) * k;
        const quint64 remaining = length - offset;
        const quint64 size = remaining <= quint64(kChunkSize) ? remaining : quint64(kChunkSize);
        uint8_t buffer[kChunkBuffer];
        std::memset(buffer, 0, sizeof buffer);
        std::memcpy(buffer, image.firmware() + offset, size_t(size));
        const bool last = k + 1 == chunks;
        int32_t result = -1;
        if (dc.dcBornRom)
            result =
                dc.dcBornRom(wide(id), wide(sub), code, buffer, uint32_t(size), uint32_t(offset));
        if (last)
            written = dc.dcBornRom && result == 0;
        wait(20);
    }
    show(written ? writtenText() : writeFailedText());

    if (dc.dcCheckRom &&
        dc.dcCheckRom(wide(id), wide(sub), code, uint32_t(length), image.checkValue()) == 0) {
        show(checkPassedText());
        wait(100);
        if (dc.dcFinishUpdateRom)
            dc.dcFinishUpdateRom(wide(id), wide(sub), code);
        return CheckPassed;
    }
    show(checkFailedText());
    return CheckFailed;
}

} // namespace kelv
