#include "device/devices_handler.h"

#include "common/app_paths.h"
#include "device/dc_entries.h"
#include "device/device_list.h"
#include "device/firmware_session.h"
#include "device/transfer_text.h"
#include "libdc/host/dc_host_client.h"
#include "libdc/host/library_machine.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QPointer>
#include <mutex>
#include <type_traits>

namespace kelv {

Q_LOGGING_CATEGORY(lcDevice, "kelv.device")

namespace {

// The library calls back on its own thread with plain function pointers; the callbacks
// find the manager through this pointer and hand their work to its (main) thread.
std::mutex g_instanceMutex;
devices_handler *g_instance = nullptr;

// Only touched on the main thread (inside handleDeviceEvent).
int g_eventCounter = 0;

static_assert(devices_handler::kProductCode == DC_PRODUCT_CODE);
static_assert(devices_handler::kListBlockSize == int(DC_LIST_BLOCK_SIZE));
static_assert(devices_handler::kBlockSize == int(DC_TRANSFER_SIZE));

const char16_t kEmpty[] = u"";

// A full transfer block holding the caller's data: the library reads size bytes from it.
QByteArray transferBlock(const QByteArray &data)
{
    QByteArray block = data.left(devices_handler::kBlockSize);
    if (block.size() < devices_handler::kBlockSize)
        block.append(devices_handler::kBlockSize - block.size(), '\0');
    return block;
}

// The file a library name stands for: a bare name is looked for in the application folder.
QString libraryPath(const QString &libraryFile)
{
    const QFileInfo file(libraryFile);
    return file.isRelative() ? applicationFolder() + QLatin1Char('/') + libraryFile : libraryFile;
}

} // namespace

devices_handler::devices_handler(QObject *parent) : devices_handler(defaultLibraryFile(), parent) {}

devices_handler::devices_handler(const QString &libraryFile, QObject *parent)
    : devices_handler(libraryFile, QString(), parent)
{
}

devices_handler::devices_handler(const QString &libraryFile, const QString &hostProgram,
                                 QObject *parent)
    : QObject(parent), m_entries(std::make_unique<DcEntries>())
{
    m_worker.setMaxThreadCount(1);
    m_worker.setExpiryTimeout(-1);
    {
        std::lock_guard<std::mutex> lock(g_instanceMutex);
        g_instance = this;
    }
    load(libraryFile, hostProgram);
}

devices_handler::~devices_handler()
{
    m_worker.clear();
    m_worker.waitForDone();
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    if (g_instance == this)
        g_instance = nullptr;
    // The library stays loaded: its thread may still be running a callback. A host ends
    // with m_host, after the callback it may be running.
}

QString devices_handler::defaultLibraryFile()
{
#ifdef Q_OS_WIN
    return QStringLiteral("libdc.dll");
#else
    return applicationFolder() + QStringLiteral("/libdc.so");
#endif
}

QString devices_handler::defaultHostProgram()
{
#ifdef Q_OS_WIN
    return applicationFolder() + QStringLiteral("/dchost.exe");
#else
    return applicationFolder() + QStringLiteral("/dchost");
#endif
}

bool devices_handler::isLoaded() const
{
    return m_library.isLoaded() || m_host;
}

void devices_handler::load(const QString &libraryFile, QString hostProgram)
{
    if (hostProgram.isEmpty() &&
        dchost::libraryNeedsHost(dchost::libraryMachine(libraryPath(libraryFile).toStdString())))
        hostProgram = defaultHostProgram();
    if (hostProgram.isEmpty())
        loadInProcess(libraryFile);
    else
        loadThroughHost(libraryFile, hostProgram);
    forEachDcEntry(*m_entries, [&](const char *name, auto entry) {
        if (isLoaded() && !entry)
            qCWarning(lcDevice, "device library has no entry %s", name);
    });

    if (m_entries->dcOnDeviceEvent) {
        const DcEventCallback holder = &devices_handler::eventCallback;
        m_entries->dcOnDeviceEvent(&holder);
    }
}

void devices_handler::loadInProcess(const QString &libraryFile)
{
    m_library.setFileName(libraryFile);
    if (!m_library.load()) {
        qCWarning(lcDevice, "device library not loaded: %s", qPrintable(m_library.errorString()));
        return;
    }
    forEachDcEntry(*m_entries, [&](const char *name, auto &entry) {
        entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(m_library.resolve(name));
    });
}

void devices_handler::loadThroughHost(const QString &libraryFile, const QString &hostProgram)
{
    std::string error;
    m_host =
        dchost::HostConnection::start(QDir::toNativeSeparators(hostProgram).toStdString(),
                                      QDir::toNativeSeparators(libraryFile).toStdString(), &error);
    if (!m_host) {
        qCWarning(lcDevice, "device library not loaded through %s: %s", qPrintable(hostProgram),
                  error.c_str());
        return;
    }
    qCInfo(lcDevice, "device library %s loaded by the host %s", qPrintable(libraryFile),
           qPrintable(hostProgram));
    *m_entries = m_host->entries();
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
    if (!m_entries->dcDevices)
        return block;
    DcFilter filter{};
    filter.words[0] = 0xFFA00001u;
    filter.words[1] = 0xFFAA0001u;
    m_entries->dcDevices(filter, reinterpret_cast<uint8_t *>(block.data()), DC_LIST_BLOCK_SIZE);
    for (const DeviceInfo &info : parseDeviceList(block)) {
        if (info.Flags & DC_FLAG_CALLS_WAIT) {
            QMutexLocker lock(&m_waitingMutex);
            m_waiting.insert(info.HardwareID.toLower());
        }
    }
    if (deviceListCount(block) > 0 && m_entries->dconDeviceData) {
        const DeviceInfo first = deviceListRecord(block, 0);
        const DcDataCallback holder = &devices_handler::dataCallback;
        m_entries->dconDeviceData(dcText(first.HardwareID), dcText(first.DevicePath), kProductCode,
                                  &holder);
    }
    return block;
}

bool devices_handler::notify(const QString &id, int type, int data)
{
    if (!m_entries->dcNotify)
        return false;
    const uint16_t value = uint16_t((type & 0xff) | ((data & 0xff) << 8));
    uint8_t scratch = 0;
    return m_entries->dcNotify(dcText(id), kEmpty, kProductCode, value, &scratch, 0) == 0;
}

QByteArray devices_handler::read(const QString &id, int size, quint32 address, bool *failed)
{
    QByteArray block(kBlockSize, '\0');
    if (failed)
        *failed = false;
    if (!m_entries->dcRead)
        return block;
    const int32_t result = m_entries->dcRead(dcText(id), kEmpty, kProductCode,
                                             reinterpret_cast<uint8_t *>(block.data()),
                                             uint32_t(boundedTransferSize(size)), address);
    if (failed)
        *failed = result != 0;
    return block;
}

bool devices_handler::write(const QString &id, const QByteArray &data, int size, quint32 address)
{
    if (!m_entries->dcWrite)
        return false;
    const QByteArray block = transferBlock(data);
    return m_entries->dcWrite(dcText(id), kEmpty, kProductCode,
                              reinterpret_cast<const uint8_t *>(block.constData()),
                              uint32_t(boundedTransferSize(size)), address) == 0;
}

QByteArray devices_handler::readProp(const QString &id, int size, quint32 propId)
{
    QByteArray block(kBlockSize, '\0');
    if (!m_entries->dcReadProp)
        return block;
    m_entries->dcReadProp(dcText(id), kEmpty, kProductCode,
                          reinterpret_cast<uint8_t *>(block.data()),
                          uint32_t(boundedTransferSize(size)), propId);
    return block;
}

bool devices_handler::writeProp(const QString &id, const QByteArray &data, int size, quint32 propId)
{
    if (!m_entries->dcWriteProp)
        return false;
    const QByteArray block = transferBlock(data);
    return m_entries->dcWriteProp(dcText(id), kEmpty, kProductCode,
                                  reinterpret_cast<const uint8_t *>(block.constData()),
                                  uint32_t(boundedTransferSize(size)), propId) == 0;
}

bool devices_handler::callsMayWait(const QString &id) const
{
    QMutexLocker lock(&m_waitingMutex);
    return m_waiting.contains(id.toLower());
}

void devices_handler::post(std::function<void()> job)
{
    m_worker.start(std::move(job));
}

QStringList devices_handler::missingEntries() const
{
    QStringList missing;
    forEachDcEntry(*m_entries, [&](const char *name, auto entry) {
        if (!entry)
            missing << QLatin1String(name);
    });
    return missing;
}

// The firmware session over the manager's entries. It follows the manager through a
// guarded pointer, so a flash that outlives the manager fails instead of calling freed
// memory.
class devices_handler::RomSession final : public FirmwareSession
{
public:
    explicit RomSession(devices_handler *devices) : m_devices(devices)
    {
        m_devices->m_firmwareSessionOpen = true;
    }
    ~RomSession() override
    {
        if (!m_devices)
            return;
        m_devices->m_firmwareSessionOpen = false;
        emit m_devices->firmwareSessionClosed();
    }
    RomSession(const RomSession &) = delete;
    RomSession &operator=(const RomSession &) = delete;

    bool present(const QString &id) override
    {
        const DcEntries *e = entries();
        return e && e->dcDeviceExist && e->dcDeviceExist(dcText(id)) == 0;
    }
    bool reset(const QString &id) override
    {
        const DcEntries *e = entries();
        uint8_t out = 0;
        return e && e->dcReset && e->dcReset(dcText(id), kEmpty, kProductCode, 1, &out, 0) == 0;
    }
    bool erase(const QString &id) override
    {
        const DcEntries *e = entries();
        return e && e->dcEraseRom && e->dcEraseRom(dcText(id), kEmpty, kProductCode) == 0;
    }
    bool writeChunk(const QString &id, const QByteArray &chunk, quint32 offset) override
    {
        const DcEntries *e = entries();
        if (!e || !e->dcBornRom || chunk.size() > int(DC_ROM_CHUNK_MAX))
            return false;
        const QByteArray buffer = transferBlock(chunk);
        return e->dcBornRom(dcText(id), kEmpty, kProductCode,
                            reinterpret_cast<const uint8_t *>(buffer.constData()),
                            uint32_t(chunk.size()), offset) == 0;
    }
    bool check(const QString &id, quint32 length, quint32 checkValue) override
    {
        const DcEntries *e = entries();
        return e && e->dcCheckRom &&
               e->dcCheckRom(dcText(id), kEmpty, kProductCode, length, checkValue) == 0;
    }
    bool finish(const QString &id) override
    {
        const DcEntries *e = entries();
        return e && e->dcFinishUpdateRom &&
               e->dcFinishUpdateRom(dcText(id), kEmpty, kProductCode) == 0;
    }

private:
    const DcEntries *entries() const { return m_devices ? m_devices->m_entries.get() : nullptr; }

    QPointer<devices_handler> m_devices;
};

std::unique_ptr<FirmwareSession> devices_handler::openFirmwareSession()
{
    if (m_firmwareSessionOpen)
        return nullptr;
    return std::make_unique<RomSession>(this);
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
