// The page commands that reach the mouse: the device list, properties by number, onboard
// memory by address, and notifications. Each checks its required members in order (a
// missing one gets no reply), calls the device manager once (a read and a write for
// writeMacroByAddr) and answers with the fixed texts. Commands for a device whose calls may
// wait for a daemon (a ratbagd mouse) are carried out and answered on the manager's worker
// thread (doc/device-map.md, "Real mice").

#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "device/device_list.h"
#include "device/devices_handler.h"
#include "device/transfer_text.h"
#include "libdc/libdc.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <algorithm>
#include <cstdint>
#include <functional>

namespace kelv {
namespace {

const QString kHardwareID = QStringLiteral("HardwareID");
const QString kParamSize = QStringLiteral("PARAMSIZE");
const QString kParamId = QStringLiteral("PARAMID");
const QString kParamAddress = QStringLiteral("PARAMADDRESS");
const QString kParamData = QStringLiteral("PARAMDATA");
const QString kNotifyType = QStringLiteral("NotifyType");
const QString kNotifyData = QStringLiteral("NotifyData");

bool allZero(const QByteArray &block)
{
    for (char byte : block) {
        if (byte != 0)
            return false;
    }
    return true;
}

// The members every memory and property command reads.
struct Transfer
{
    QString id;
    int size = 0;
};

Transfer readTransfer(const Members &members)
{
    Transfer t;
    t.id = memberText(members, kHardwareID);
    t.size = boundedTransferSize(memberInt(members, kParamSize));
    return t;
}

// The address as a 32-bit strtol reads it (the device library's addresses
// are 32-bit): a value beyond the 32-bit range stays beyond the memory
// instead of wrapping around onto a low address (0x100001000 would otherwise
// land on the macros at 0x1000); negative ones keep their two's complement.
quint32 readAddress(const Members &members)
{
    const qint64 address = memberHex(members, kParamAddress);
    return quint32(qint32(std::clamp<qint64>(address, INT32_MIN, INT32_MAX)));
}

// The property number as the library's 32-bit argument: a negative number keeps its two's
// complement (-1 is 0xffffffff), and one beyond the 32-bit range stays beyond every property
// instead of wrapping around onto a low one (0x100000001 would otherwise be property 1).
quint32 readPropertyId(const Members &members)
{
    return quint32(std::clamp<qint64>(memberInt(members, kParamId), INT32_MIN, UINT32_MAX));
}

QJsonObject deviceObject(const DeviceInfo &info)
{
    QJsonObject object;
    object.insert(QStringLiteral("DeviceID"), info.DeviceID);
    object.insert(QStringLiteral("DevicePath"), info.DevicePath);
    object.insert(QStringLiteral("HardwareID"), info.HardwareID);
    object.insert(QStringLiteral("SN"), info.SN);
    object.insert(QStringLiteral("Version"), info.Version);
    object.insert(QStringLiteral("MASK"), info.MASK);
    for (const char *empty : {"timestamp", "productType", "productCN", "device"})
        object.insert(QLatin1String(empty), QString());
    // A ratbagd mouse's name and model; empty for the simulated mouse.
    object.insert(QStringLiteral("productName"), info.Name);
    object.insert(QStringLiteral("description"), info.Model);
    // The serial number people may read: the record says when SN holds none (a
    // mouse a daemon serves: its name of the device, which changes on each plug).
    object.insert(QStringLiteral("serial"),
                  info.Flags & DC_FLAG_SN_NOT_SERIAL ? QString() : info.SN);
    return object;
}

// Reads size bytes at address into a zeroed block (a zeroed block without the manager or
// its dcRead entry). failed (when given) tells whether the library answered the read with
// a failure.
QByteArray readMemory(devices_handler *devices, const Transfer &t, quint32 address,
                      bool *failed = nullptr)
{
    if (failed)
        *failed = false;
    if (!devices)
        return QByteArray(kTransferBlockSize, '\0');
    return devices->read(t.id, t.size, address, failed);
}

bool writeMemory(devices_handler *devices, const Transfer &t, const QByteArray &block,
                 quint32 address)
{
    return devices && devices->write(t.id, block, t.size, address);
}

// Carries out a command's device calls and answers: on the manager's worker for a device
// whose calls may wait for a daemon (its record says so: a ratbagd mouse), so the GUI thread
// never waits for it, in the order the commands came; at once for every other device. work gets the
// manager (null without one), which stays alive while work runs.
//
// A HardwareID holding a NUL character names no device: the library takes it as a C string
// and would address the device named by the part before the NUL. Such a command goes as
// without a manager (reads answer zeros, writes and notifications fail).
void run(const QPointer<devices_handler> &devices, const QString &id,
         std::function<void(devices_handler *)> work)
{
    devices_handler *manager = id.contains(QChar(0)) ? nullptr : devices.data();
    if (manager && manager->callsMayWait(id))
        manager->post([manager, work] { work(manager); });
    else
        work(manager);
}

} // namespace

void registerDeviceCommands(Dispatcher &dispatcher, devices_handler *manager)
{
    const QPointer<devices_handler> devices(manager);

    dispatcher.add(QStringLiteral("getDevicesList"), [devices](const Members &,
                                                               const QueryCallbackPtr &cb) {
        QJsonArray list;
        if (devices) {
            const QList<DeviceInfo> records = parseDeviceList(devices->listDevices());
            for (const DeviceInfo &info : records)
                list.append(deviceObject(info));
        }
        answerSuccess(cb, QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact)));
    });

    dispatcher.add(QStringLiteral("readDevicesProp"),
                   [devices](const Members &m, const QueryCallbackPtr &cb) {
                       if (!hasMembers(m, {"HardwareID", "DevicePath", "PARAMSIZE", "PARAMID"}))
                           return;
                       const Transfer t = readTransfer(m);
                       const quint32 propId = readPropertyId(m);
                       run(devices, t.id, [t, propId, cb](devices_handler *d) {
                           const QByteArray block = d ? d->readProp(t.id, t.size, propId)
                                                      : QByteArray(kTransferBlockSize, '\0');
                           answerSuccess(cb, byteListText(block, t.size));
                       });
                   });

    dispatcher.add(QStringLiteral("writeDevicesProp"), [devices](const Members &m,
                                                                 const QueryCallbackPtr &cb) {
        if (!hasMembers(m, {"HardwareID", "DevicePath", "PARAMSIZE", "PARAMID", "PARAMDATA"}))
            return;
        const Transfer t = readTransfer(m);
        const quint32 propId = readPropertyId(m);
        const QByteArray block = transferBlockFromText(memberText(m, kParamData), t.size);
        run(devices, t.id, [t, propId, block, cb](devices_handler *d) {
            if (d && d->writeProp(t.id, block, t.size, propId))
                answerSuccess(cb, QStringLiteral("writeDevicesProp success!"));
            else
                answerFailure(cb, QStringLiteral("writeDevicesProp failed!"));
        });
    });

    dispatcher.add(
        QStringLiteral("readByAddr"), [devices](const Members &m, const QueryCallbackPtr &cb) {
            if (!hasMembers(m, {"HardwareID", "DevicePath", "PARAMSIZE", "PARAMADDRESS"}))
                return;
            const Transfer t = readTransfer(m);
            const quint32 address = readAddress(m);
            run(devices, t.id, [t, address, cb](devices_handler *d) {
                answerSuccess(cb, byteListText(readMemory(d, t, address), t.size));
            });
        });

    dispatcher.add(QStringLiteral("writeByAddr"), [devices](const Members &m,
                                                            const QueryCallbackPtr &cb) {
        if (!hasMembers(m, {"HardwareID", "DevicePath", "PARAMSIZE", "PARAMADDRESS", "PARAMDATA"}))
            return;
        const Transfer t = readTransfer(m);
        const quint32 address = readAddress(m);
        const QByteArray block = transferBlockFromText(memberText(m, kParamData), t.size);
        run(devices, t.id, [t, address, block, cb](devices_handler *d) {
            if (writeMemory(d, t, block, address))
                answerSuccess(cb, QStringLiteral("writeByAddr success!"));
            else
                answerFailure(cb, QStringLiteral("writeByAddr failed!"));
        });
    });

    dispatcher.add(QStringLiteral("notifyDevice"),
                   [devices](const Members &m, const QueryCallbackPtr &cb) {
                       if (!hasMembers(m, {"HardwareID", "NotifyType", "NotifyData"}))
                           return;
                       const QString id = memberText(m, kHardwareID);
                       const int data = int(memberInt(m, kNotifyData) & 0xff);
                       const int type = int(memberInt(m, kNotifyType) & 0xff);
                       run(devices, id, [id, type, data, cb](devices_handler *d) {
                           if (d && d->notify(id, type, data))
                               answerSuccess(cb, QStringLiteral("notifyDevice success!"));
                           else
                               answerFailure(cb, QStringLiteral("notifyDevice failed!"));
                       });
                   });

    dispatcher.add(
        QStringLiteral("isPropEmpty"), [devices](const Members &m, const QueryCallbackPtr &cb) {
            if (!hasMembers(m, {"HardwareID", "DevicePath", "PARAMSIZE", "PARAMADDRESS"}))
                return;
            const Transfer t = readTransfer(m);
            const quint32 address = readAddress(m);
            run(devices, t.id, [t, address, cb](devices_handler *d) {
                // The whole block is compared, not only the bytes asked for.
                const bool empty = allZero(readMemory(d, t, address));
                answerSuccess(cb, empty ? QStringLiteral("true") : QStringLiteral("false"));
            });
        });

    dispatcher.add(QStringLiteral("cleanMacroByAddr"), [devices](const Members &m,
                                                                 const QueryCallbackPtr &cb) {
        if (!hasMembers(m, {"HardwareID", "DevicePath", "PARAMSIZE", "PARAMADDRESS"}))
            return;
        const Transfer t = readTransfer(m);
        const quint32 address = readAddress(m);
        run(devices, t.id, [t, address, cb](devices_handler *d) {
            const QByteArray zeros(kTransferBlockSize, '\0');
            if (writeMemory(d, t, zeros, address))
                answerSuccess(cb, QStringLiteral("cleanMacroByAddr success!"));
            else
                answerFailure(cb, QStringLiteral("cleanMacroByAddr failed!"));
        });
    });

    dispatcher.add(QStringLiteral("writeMacroByAddr"), [devices](const Members &m,
                                                                 const QueryCallbackPtr &cb) {
        if (!hasMembers(m, {"HardwareID", "DevicePath", "PARAMSIZE", "PARAMADDRESS", "PARAMDATA"}))
            return;
        const Transfer t = readTransfer(m);
        const quint32 address = readAddress(m);
        const QString addressText = memberText(m, kParamAddress);
        const QByteArray block = transferBlockFromText(memberText(m, kParamData), t.size);
        run(devices, t.id, [t, address, addressText, block, cb](devices_handler *d) {
            bool readFailed = false;
            if (!allZero(readMemory(d, t, address, &readFailed))) {
                // The place is taken: answer with the address exactly as the page sent it.
                answerSuccess(cb, addressText);
                return;
            }
            // A read the device refused (busy, fault, gone half-way) left the block zero
            // without saying the place is empty: writing could overwrite a stored macro.
            if (readFailed) {
                answerFailure(cb, QStringLiteral("writeMacroByAddr failed!"));
                return;
            }
            if (writeMemory(d, t, block, address))
                answerSuccess(cb, QStringLiteral("true"));
            else
                answerFailure(cb, QStringLiteral("writeMacroByAddr failed!"));
        });
    });
}

} // namespace kelv
