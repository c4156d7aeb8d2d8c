// The firmware image loader: any bytes as update.bin in the firmware ready
// folder, loaded into the 67170-byte image buffer the way the firmware update
// does, then its length, check value and the CRC over the firmware bytes it
// names (what the update sends to the mouse).
//
// Invariants: an accepted image carries the product code, a zero second word
// and a length that stays inside the buffer; a file longer than the buffer is
// refused.

#include "common/app_paths.h"
#include "tests/fuzz/fuzz_support.h"
#include "update/firmware_image.h"

#include <QtEndian>

using namespace kelv;

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
        FUZZ_CHECK(size >= 8, "an accepted image holds its header");
        FUZZ_CHECK(qFromLittleEndian<quint32>(image.buffer().constData()) == 4118u,
                   "the product code is 4118");
        FUZZ_CHECK(qFromLittleEndian<quint32>(image.buffer().constData() + 4) == 0u,
                   "the second word is 0");
        FUZZ_CHECK(image.length() <= FirmwareImage::kMaxLength, "the length fits the buffer");
        const quint32 crc = FirmwareImage::crc32(image.firmware(), qsizetype(image.length()));
        Q_UNUSED(crc);
        (void)image.checkValue();
    }
    return 0;
}
