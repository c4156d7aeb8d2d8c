// The firmware image loader: any bytes as update.bin in the firmware ready
// folder, loaded into the 67170-byte image buffer the way the update dialog
// does, and then written by the firmware sequence to a stand-in boot loader
// that keeps what it is sent (chunks, their offsets, the length and check
// value of the ROM check).
//
// Invariants: an accepted image carries the product code, a zero second word
// and a length that stays inside the buffer; a file longer than the buffer is
// refused; the sequence writes exactly the image's firmware bytes, in order,
// in chunks of at most 2000 bytes, and checks the ROM with the image's length
// and check value.

#include "common/app_paths.h"
#include "device/devices_handler.h"
#include "tests/fuzz/fuzz_support.h"
#include "update/firmware_flasher.h"
#include "update/firmware_image.h"

#include <QtEndian>

using namespace kelv;

namespace {

// The stand-in boot loader: present under both hardware IDs.
QByteArray g_rom;
bool g_ordered = true;
quint64 g_checkedLength = 0;
quint32 g_checkedValue = 0;

int32_t deviceExist(const char16_t *)
{
    return 0;
}
int32_t reset(const char16_t *, const char16_t *, uint32_t, uint16_t, uint8_t *, uint32_t)
{
    return 0;
}
int32_t eraseRom(const char16_t *, const char16_t *, uint32_t)
{
    g_rom.clear();
    return 0;
}
int32_t bornRom(const char16_t *, const char16_t *, uint32_t code, const uint8_t *buffer,
                uint32_t length, uint32_t offset)
{
    if (code != DC_PRODUCT_CODE || length > DC_ROM_CHUNK_MAX)
        return DC_BAD_ARGUMENT;
    g_ordered = g_ordered && offset == uint32_t(g_rom.size());
    g_rom.append(reinterpret_cast<const char *>(buffer), qsizetype(length));
    return 0;
}
int32_t checkRom(const char16_t *, const char16_t *, uint32_t, uint32_t length, uint32_t check)
{
    g_checkedLength = length;
    g_checkedValue = check;
    return FirmwareImage::crc32(g_rom.constData(), g_rom.size()) == check ? 0 : DC_CHECK_FAILED;
}
int32_t finishRom(const char16_t *, const char16_t *, uint32_t)
{
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::init(argc, argv);
    setWorkingFolder(fuzz::sandbox() + QLatin1Char('/'));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString path =
        fuzz::writeSandboxFile(QStringLiteral("tupdates/firmware/ready/update.bin"), bytes);
    FUZZ_CHECK(path == firmwareImagePath(), "the loader reads the ready folder's update.bin");

    FirmwareImage image;
    const bool ok = image.load(path);
    FUZZ_CHECK(image.buffer().size() == FirmwareImage::kBufferSize, "the buffer keeps its size");
    if (size > size_t(FirmwareImage::kBufferSize))
        FUZZ_CHECK(!ok, "an over-long file is refused");
    if (ok) {
        FUZZ_CHECK(qFromLittleEndian<quint32>(image.buffer().constData()) == 4118u,
                   "the product code is 4118");
        FUZZ_CHECK(qFromLittleEndian<quint32>(image.buffer().constData() + 4) == 0u,
                   "the second word is 0");
        FUZZ_CHECK(image.length() > 0 && image.length() <= FirmwareImage::kMaxLength,
                   "the image has firmware bytes and they fit the buffer");
    }

    // The firmware sequence on the loaded image.
    DcEntries dc;
    dc.dcDeviceExist = &deviceExist;
    dc.dcReset = &reset;
    dc.dcEraseRom = &eraseRom;
    dc.dcBornRom = &bornRom;
    dc.dcCheckRom = &checkRom;
    dc.dcFinishUpdateRom = &finishRom;
    DeviceTable table;
    table.insert(
        QStringLiteral("KV-M1"),
        DeviceInfo{
            QStringLiteral("KV-M1"), {}, {}, QStringLiteral("HID\\Vid_0aa0&Pid_5e30"), {}, {}});
    g_rom.clear();
    g_ordered = true;
    g_checkedLength = 0;
    FirmwareFlasher flasher;
    flasher.wait = [](int) {};
    flasher.show = [](const QString &) {};
    flasher.loadImage = [&path](FirmwareImage &target) { return target.load(path); };
    FirmwareImage flashed;
    const FirmwareFlasher::Outcome outcome = flasher.run(dc, table, flashed);
    FUZZ_CHECK((outcome == FirmwareFlasher::BadImage) == !ok, "refused images are not written");
    if (ok) {
        FUZZ_CHECK(g_ordered, "chunks are written in order");
        FUZZ_CHECK(g_rom == QByteArray(image.firmware(), qsizetype(image.length())),
                   "exactly the image's firmware bytes are written");
        FUZZ_CHECK(g_checkedLength == image.length() && g_checkedValue == image.checkValue(),
                   "the ROM check gets the image's length and check value");
    }
    return 0;
}
