// The firmware image loader: any bytes as update.bin, loaded into the
// 67170-byte image buffer with the checks the update dialog applies to the
// image of a verified firmware package, and then written by the firmware
// sequence to a stand-in boot loader that keeps what it is sent (chunks, their
// offsets, the length and check value of the ROM check).
//
// Invariants: an accepted image carries the product code, a zero second word,
// a length that stays inside the buffer and firmware bytes that match its
// check value; a file longer than the buffer is refused; the sequence writes
// exactly the image's firmware bytes, in order, in chunks of at most 2000
// bytes, and checks the ROM with the image's length and check value.

#include "common/app_paths.h"
#include "device/firmware_session.h"
#include "tests/fuzz/fuzz_support.h"
#include "update/firmware_flasher.h"
#include "update/firmware_image.h"

#include <QtEndian>

using namespace kelv;

namespace {

// The stand-in boot loader: present under both hardware IDs; keeps what it is sent.
class StandInSession final : public FirmwareSession
{
public:
    QByteArray rom;
    bool ordered = true;
    quint64 checkedLength = 0;
    quint32 checkedValue = 0;

    bool present(const QString &) override { return true; }
    bool reset(const QString &) override { return true; }
    bool erase(const QString &) override
    {
        rom.clear();
        return true;
    }
    bool writeChunk(const QString &, const QByteArray &chunk, quint32 offset) override
    {
        if (chunk.size() > FirmwareFlasher::kChunkSize)
            return false;
        ordered = ordered && offset == quint32(rom.size());
        rom.append(chunk);
        return true;
    }
    bool check(const QString &, quint32 length, quint32 value) override
    {
        checkedLength = length;
        checkedValue = value;
        return FirmwareImage::crc32(rom.constData(), rom.size()) == value;
    }
    bool finish(const QString &) override { return true; }
};

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
        FUZZ_CHECK(FirmwareImage::crc32(image.firmware(), qsizetype(image.length())) ==
                       image.checkValue(),
                   "the firmware bytes match the check value before anything is erased");
    }

    // The firmware sequence on the loaded image (the dialog runs it only on an accepted
    // image), step by step without the waits.
    if (ok) {
        StandInSession session;
        FirmwareFlasher flasher(session, image, QStringLiteral("HID\\Vid_0aa0&Pid_5e30"),
                                FirmwareFlasher::Start::Mouse, FirmwareFlasher::Timing());
        while (flasher.step() >= 0) {
        }
        FUZZ_CHECK(flasher.outcome() == FirmwareFlasher::CheckPassed,
                   "an accepted image is written to the end and passes the ROM check");
        FUZZ_CHECK(session.ordered, "chunks are written in order");
        FUZZ_CHECK(session.rom == QByteArray(image.firmware(), qsizetype(image.length())),
                   "exactly the image's firmware bytes are written");
        FUZZ_CHECK(session.checkedLength == image.length() &&
                       session.checkedValue == image.checkValue(),
                   "the ROM check gets the image's length and check value");
    }
    return 0;
}
