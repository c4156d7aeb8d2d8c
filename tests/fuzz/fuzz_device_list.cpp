// The device-list block as the device library fills it: any bytes as the
// library's output, read through the device manager (table refresh and the
// data subscription to the first record) and the page command getDevicesList,
// and the block reader directly on blocks of any length.
//
// Invariants: at most 20 devices, never more than the block holds; the
// command answers once with a JSON array of as many devices as the block
// counts; the table holds the distinct DeviceIDs of those records.

#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "device/device_list.h"
#include "device/devices_handler.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/testsupport/recording_callback.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibrary>
#include <QSet>

using namespace kelv;

namespace {
devices_handler *g_devices = nullptr;
void (*g_setList)(const uint8_t *, uint32_t) = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::init(argc, argv);
    g_devices = new devices_handler(QStringLiteral(KELV_FUZZ_DC_FILE), nullptr);
    QLibrary library(QStringLiteral(KELV_FUZZ_DC_FILE));
    g_setList =
        reinterpret_cast<void (*)(const uint8_t *, uint32_t)>(library.resolve("fuzzSetDeviceList"));
    if (!g_devices->isLoaded() || !g_setList)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray raw(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<DeviceInfo> direct = parseDeviceList(raw);
    FUZZ_CHECK(direct.size() <= 20, "at most 20 records");
    FUZZ_CHECK(qsizetype(direct.size()) * 2105 + 2 <= qMax<qsizetype>(raw.size(), 2) ||
                   direct.isEmpty(),
               "never more records than the block holds");

    g_setList(data, uint32_t(size));
    QByteArray block(devices_handler::kListBlockSize, '\0');
    std::memcpy(block.data(), data, qMin<size_t>(size, size_t(block.size())));
    const QList<DeviceInfo> records = parseDeviceList(block);

    g_devices->refreshDevices();
    QSet<QString> ids;
    for (const DeviceInfo &info : records)
        ids.insert(info.DeviceID);
    FUZZ_CHECK(qsizetype(g_devices->deviceTable().size()) == ids.size(),
               "the table holds each DeviceID once");

    Dispatcher dispatcher;
    registerDeviceCommands(dispatcher, g_devices);
    const auto callback = test::RecordingCallback::create();
    dispatcher.dispatch(QStringLiteral("getDevicesList"), Members(), callback);
    FUZZ_CHECK(callback->answerCount() == 1 && callback->ok(), "getDevicesList answers once");
    const QJsonDocument reply = QJsonDocument::fromJson(callback->text().toUtf8());
    FUZZ_CHECK(reply.isArray() && reply.array().size() == records.size(),
               "the reply lists every counted device");
    for (int i = 0; i < records.size(); ++i) {
        FUZZ_CHECK(reply.array().at(i).toObject().value(QLatin1String("HardwareID")).toString() ==
                       records.at(i).HardwareID,
                   "texts survive the JSON reply");
    }
    fuzz::drainEvents();
    return 0;
}
