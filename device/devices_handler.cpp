#include "device/devices_handler.h"

#include "common/app_paths.h"
#include "device/device_list.h"
#include "device/transfer_text.h"

#include <QLoggingCategory>
#include <QMetaObject>
#include <mutex>

namespace kelv {

Q_LOGGING_CATEGORY(lcDevice, "kelv.device")

namespace {

// The library calls back on its own thread with plain function pointers; the callbacks
// find the manager through this pointer and hand their work to its (main) thread.
std::mutex g_instanceMutex;
devices_handler *g_instance = nullptr;

// Only touched on the main thread (inside handleDeviceEvent).
int g_eventCounter = 0;

const char16_t *utf16(const QString &text)
{
    return reinterpret_cast<const char16_t *>(text.utf16());
}

const char16_t kEmpty[] = u"";

template <typename T> void resolve(QLibrary &library, const char *name, T *entry)
{
    *entry = reinterpret_cast<T>(library.resolve(name));
    if (!*entry)
        qCWarning(lcDevice, "device library has no entry %s", name);
}

} // namespace

devices_handler::devices_handler(QObject *parent) : devices_handler(defaultLibraryFile(), parent) {}

devices_handler::devices_handler(const QString &libraryFile, QObject *parent) : QObject(parent)
{
    {
        std::lock_guard<std::mutex> lock(g_instanceMutex);
        g_instance = this;
    }
    load(libraryFile);
}

devices_handler::~devices_handler()
{
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    if (g_instance == this)
        g_instance = nullptr;
    // The library stays loaded: its thread may still be running a callback.
}

QString devices_handler::defaultLibraryFile()
{
#ifdef Q_OS_WIN
    return QStringLiteral("libdc.dll");
#else
    return applicationFolder() + QStringLiteral("/libdc.so");
#endif
}

void devices_handler::load(const QString &libraryFile)
{
    m_library.setFileName(libraryFile);
    if (!m_library.load()) {
        qCWarning(lcDevice, "device library not loaded: %s", qPrintable(m_library.errorString()));
        return;
    }
    resolve(m_library, "dcDeviceExist", &m_entries.dcDeviceExist);
    resolve(m_library, "dcDevices", &m_entries.dcDevices);
    resolve(m_library, "dcOnDeviceEvent", &m_entries.dcOnDeviceEvent);
    resolve(m_library, "dconDeviceData", &m_entries.dconDeviceData);
    resolve(m_library, "dcAsk", &m_entries.dcAsk);
    resolve(m_library, "dcReset", &m_entries.dcReset);
    resolve(m_library, "dcNotify", &m_entries.dcNotify);
    resolve(m_library, "dcRead", &m_entries.dcRead);
    resolve(m_library, "dcWrite", &m_entries.dcWrite);
    resolve(m_library, "dcReadProp", &m_entries.dcReadProp);
    resolve(m_library, "dcWriteProp", &m_entries.dcWriteProp);
    resolve(m_library, "dcScriptOut", &m_entries.dcScriptOut);
    resolve(m_library, "dcIDWrite", &m_entries.dcIDWrite);
    resolve(m_library, "dcRebootRom", &m_entries.dcRebootRom);
    resolve(m_library, "dcFinishUpdateRom", &m_entries.dcFinishUpdateRom);
    resolve(m_library, "dcCheckRom", &m_entries.dcCheckRom);
    resolve(m_library, "dcBornRom", &m_entries.dcBornRom);
    resolve(m_library, "dcEraseRom", &m_entries.dcEraseRom);

    if (m_entries.dcOnDeviceEvent) {
        const DcEventCallback holder = &devices_handler::eventCallback;
        m_entries.dcOnDeviceEvent(&holder);
    }
}

const DeviceTable &devices_handler::deviceTable() const
{
    return m_table;
}

void devices_handler::refreshDevices()
{
    m_table.clear();
    const QList<DeviceInfo> records = parseDeviceList(listDevices());
    // A later record with the same DeviceID replaces an earlier one.
    for (const DeviceInfo &info : records)
        m_table.insert(info.DeviceID, info);
}

QByteArray devices_handler::listDevices()
{
    QByteArray block(kListBlockSize, '\0');
    if (!m_entries.dcDevices)
        return block;
    DcFilter filter{};
    filter.words[0] = 0xFFA00001u;
    filter.words[1] = 0xFFAA0001u;
    m_entries.dcDevices(filter, reinterpret_cast<uint8_t *>(block.data()), DC_LIST_BLOCK_SIZE);
    if (deviceListCount(block) > 0 && m_entries.dconDeviceData) {
        const DeviceInfo first = deviceListRecord(block, 0);
        const DcDataCallback holder = &devices_handler::dataCallback;
        m_entries.dconDeviceData(utf16(first.HardwareID), utf16(first.DevicePath), kProductCode,
                                 &holder);
    }
    return block;
}

bool devices_handler::notify(const QString &id, int type, int data)
{
    if (!m_entries.dcNotify)
        return false;
    const uint16_t value = uint16_t((type & 0xff) | ((data & 0xff) << 8));
    uint8_t scratch = 0;
    return m_entries.dcNotify(utf16(id), kEmpty, kProductCode, value, &scratch, 0) == 0;
}

QByteArray devices_handler::read(const QString &id, int size, quint32 address)
{
    QByteArray block(kBlockSize, '\0');
    if (!m_entries.dcRead)
        return block;
    m_entries.dcRead(utf16(id), kEmpty, kProductCode, reinterpret_cast<uint8_t *>(block.data()),
                     uint32_t(boundedTransferSize(size)), address);
    return block;
}

bool devices_handler::write(const QString &id, const QByteArray &data, int size, quint32 address)
{
    if (!m_entries.dcWrite)
        return false;
    // The library reads size bytes: hand it a full block whatever the caller passed.
    QByteArray block = data.left(kBlockSize);
    if (block.size() < kBlockSize)
        block.append(kBlockSize - block.size(), '\0');
    return m_entries.dcWrite(utf16(id), kEmpty, kProductCode,
                             reinterpret_cast<const uint8_t *>(block.constData()),
                             uint32_t(boundedTransferSize(size)), address) == 0;
}

int devices_handler::eventCounter()
{
    return g_eventCounter;
}

void devices_handler::resetEventCounter()
{
    g_eventCounter = 0;
}

void devices_handler::handleDeviceEvent(quint32 value)
{
    if (g_eventCounter == 0) {
        refreshDevices();
        emit devicesChanged(int(value & 0xffff));
    }
    g_eventCounter = (g_eventCounter + 1) % 5;
}

void devices_handler::handleDeviceData(const QString &hex)
{
    emit deviceData(hex);
}

bool devices_handler::eventCallback(uint32_t event)
{
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    if (devices_handler *self = g_instance) {
        QMetaObject::invokeMethod(
            self, [self, event] { self->handleDeviceEvent(event); }, Qt::QueuedConnection);
    }
    return true;
}

bool devices_handler::dataCallback(const DcDataRecord *record, uint32_t reserved)
{
    Q_UNUSED(reserved);
    // The record is only valid during this call: copy the 8 bytes out now.
    unsigned char bytes[8] = {};
    if (record && record->data)
        memcpy(bytes, record->data, qMin<uint32_t>(record->size, 8));
    const QString hex = dataHexText(bytes, 8);
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    if (devices_handler *self = g_instance) {
        QMetaObject::invokeMethod(
            self, [self, hex] { self->handleDeviceData(hex); }, Qt::QueuedConnection);
    }
    return true;
}

} // namespace kelv
